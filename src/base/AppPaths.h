#pragma once
#include <string>

namespace text {

// Folder of the running executable, without a trailing '/'.
std::string ExecutableFolder();

// <executable folder>/ini: where the settings files live unless told otherwise.
std::string DefaultIniFolder();

// The three settings files of a settings folder.
struct TIniFiles {
  std::string Folder;
  std::string Settings() const { return Folder + "/trsp.ini"; }
  std::string ChannelList() const { return Folder + "/kanal.ini"; }
  std::string Equalizer() const { return Folder + "/eq.ini"; }
};

} // namespace text
