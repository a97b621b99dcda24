#include "text/LineFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "text/InOutError.h"

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

void WriteAll(int fd, std::string_view content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EInOutError(errno);
    if (n == 0) throw EInOutError(ENOSPC);
    done += static_cast<size_t>(n);
  }
}

void WriteFileInPlace(const std::string& path, std::string_view content) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (fd.get() < 0) throw EInOutError(errno);
  WriteAll(fd.get(), content);
  if (::close(fd.release()) != 0) throw EInOutError(errno);
}

} // namespace

void WriteFileAtomically(const std::string& path, std::string_view content) {
  const std::string temp = path + ".tmp";
  FileDescriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) {
    // A folder that takes no new files may still hold a writable list: then
    // the file is rewritten in place, as a plain save would.
    if (errno == EACCES || errno == EPERM) return WriteFileInPlace(path, content);
    throw EInOutError(errno);
  }
  try {
    WriteAll(fd.get(), content);
    if (::fsync(fd.get()) != 0) throw EInOutError(errno);
    if (::close(fd.release()) != 0) throw EInOutError(errno);
  } catch (const EInOutError&) {
    ::unlink(temp.c_str());
    throw;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
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
