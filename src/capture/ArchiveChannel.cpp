#include "capture/ArchiveChannel.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture/ArchiveNames.h"
#include "capture/CaptureSession.h"
#include "base/FileLock.h"
#include "base/InOutError.h"

namespace {

constexpr int kMaxAttempts = 1000;

int OpenFolderAt(int at, const std::string& name) {
  if (::mkdirat(at, name.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  return ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool Taken(int dirFd, const std::string& name) {
  struct stat st {};
  return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

int WriteAll(int fd, const std::string& bytes) {
  ssize_t n;
  do {
    n = ::write(fd, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(bytes.size()) ? 0 : n < 0 ? errno : ENOSPC;
}

// Appends the file's line to the day's playlist, made with its heading first.
int ListInPlaylist(int channelFd, const std::string& day, const std::string& line) {
  const std::string name = day + ".m3u";
  // Not blocking: a pipe planted under the name must not hold the channel up.
  const int fd =
      ::openat(channelFd, name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  // The retention rewrites the playlist under this lock when it removes files.
  struct stat st {};
  int err = ::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (err == 0) err = WriteAll(fd, (st.st_size == 0 ? "#EXTM3U\n" : "") + line + "\n");
  ::close(fd);
  return err;
}

} // namespace

TArchiveChannel::TArchiveChannel(int archiveFd, const std::string& archivePath, const std::string& folderName,
                                 int periodSeconds)
    : path_(archivePath + "/" + folderName), period_(periodSeconds) {
  fd_ = OpenFolderAt(archiveFd, folderName);
  if (fd_ < 0) throw text::EInOutError(errno);
  std::string holder;
  if (!text::TryLockExclusive(fd_, holder)) {
    ::close(fd_);
    fd_ = -1;
    throw EFileLocked(holder);
  }
}

TArchiveChannel::~TArchiveChannel() {
  if (fd_ >= 0) ::close(fd_);
}

size_t TArchiveChannel::CutIn(const uint8_t* data, size_t n, TClock::time_point arrived, int32_t kbps) {
  size_t from = kNoCut;
  if (due_) {
    from = 0;
  } else if (arrived >= deadline_) {
    // The bytes came over the time before `arrived`: those after the cut
    // time are the last ones, as many as the bit rate carries since then.
    const double late = std::chrono::duration<double>(arrived - deadline_).count();
    const double lateBytes = late * kbps * 125.0;
    from = kbps > 0 && lateBytes < static_cast<double>(n) ? n - static_cast<size_t>(lateBytes) : 0;
  }
  return walk_.Walk(data, n, from);
}

TArchiveChannel::TOpened TArchiveChannel::OpenNext(const std::string& extension,
                                                   std::chrono::system_clock::time_point wall,
                                                   TClock::time_point startedAt) {
  TOpened opened;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(wall);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  const std::string day = ArchiveDay(local);
  const int dayFd = OpenFolderAt(fd_, day);
  if (dayFd < 0) {
    opened.Error = errno;
    opened.Name = path_ + "/" + day;
    return opened;
  }
  std::string stem;
  int err = EEXIST;  // every name of the second taken
  for (int attempt = 1; attempt <= kMaxAttempts && opened.Fd < 0; ++attempt) {
    stem = ArchiveStem(local, attempt);
    // A name is free only with every file of its kind: a title log left
    // beside it would otherwise be shared.
    if (Taken(dayFd, stem + ".mp2") || Taken(dayFd, stem + ".mp3") || Taken(dayFd, stem + ".txt")) continue;
    const std::string name = stem + "." + extension;
    opened.Fd = ::openat(dayFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (opened.Fd < 0 && errno != EEXIST) {
      err = errno;
      break;
    }
  }
  opened.Error = opened.Fd < 0 ? err : 0;
  ::close(dayFd);
  opened.Name = path_ + "/" + day + "/" + stem + "." + extension;
  if (opened.Fd < 0) return opened;
  opened.LogName = path_ + "/" + day + "/" + stem + ".txt";
  opened.PlaylistError = ListInPlaylist(fd_, day, day + "/" + stem + "." + extension);
  // The name has whole seconds; the cut keeps the part of the second gone.
  const auto intoSecond = std::max(wall - std::chrono::system_clock::from_time_t(seconds),
                                   std::chrono::system_clock::duration::zero());
  deadline_ = startedAt + UntilNextCut(local, period_) - std::chrono::duration_cast<TClock::duration>(intoSecond);
  due_ = false;
  return opened;
}

void TArchiveChannel::Interrupt() {
  walk_.Reset();
  due_ = true;
}
