#pragma once
// A fresh folder under /tmp, removed with everything in it at scope end, and a
// scoped change of the working directory.
#include <filesystem>
#include <string>

class TTempFolder {
 public:
  TTempFolder();
  ~TTempFolder();
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class TWorkingDirectory {
 public:
  explicit TWorkingDirectory(const std::filesystem::path& to);
  ~TWorkingDirectory();

 private:
  std::filesystem::path previous_;
};
