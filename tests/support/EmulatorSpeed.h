#pragma once
// The Emulator card's replay speed for every program the test starts while
// this is alive, handed on through the environment as a user would set it:
// a case that needs the demo's later minutes, or a few chunks of a channel,
// gets them without waiting them out in real time.
#include <cstdlib>
#include <string>

namespace testsupport {

class TEmulatorSpeed {
 public:
  explicit TEmulatorSpeed(const std::string& factor) { ::setenv(kVariable, factor.c_str(), 1); }
  ~TEmulatorSpeed() { ::unsetenv(kVariable); }
  TEmulatorSpeed(const TEmulatorSpeed&) = delete;
  TEmulatorSpeed& operator=(const TEmulatorSpeed&) = delete;

  static constexpr const char* kVariable = "MELLOWCASTER_EMULATOR_SPEED";
};

} // namespace testsupport
