#include "base/Cp1251.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace text {
namespace {

// Code points of bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in order.
constexpr std::array<char16_t, 64> kHigh = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}


} // namespace

size_t DecodeUtf8(std::string_view s, size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  size_t len;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

char32_t Cp1251ToCodePoint(unsigned char byte) {
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return 0x0410 + (byte - 0xC0);
  return kHigh[byte - 0x80];
}

char CodePointToCp1251(char32_t cp) {
  if (cp < 0x80) return static_cast<char>(cp);
  if (cp >= 0x0410 && cp <= 0x044F) return static_cast<char>(0xC0 + (cp - 0x0410));
  if (cp == 0xFFFD) return '?';
  for (size_t k = 0; k < kHigh.size(); ++k)
    if (kHigh[k] == cp) return static_cast<char>(0x80 + k);
  return '?';
}

std::string Cp1251ToUtf8(std::string_view cp1251) {
  std::string out;
  out.reserve(cp1251.size() * 2);
  for (char c : cp1251) AppendUtf8(out, Cp1251ToCodePoint(static_cast<unsigned char>(c)));
  return out;
}

std::string CodePointsToUtf8(std::u32string_view codePoints) {
  std::string out;
  out.reserve(codePoints.size());
  for (char32_t cp : codePoints) AppendUtf8(out, cp);
  return out;
}

std::string Utf8ToCp1251(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char32_t cp : Utf8ToCodePoints(utf8)) out += CodePointToCp1251(cp);
  return out;
}

std::u32string Utf8ToCodePoints(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp = 0;
    const size_t len = DecodeUtf8(utf8, i, cp);
    out += len == 0 ? char32_t{0xFFFD} : cp;
    i += len == 0 ? 1 : len;
  }
  return out;
}

char32_t Iso88595ToCodePoint(unsigned char byte) {
  if (byte < 0xA1) return byte;
  if (byte == 0xAD) return 0x00AD;  // soft hyphen
  if (byte == 0xF0) return 0x2116;  // numero sign
  if (byte == 0xFD) return 0x00A7;  // section sign
  return 0x0400 + (byte - 0xA0);
}

std::optional<std::u32string> CharsetToCodePoints(std::string_view bytes, const char* charset, size_t unit) {
  // A converter carries shift state, so every call opens its own.
  const iconv_t cd = iconv_open("UTF-32BE", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  struct Closer {
    iconv_t cd;
    ~Closer() { iconv_close(cd); }
  } closer{cd};

  unit = std::max<size_t>(unit, 1);
  std::u32string out;
  std::array<char, 256> buffer;
  auto take = [&](size_t produced) {
    for (size_t k = 0; k + 4 <= produced; k += 4) {
      const auto* b = reinterpret_cast<const unsigned char*>(buffer.data() + k);
      out += static_cast<char32_t>(b[0]) << 24 | static_cast<char32_t>(b[1]) << 16 |
             static_cast<char32_t>(b[2]) << 8 | b[3];
    }
  };
  // iconv takes a non-const input pointer but does not write through it.
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  while (inLeft > 0) {
    char* to = buffer.data();
    size_t toLeft = buffer.size();
    const size_t done = iconv(cd, &in, &inLeft, &to, &toLeft);
    const int error = errno;
    const size_t produced = buffer.size() - toLeft;
    take(produced);
    if (done != static_cast<size_t>(-1)) break;
    if (error == E2BIG && produced > 0) continue;
    // EILSEQ, or EINVAL for a character cut off at the end.
    out += char32_t{0xFFFD};
    if (error != EILSEQ && error != EINVAL) break;
    const size_t skip = std::min(unit, inLeft);
    in += skip;
    inLeft -= skip;
  }
  char* to = buffer.data();
  size_t toLeft = buffer.size();
  iconv(cd, nullptr, nullptr, &to, &toLeft);  // back to the initial shift state
  take(buffer.size() - toLeft);
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    char32_t cp = 0;
    const size_t len = DecodeUtf8(bytes, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

} // namespace text
