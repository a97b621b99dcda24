#pragma once
// Keeps an archive tree (DIR/<channel>/<YYYY-MM-DD>/<HH-MM-SS>[_N].<ext>) from
// growing without end: files past their age go, and while the disk is short of
// room the oldest go first, so recording never stops for a full disk. Only the
// names the archive writes are ever touched, and never outside its folder.
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace archive {

struct TRetention {
  int KeepDays = 0;                      // 0 (or less): no age limit
  uint64_t MinFreeBytes = 500ull << 20;  // 0: no free-space floor
};

struct TPruneResult {
  std::vector<std::string> Removed;   // paths removed (UTF-8, under root)
  std::vector<std::string> Failures;  // one readable line each ("path: reason")
  bool FloorReached = true;           // false: still under MinFreeBytes with nothing left to remove
};

// The parts of a name the archive writes inside a day folder.
struct TArchiveName {
  uint32_t Seconds = 0;  // of the day, from HH-MM-SS
  uint32_t Take = 1;     // N of "_N", 1 for the first file of that second
  std::string_view Stem; // "HH-MM-SS" or "HH-MM-SS_N"
  std::string_view Ext;  // "mp2", "mp3" or "txt"
};

// Parsed with explicit bounds: hours 00-23, minutes and seconds 00-59, N from
// 2 without leading zeros and at most nine digits; nullopt for anything else.
std::optional<TArchiveName> ParseArchiveFileName(std::string_view name);

// True for a name the archive writes inside a day folder ("HH-MM-SS.mp3", "HH-MM-SS_2.mp2", "HH-MM-SS.txt", ...).
bool IsArchiveFileName(std::string_view name);

// True for a day folder name "YYYY-MM-DD" that is a real calendar date.
bool IsArchiveDayName(std::string_view name);

using TFreeBytesReader = std::function<std::optional<uint64_t>()>;

// Removes archive files older than KeepDays (a file's age: its modification time, i.e. its last byte) and, while the
// free space of root's filesystem is under MinFreeBytes, the oldest archive files (oldest by day folder + name
// time) first. `inUse` (full paths) are never removed, nor the title logs beside them. A title log goes with its
// audio file; a day folder left empty is removed with its .m3u. Only names the archive writes, only regular files,
// never following a symbolic link, never outside root. Free space that cannot be read removes nothing by the floor
// (a failure line says so). Failures past a few dozen are counted in one last line.
TPruneResult PruneArchive(const std::string& root, const TRetention& retention, time_t now,
                          const std::vector<std::string>& inUse);

// The same with the free space read by `freeBytes`, called before each removal the floor asks for.
TPruneResult PruneArchive(const std::string& root, const TRetention& retention, time_t now,
                          const std::vector<std::string>& inUse, const TFreeBytesReader& freeBytes);

// Free bytes for an unprivileged writer on root's filesystem (statvfs f_bavail * f_frsize); nullopt on error.
std::optional<uint64_t> FreeBytes(const std::string& root);

} // namespace archive
