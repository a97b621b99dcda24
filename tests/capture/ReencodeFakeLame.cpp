// Stand-in encoder library with the functions the encoder binding loads. It
// counts streams and calls and fails on request, so tests can drive the
// re-encoder's error paths; its "MP3" output is filler bytes.
#include <lame/lame.h>

#include <cstdlib>
#include <cstring>

extern "C" {
// Controls and counters, reached by the test through dlsym.
__attribute__((visibility("default"))) int fake_lame_fail_init = 0;       // init_params fails
__attribute__((visibility("default"))) int fake_lame_fail_encode_at = -1; // nth encode fails
__attribute__((visibility("default"))) int fake_lame_open = 0;            // streams alive
__attribute__((visibility("default"))) int fake_lame_inits = 0;
__attribute__((visibility("default"))) int fake_lame_encodes = 0;
}

struct lame_global_struct {
  int channels = 2;
};

lame_global_flags* lame_init(void) {
  ++fake_lame_open;
  return new lame_global_struct;
}
int lame_close(lame_global_flags* gf) {
  --fake_lame_open;
  delete gf;
  return 0;
}
int lame_init_params(lame_global_flags*) {
  ++fake_lame_inits;
  return fake_lame_fail_init ? -1 : 0;
}
int lame_set_in_samplerate(lame_global_flags*, int) { return 0; }
int lame_set_out_samplerate(lame_global_flags*, int) { return 0; }
int lame_set_num_channels(lame_global_flags* gf, int n) { gf->channels = n; return 0; }
int lame_set_mode(lame_global_flags*, MPEG_mode) { return 0; }
int lame_set_VBR(lame_global_flags*, vbr_mode) { return 0; }
int lame_set_brate(lame_global_flags*, int) { return 0; }
int lame_set_quality(lame_global_flags*, int) { return 0; }
int lame_set_copyright(lame_global_flags*, int) { return 0; }
int lame_set_original(lame_global_flags*, int) { return 0; }
int lame_set_extension(lame_global_flags*, int) { return 0; }
int lame_set_error_protection(lame_global_flags*, int) { return 0; }
int lame_set_strict_ISO(lame_global_flags*, int) { return 0; }
int lame_set_bWriteVbrTag(lame_global_flags*, int) { return 0; }
int lame_set_errorf(lame_global_flags*, lame_report_function) { return 0; }
int lame_set_debugf(lame_global_flags*, lame_report_function) { return 0; }
int lame_set_msgf(lame_global_flags*, lame_report_function) { return 0; }
int lame_get_version(const lame_global_flags*) { return 1; }
int lame_get_in_samplerate(const lame_global_flags*) { return 48000; }
int lame_get_out_samplerate(const lame_global_flags*) { return 48000; }

static int Encode(int samples, unsigned char* out, int size) {
  if (fake_lame_encodes++ == fake_lame_fail_encode_at) return -4;
  // Plenty of output: 2 bytes per sample, so tests can overrun a capacity.
  const int n = samples * 2 < size ? samples * 2 : size;
  std::memset(out, 0x5A, static_cast<size_t>(n));
  return n;
}
int lame_encode_buffer(lame_global_flags*, const short int*, const short int*, const int n,
                       unsigned char* out, const int size) {
  return Encode(n, out, size);
}
int lame_encode_buffer_interleaved(lame_global_flags*, short int*, int n, unsigned char* out,
                                   int size) {
  return Encode(n, out, size);
}
int lame_encode_flush(lame_global_flags*, unsigned char*, int) { return 0; }
