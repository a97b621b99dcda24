// The nine exports of a card plug-in, all forwarding to the library's card.
#include "CardExports.h"

using cardplugin::ThisCard;

MC_EXPORT int32_t DVBOpen(int32_t) { return ThisCard().Open(); }
MC_EXPORT void DVBClose() { ThisCard().Close(); }
MC_EXPORT int32_t DVBGetInfo(void*) { return 0; }
MC_EXPORT int32_t DVBSendDiSEqC(int32_t port) { return ThisCard().SendDiSEqC(port); }
MC_EXPORT int32_t DVBSetTuner(TTunerParams params) { return ThisCard().SetTuner(params); }
MC_EXPORT int32_t DVBGetTunerStatus(uint8_t* level, uint8_t* quality) {
  return ThisCard().GetTunerStatus(level, quality);
}
// The last four arguments are part of the ABI and mean nothing to any card.
MC_EXPORT int32_t DVBAddFilter(int32_t pid, TFilterCallback callback, int32_t, int32_t, int32_t, int32_t) {
  return ThisCard().AddFilter(pid, callback);
}
MC_EXPORT void DVBDelFilter(int32_t handle) { ThisCard().DelFilter(handle); }
MC_EXPORT void DVBSETCOUNT(int32_t mode) { ThisCard().SetCount(mode); }
