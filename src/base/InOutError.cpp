#include "base/InOutError.h"

#include <cerrno>

namespace text {

std::string InOutErrorMessage(int errorCode) {
  switch (errorCode) {
    case ENOENT: return "File not found";
    case ELOOP: return "File is a symbolic link";
    case ENOTDIR:
    case ENAMETOOLONG: return "Invalid filename";
    case EMFILE:
    case ENFILE: return "Too many open files";
    case EACCES:
    case EPERM:
    case EROFS: return "File access denied";
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return "Disk full";
    default: return "I/O error " + std::to_string(errorCode);
  }
}

EInOutError::EInOutError(int errorCode)
    : std::runtime_error(InOutErrorMessage(errorCode)), code_(errorCode) {}

} // namespace text
