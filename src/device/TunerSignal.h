#pragma once
// The tuner's meters as both front ends show them.
#include <cstdint>
#include <optional>

#include "device/DvbPluginApi.h"

struct TTunerSignal {
  uint8_t Level = 0;
  uint8_t Quality = 0;
  bool Lost = false;  // the card went away (unplugged); the meters read 0
};

// The card's level and quality, or nothing while no plug-in is loaded.
std::optional<TTunerSignal> ReadTunerSignal(const TDevicePlugin& card);
