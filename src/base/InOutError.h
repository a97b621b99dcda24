#pragma once
// File errors on the program's own files carry the runtime's message:
// "File not found", "File access denied", "Disk full", or "I/O error N".
#include <stdexcept>
#include <string>

namespace text {

class EInOutError : public std::runtime_error {
 public:
  explicit EInOutError(int errorCode);
  int ErrorCode() const { return code_; }

 private:
  int code_;
};

// The runtime-style text for an errno value.
std::string InOutErrorMessage(int errorCode);

} // namespace text
