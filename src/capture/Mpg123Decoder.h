#pragma once
// MPEG audio decoder binding: loads libmpg123 at run time and offers the
// classic decoder calls (initialise, decode, exit) on top of its feed mode.
// Every byte given to DecodeMP3 is kept until it has been decoded; each call
// hands out at most one frame, and calls without input fetch the next one.
#include <cstdint>

#include "base/DynamicLibrary.h"

struct mpg123_handle_struct;

// Decoder state of one stream; owned by the caller, managed by the calls.
struct TMpgState {
  mpg123_handle_struct* handle = nullptr;
};

constexpr int MP3_ERR = -1;
constexpr int MP3_OK = 0;
constexpr int MP3_NEED_MORE = 1;

class TMpgLib {
 public:
  TMpgLib() = default;
  ~TMpgLib();
  TMpgLib(const TMpgLib&) = delete;
  TMpgLib& operator=(const TMpgLib&) = delete;

  // False when the library or one of the functions used is missing.
  bool Load(const char* library);
  // States still initialised must have been passed to ExitMP3 before.
  void Unload();
  bool Loaded() const { return library_.IsOpen(); }

  // Starts a fresh stream; on a state in use it drops everything buffered.
  // With a rate, the decoder hands out only that rate and channel count (1 or
  // 2), converting frames of any other format.
  bool InitMP3(TMpgState* mp, long rate = 0, int channels = 0);
  // Releases the state's decoder; harmless on a state never initialised.
  void ExitMP3(TMpgState* mp);
  // Feeds inSize bytes (none when in is null), then decodes at most one frame
  // into out as interleaved signed 16-bit samples; done receives its bytes.
  // MP3_OK: a frame; MP3_NEED_MORE: more input needed; MP3_ERR: the stream
  // must be restarted with InitMP3.
  int DecodeMP3(TMpgState* mp, const uint8_t* in, int32_t inSize, uint8_t* out, int32_t outSize,
                int32_t* done);

 private:
  struct Api;
  text::TDynamicLibrary library_;
  Api* api_ = nullptr;
};
