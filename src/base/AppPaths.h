#pragma once
#include <string>

namespace text {

// Folder of the running executable, without a trailing '/'.
std::string ExecutableFolder();

// Where the settings files live unless told otherwise: ini/ beside the
// executable in a build tree, the user's own folder when installed (see
// ProgramLayout.h).
std::string DefaultIniFolder();

// The three settings files of a settings folder.
struct TIniFiles {
  std::string Folder;
  std::string Settings() const { return Folder + "/trsp.ini"; }
  std::string ChannelList() const { return Folder + "/kanal.ini"; }
  std::string Equalizer() const { return Folder + "/eq.ini"; }
};

} // namespace text
