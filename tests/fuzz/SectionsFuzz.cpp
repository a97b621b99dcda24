// Feeds arbitrary payload runs to PAT, PMT and SDT objects through the filter
// callback. The first input byte picks the form: raw payload runs as a card
// might deliver them, or sections whose length field and CRC are made right,
// so that the parsers themselves see the hostile contents.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"
#include "scan/Sections.h"
#include "tsbuilder/PsiTables.h"
#include "tsbuilder/TsPacketizer.h"

namespace {

int32_t g_nextHandle = 0;

int32_t AddFilter(int32_t, TFilterCallback, int32_t, int32_t, int32_t, int32_t) { return ++g_nextHandle; }
void DelFilter(int32_t) {}

void Deliver(TDVBSection* const (&sections)[3], const uint8_t* data, size_t size) {
  for (TDVBSection* s : sections) {
    if (!s->Active) s->StartFilter(Dvb, s->Pid);  // a completed table takes the next input too
    SectionCallback(data, static_cast<int32_t>(size), s->Handle);
  }
}

// The section bytes as given and a CRC, section_length and the CRC made to
// match, as payloads: pointer field 0, padding 0xFF.
std::vector<uint8_t> AsPayloads(const uint8_t* body, size_t size) {
  tsb::Bytes section(body, body + size);
  section.resize(size + 4);
  tsb::ResealSection(section);
  return tsb::SectionPayloads(section);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  Dvb = TDevicePlugin{};
  Dvb.DVBAddFilter = &AddFilter;
  Dvb.DVBDelFilter = &DelFilter;

  const bool sections = data[0] & 1;
  TPATSection pat;
  TPMTSection pmt;
  TSDTSection sdt;
  pmt.ProgramNumber = (data[1] << 8) | data[2];
  sdt.TransportStreamId = (data[3] << 8) | data[4];
  pat.StartFilter(Dvb, 0x00);
  pmt.StartFilter(Dvb, 0x20);
  sdt.StartFilter(Dvb, 0x11);
  TDVBSection* const all[3] = {&pat, &pmt, &sdt};
  data += 5;
  size -= 5;

  // Each piece: a 16-bit length, then that many bytes (cut at the end).
  while (size >= 2) {
    size_t n = (data[0] << 8) | data[1];
    data += 2;
    size -= 2;
    if (n > size) n = size;
    if (sections) {
      if (n >= 3 && n <= 4094) {  // section_length up to its 12-bit maximum
        const std::vector<uint8_t> run = AsPayloads(data, n);
        Deliver(all, run.data(), run.size());
      }
    } else if (n > 0) {
      Deliver(all, data, n);
    }
    data += n;
    size -= n;
  }
  return 0;
}
