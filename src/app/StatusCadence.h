#pragma once
// When the headless recorder prints its status line. On a terminal it is
// redrawn every second; anywhere else (a log, the journal) a line a second
// would be 86,400 a day, so it comes when what it says changes - a channel
// stopped, packets lost, the signal gone - and otherwise once a minute. The
// sizes grow all the time and are not a change.
#include <chrono>
#include <optional>
#include <string>

class TStatusCadence {
 public:
  using TClock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kQuietInterval{60};

  explicit TStatusCadence(bool terminal) : terminal_(terminal) {}

  // True when the line whose state (everything but the sizes) is `state`
  // should be printed at `now`; it then counts as printed.
  bool Due(const std::string& state, TClock::time_point now) {
    if (!terminal_ && last_ && state == state_ && now - *last_ < kQuietInterval) return false;
    state_ = state;
    last_ = now;
    return true;
  }

 private:
  bool terminal_;
  std::string state_;
  std::optional<TClock::time_point> last_;
};
