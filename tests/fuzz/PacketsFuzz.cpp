// Arbitrary deliveries to the capture callback: each record is a filter
// number byte, a flags byte and a 188-byte packet (its sync byte left as
// given). The sessions live for the whole run, so the rings fill across
// inputs and chunks leave them, passed through or re-encoded. No row is
// ticked: nothing is written to disk.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "capture/CaptureSession.h"

namespace {

constexpr int kRows = 3;

struct TFixture {
  TSessions Sessions;
  std::atomic<RecordFormat> Format{RecordFormat::Pcm};
  CaptureTarget Target;
  TFixture() {
    for (int r = 0; r < kRows; ++r) Sessions.AddSession("", "Channel " + std::to_string(r), false);
    Sessions[kRows - 1].NoAudio = true;
    Target.Sessions = &Sessions;
    Target.Format = &Format;
    AttachCapture(&Target);
    Recording = true;
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TFixture f;
  constexpr size_t kRecord = 2 + kPacketLength;
  for (; size >= kRecord; data += kRecord, size -= kRecord) {
    const int32_t number = data[0] % (kRows + 2);  // 0 and kRows + 1 name no session
    const uint8_t flags = data[1];
    const uint8_t* packet = data + 2;
    const int off = PayloadOffset(packet);
    if (off < 4) __builtin_trap();  // the header is never payload
    f.Format = (flags & 1) ? RecordFormat::Mp3 : RecordFormat::Pcm;
    // A packet repeated fills a ring to a chunk within one input.
    const int times = (flags & 2) ? 40 : 1;
    const int32_t length = (flags & 4) ? flags : kPacketLength;
    for (int i = 0; i < times; ++i) OnTsPacket(packet, length, number);
  }
  if (size > 0) OnTsPacket(data, static_cast<int32_t>(size), 1);  // a short delivery
  return 0;
}
