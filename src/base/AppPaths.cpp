#include "base/AppPaths.h"
#include "base/ProgramLayout.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace text {

std::string ExecutableFolder() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string DefaultIniFolder() {
  const TProgramLayout& layout = ProgramLayout();
  if (!layout.Installed) return layout.IniFolder;
  return UserSettingsFolder(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

} // namespace text
