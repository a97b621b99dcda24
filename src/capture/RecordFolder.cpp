#include "capture/RecordFolder.h"

#include <filesystem>
#include <system_error>

#include "base/InOutError.h"

namespace {

// Channel names are glued to the folder text, so the files land in the
// folder up to its last "/": "/a/b/" and "/a/b/x" both mean /a/b. Empty
// when the text names no folder (files beside the program).
std::string FolderOfFiles(const std::string& folder) {
  const size_t slash = folder.rfind('/');
  if (slash == std::string::npos) return {};
  std::string dir = folder.substr(0, slash);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir.empty() ? "/" : dir;
}

} // namespace

std::string PrepareRecordFolder(const std::string& folder, const std::string& defaultFolder) {
  const std::string dir = FolderOfFiles(folder);
  if (dir.empty()) return {};
  const std::string& shown = dir;  // the system's own bytes
  const std::filesystem::path path(shown);
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (std::filesystem::is_directory(status)) return {};
  if (std::filesystem::exists(status)) return shown + ": это не папка";
  if (dir != FolderOfFiles(defaultFolder)) return shown + ": папка не существует";
  if (!std::filesystem::create_directories(path, ec) && ec)
    return shown + ": не удалось создать папку (" + text::InOutErrorMessage(ec.value()) + ")";
  return {};
}
