#include "device/TempFolder.h"

#include <stdlib.h>

#include <stdexcept>

TTempFolder::TTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "mc-device-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TTempFolder::~TTempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

TWorkingDirectory::TWorkingDirectory(const std::filesystem::path& to)
    : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(to);
}

TWorkingDirectory::~TWorkingDirectory() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}
