#include "capture/LameEncoder.h"

#include <dlfcn.h>

#include "base/DynamicLibrary.h"
#include <lame/lame.h>

#include <cstdarg>

namespace {

// The capture path reports nothing, so the library's own messages go nowhere.
void Quiet(const char*, va_list) {}

// lame.h's own worst case for one call: 1.25 output bytes per input sample
// per channel plus 7200; input above the output rate never grows it.
uint32_t WorstCaseOutput(uint32_t samplesPerChannel, int inRate, int outRate) {
  uint64_t samples = samplesPerChannel;
  if (outRate > inRate && inRate > 0)
    samples = (samples * static_cast<uint64_t>(outRate) + inRate - 1) / inRate + 1;
  return static_cast<uint32_t>((samples * 5 + 3) / 4 + 7200);
}

} // namespace

struct TLameEnc::Api {
  decltype(&lame_init) init;
  decltype(&lame_close) close;
  decltype(&lame_init_params) initParams;
  decltype(&lame_set_in_samplerate) setInRate;
  decltype(&lame_set_out_samplerate) setOutRate;
  decltype(&lame_set_num_channels) setChannels;
  decltype(&lame_set_mode) setMode;
  decltype(&lame_set_VBR) setVbr;
  decltype(&lame_set_brate) setBitrate;
  decltype(&lame_set_quality) setQuality;
  decltype(&lame_set_copyright) setCopyright;
  decltype(&lame_set_original) setOriginal;
  decltype(&lame_set_extension) setPrivate;
  decltype(&lame_set_error_protection) setCrc;
  decltype(&lame_set_strict_ISO) setStrictIso;
  decltype(&lame_set_bWriteVbrTag) setVbrTag;
  decltype(&lame_set_errorf) setErrorf;
  decltype(&lame_set_debugf) setDebugf;
  decltype(&lame_set_msgf) setMsgf;
  decltype(&lame_get_version) getVersion;
  decltype(&lame_get_in_samplerate) getInRate;
  decltype(&lame_get_out_samplerate) getOutRate;
  decltype(&lame_encode_buffer) encode;
  decltype(&lame_encode_buffer_interleaved) encodeInterleaved;
  decltype(&lame_encode_flush) flush;
};

TLameEnc::~TLameEnc() { Unload(); }

bool TLameEnc::Load(const char* library) {
  Unload();
  if (!library) return false;
  text::TDynamicLibrary lib;
  if (!lib.Open(library)) return false;
  auto* api = new Api{};
  const bool all =
      lib.Resolve("lame_init", api->init) && lib.Resolve("lame_close", api->close) &&
      lib.Resolve("lame_init_params", api->initParams) &&
      lib.Resolve("lame_set_in_samplerate", api->setInRate) &&
      lib.Resolve("lame_set_out_samplerate", api->setOutRate) &&
      lib.Resolve("lame_set_num_channels", api->setChannels) &&
      lib.Resolve("lame_set_mode", api->setMode) && lib.Resolve("lame_set_VBR", api->setVbr) &&
      lib.Resolve("lame_set_brate", api->setBitrate) &&
      lib.Resolve("lame_set_quality", api->setQuality) &&
      lib.Resolve("lame_set_copyright", api->setCopyright) &&
      lib.Resolve("lame_set_original", api->setOriginal) &&
      lib.Resolve("lame_set_extension", api->setPrivate) &&
      lib.Resolve("lame_set_error_protection", api->setCrc) &&
      lib.Resolve("lame_set_strict_ISO", api->setStrictIso) &&
      lib.Resolve("lame_set_bWriteVbrTag", api->setVbrTag) &&
      lib.Resolve("lame_set_errorf", api->setErrorf) &&
      lib.Resolve("lame_set_debugf", api->setDebugf) &&
      lib.Resolve("lame_set_msgf", api->setMsgf) &&
      lib.Resolve("lame_get_version", api->getVersion) &&
      lib.Resolve("lame_get_in_samplerate", api->getInRate) &&
      lib.Resolve("lame_get_out_samplerate", api->getOutRate) &&
      lib.Resolve("lame_encode_buffer", api->encode) &&
      lib.Resolve("lame_encode_buffer_interleaved", api->encodeInterleaved) &&
      lib.Resolve("lame_encode_flush", api->flush);
  if (!all) {
    delete api;
    return false;
  }
  library_ = std::move(lib);
  api_ = api;
  return true;
}

void TLameEnc::Unload() {
  if (!library_.IsOpen()) return;
  for (Stream& s : streams_)
    if (s.flags) api_->close(s.flags);
  streams_.clear();
  delete api_;
  api_ = nullptr;
  library_.Close();
}

TLameEnc::Stream* TLameEnc::Find(HBE_STREAM stream) {
  if (stream == 0 || stream > streams_.size()) return nullptr;
  Stream* s = &streams_[stream - 1];
  return s->flags ? s : nullptr;
}

BE_ERR TLameEnc::beInitStream(const BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize,
                              HBE_STREAM* stream) {
  if (!library_.IsOpen()) return BE_ERR_INVALID_HANDLE;
  if (!config || !samples || !bufferSize || !stream) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  if (config->dwConfig != BE_CONFIG_LAME || config->format.LHV1.dwStructVersion < 1)
    return BE_ERR_INVALID_FORMAT;
  const TLameHeaderV1& c = config->format.LHV1;
  // Only constant bit rate is offered; the capture never asks for more.
  if (c.bEnableVBR) return BE_ERR_INVALID_FORMAT_PARAMETERS;

  int channels = 2;
  MPEG_mode mode = STEREO;
  switch (c.nMode) {
    case BE_MP3_MODE_STEREO: mode = STEREO; break;
    case BE_MP3_MODE_JSTEREO: mode = JOINT_STEREO; break;
    case BE_MP3_MODE_DUALCHANNEL: mode = STEREO; break;   // LAME has no dual-channel coder
    case BE_MP3_MODE_MONO: mode = MONO; channels = 1; break;
    default: return BE_ERR_INVALID_FORMAT_PARAMETERS;
  }
  int quality = 5;
  if (c.nPreset == LQP_LOW_QUALITY) quality = 9;
  else if (c.nPreset == LQP_HIGH_QUALITY) quality = 2;

  lame_global_flags* gf = api_->init();
  if (!gf) return BE_ERR_NO_MORE_HANDLES;
  api_->setErrorf(gf, Quiet);
  api_->setDebugf(gf, Quiet);
  api_->setMsgf(gf, Quiet);
  // Recordings are raw frame sequences: no tag frame that nobody fills in.
  api_->setVbrTag(gf, 0);
  api_->setInRate(gf, static_cast<int>(c.dwSampleRate));
  api_->setOutRate(gf, static_cast<int>(c.dwReSampleRate));
  api_->setChannels(gf, channels);
  api_->setMode(gf, mode);
  api_->setVbr(gf, vbr_off);
  api_->setBitrate(gf, static_cast<int>(c.dwBitrate));
  api_->setQuality(gf, quality);
  api_->setCopyright(gf, c.bCopyright ? 1 : 0);
  api_->setOriginal(gf, c.bOriginal ? 1 : 0);
  api_->setPrivate(gf, c.bPrivate ? 1 : 0);
  api_->setCrc(gf, c.bCRC ? 1 : 0);
  api_->setStrictIso(gf, c.bStrictIso ? 1 : 0);
  if (c.dwSampleRate == 0 || api_->initParams(gf) < 0) {
    api_->close(gf);
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  }

  Stream s;
  s.flags = gf;
  s.channels = channels;
  s.bufferSize = WorstCaseOutput(MaxChunkValues / channels, api_->getInRate(gf),
                                 api_->getOutRate(gf));
  size_t slot = 0;
  while (slot < streams_.size() && streams_[slot].flags) ++slot;
  if (slot == streams_.size()) streams_.push_back(s);
  else streams_[slot] = s;

  // One MPEG-1 frame carries 1152 samples per channel, MPEG-2 and 2.5 half that.
  *samples = (api_->getVersion(gf) == 1 ? 1152u : 576u) * static_cast<uint32_t>(channels);
  *bufferSize = s.bufferSize;
  *stream = static_cast<HBE_STREAM>(slot + 1);
  return BE_ERR_SUCCESSFUL;
}

BE_ERR TLameEnc::beEncodeChunk(HBE_STREAM stream, uint32_t nSamples, const int16_t* samples,
                               uint8_t* output, uint32_t* produced) {
  Stream* s = library_.IsOpen() ? Find(stream) : nullptr;
  if (!s) return BE_ERR_INVALID_HANDLE;
  if (!produced || !output || (nSamples > 0 && !samples)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  *produced = 0;
  // Larger blocks could outgrow the output size reported at opening.
  if (nSamples > MaxChunkValues) return BE_ERR_BUFFER_TOO_SMALL;
  const int perChannel = static_cast<int>(nSamples) / s->channels;
  const int size = static_cast<int>(s->bufferSize);
  const int written =
      s->channels == 1
          ? api_->encode(s->flags, samples, samples, perChannel, output, size)
          : api_->encodeInterleaved(s->flags, const_cast<short*>(samples), perChannel, output,
                                    size);
  if (written < 0) return written == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT;
  *produced = static_cast<uint32_t>(written);
  return BE_ERR_SUCCESSFUL;
}

BE_ERR TLameEnc::beDeinitStream(HBE_STREAM stream, uint8_t* output, uint32_t* produced) {
  Stream* s = library_.IsOpen() ? Find(stream) : nullptr;
  if (!s) return BE_ERR_INVALID_HANDLE;
  if (!produced || !output) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  *produced = 0;
  const int written = api_->flush(s->flags, output, static_cast<int>(s->bufferSize));
  if (written < 0) return written == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT;
  *produced = static_cast<uint32_t>(written);
  return BE_ERR_SUCCESSFUL;
}

BE_ERR TLameEnc::beCloseStream(HBE_STREAM stream) {
  Stream* s = library_.IsOpen() ? Find(stream) : nullptr;
  if (!s) return BE_ERR_INVALID_HANDLE;
  api_->close(s->flags);
  *s = Stream{};
  return BE_ERR_SUCCESSFUL;
}
