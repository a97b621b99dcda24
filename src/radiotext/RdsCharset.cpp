#include "radiotext/RdsCharset.h"

namespace radiotext {
namespace {

// 0x80 to 0xFF of the table, row by row; 0xFF is unused.
constexpr char32_t kUpperHalf[128] = {
    U'á', U'à', U'é', U'è', U'í', U'ì', U'ó', U'ò', U'ú', U'ù', U'Ñ', U'Ç', U'Ş', U'ß', U'¡', U'Ĳ',
    U'â', U'ä', U'ê', U'ë', U'î', U'ï', U'ô', U'ö', U'û', U'ü', U'ñ', U'ç', U'ş', U'ğ', U'ı', U'ĳ',
    U'ª', U'α', U'©', U'‰', U'Ğ', U'ě', U'ň', U'ő', U'π', U'€', U'£', U'$', U'←', U'↑', U'→', U'↓',
    U'º', U'¹', U'²', U'³', U'±', U'İ', U'ń', U'ű', U'µ', U'¿', U'÷', U'°', U'¼', U'½', U'¾', U'§',
    U'Á', U'À', U'É', U'È', U'Í', U'Ì', U'Ó', U'Ò', U'Ú', U'Ù', U'Ř', U'Č', U'Š', U'Ž', U'Đ', U'Ŀ',
    U'Â', U'Ä', U'Ê', U'Ë', U'Î', U'Ï', U'Ô', U'Ö', U'Û', U'Ü', U'ř', U'č', U'š', U'ž', U'đ', U'ŀ',
    U'Ã', U'Å', U'Æ', U'Œ', U'ŷ', U'Ý', U'Õ', U'Ø', U'Þ', U'Ŋ', U'Ŕ', U'Ć', U'Ś', U'Ź', U'Ŧ', U'ð',
    U'ã', U'å', U'æ', U'œ', U'ŵ', U'ý', U'õ', U'ø', U'þ', U'ŋ', U'ŕ', U'ć', U'ś', U'ź', U'ŧ', U' ',
};

} // namespace

char32_t RdsCodePoint(uint8_t c) {
  if (c >= 0x80) return kUpperHalf[c - 0x80];
  if (c < 0x20 || c == 0x7F) return U' ';
  return static_cast<char32_t>(c);
}

std::u32string RdsToCodePoints(const uint8_t* text, size_t n) {
  std::u32string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out += RdsCodePoint(text[i]);
  return out;
}

} // namespace radiotext
