#pragma once
// Material and set-up the capture benchmarks share.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureSession.h"
#include "server/AudioServer.h"

namespace benchmaterial {

// 48 kHz stereo Layer II of a chord with a slow sweep, so an encoder has real
// work on both channels.
std::vector<uint8_t> ChordLayerII(double seconds, int kbps);

// 188-byte packets whose payloads are `es`, 184 bytes each; a tail shorter
// than a payload is left out.
std::vector<uint8_t> Packetize(const std::vector<uint8_t>& es);

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Channels "Channel_0", "Channel_1", ... streamed by a recording server on a
// free port, with sessions that record to no file, and the target that joins
// them; the caller attaches it (after adding an encoder pool, if any).
struct TCallbackRig {
  TCallbackRig(int channels, RecordFormat recordFormat);
  std::unique_ptr<TAudioServer> server;
  TSessions sessions;
  std::atomic<RecordFormat> format;
  CaptureTarget target;
};

} // namespace benchmaterial
