#pragma once
// MP3 encoder binding: loads libmp3lame at run time and offers the stream
// interface of the classic encoder library (open a stream from a BE_CONFIG
// record, encode blocks of 16-bit samples, close) on top of it.
#include <cstdint>
#include <vector>

#include "base/DynamicLibrary.h"

using BE_ERR = uint32_t;
using HBE_STREAM = uint32_t;   // 1-based slot of this binding's stream table; 0 is none

constexpr BE_ERR BE_ERR_SUCCESSFUL = 0;
constexpr BE_ERR BE_ERR_INVALID_FORMAT = 1;
constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 2;
constexpr BE_ERR BE_ERR_NO_MORE_HANDLES = 3;
constexpr BE_ERR BE_ERR_INVALID_HANDLE = 4;
constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 5;

constexpr uint32_t BE_CONFIG_LAME = 256;
constexpr int32_t BE_MP3_MODE_STEREO = 0;
constexpr int32_t BE_MP3_MODE_JSTEREO = 1;
constexpr int32_t BE_MP3_MODE_DUALCHANNEL = 2;
constexpr int32_t BE_MP3_MODE_MONO = 3;
constexpr uint32_t MPEG1 = 1;
constexpr uint32_t MPEG2 = 0;
constexpr int32_t LQP_NOPRESET = -1;
constexpr int32_t LQP_NORMAL_QUALITY = 0;
constexpr int32_t LQP_LOW_QUALITY = 1;
constexpr int32_t LQP_HIGH_QUALITY = 2;

#pragma pack(push, 1)
// Header-version-1 settings; the reserved tail pads the record to 331 bytes.
struct TLameHeaderV1 {
  uint32_t dwStructVersion;
  uint32_t dwStructSize;
  uint32_t dwSampleRate;     // input rate, Hz
  uint32_t dwReSampleRate;   // output rate, 0 = encoder decides
  int32_t nMode;             // BE_MP3_MODE_*
  uint32_t dwBitrate;        // constant bit rate, kbit/s
  uint32_t dwMaxBitrate;     // only for variable bit rate
  int32_t nPreset;           // LQP_*
  uint32_t dwMpegVersion;
  uint32_t dwPsyModel;
  uint32_t dwEmphasis;
  int32_t bPrivate;
  int32_t bCRC;
  int32_t bCopyright;
  int32_t bOriginal;
  int32_t bWriteVBRHeader;
  int32_t bEnableVBR;
  int32_t nVBRQuality;
  uint32_t dwVbrAbr_bps;
  int32_t nVbrMethod;
  int32_t bNoRes;
  int32_t bStrictIso;
  uint16_t nQuality;
  uint8_t btReserved[255 - 4 * sizeof(uint32_t) - sizeof(uint16_t)];
};

struct BE_CONFIG {
  uint32_t dwConfig;   // BE_CONFIG_LAME
  union {
    TLameHeaderV1 LHV1;
  } format;
};
#pragma pack(pop)
static_assert(sizeof(BE_CONFIG) == 331, "the configuration record is 331 bytes");

struct lame_global_struct;

class TLameEnc {
 public:
  // Largest block beEncodeChunk takes, in 16-bit values: two decoded frames of
  // 1152 stereo samples. The reported output size covers this block in mono.
  static constexpr uint32_t MaxChunkValues = 4608;

  TLameEnc() = default;
  ~TLameEnc();
  TLameEnc(const TLameEnc&) = delete;
  TLameEnc& operator=(const TLameEnc&) = delete;

  // False when the library or one of the functions used is missing.
  bool Load(const char* library);
  void Unload();   // closes streams still open
  bool Loaded() const { return library_.IsOpen(); }

  // samples: the block size the stream expects per call (16-bit values);
  // bufferSize: the largest output one beEncodeChunk call can produce.
  BE_ERR beInitStream(const BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize,
                      HBE_STREAM* stream);
  // nSamples counts 16-bit values, interleaved for a two-channel stream.
  // output must hold the bufferSize reported when the stream was opened.
  BE_ERR beEncodeChunk(HBE_STREAM stream, uint32_t nSamples, const int16_t* samples,
                       uint8_t* output, uint32_t* produced);
  // Encodes what the stream still holds (the last frame padded out) into
  // output, which must hold the bufferSize reported at opening; the stream
  // stays open until beCloseStream.
  BE_ERR beDeinitStream(HBE_STREAM stream, uint8_t* output, uint32_t* produced);
  // Frames the encoder still holds are dropped, not flushed.
  BE_ERR beCloseStream(HBE_STREAM stream);

 private:
  struct Api;
  struct Stream {
    lame_global_struct* flags = nullptr;
    int channels = 0;
    uint32_t bufferSize = 0;
  };
  Stream* Find(HBE_STREAM stream);

  text::TDynamicLibrary library_;
  Api* api_ = nullptr;
  std::vector<Stream> streams_;
};
