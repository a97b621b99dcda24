#pragma once
// MPEG audio Layer II: encoding synthesized tones with libtwolame, and reading
// frame headers to cut an elementary stream into frames.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tsbuilder/PsiTables.h"

namespace tsb {

enum class TAudioMode { Stereo, JointStereo, DualChannel, Mono };
const char* AudioModeName(TAudioMode mode);  // "stereo", "joint", "dual", "mono"

struct TAudioFormat {
  int sampleRate = 48000;  // 32000/44100/48000 (MPEG-1), 16000/22050/24000 (MPEG-2)
  int bitrateKbps = 192;
  TAudioMode mode = TAudioMode::Stereo;
  int ancillaryBytes = 0;  // left free at each frame's end, for data such as RDS
};

// What a tone generator plays: a chord of partials whose notes step through
// an arpeggio, so that each channel sounds recognisably its own.
struct TToneSpec {
  double rootHz = 220.0;
  std::vector<double> intervals{1.0, 1.25, 1.5, 2.0};  // frequency ratios of the arpeggio
  double noteSeconds = 0.5;
};

// Layer II elementary stream of about `seconds` of the tone (whole frames).
// Throws std::runtime_error when libtwolame refuses the format.
Bytes EncodeTone(const TAudioFormat& format, const TToneSpec& tone, double seconds);

struct TMpegAudioHeader {
  int version = 1;  // 1: MPEG-1, 2: MPEG-2 LSF
  int layer = 2;
  int bitrateKbps = 0;
  int sampleRate = 0;
  int channelMode = 0;  // 0 stereo, 1 joint, 2 dual, 3 mono
  int frameBytes = 0;
  int samplesPerFrame = 1152;
};

// Parses a Layer I/II/III header at data[0..3]; nullopt for anything else
// (bad sync, reserved values, free format).
std::optional<TMpegAudioHeader> ParseMpegAudioHeader(const uint8_t* data, size_t size);

// Splits a stream into frame lengths, front to back; stops at the first byte
// that does not start a whole frame.
std::vector<size_t> SplitFrames(const Bytes& stream);

} // namespace tsb
