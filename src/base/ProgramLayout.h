#pragma once
// Where the program's parts are. A build tree, and any copy of its bin/
// folder, keeps everything beside the executable and its settings in ini/
// there: that ini/ folder is what marks it. Without one the program is
// installed: the executable in <prefix>/bin, the engine and Device/ in the
// library folder, the help page and default settings in the data folder (both
// read-only), and each user's settings in their own configuration folder.
#include <string>

namespace text {

struct TProgramLayout {
  bool Installed = false;
  std::string LibraryFolder;  // libxaudio.so and Device/
  std::string DataFolder;     // HELP/, and when installed the default ini/
  std::string IniFolder;      // ini/ beside the executable; empty when installed
};

// The layout of an executable in `executableFolder` (no trailing '/').
TProgramLayout LayoutOf(const std::string& executableFolder);

// The layout of the running executable, worked out once.
const TProgramLayout& ProgramLayout();

// $XDG_CONFIG_HOME/mellowcaster, or <home>/.config/mellowcaster where that is
// unset, empty or not absolute (as the XDG rules say). Arguments may be null;
// empty when no home is known either.
std::string UserSettingsFolder(const char* xdgConfigHome, const char* home);

// Creates `folder` (and its parents, private to the user) and copies into it
// each settings file it lacks from `defaultsFolder`; files already there are
// kept. Empty on success, else what failed (UTF-8). A copy appears whole or
// not at all, so an interrupted first start never leaves half a file behind.
std::string PrepareSettingsFolder(const std::string& folder, const std::string& defaultsFolder);

} // namespace text
