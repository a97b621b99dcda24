#pragma once
// Channel names, list lines and the HTTP path are single-byte CP1251 text held
// in std::string; these are the only conversions to and from UTF-8.
#include <string>
#include <string_view>

namespace text {

// Every CP1251 byte has a character (0x98 maps to U+FFFD's stand-in '?').
std::string Cp1251ToUtf8(std::string_view cp1251);

// Characters that CP1251 lacks, and malformed UTF-8 sequences, become '?'.
std::string Utf8ToCp1251(std::string_view utf8);

// True when the bytes form well-formed UTF-8 (no overlongs, no surrogates).
bool IsValidUtf8(std::string_view bytes);

// Unicode code point of one CP1251 byte.
char32_t Cp1251ToCodePoint(unsigned char byte);

// CP1251 byte for a code point, or '?' when CP1251 has none.
char CodePointToCp1251(char32_t cp);

} // namespace text
