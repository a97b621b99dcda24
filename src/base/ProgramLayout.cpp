#include "base/ProgramLayout.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/AppPaths.h"

// The installed folders relative to the executable's, from the build's
// install directories.
#ifndef MC_LIBRARY_FROM_BIN
#define MC_LIBRARY_FROM_BIN "../lib/mellowcaster"
#endif
#ifndef MC_DATA_FROM_BIN
#define MC_DATA_FROM_BIN "../share/mellowcaster"
#endif

namespace text {

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Failure(const std::string& what, const std::string& path, int error) {
  return what + " " + path + ": " + std::strerror(error);
}

// mkdir -p; folders it creates are the user's alone.
std::string MakeFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      return Failure("Не удалось создать папку", part, errno);
    if (slash == std::string::npos) break;
  }
  if (!IsDirectory(folder)) return Failure("Не удалось создать папку", folder, ENOTDIR);
  return {};
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies `from` to a temporary name beside `to`, then links it in place:
// `to` is either absent or whole, and a file that appeared meanwhile wins.
std::string CopyIfAbsent(const std::string& from, const std::string& to) {
  if (::access(to.c_str(), F_OK) == 0) return {};
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    if (errno == ENOENT) return {};  // no default for it: the program's own default applies
    return Failure("Не удалось прочитать", from, errno);
  }
  const std::string temporary = to + ".new-" + std::to_string(::getpid());
  const int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) {
    const int e = errno;
    ::close(in);
    return Failure("Не удалось записать", temporary, e);
  }
  std::string error;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Failure("Не удалось прочитать", from, errno);
      break;
    }
    if (n == 0) break;
    if (!WriteAll(out, buffer, static_cast<size_t>(n))) {
      error = Failure("Не удалось записать", temporary, errno);
      break;
    }
  }
  ::close(in);
  if (::close(out) != 0 && error.empty()) error = Failure("Не удалось записать", temporary, errno);
  if (error.empty() && ::link(temporary.c_str(), to.c_str()) != 0 && errno != EEXIST)
    error = Failure("Не удалось записать", to, errno);
  ::unlink(temporary.c_str());
  return error;
}

// `relative` ("../lib/...") taken from `base`, its leading ".." steps resolved.
std::string Below(std::string base, std::string relative) {
  while (relative.rfind("../", 0) == 0 && base.size() > 1) {
    const size_t slash = base.rfind('/');
    base = slash == 0 || slash == std::string::npos ? "" : base.substr(0, slash);
    relative.erase(0, 3);
  }
  return base + "/" + relative;
}

std::string HomeFolder(const char* home) {
  if (home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
  return {};
}

} // namespace

TProgramLayout LayoutOf(const std::string& executableFolder) {
  TProgramLayout layout;
  const std::string beside = executableFolder + "/ini";
  if (IsDirectory(beside)) {
    layout.LibraryFolder = layout.DataFolder = executableFolder;
    layout.IniFolder = beside;
    return layout;
  }
  layout.Installed = true;
  layout.LibraryFolder = Below(executableFolder, MC_LIBRARY_FROM_BIN);
  layout.DataFolder = Below(executableFolder, MC_DATA_FROM_BIN);
  return layout;
}

const TProgramLayout& ProgramLayout() {
  static const TProgramLayout layout = LayoutOf(ExecutableFolder());
  return layout;
}

std::string UserSettingsFolder(const char* xdgConfigHome, const char* home) {
  if (xdgConfigHome && xdgConfigHome[0] == '/') return std::string(xdgConfigHome) + "/mellowcaster";
  const std::string h = HomeFolder(home);
  if (h.empty()) return {};
  return h + "/.config/mellowcaster";
}

std::string PrepareSettingsFolder(const std::string& folder, const std::string& defaultsFolder) {
  if (folder.empty()) return "Не найдена домашняя папка для настроек (задайте HOME или --ini ПАПКА)";
  if (std::string error = MakeFolders(folder); !error.empty()) return error;
  const TIniFiles target{folder}, defaults{defaultsFolder};
  for (const auto& [from, to] : {std::pair{defaults.Settings(), target.Settings()},
                                 std::pair{defaults.ChannelList(), target.ChannelList()},
                                 std::pair{defaults.Equalizer(), target.Equalizer()}})
    if (std::string error = CopyIfAbsent(from, to); !error.empty()) return error;
  return {};
}

} // namespace text
