#pragma once
// Audio outputs of the engine: a device through libout123, a paced sink that
// throws the audio away, and a WAV file writer. All take interleaved signed
// 16-bit samples.
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

namespace xa {

class Output {
 public:
  virtual ~Output() = default;
  // Readies the output for this format; false with error() set on failure.
  virtual bool Start(long rate, int channels) = 0;
  virtual bool Write(const void* data, size_t bytes) = 0;
  // Plays what is buffered, then releases the device or finishes the file.
  virtual void Finish() = 0;
  // Releases the device at once, what it still holds thrown away (stop).
  virtual void Abort() { Finish(); }
  // Drops what is buffered (seek); the output stays usable.
  virtual void Drop() {}
  // A file has one format in its head: the audio must be converted to the
  // format it started with, and a Start with another one is refused.
  virtual bool KeepsFirstFormat() const { return false; }
  const std::string& error() const { return error_; }

 protected:
  std::string error_;
};

// "default" (PulseAudio, which PipeWire serves too, else ALSA), "dummy",
// "wav:PATH", or libout123 driver names (comma-separated, tried in turn) with
// an optional ":device". Null with a reason for a name that cannot be used.
std::unique_ptr<Output> MakeOutput(const std::string& name, std::string& error);

}  // namespace xa
