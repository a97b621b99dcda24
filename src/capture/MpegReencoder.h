#pragma once
// Re-encodes chunks of broadcast MPEG audio to constant-bit-rate MP3: each
// chunk is decoded frame by frame and every frame is encoded at once. The
// encoding stream opens on the first chunk that holds a pair of consecutive
// frame headers and takes that frame's format; it stays open until the
// encoder fails. One object serves one capture session, from one thread.
#include <cstdint>

#include "capture/LameEncoder.h"
#include "capture/Mpg123Decoder.h"

class TMPEGReEncode {
 public:
  // Library names are parameters so tests can make one missing.
  explicit TMPEGReEncode(const char* decoderLibrary = "libmpg123.so.0",
                         const char* encoderLibrary = "libmp3lame.so.0");
  ~TMPEGReEncode();
  TMPEGReEncode(const TMPEGReEncode&) = delete;
  TMPEGReEncode& operator=(const TMPEGReEncode&) = delete;

  uint32_t InSampleRate = 44100;   // Hz, taken from the first frame found
  uint32_t OutSampleRate = 0;      // Hz, 0 lets the encoder choose
  int32_t InChannels = 2;          // 1 or 2, from the first frame found
  int32_t ChannelMode = 2;         // 1 mono, 2 stereo
  int32_t Bitrate = 128;           // kbit/s; only ever lowered to a source's rate
  int32_t Preset = 2;              // 2 = normal quality

  static constexpr int32_t PcmSize = 0x2400;   // one decoded frame, with room to spare

  // Both libraries and all their functions were found.
  bool Ready() const { return ready_; }
  // MP3 bytes written to output (0 ... capacity), 0 while no frame is complete
  // yet, -1 on failure: not ready, capacity below the encoder's output size,
  // no frame pair before the stream is open, or an encoder error.
  // It stops before a block that might not fit (HoldsMore), leaving the
  // remaining frames for a call with or without new input.
  int32_t Recode(const uint8_t* input, int32_t n, uint8_t* output, int32_t capacity);
  // True when the last Recode stopped for want of room, not of input.
  bool HoldsMore() const { return holdsMore_; }

  static bool IsValidHeader(const uint8_t* h);
  static int32_t FrameLength(const uint8_t* h);
  static int32_t BitrateKbps(const uint8_t* h);
  static uint32_t SampleRate(const uint8_t* h);
  // Offset of the first valid header followed by another one frame length
  // later, or -1. A candidate whose frame and next header do not both fit in
  // the data ends the search.
  static int32_t FindFrame(const uint8_t* data, int32_t n);
  // Sets InSampleRate and InChannels from the first frame found.
  bool ParseFirstHeader(const uint8_t* data, int32_t n, int32_t* bitrateKbps);
  void OpenEncoder();
  void CloseEncoder();
  // Ends the encoded frame sequence: what the encoder still holds goes to
  // output (bytes written, 0 ... capacity, or -1), and the next Recode starts
  // a fresh sequence on the same format, the decoder going on where it is, so
  // that the audio on both sides stays adjacent.
  int32_t EndSequence(uint8_t* output, int32_t capacity);

  const BE_CONFIG& Config() const { return config_; }
  bool StreamOpen() const { return streamOpen_; }
  uint32_t EncoderOutputSize() const { return encoderOutputSize_; }
  // 16-bit values handed to the encoder since the stream last opened.
  uint64_t ValuesEncoded() const { return valuesEncoded_; }

 private:
  // Decodes the next frame, fed with input when given; restarts the decoder
  // on an error, which then counts as no frame.
  int Decode(const uint8_t* input, int32_t n, int32_t* done);

  BE_CONFIG config_{};
  HBE_STREAM streamHandle_ = 0;
  TMpgState decoderState_;
  alignas(int16_t) uint8_t pcm_[PcmSize];
  uint8_t* encoderOutput_ = nullptr;
  uint32_t encoderOutputSize_ = 0;
  uint64_t valuesEncoded_ = 0;
  bool holdsMore_ = false;
  bool streamOpen_ = false;
  bool sequenceEnded_ = false;  // the encoder reopens without a new first header
  bool ready_ = false;
  TMpgLib decoder_;
  TLameEnc encoder_;
};
