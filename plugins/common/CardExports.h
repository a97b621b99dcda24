#pragma once
// What a card plug-in provides behind the nine exports of the card ABI
// (device/DvbPluginApi.h). CardExports.cpp defines the exports themselves and
// forwards every call to the library's one card, so a plug-in only supplies
// that card through ThisCard().
#include <cstdint>

#include "device/DvbPluginApi.h"

// For a plug-in's own extra exports; everything else in it stays hidden.
#define MC_EXPORT extern "C" __attribute__((visibility("default")))

namespace cardplugin {

// The operations behind the exports. DVBGetInfo has nothing to do on any card
// and is answered without one. The threading promises are the card's: its
// callbacks run on its own delivery thread, DelFilter returns only once no
// delivery to that filter runs (at once when called from that filter's own
// callback).
class TCard {
 public:
  virtual int32_t Open() = 0;  // non-zero: ready
  virtual void Close() = 0;
  virtual int32_t SendDiSEqC(int32_t port) = 0;
  virtual int32_t SetTuner(const TTunerParams& params) = 0;  // non-zero: locked
  virtual int32_t GetTunerStatus(uint8_t* level, uint8_t* quality) = 0;
  virtual int32_t AddFilter(int32_t pid, TFilterCallback callback) = 0;  // 0: refused
  virtual void DelFilter(int32_t handle) = 0;
  virtual void SetCount(int32_t mode) = 0;

 protected:
  // Never destroyed through this interface: the card is the library's own.
  ~TCard() = default;
};

// The one card of this library, made on first use and destroyed when the
// library is unloaded. Each plug-in defines it.
TCard& ThisCard();

} // namespace cardplugin
