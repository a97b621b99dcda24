#include "capture/Mpg123Decoder.h"

#include <dlfcn.h>

#include "base/DynamicLibrary.h"
#include <mpg123.h>

#include <cstring>

namespace {

// Every rate MPEG audio knows; output stays at the stream's own rate.
constexpr long kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

} // namespace

struct TMpgLib::Api {
  decltype(&mpg123_init) init;
  decltype(&mpg123_new) create;
  decltype(&mpg123_delete) destroy;
  decltype(&mpg123_param) param;
  decltype(&mpg123_format_none) formatNone;
  decltype(&mpg123_format) format;
  decltype(&mpg123_open_feed) openFeed;
  decltype(&mpg123_close) close;
  decltype(&mpg123_feed) feed;
  decltype(&mpg123_decode_frame) decodeFrame;
};

TMpgLib::~TMpgLib() { Unload(); }

bool TMpgLib::Load(const char* library) {
  Unload();
  if (!library) return false;
  text::TDynamicLibrary lib;
  if (!lib.Open(library)) return false;
  auto* api = new Api{};
  const bool all = lib.Resolve("mpg123_init", api->init) &&
                   lib.Resolve("mpg123_new", api->create) &&
                   lib.Resolve("mpg123_delete", api->destroy) &&
                   lib.Resolve("mpg123_param", api->param) &&
                   lib.Resolve("mpg123_format_none", api->formatNone) &&
                   lib.Resolve("mpg123_format", api->format) &&
                   lib.Resolve("mpg123_open_feed", api->openFeed) &&
                   lib.Resolve("mpg123_close", api->close) &&
                   lib.Resolve("mpg123_feed", api->feed) &&
                   lib.Resolve("mpg123_decode_frame", api->decodeFrame);
  // Older library versions need the one-time set-up; newer ones ignore it.
  if (!all || api->init() != MPG123_OK) {
    delete api;
    return false;
  }
  library_ = std::move(lib);
  api_ = api;
  return true;
}

void TMpgLib::Unload() {
  if (!library_.IsOpen()) return;
  delete api_;
  api_ = nullptr;
  library_.Close();
}

bool TMpgLib::InitMP3(TMpgState* mp, long rate, int channels) {
  if (!library_.IsOpen() || !mp) return false;
  if (mp->handle) {
    // A restart keeps the handle and only drops the buffered input.
    api_->close(mp->handle);
    if (api_->openFeed(mp->handle) == MPG123_OK) return true;
    ExitMP3(mp);
  }
  mpg123_handle* h = api_->create(nullptr, nullptr);
  if (!h) return false;
  bool ok = api_->param(h, MPG123_ADD_FLAGS, MPG123_QUIET, 0) == MPG123_OK &&
            api_->formatNone(h) == MPG123_OK;
  if (rate > 0) {
    // One output format: a stream that changes rate or channels midway is
    // converted to it, so the encoder opened for the first frame keeps
    // getting what it expects.
    ok = ok && api_->format(h, rate, channels == 1 ? MPG123_MONO : MPG123_STEREO, MPG123_ENC_SIGNED_16) ==
                   MPG123_OK;
  } else {
    for (long r : kRates)
      ok = ok && api_->format(h, r, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16) == MPG123_OK;
  }
  if (!ok || api_->openFeed(h) != MPG123_OK) {
    api_->destroy(h);
    return false;
  }
  mp->handle = h;
  return true;
}

void TMpgLib::ExitMP3(TMpgState* mp) {
  if (!library_.IsOpen() || !mp || !mp->handle) return;
  api_->close(mp->handle);
  api_->destroy(mp->handle);
  mp->handle = nullptr;
}

int TMpgLib::DecodeMP3(TMpgState* mp, const uint8_t* in, int32_t inSize, uint8_t* out,
                       int32_t outSize, int32_t* done) {
  if (done) *done = 0;
  if (!library_.IsOpen() || !mp || !mp->handle || !out || !done || outSize < 0 || inSize < 0)
    return MP3_ERR;
  if (in && inSize > 0 && api_->feed(mp->handle, in, static_cast<size_t>(inSize)) != MPG123_OK)
    return MP3_ERR;
  for (;;) {
    off_t frame = 0;
    unsigned char* audio = nullptr;
    size_t bytes = 0;
    const int rc = api_->decodeFrame(mp->handle, &frame, &audio, &bytes);
    // A format change is announced before the frame itself is handed out.
    if (rc == MPG123_NEW_FORMAT) continue;
    if (rc == MPG123_NEED_MORE) return MP3_NEED_MORE;
    if (rc != MPG123_OK) return MP3_ERR;
    if (bytes > static_cast<size_t>(outSize)) return MP3_ERR;
    if (bytes > 0 && audio) std::memcpy(out, audio, bytes);
    else bytes = 0;
    *done = static_cast<int32_t>(bytes);
    return MP3_OK;
  }
}
