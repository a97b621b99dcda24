// The card of this library, behind the nine card exports. The same library
// serves every card model the settings offer.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "CardExports.h"
#include "LinuxDvbCard.h"

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

cardplugin::TCard& cardplugin::ThisCard() { return Card(); }

// The optional export: why the card is not ready.
MC_EXPORT int32_t DVBGetReason() { return Card().Reason(); }
MC_EXPORT int32_t DVBGetOverflows(int32_t handle) {
  const int64_t n = Card().FilterOverflows(handle);
  return static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX));
}
