#pragma once
// Shared by the harnesses: input cut into pieces, each a 16-bit length and
// then that many bytes (the last one cut at the end of the input), and the
// input as a file for the loaders that read one.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

class TPieces {
 public:
  TPieces(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Next(const uint8_t*& piece, size_t& n) {
    if (size_ < 2) return false;
    n = (data_[0] << 8) | data_[1];
    data_ += 2;
    size_ -= 2;
    if (n > size_) n = size_;
    piece = data_;
    data_ += n;
    size_ -= n;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

// One memory file for the whole run, rewritten with each input; its
// /proc/self/fd name goes to the loader as the path.
inline std::string AsFile(const uint8_t* data, size_t size) {
  static const int fd = ::memfd_create("fuzz-input", 0);
  if (fd < 0 || ::ftruncate(fd, 0) != 0) __builtin_trap();
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) __builtin_trap();
    done += static_cast<size_t>(n);
  }
  return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace fuzz
