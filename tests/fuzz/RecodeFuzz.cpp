// Arbitrary chunks through the re-encoder's header search and Recode. The
// encoder object lives for the whole run, as a session's does: its stream
// stays open across chunks and inputs until a flag closes it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzInput.h"
#include "capture/MpegReencoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TMPEGReEncode encoder;
  static TMPEGReEncode probe("libmc-absent.so", "libmc-absent.so");  // the header alone needs no library
  static std::vector<uint8_t> output(131070);
  if (size < 1) return 0;
  if (data[0] & 1) encoder.CloseEncoder();
  fuzz::TPieces pieces(data + 1, size - 1);
  const uint8_t* p;
  size_t n;
  while (pieces.Next(p, n)) {
    const int32_t len = static_cast<int32_t>(n);
    const int32_t at = TMPEGReEncode::FindFrame(p, len);
    if (at < -1 || at >= len) __builtin_trap();
    if (at >= 0 && !TMPEGReEncode::IsValidHeader(p + at)) __builtin_trap();
    int32_t kbps = 0;
    probe.ParseFirstHeader(p, len, &kbps);
    if (!encoder.Ready()) continue;
    const int32_t r = encoder.Recode(p, len, output.data(), static_cast<int32_t>(output.size()));
    if (r > static_cast<int32_t>(output.size())) __builtin_trap();
  }
  return 0;
}
