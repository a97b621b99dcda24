#pragma once
// The one way a library is loaded at run time: the card plug-ins, the codec
// bindings and the player engine all go through it.
#include <string>
#include <utility>

namespace text {

class TDynamicLibrary {
 public:
  TDynamicLibrary() = default;
  ~TDynamicLibrary() { Close(); }
  TDynamicLibrary(const TDynamicLibrary&) = delete;
  TDynamicLibrary& operator=(const TDynamicLibrary&) = delete;
  TDynamicLibrary(TDynamicLibrary&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), error_(std::move(other.error_)) {}
  TDynamicLibrary& operator=(TDynamicLibrary&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
      error_ = std::move(other.error_);
    }
    return *this;
  }

  // Loads the library (its symbols kept private to it), closing the one held
  // before; false, with Error() telling why, when it does not load.
  bool Open(const std::string& path);
  // Unloads; harmless when nothing is held.
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }

  // Looks a symbol up and stores it as the slot's function pointer type;
  // false, slot untouched, when it is missing.
  template <typename Fn>
  bool Resolve(const char* name, Fn& slot) {
    void* sym = Symbol(name);
    if (!sym) return false;
    slot = reinterpret_cast<Fn>(sym);
    return true;
  }

  // The system's text for the last failed Open or Resolve.
  const std::string& Error() const { return error_; }

 private:
  void* Symbol(const char* name);

  void* handle_ = nullptr;
  std::string error_;
};

} // namespace text
