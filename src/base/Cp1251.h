#pragma once
// Channel names, list lines and the HTTP path are single-byte CP1251 text held
// in std::string; these are the only conversions to and from UTF-8.
#include <cstddef>
#include <optional>
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

// Unicode code point of one ISO 8859-5 byte.
char32_t Iso88595ToCodePoint(unsigned char byte);

// Length of the UTF-8 sequence at s[i] and its code point in `cp`; 0 when it
// is malformed (cut off, overlong, a surrogate, past U+10FFFF).
size_t DecodeUtf8(std::string_view s, size_t i, char32_t& cp);

// UTF-8 of code points (no check that they are characters).
std::string CodePointsToUtf8(std::u32string_view codePoints);

// Code points of UTF-8 text; a byte that starts no well-formed sequence gives
// U+FFFD.
std::u32string Utf8ToCodePoints(std::string_view utf8);

// Code points of text in a character set known to iconv by `charset` (such as
// "ISO-8859-7" or "UCS-2BE"). Bytes that form no character, and a character
// cut off at the end, give U+FFFD; after such a fault the input moves on by
// `unit` bytes, the width of the set's smallest character. Empty when the
// system has no converter for the set. Safe to call from several threads.
std::optional<std::u32string> CharsetToCodePoints(std::string_view bytes, const char* charset, size_t unit = 1);

} // namespace text
