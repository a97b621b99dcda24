#include "capture/TitleLog.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture/CaptureSession.h"

namespace {

const std::string kRecordingExtension = ".mp3";
const std::string kLogExtension = ".txt";

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Renames without replacing anything; 0 or errno (EEXIST: the name is taken).
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return errno;
  // A file system without the no-replace rename: a link fails on a taken name too.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  return ::unlink(from.c_str()) == 0 ? 0 : errno;
}

} // namespace

std::string TitleLogName(const std::string& recordingName) {
  if (!EndsWith(recordingName, kRecordingExtension)) return recordingName + kLogExtension;
  return recordingName.substr(0, recordingName.size() - kRecordingExtension.size()) + kLogExtension;
}

std::string TitleLogLine(double seconds, const std::string& utf8Title) {
  const auto whole = seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02llu:%02u:%02u  ", static_cast<unsigned long long>(whole / 3600),
                static_cast<unsigned>(whole / 60 % 60), static_cast<unsigned>(whole % 60));
  return stamp + utf8Title + "\n";
}

int PrepareTitleLog(const std::string& logName, bool keepEarlier, const std::string& recordingAside) {
  struct stat st {};
  if (::lstat(logName.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if (!keepEarlier) {
    const int fd = ::open(logName.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
  }
  if (st.st_size == 0) return 0;
  if (!recordingAside.empty()) {
    const int err = RenameNoReplace(logName, TitleLogName(recordingAside));
    if (err != EEXIST) return err;
  }
  // The aside names of recordings, with the log's own time and extension.
  const std::string stem =
      EndsWith(logName, kLogExtension) ? logName.substr(0, logName.size() - kLogExtension.size()) : logName;
  for (int attempt = 1; attempt <= 100; ++attempt) {
    const int err = RenameNoReplace(logName, TitleLogName(AsideFileName(stem + kRecordingExtension, st.st_mtime, attempt)));
    if (err != EEXIST) return err;
  }
  return EEXIST;
}

int TTitleLog::Append(double seconds, const std::string& utf8Title) {
  if (fd_ < 0) {
    fd_ = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd_ < 0) return errno;
  }
  const std::string line = TitleLogLine(seconds, utf8Title);
  ssize_t n;
  do {
    n = ::write(fd_, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(line.size())) return 0;
  return n < 0 ? errno : ENOSPC;
}

void TTitleLog::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}
