// The nine card operations, forwarding to the one card object of this
// library. The same library serves every card model the settings offer.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <string>

#include "LinuxDvbCard.h"

#define MC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Device/linuxdvb.conf, beside this library, may name the adapter to use.
std::string ConfigPath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&ConfigPath), &info) == 0 || !info.dli_fname) return "linuxdvb.conf";
  char resolved[PATH_MAX];
  // Not resolved through links: a copy linked into another Device folder
  // reads that folder's file.
  std::string path = info.dli_fname;
  if (path.find('/') == std::string::npos && ::realpath(path.c_str(), resolved)) path = resolved;
  const size_t slash = path.rfind('/');
  return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/linuxdvb.conf";
}

// Destroyed when the library is unloaded; its destructor stops the thread.
linuxdvb::TLinuxDvbCard& Card() {
  static linuxdvb::TLinuxDvbCard card(linuxdvb::RealKernel(), ConfigPath());
  return card;
}

} // namespace

MC_EXPORT int32_t DVBOpen(int32_t) { return Card().Open(); }
MC_EXPORT void DVBClose() { Card().Close(); }
MC_EXPORT int32_t DVBGetInfo(void*) { return 0; }
MC_EXPORT int32_t DVBSendDiSEqC(int32_t port) { return Card().SendDiSEqC(port); }
MC_EXPORT int32_t DVBSetTuner(TTunerParams params) { return Card().SetTuner(params); }
MC_EXPORT int32_t DVBGetTunerStatus(uint8_t* level, uint8_t* quality) {
  return Card().GetTunerStatus(level, quality);
}
MC_EXPORT int32_t DVBAddFilter(int32_t pid, TFilterCallback callback, int32_t, int32_t, int32_t,
                               int32_t) {
  return Card().AddFilter(pid, callback);
}
MC_EXPORT void DVBDelFilter(int32_t handle) { Card().DelFilter(handle); }
MC_EXPORT void DVBSETCOUNT(int32_t mode) { Card().SetCount(mode); }
