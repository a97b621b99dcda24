#pragma once
// Run-time library loading shared by the card loader and the codec bindings.
#include <dlfcn.h>

namespace text {

// Looks a symbol up in a dlopen'ed library and stores it as the slot's
// function pointer type; false, slot untouched, when it is missing.
template <typename Fn>
bool ResolveSymbol(void* library, const char* name, Fn& slot) {
  void* sym = ::dlsym(library, name);
  if (!sym) return false;
  slot = reinterpret_cast<Fn>(sym);
  return true;
}

} // namespace text
