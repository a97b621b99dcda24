#include "base/LineFile.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/InOutError.h"

namespace text {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { if (fd_ >= 0) ::close(fd_); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  int release() { int fd = fd_; fd_ = -1; return fd; }

 private:
  int fd_;
};

} // namespace

std::vector<std::string> SplitLines(std::string_view content) {
  const size_t eof = content.find('\x1A');
  if (eof != std::string_view::npos) content = content.substr(0, eof);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    const bool terminated = end != std::string_view::npos;
    if (!terminated) end = content.size();
    std::string line;
    line.reserve(end - start);
    for (size_t i = start; i < end; ++i)
      if (content[i] != '\r') line += content[i];
    lines.push_back(std::move(line));
    start = terminated ? end + 1 : end;
  }
  return lines;
}

std::vector<std::string> ReadLineFile(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw EInOutError(errno);
  std::string content;
  char block[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), block, sizeof block);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError(errno);
    }
    if (n == 0) break;
    content.append(block, static_cast<size_t>(n));
  }
  return SplitLines(content);
}

namespace {

// Writes all of content at offset; a write that makes no progress counts as a
// full disk.
void WriteAllAt(int fd, std::string_view content, off_t offset) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::pwrite(fd, content.data() + done, content.size() - done,
                               offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EInOutError(errno);
    if (n == 0) throw EInOutError(ENOSPC);
    done += static_cast<size_t>(n);
  }
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return path.substr(0, slash == 0 ? 1 : slash + 1);
}

// The file a save through path lands in: symbolic links are followed to the
// end of the chain, so the link stays and its target gets the content. A
// dangling link names the file to create, as opening it for writing would.
std::string FollowLinks(std::string path) {
  for (int hops = 0;; ++hops) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    if (hops == 40) throw EInOutError(ELOOP);
    std::string link(PATH_MAX, '\0');
    const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n < 0) throw EInOutError(errno);
    if (static_cast<size_t>(n) == link.size()) throw EInOutError(ENAMETOOLONG);
    link.resize(static_cast<size_t>(n));
    path = !link.empty() && link.front() == '/' ? link : FolderOf(path) + link;
  }
}

// 0 when the saving user may write the existing file, else the errno to
// report. Root passes every permission check, so for root a file without any
// write bit counts as read-only, as whoever cleared the bits meant it.
int WriteDenied(const std::string& path, const struct stat& st) {
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return errno;
  if (::geteuid() == 0 && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
  return 0;
}

// For a folder that takes no new files. The part past the old end is the one
// that needs new space, so it goes first and is cut off again when it does
// not fit: a full disk leaves the old file as it was. Only then are the old
// bytes overwritten and the file cut to the new length.
void WriteFileInPlace(const std::string& path, std::string_view content) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (fd.get() < 0) throw EInOutError(errno);
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) throw EInOutError(errno);
  const size_t oldSize = static_cast<size_t>(st.st_size);
  if (content.size() > oldSize) {
    try {
      WriteAllAt(fd.get(), content.substr(oldSize), st.st_size);
    } catch (const EInOutError&) {
      if (::ftruncate(fd.get(), st.st_size) != 0) {}  // the error above is the one to report
      throw;
    }
  }
  WriteAllAt(fd.get(), content.substr(0, oldSize), 0);
  if (::ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0) throw EInOutError(errno);
  if (::fsync(fd.get()) != 0) throw EInOutError(errno);
  if (::close(fd.release()) != 0) throw EInOutError(errno);
}

} // namespace

void WriteFileAtomically(const std::string& path, std::string_view content) {
  const std::string target = FollowLinks(path);
  struct stat old{};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  // The rename below would replace even a file the user may not write.
  if (exists)
    if (const int err = WriteDenied(target, old)) throw EInOutError(err);
  const std::string temp = target + ".tmp";
  // O_NOFOLLOW: a link planted under the temporary name must not redirect the
  // write. An existing list is copied in with its mode set below, so the
  // temporary file starts private.
  FileDescriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                           exists ? 0600 : 0644));
  if (fd.get() < 0) {
    const int err = errno;
    // A folder that takes no new files may still hold a writable list: then
    // the file is rewritten in place, as a plain save would. With no list
    // there the folder's refusal is the answer.
    if (exists && (err == EACCES || err == EPERM)) return WriteFileInPlace(target, content);
    throw EInOutError(err);
  }
  try {
    if (exists) {
      // Owner and group as before where the user may set them: root always
      // (unless the file system keeps no owners), a user only to a group of
      // their own; else the file gets the user's. Mode after, as chown
      // clears the set-id bits.
      const bool root = ::geteuid() == 0;
      if (::fchown(fd.get(), root ? old.st_uid : static_cast<uid_t>(-1), old.st_gid) != 0) {}
      if (::fchmod(fd.get(), old.st_mode & 07777) != 0) throw EInOutError(errno);
    }
    WriteAllAt(fd.get(), content, 0);
    if (::fsync(fd.get()) != 0) throw EInOutError(errno);
    if (::close(fd.release()) != 0) throw EInOutError(errno);
  } catch (const EInOutError&) {
    ::unlink(temp.c_str());
    throw;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    throw EInOutError(err);
  }
}

void WriteLineFile(const std::string& path, const std::vector<std::string>& lines) {
  std::string content;
  for (const auto& line : lines) {
    content += line;
    content += "\r\n";
  }
  WriteFileAtomically(path, content);
}

} // namespace text
