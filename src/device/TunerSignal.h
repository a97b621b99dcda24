#pragma once
// The tuner's meters as both front ends show them.
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "device/DvbPluginApi.h"

struct TTunerSignal {
  uint8_t Level = 0;
  uint8_t Quality = 0;
  bool Lost = false;  // the card went away (unplugged); the meters read 0
};

// The card's level and quality, or nothing while no plug-in is loaded.
std::optional<TTunerSignal> ReadTunerSignal(const TDevicePlugin& card);

// The card's packet losses per channel (demux buffer overflows), told at most
// once a minute per channel: a card short of buffer loses some every second.
class TOverflowNotices {
 public:
  using TClock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kQuietTime{60};

  // counts: each row's overflows so far (below 0: not known). The rows whose
  // new losses are to be told now.
  std::vector<size_t> Check(const std::vector<int64_t>& counts, TClock::time_point now);

 private:
  std::vector<int64_t> told_;  // the count last told, per row
  std::vector<std::optional<TClock::time_point>> when_;
};
