#include "scan/DvbText.h"

#include <string_view>

#include "text/Cp1251.h"

namespace scan {
namespace {

// Code point of one ISO 8859-5 byte.
char32_t Iso88595ToCodePoint(uint8_t b) {
  if (b < 0xA1) return b;
  if (b == 0xAD) return 0x00AD;  // soft hyphen
  if (b == 0xF0) return 0x2116;  // numero sign
  if (b == 0xFD) return 0x00A7;  // section sign
  return 0x0400 + (b - 0xA0);
}

// The legacy 0x01 table: the Cyrillic letters move to their CP1251 places and
// every other byte stays as broadcast.
char ShiftIso88595(uint8_t b) {
  if (b >= 0xB0 && b <= 0xEF) return static_cast<char>(b + 0x10);
  if (b == 0xA1) return static_cast<char>(0xA8);
  if (b == 0xF1) return static_cast<char>(0xB8);
  return static_cast<char>(b);
}

std::string_view UpToNul(const uint8_t* bytes, size_t length) {
  size_t n = 0;
  while (n < length && bytes[n] != 0) ++n;
  return {reinterpret_cast<const char*>(bytes), n};
}

} // namespace

std::string DecodeDvbText(const uint8_t* bytes, size_t length) {
  if (length == 0) return {};
  const uint8_t selector = bytes[0];
  if (selector >= 0x20) return std::string(UpToNul(bytes, length));

  if (selector == 0x10) {
    // Three-byte selector: 0x10 and a 16-bit ISO 8859 part number.
    if (length < 3) return {};
    const std::string_view body = UpToNul(bytes + 3, length - 3);
    if (bytes[1] != 0x00 || bytes[2] != 0x05) return std::string(body);
    std::string out;
    out.reserve(body.size());
    for (char c : body) out += text::CodePointToCp1251(Iso88595ToCodePoint(static_cast<uint8_t>(c)));
    return out;
  }

  const std::string_view body = UpToNul(bytes + 1, length - 1);
  if (selector == 0x15) return text::Utf8ToCp1251(body);
  if (selector == 0x01) {
    std::string out;
    out.reserve(body.size());
    for (char c : body) out += ShiftIso88595(static_cast<uint8_t>(c));
    return out;
  }
  return std::string(body);
}

} // namespace scan
