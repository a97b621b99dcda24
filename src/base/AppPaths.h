#pragma once
#include <string>

namespace text {

// Folder of the running executable, without a trailing '/'.
std::string ExecutableFolder();

// <executable folder>/ini/<name>: where the settings files live.
std::string IniPath(const std::string& fileName);

} // namespace text
