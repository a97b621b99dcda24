#include "base/DynamicLibrary.h"

#include <dlfcn.h>

namespace text {

namespace {

std::string LastError(const char* fallback) {
  const char* e = ::dlerror();
  return e ? e : fallback;
}

} // namespace

bool TDynamicLibrary::Open(const std::string& path) {
  Close();
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_) return true;
  error_ = LastError("the library does not load");
  return false;
}

void TDynamicLibrary::Close() {
  if (handle_) ::dlclose(handle_);
  handle_ = nullptr;
}

void* TDynamicLibrary::Symbol(const char* name) {
  if (!handle_) {
    error_ = std::string("no library loaded for ") + name;
    return nullptr;
  }
  ::dlerror();
  void* sym = ::dlsym(handle_, name);
  if (!sym) error_ = LastError(name);
  return sym;
}

} // namespace text
