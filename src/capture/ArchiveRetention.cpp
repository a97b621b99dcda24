#include "capture/ArchiveRetention.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <queue>
#include <set>
#include <tuple>
#include <utility>

#include "base/InOutError.h"

namespace archive {
namespace {

// The floor holds at most this many candidates at once and walks the tree again
// for the next ones, so a folder of any size costs bounded memory.
constexpr size_t kFloorBatch = 4096;
// A tree full of files that cannot be removed reports this many, then a count.
constexpr size_t kMaxFailureLines = 64;

constexpr int64_t kSecondsPerDay = 86400;
// A day's playlist past this size is no playlist the archive wrote: left as it is.
constexpr off_t kMaxPlaylistBytes = 16 << 20;

// `count` decimal digits at `pos`, each checked, into `value`.
bool ReadDigits(std::string_view text, size_t pos, size_t count, uint32_t& value) {
  if (pos > text.size() || text.size() - pos < count) return false;
  uint32_t v = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  value = v;
  return true;
}

bool IsAudioExt(std::string_view ext) { return ext == "mp2" || ext == "mp3"; }

// Audio before its title log, so a title log comes up after its audio in the
// oldest-first order and is judged with it.
uint8_t ExtRank(std::string_view ext) { return IsAudioExt(ext) ? 0 : 1; }

class TDirectory {
 public:
  TDirectory() = default;
  explicit TDirectory(DIR* dir) : dir_(dir) {}
  ~TDirectory() {
    if (dir_) ::closedir(dir_);
  }
  TDirectory(TDirectory&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
  TDirectory& operator=(TDirectory&& other) noexcept {
    std::swap(dir_, other.dir_);
    return *this;
  }
  TDirectory(const TDirectory&) = delete;
  TDirectory& operator=(const TDirectory&) = delete;

  bool IsOpen() const { return dir_ != nullptr; }
  int Fd() const { return ::dirfd(dir_); }
  void Rewind() { ::rewinddir(dir_); }

  // The next entry other than "." and "..", nullptr at the end; `error` gets the
  // errno of a failed read (0 at a plain end).
  const dirent* Next(int& error) {
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir_);
      if (!entry) {
        error = errno;
        return nullptr;
      }
      const std::string_view name(entry->d_name);
      if (name != "." && name != "..") return entry;
    }
  }

 private:
  DIR* dir_ = nullptr;
};

// A folder under `parentFd`; a symbolic link is never followed unless
// `followLink` (only the root the caller named is). errno in `error`.
TDirectory OpenFolder(int parentFd, const char* name, bool followLink, int& error) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
  const int fd = ::openat(parentFd, name, flags);
  if (fd < 0) {
    error = errno;
    return {};
  }
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    error = errno;
    ::close(fd);
    return {};
  }
  error = 0;
  return TDirectory(dir);
}

// A folder entry that may be what it is named: a folder or a regular file, or
// unknown (the filesystem does not say, fstatat decides).
bool MayBeFolder(const dirent& entry) { return entry.d_type == DT_DIR || entry.d_type == DT_UNKNOWN; }
bool MayBeFile(const dirent& entry) { return entry.d_type == DT_REG || entry.d_type == DT_UNKNOWN; }

// ENOTDIR and ELOOP: the entry is no real folder (a file, a symbolic link), not an error.
bool IsNotAFolder(int error) { return error == ENOTDIR || error == ELOOP; }

// The files the writer holds open, and the title logs and audio beside them,
// by identity: a path spelt another way still names the same file.
class TInUse {
 public:
  explicit TInUse(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
      Add(path);
      const size_t slash = path.rfind('/');
      const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
      const auto parsed = ParseArchiveFileName(std::string_view(path).substr(dir.size()));
      if (!parsed) continue;
      const std::string stem(parsed->Stem);
      for (const char* ext : {".mp2", ".mp3", ".txt"}) Add(dir + stem + ext);
    }
  }

  bool Has(const struct stat& st) const { return ids_.count({st.st_dev, st.st_ino}) != 0; }

 private:
  void Add(const std::string& path) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ids_.insert({st.st_dev, st.st_ino});
  }

  std::set<std::pair<dev_t, ino_t>> ids_;
};

// One archive file the floor may remove, ordered oldest first: by day folder,
// then the time in its name, then the take, the channel, audio before its log.
struct TCandidate {
  std::string Day;
  uint32_t Seconds = 0;
  uint32_t Take = 1;
  std::string Channel;
  uint8_t Rank = 0;
  std::string Name;

  auto Key() const { return std::tie(Day, Seconds, Take, Channel, Rank, Name); }
  bool operator<(const TCandidate& other) const { return Key() < other.Key(); }
};

class TPruner {
 public:
  TPruner(const std::string& root, const std::vector<std::string>& inUse) : inUse_(inUse) {
    root_ = root;
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    int error = 0;
    rootDir_ = OpenFolder(AT_FDCWD, root_.c_str(), true, error);
    if (!rootDir_.IsOpen()) Fail(root_, "не удалось открыть папку", error);
  }

  bool IsOpen() const { return rootDir_.IsOpen(); }

  // Every archive file last written before `cutoff`; a title log beside its
  // audio goes with the audio, one on its own goes by its own time.
  void RemoveOlderThan(time_t cutoff) {
    ForEachDay([&](int channelFd, const std::string& channel, const std::string& day) {
      int error = 0;
      TDirectory dir = OpenFolder(channelFd, day.c_str(), false, error);
      if (!dir.IsOpen()) {
        if (!IsNotAFolder(error)) Fail(DayPath(channel, day), "не удалось открыть папку", error);
        return;
      }
      bool removedAny = false;
      while (const dirent* entry = dir.Next(error)) {
        if (!MayBeFile(*entry)) continue;
        const std::string name(entry->d_name);
        const auto parsed = ParseArchiveFileName(name);
        if (!parsed) continue;
        struct stat st{};
        if (!StatRemovable(dir.Fd(), channel, day, name, st)) continue;
        if (!IsAudioExt(parsed->Ext) && HasAudio(dir.Fd(), parsed->Stem, {})) continue;
        if (st.st_mtim.tv_sec >= cutoff) continue;
        removedAny |= RemoveWithTitleLog(dir.Fd(), channel, day, name, *parsed);
      }
      if (error) Fail(DayPath(channel, day), "не удалось прочитать папку", error);
      dir = {};
      if (removedAny) RemoveDayIfEmpty(channelFd, channel, day);
    });
  }

  // The oldest archive files, one at a time, until `freeBytes` reaches `minFree`;
  // false when it is still short with nothing left that may go.
  bool RemoveOldestUntil(uint64_t minFree, const TFreeBytesReader& freeBytes) {
    std::optional<TCandidate> after;
    for (;;) {
      const std::vector<TCandidate> batch = OldestAfter(after);
      std::set<std::pair<std::string, std::string>> touched;
      for (const TCandidate& c : batch) {
        const auto free = freeBytes();
        if (!free) {
          FailText(root_ + ": не удалось узнать свободное место");
          TidyDays(touched);
          return true;
        }
        if (*free >= minFree) {
          TidyDays(touched);
          return true;
        }
        if (RemoveCandidate(c)) touched.insert({c.Channel, c.Day});
        after = c;
      }
      TidyDays(touched);
      if (batch.size() < kFloorBatch) break;
    }
    const auto free = freeBytes();
    if (!free) {
      FailText(root_ + ": не удалось узнать свободное место");
      return true;
    }
    return *free >= minFree;
  }

  TPruneResult Take() {
    if (droppedFailures_)
      result_.Failures.push_back("ещё ошибок не показано: " + std::to_string(droppedFailures_));
    return std::move(result_);
  }

 private:
  // Calls visit(channelFd, channel, day) for each day folder name under each
  // channel folder; the channel folder stays open during the call.
  template <typename Visit>
  void ForEachDay(Visit&& visit) {
    rootDir_.Rewind();
    int error = 0;
    while (const dirent* entry = rootDir_.Next(error)) {
      if (!MayBeFolder(*entry)) continue;
      const std::string channel(entry->d_name);
      int openError = 0;
      TDirectory channelDir = OpenFolder(rootDir_.Fd(), channel.c_str(), false, openError);
      if (!channelDir.IsOpen()) {
        if (!IsNotAFolder(openError)) Fail(root_ + "/" + channel, "не удалось открыть папку", openError);
        continue;
      }
      int readError = 0;
      while (const dirent* dayEntry = channelDir.Next(readError)) {
        if (!MayBeFolder(*dayEntry) || !IsArchiveDayName(dayEntry->d_name)) continue;
        visit(channelDir.Fd(), channel, std::string(dayEntry->d_name));
      }
      if (readError) Fail(root_ + "/" + channel, "не удалось прочитать папку", readError);
    }
    if (error) Fail(root_, "не удалось прочитать папку", error);
  }

  // The kFloorBatch oldest candidates after `after` (all when none), oldest first.
  std::vector<TCandidate> OldestAfter(const std::optional<TCandidate>& after) {
    std::priority_queue<TCandidate> newest;  // its top: the newest held, the first to give way
    ForEachDay([&](int channelFd, const std::string& channel, const std::string& day) {
      // Whole day folders before the last one taken, or after all that are held, cannot add.
      if (after && day < after->Day) return;
      if (newest.size() == kFloorBatch && day > newest.top().Day) return;
      int error = 0;
      TDirectory dir = OpenFolder(channelFd, day.c_str(), false, error);
      if (!dir.IsOpen()) {
        if (!IsNotAFolder(error)) Fail(DayPath(channel, day), "не удалось открыть папку", error);
        return;
      }
      while (const dirent* entry = dir.Next(error)) {
        if (!MayBeFile(*entry)) continue;
        const auto parsed = ParseArchiveFileName(entry->d_name);
        if (!parsed) continue;
        TCandidate c{day, parsed->Seconds, parsed->Take, channel, ExtRank(parsed->Ext), entry->d_name};
        if (after && !(*after < c)) continue;
        if (newest.size() < kFloorBatch) {
          newest.push(std::move(c));
        } else if (c < newest.top()) {
          newest.pop();
          newest.push(std::move(c));
        }
      }
      if (error) Fail(DayPath(channel, day), "не удалось прочитать папку", error);
    });
    std::vector<TCandidate> oldestFirst;
    oldestFirst.reserve(newest.size());
    while (!newest.empty()) {
      oldestFirst.push_back(newest.top());
      newest.pop();
    }
    std::reverse(oldestFirst.begin(), oldestFirst.end());
    return oldestFirst;
  }

  bool RemoveCandidate(const TCandidate& c) {
    int error = 0;
    TDirectory channelDir = OpenFolder(rootDir_.Fd(), c.Channel.c_str(), false, error);
    if (!channelDir.IsOpen()) return false;  // gone or replaced since the walk
    TDirectory dir = OpenFolder(channelDir.Fd(), c.Day.c_str(), false, error);
    if (!dir.IsOpen()) return false;
    const auto parsed = ParseArchiveFileName(c.Name);
    struct stat st{};
    if (!parsed || !StatRemovable(dir.Fd(), c.Channel, c.Day, c.Name, st)) return false;
    // A title log with its audio still there stays with it (the audio is in use,
    // or went already and took the log along).
    if (!IsAudioExt(parsed->Ext) && HasAudio(dir.Fd(), parsed->Stem, {})) return false;
    return RemoveWithTitleLog(dir.Fd(), c.Channel, c.Day, c.Name, *parsed);
  }

  // A regular file (not a link, not a folder) that no writer holds.
  bool StatRemovable(int dirFd, const std::string& channel, const std::string& day, const std::string& name,
                     struct stat& st) {
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) Fail(FilePath(channel, day, name), "не удалось прочитать", errno);
      return false;
    }
    return S_ISREG(st.st_mode) && !inUse_.Has(st);
  }

  // True when a regular audio file "stem.mp2" or "stem.mp3" other than `except` is there.
  static bool HasAudio(int dirFd, std::string_view stem, std::string_view exceptExt) {
    for (const char* ext : {"mp2", "mp3"}) {
      if (ext == exceptExt) continue;
      const std::string name = std::string(stem) + "." + ext;
      struct stat st{};
      if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) return true;
    }
    return false;
  }

  // Removes `name` (already checked removable) and, for audio, the title log
  // beside it unless another audio file shares it. True when `name` went.
  bool RemoveWithTitleLog(int dirFd, const std::string& channel, const std::string& day, const std::string& name,
                          const TArchiveName& parsed) {
    if (!Unlink(dirFd, FilePath(channel, day, name), name)) return false;
    if (!IsAudioExt(parsed.Ext) || HasAudio(dirFd, parsed.Stem, parsed.Ext)) return true;
    const std::string log = std::string(parsed.Stem) + ".txt";
    struct stat st{};
    if (StatRemovable(dirFd, channel, day, log, st)) Unlink(dirFd, FilePath(channel, day, log), log);
    return true;
  }

  bool Unlink(int dirFd, const std::string& path, const std::string& name) {
    if (::unlinkat(dirFd, name.c_str(), 0) != 0) {
      if (errno != ENOENT) Fail(path, "не удалось удалить", errno);
      return false;
    }
    result_.Removed.push_back(path);
    return true;
  }

  void TidyDays(const std::set<std::pair<std::string, std::string>>& days) {
    for (const auto& [channel, day] : days) {
      int error = 0;
      TDirectory channelDir = OpenFolder(rootDir_.Fd(), channel.c_str(), false, error);
      if (channelDir.IsOpen()) RemoveDayIfEmpty(channelDir.Fd(), channel, day);
    }
  }

  // A day folder this run emptied goes, and its playlist with it; one that
  // still holds anything (a foreign file, a file in use) stays as it is.
  void RemoveDayIfEmpty(int channelFd, const std::string& channel, const std::string& day) {
    if (::unlinkat(channelFd, day.c_str(), AT_REMOVEDIR) != 0) {
      if (errno == ENOTEMPTY || errno == EEXIST)
        DropRemovedFromPlaylist(channelFd, channel, day);
      else if (errno != ENOENT)
        Fail(DayPath(channel, day), "не удалось удалить папку", errno);
      return;
    }
    result_.Removed.push_back(DayPath(channel, day));
    const std::string playlist = day + ".m3u";
    struct stat st{};
    if (::fstatat(channelFd, playlist.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      Unlink(channelFd, root_ + "/" + channel + "/" + playlist, playlist);
  }

  // The day's playlist keeps listing only what is still there: a line that
  // names one of the archive's files gone from the day folder is dropped.
  // The writer appends under the same lock, so no line it adds meanwhile is
  // lost; the playlist is rewritten in place only when a line went.
  void DropRemovedFromPlaylist(int channelFd, const std::string& channel, const std::string& day) {
    const std::string name = day + ".m3u";
    const std::string path = root_ + "/" + channel + "/" + name;
    const int fd = ::openat(channelFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno != ENOENT && !IsNotAFolder(errno)) Fail(path, "не удалось открыть", errno);
      return;
    }
    struct stat st{};
    int error = 0;
    std::string text;
    if (::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &st) != 0) {
      error = errno;
    } else if (S_ISREG(st.st_mode) && st.st_size <= kMaxPlaylistBytes) {
      text.resize(static_cast<size_t>(st.st_size));
      size_t got = 0;
      while (got < text.size()) {
        const ssize_t n = ::pread(fd, text.data() + got, text.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      text.resize(got);
      std::string kept;
      kept.reserve(text.size());
      bool dropped = false;
      for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line(text.data() + at, end - at);
        const size_t next = std::min(end + 1, text.size());
        struct stat file{};
        const bool gone = line.size() > day.size() + 1 && line.substr(0, day.size()) == day &&
                          line[day.size()] == '/' && IsArchiveFileName(line.substr(day.size() + 1)) &&
                          ::fstatat(channelFd, std::string(line).c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0 &&
                          errno == ENOENT;
        if (gone)
          dropped = true;
        else
          kept.append(text, at, next - at);
        at = next;
      }
      errno = 0;
      if (dropped && (::ftruncate(fd, 0) != 0 ||
                      ::pwrite(fd, kept.data(), kept.size(), 0) != static_cast<ssize_t>(kept.size())))
        error = errno ? errno : ENOSPC;
    }
    ::close(fd);  // and the lock with it
    if (error) Fail(path, "не удалось обновить список", error);
  }

  std::string DayPath(const std::string& channel, const std::string& day) const {
    return root_ + "/" + channel + "/" + day;
  }
  std::string FilePath(const std::string& channel, const std::string& day, const std::string& name) const {
    return DayPath(channel, day) + "/" + name;
  }

  void Fail(const std::string& path, const char* what, int error) {
    FailText(path + ": " + what + " (" + text::InOutErrorMessage(error) + ")");
  }
  void FailText(std::string line) {
    if (result_.Failures.size() < kMaxFailureLines) {
      result_.Failures.push_back(std::move(line));
    } else {
      ++droppedFailures_;
    }
  }

  std::string root_;
  TDirectory rootDir_;
  TInUse inUse_;
  TPruneResult result_;
  size_t droppedFailures_ = 0;
};

} // namespace

std::optional<TArchiveName> ParseArchiveFileName(std::string_view name) {
  // "HH-MM-SS", then "_N" or nothing, then ".ext".
  uint32_t hours = 0, minutes = 0, seconds = 0;
  if (!ReadDigits(name, 0, 2, hours) || name.size() < 3 || name[2] != '-' || !ReadDigits(name, 3, 2, minutes) ||
      name.size() < 6 || name[5] != '-' || !ReadDigits(name, 6, 2, seconds))
    return std::nullopt;
  if (hours > 23 || minutes > 59 || seconds > 59) return std::nullopt;
  TArchiveName parsed;
  parsed.Seconds = hours * 3600 + minutes * 60 + seconds;
  size_t pos = 8;
  if (pos < name.size() && name[pos] == '_') {
    ++pos;
    const size_t digitsStart = pos;
    uint32_t take = 0;
    while (pos < name.size() && name[pos] >= '0' && name[pos] <= '9') {
      if (pos - digitsStart == 9) return std::nullopt;
      take = take * 10 + static_cast<uint32_t>(name[pos] - '0');
      ++pos;
    }
    if (pos == digitsStart || name[digitsStart] == '0' || take < 2) return std::nullopt;
    parsed.Take = take;
  }
  if (pos >= name.size() || name[pos] != '.') return std::nullopt;
  parsed.Stem = name.substr(0, pos);
  parsed.Ext = name.substr(pos + 1);
  if (parsed.Ext != "mp2" && parsed.Ext != "mp3" && parsed.Ext != "txt") return std::nullopt;
  return parsed;
}

bool IsArchiveFileName(std::string_view name) { return ParseArchiveFileName(name).has_value(); }

bool IsArchiveDayName(std::string_view name) {
  uint32_t year = 0, month = 0, day = 0;
  if (name.size() != 10 || name[4] != '-' || name[7] != '-' || !ReadDigits(name, 0, 4, year) ||
      !ReadDigits(name, 5, 2, month) || !ReadDigits(name, 8, 2, day))
    return false;
  if (month < 1 || month > 12 || day < 1) return false;
  static constexpr uint32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

TPruneResult PruneArchive(const std::string& root, const TRetention& retention, time_t now,
                          const std::vector<std::string>& inUse, const TFreeBytesReader& freeBytes) {
  TPruner pruner(root, inUse);
  if (!pruner.IsOpen()) return pruner.Take();
  if (retention.KeepDays > 0) pruner.RemoveOlderThan(static_cast<time_t>(now - retention.KeepDays * kSecondsPerDay));
  bool reached = true;
  if (retention.MinFreeBytes > 0) reached = pruner.RemoveOldestUntil(retention.MinFreeBytes, freeBytes);
  TPruneResult result = pruner.Take();
  result.FloorReached = reached;
  return result;
}

TPruneResult PruneArchive(const std::string& root, const TRetention& retention, time_t now,
                          const std::vector<std::string>& inUse) {
  return PruneArchive(root, retention, now, inUse, [&root] { return FreeBytes(root); });
}

std::optional<uint64_t> FreeBytes(const std::string& root) {
  struct statvfs st{};
  if (::statvfs(root.c_str(), &st) != 0) return std::nullopt;
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

} // namespace archive
