#include "server/IcyMetadata.h"

namespace icy {
namespace {

// Bytes of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

} // namespace

std::string SafeTitle(std::string_view utf8) {
  std::string out;
  out.reserve(std::min(utf8.size() + 16, kMaxTitleBytes));
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    std::string_view piece;
    size_t length = 1;
    if (c == '\'') {
      piece = "\xE2\x80\x99";
    } else if (c < 0x20 || c == 0x7F) {
      piece = " ";
    } else {
      length = std::min(SequenceLength(c), utf8.size() - i);
      piece = utf8.substr(i, length);
    }
    if (out.size() + piece.size() > kMaxTitleBytes) break;
    out += piece;
    i += length;
  }
  return out;
}

std::string MetadataBlock(std::string_view utf8Title) {
  const std::string text = "StreamTitle='" + SafeTitle(utf8Title) + "';";
  const size_t units = (text.size() + 15) / 16;
  std::string block(1 + units * 16, '\0');
  block[0] = static_cast<char>(units);
  block.replace(1, text.size(), text);
  return block;
}

void TMetadataStream::StartBlock(const TTitle& title) {
  untilBlock_ = kInterval;
  pendingAt_ = 0;
  if (title.Version != sentVersion_ && title.Block) {
    pending_ = *title.Block;
    sentVersion_ = title.Version;
  } else {
    pending_.assign(1, '\0');
  }
}

} // namespace icy
