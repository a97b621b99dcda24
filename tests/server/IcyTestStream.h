#pragma once
// A listener's view of a stream with titles inside: the audio bytes apart
// from the blocks, each block with the audio offset it followed, read as
// the ICY description has it rather than through the server's own code.
#include <cstdint>
#include <string>
#include <vector>

namespace icytest {

constexpr size_t kMetaInt = 16000;  // what the head announces

struct TBlock {
  size_t AfterAudio = 0;
  std::string Payload;  // 16*n bytes; empty for the lone 0
};

struct TSplit {
  std::string Audio;
  std::vector<TBlock> Blocks;
};

// Stops at a block that has not fully arrived.
inline TSplit Split(const std::string& bytes) {
  TSplit out;
  size_t at = 0, untilBlock = kMetaInt;
  while (at < bytes.size()) {
    const size_t n = std::min(untilBlock, bytes.size() - at);
    out.Audio.append(bytes, at, n);
    at += n;
    untilBlock -= n;
    if (untilBlock > 0 || at >= bytes.size()) break;
    const size_t length = 16 * static_cast<uint8_t>(bytes[at]);
    if (at + 1 + length > bytes.size()) break;
    out.Blocks.push_back({out.Audio.size(), bytes.substr(at + 1, length)});
    at += 1 + length;
    untilBlock = kMetaInt;
  }
  return out;
}

// The StreamTitle value of a block, "-" for a block without one.
inline std::string TitleOf(const TBlock& block) {
  static const std::string kKey = "StreamTitle='";
  if (block.Payload.compare(0, kKey.size(), kKey) != 0) return "-";
  const size_t end = block.Payload.find("';", kKey.size());
  return end == std::string::npos ? "-" : block.Payload.substr(kKey.size(), end - kKey.size());
}

} // namespace icytest
