#pragma once
// Strict text-to-integer conversion as the runtime does it: optional blanks and
// sign, decimal digits or a "$"/"0x" hexadecimal number, nothing after, and a
// value that fits 32 bits.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace text {

class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::optional<int32_t> TryStrToInt(std::string_view s);

// Throws EConvertError "'<text>' is not a valid integer value".
int32_t StrToInt(std::string_view s);

} // namespace text
