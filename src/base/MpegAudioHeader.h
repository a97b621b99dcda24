#pragma once
// The four-byte header of an MPEG audio frame (Layers I to III, MPEG-1, -2 and
// -2.5): what the capture, the re-encoder and the radiotext reader need of it.
#include <cstdint>

namespace mpeg {

// Sync, a known version and layer, a bit rate other than free format, a
// known sample rate and no reserved emphasis.
bool IsValidHeader(const uint8_t* h);
int32_t BitrateKbps(const uint8_t* h);
uint32_t SampleRate(const uint8_t* h);
// Bytes from this header to the next one, padding included; 0 when unknown.
int32_t FrameLength(const uint8_t* h);
// Layer bits (3: Layer I, 2: Layer II, 1: Layer III) and version bits (3:
// MPEG-1, 2: MPEG-2, 0: MPEG-2.5).
inline int Layer(const uint8_t* h) { return (h[1] >> 1) & 3; }
inline int Version(const uint8_t* h) { return (h[1] >> 3) & 3; }

} // namespace mpeg
