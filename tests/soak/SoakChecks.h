#pragma once
// What the soak run checks after every stop: the recordings (the MP3 ones are
// decoded with the tests' shared decoder) and the process's own resources.
#include <cstdint>
#include <string>
#include <vector>

namespace soak {

using Bytes = std::vector<uint8_t>;

// True when `file` is one unbroken stretch of the looped elementary stream
// `es` (starting anywhere, wrapping at its end). An empty file is no run.
bool IsLoopedRunOf(const Bytes& file, const Bytes& es);

struct TProcessUse {
  int64_t rssKiB = 0;
  int threads = 0;
  int openFiles = 0;  // descriptors held
};

TProcessUse ProcessUse();

Bytes ReadFile(const std::string& path);

} // namespace soak
