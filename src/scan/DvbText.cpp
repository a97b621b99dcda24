#include "scan/DvbText.h"

#include <iterator>
#include <optional>
#include <string_view>

#include "base/Cp1251.h"

namespace scan {
namespace {

std::string_view UpToNul(const uint8_t* bytes, size_t length) {
  size_t n = 0;
  while (n < length && bytes[n] != 0) ++n;
  return {reinterpret_cast<const char*>(bytes), n};
}

// iconv name of ISO 8859 part n, or none for a part that does not exist.
const char* Iso8859Name(int part) {
  static constexpr const char* kNames[] = {
      nullptr,       "ISO-8859-1",  "ISO-8859-2",  "ISO-8859-3",  "ISO-8859-4",  "ISO-8859-5",
      "ISO-8859-6",  "ISO-8859-7",  "ISO-8859-8",  "ISO-8859-9",  "ISO-8859-10", "ISO-8859-11",
      nullptr,       "ISO-8859-13", "ISO-8859-14", "ISO-8859-15"};
  return part >= 0 && part < static_cast<int>(std::size(kNames)) ? kNames[part] : nullptr;
}

// Code points of a text body in the table its selector names; none for a
// reserved or unknown table, or one this system cannot convert.
std::optional<std::u32string> DecodeTable(const uint8_t* selector, size_t length, size_t& skip) {
  skip = 1;
  int iso8859Part = -1;
  const char* charset = nullptr;
  size_t unit = 1;
  switch (selector[0]) {
    case 0x10:  // 0x10 and a 16-bit ISO 8859 part number
      skip = 3;
      if (length < skip) {
        skip = length;  // the selector itself is cut short: no text
        return std::nullopt;
      }
      iso8859Part = selector[1] << 8 | selector[2];
      break;
    case 0x11:  // two-byte Unicode, big-endian
    case 0x14:  // the Big5 subset of it, coded the same way
      charset = "UCS-2BE";
      unit = 2;
      break;
    case 0x12: charset = "EUC-KR"; break;
    case 0x13: charset = "GB2312"; break;
    case 0x15: {
      const auto* p = reinterpret_cast<const char*>(selector + 1);
      return text::Utf8ToCodePoints({p, length - 1});
    }
    default:
      if (selector[0] >= 0x01 && selector[0] <= 0x0B) iso8859Part = selector[0] + 4;
      break;
  }
  const std::string_view body(reinterpret_cast<const char*>(selector + skip), length - skip);
  if (iso8859Part == 5) {
    // The table nearly every Cyrillic station uses: no converter needed.
    std::u32string out;
    out.reserve(body.size());
    for (char c : body) out += text::Iso88595ToCodePoint(static_cast<unsigned char>(c));
    return out;
  }
  if (iso8859Part >= 0) charset = Iso8859Name(iso8859Part);
  if (!charset) return std::nullopt;
  return text::CharsetToCodePoints(body, charset, unit);
}

// The program's names: DVB control codes (0x80..0x9F in one-byte tables,
// U+E080..U+E09F in Unicode ones) are not letters. Emphasis marks go, the
// line break becomes a space, the rest stand out as '_' like the control
// characters below 0x20 do in file names.
void AppendCp1251(std::string& out, char32_t cp) {
  const char32_t code = cp >= 0xE080 && cp <= 0xE09F ? cp - 0xE000 : cp;
  if (code < 0x80 || code > 0x9F) {
    out += text::CodePointToCp1251(cp);
  } else if (code == 0x8A) {
    out += ' ';
  } else if (code != 0x86 && code != 0x87) {
    out += '_';
  }
}

} // namespace

std::string DecodeDvbText(const uint8_t* bytes, size_t length) {
  if (length == 0) return {};
  // Stations send CP1251 names without a selector; those bytes are letters.
  if (bytes[0] >= 0x20) return std::string(UpToNul(bytes, length));

  size_t skip = 1;
  const std::optional<std::u32string> text = DecodeTable(bytes, length, skip);
  if (!text) return std::string(UpToNul(bytes + skip, length - skip));
  std::string out;
  out.reserve(text->size());
  for (char32_t cp : *text) {
    if (cp == 0) break;  // a NUL character, not a NUL byte: UCS-2 has those in every Latin letter
    AppendCp1251(out, cp);
  }
  return out;
}

} // namespace scan
