#include "player/Equalizer.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/Convert.h"
#include "base/LineFile.h"

namespace {

// Left entries each band drives, first and last.
constexpr std::array<std::pair<int, int>, kEqualizerBands> kBandEntries{
    {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 5}, {6, 7}, {8, 9}, {10, 14}, {15, 22}, {23, 31}}};

} // namespace

XA_EqualizerInfo EqualizerOf(const TBandPositions& positions) {
  XA_EqualizerInfo eq{};
  for (size_t b = 0; b < kBandEntries.size(); ++b)
    for (int e = kBandEntries[b].first; e <= kBandEntries[b].second; ++e)
      eq.left[e] = static_cast<signed char>(-positions[b]);
  std::copy(std::begin(eq.left), std::end(eq.left), std::begin(eq.right));
  return eq;
}

void ReadEqualizerFile(const std::string& path, const std::function<void(int index, int value)>& take) {
  const std::vector<std::string> lines = text::ReadLineFile(path);
  for (int i = 0; i <= kEqualizerBands; ++i) {
    const size_t line = static_cast<size_t>(i);
    take(i, text::StrToInt(line < lines.size() ? lines[line] : ""));
  }
}

void WriteEqualizerFile(const std::string& path, const TBandPositions& bands, int volume) {
  std::vector<std::string> lines;
  for (int b : bands) lines.push_back(std::to_string(b));
  lines.push_back(std::to_string(volume));
  text::WriteLineFile(path, lines);
}
