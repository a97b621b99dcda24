// A card plug-in for the loader tests. DVBOpen returns FAKE_CARD_ORIGIN so a
// test can tell which copy was loaded; built with FAKE_CARD_LACKS_SETCOUNT it
// lacks one of the nine exports.
#include "device/DvbPluginApi.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int32_t DVBOpen(int32_t) { return FAKE_CARD_ORIGIN; }
EXPORT void DVBClose() {}
EXPORT int32_t DVBGetInfo(void*) { return 0; }
EXPORT int32_t DVBSendDiSEqC(int32_t) { return 1; }
EXPORT int32_t DVBSetTuner(TTunerParams params) { return static_cast<int32_t>(params.Frequency); }
EXPORT int32_t DVBGetTunerStatus(uint8_t* level, uint8_t* quality) {
  *level = 1;
  *quality = 2;
  return 1;
}
EXPORT int32_t DVBAddFilter(int32_t pid, TFilterCallback, int32_t, int32_t, int32_t, int32_t) {
  return pid + 1;
}
EXPORT void DVBDelFilter(int32_t) {}
#ifndef FAKE_CARD_LACKS_SETCOUNT
EXPORT void DVBSETCOUNT(int32_t) {}
#endif
