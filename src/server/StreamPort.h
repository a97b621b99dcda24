#pragma once
#include <cstdint>

// The port every channel is served on, at 127.0.0.1, unless a caller names another.
inline constexpr uint16_t kStreamPort = 3587;
