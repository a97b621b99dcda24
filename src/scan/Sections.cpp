#include "scan/Sections.h"

#include <algorithm>
#include <cstring>

#include "device/DvbPluginApi.h"
#include "scan/Crc32.h"
#include "scan/DvbText.h"

std::vector<TDVBSection*> ActiveSections;
std::recursive_mutex SectionLock;

namespace {

// Shortest section that holds the five syntax bytes after section_length and
// the CRC.
constexpr int32_t kMinSectionLength = 9;

int32_t Be16(const uint8_t* p) { return (p[0] << 8) | p[1]; }
int32_t Pid13(const uint8_t* p) { return ((p[0] & 0x1F) << 8) | p[1]; }
int32_t Length12(const uint8_t* p) { return ((p[0] & 0x0F) << 8) | p[1]; }

// Stream types of a picture: a service with one is television. Only the
// codings of the MPEG systems table (and AVS, at 0x42 by custom) count: layer
// and view sub-streams (SVC, MVC, HEVC extensions) come with a base stream
// already counted, and user-private types (Dirac, VC-1) mean other things on
// other networks, where a radio service must not vanish from the list.
bool IsVideoStream(int32_t type) {
  switch (type) {
    case 0x01:  // MPEG-1
    case 0x02:  // MPEG-2
    case 0x10:  // MPEG-4 Part 2
    case 0x1B:  // H.264
    case 0x21:  // JPEG 2000
    case 0x24:  // HEVC
    case 0x33:  // VVC
    case 0x42:  // AVS
      return true;
    default:
      return false;
  }
}

} // namespace

// ---- TDVBSection ---------------------------------------------------------

TDVBSection::~TDVBSection() { Detach(); }

void TDVBSection::Detach() {
  StopFilter();
  // A delivery that stopped this filter itself may still be unwinding inside
  // the object; the lock is held for the whole delivery.
  std::lock_guard<std::recursive_mutex> lock(SectionLock);
  std::erase(ActiveSections, this);
}

void TDVBSection::ResetBase() {
  StopFilter();  // a started object is taken off the card before it is zeroed
  Pid = 0;
  Count = 0;
  Handle = 0;
  NextSection = 0;
  Active = false;
  Collected = 0;
  SectionLength = 0;
}

void TDVBSection::Reset() { ResetBase(); }

bool TDVBSection::StartFilter(const TDevicePlugin& card, int32_t pid) {
  StopFilter();  // a second start must not register the object twice
  Pid = pid;
  Count = 0;
  NextSection = 0;
  Collected = 0;
  if (!card.DVBAddFilter) return false;
  const int32_t handle = card.DVBAddFilter(pid, SectionCallback, 2, 0, 0, 0);
  if (handle == 0) return false;
  Handle = handle;
  Card = &card;
  Active = true;
  std::lock_guard<std::recursive_mutex> lock(SectionLock);
  ActiveSections.push_back(this);
  return true;
}

void TDVBSection::StopFilter() {
  // Whoever clears Active first removes the filter: the scan's thread and a
  // delivery completing the table may both get here.
  if (!Active.exchange(false)) {
    // The other side is removing it; wait until its delivery has left, so
    // that on return nothing runs inside this object.
    std::lock_guard<std::recursive_mutex> lock(SectionLock);
    return;
  }
  if (Card && Card->DVBDelFilter) Card->DVBDelFilter(Handle);
  std::lock_guard<std::recursive_mutex> lock(SectionLock);
  std::erase(ActiveSections, this);
}

void TDVBSection::Feed(const uint8_t* data, int32_t length) {
  for (int32_t offset = 0; offset < length && Active; offset += kPayloadSize)
    FeedChunk(data + offset, std::min(kPayloadSize, length - offset));
}

void TDVBSection::FeedChunk(const uint8_t* chunk, int32_t size) {
  if (!Active || size <= 0) return;
  if (Collected == 0) {
    if (size < 6 || !AcceptHeader(chunk)) return;
    const int32_t length = Length12(chunk + 2);
    // Too short for a header and CRC, or longer than the buffer: not a
    // section we can hold, so it is never opened.
    if (length < kMinSectionLength || length + 4 > kSectionBufferSize) return;
    SectionLength = length;
  }
  const int32_t wanted = SectionLength + 4 - Collected;
  const int32_t take = std::min(size, wanted);
  std::memcpy(Buffer + Collected, chunk, static_cast<size_t>(take));
  Collected += take;
  if (Collected < SectionLength + 4) return;

  Collected = 0;
  // A bit error would otherwise put a wrong PID or a garbled name in the
  // list; the section comes round again.
  if (scan::SectionCrc32(Section(), static_cast<size_t>(SectionLength) + 3) != 0) return;
  const int32_t number = Section()[6];
  const int32_t last = Section()[7];
  if (number != NextSection || !ParseSection()) return;
  if (last > NextSection)
    ++NextSection;
  else
    StopFilter();
}

bool TDVBSection::AcceptHeader(const uint8_t*) { return true; }
bool TDVBSection::ParseSection() { return true; }

extern "C" void SectionCallback(const uint8_t* data, int32_t length, int32_t handle) {
  if (!data || length <= 0) return;
  std::lock_guard<std::recursive_mutex> lock(SectionLock);
  for (TDVBSection* section : ActiveSections) {
    if (section->Active && section->Handle == handle) {
      // Feeding may stop the filter and change the list: leave at once.
      section->Feed(data, length);
      return;
    }
  }
}

// ---- TPATSection ---------------------------------------------------------

void TPATSection::Reset() {
  ResetBase();
  NitPid = 0;
  TransportStreamId = 0;
  ProgramNumbers.fill(0);
  PmtPids.fill(0);
}

bool TPATSection::AcceptHeader(const uint8_t* chunk) { return chunk[0] == 0 && chunk[1] == 0x00; }

bool TPATSection::ParseSection() {
  const uint8_t* s = Section();
  TransportStreamId = Be16(s + 3);
  // Whole entries only: the 5 header bytes after the length and the CRC are
  // not part of the loop.
  const int32_t entries = (SectionLength - 9) / 4;
  for (int32_t i = 0; i < entries; ++i) {
    const uint8_t* e = s + 8 + 4 * i;
    const int32_t program = Be16(e);
    if (program == 0) {
      NitPid = Pid13(e + 2);
    } else if (Count < kMaxTableEntries) {
      ProgramNumbers[Count] = program;
      PmtPids[Count] = Pid13(e + 2);
      ++Count;
    }
  }
  return true;
}

// ---- TPMTSection ---------------------------------------------------------

void TPMTSection::Reset() {
  ResetBase();
  ProgramNumber = 0;
  VideoPid = TeletextPid = PcrPid = AudioCount = Ac3Pid = CaCount = IsH264 = 0;
  AudioPids.fill(0);
  AudioLanguages.fill({' ', ' ', ' '});
  CaSystemIds.fill(0);
  CaPids.fill(0);
}

bool TPMTSection::AcceptHeader(const uint8_t* chunk) { return chunk[0] == 0 && chunk[1] == 0x02; }

bool TPMTSection::ParseSection() {
  const uint8_t* s = Section();
  const int32_t end = DataEnd();
  if (end < 12) return false;  // no room for the PCR PID and program_info_length
  // Several programs may share a PID; another program's map is not ours.
  if (Be16(s + 3) != ProgramNumber) return false;

  VideoPid = TeletextPid = AudioCount = Ac3Pid = CaCount = IsH264 = 0;
  PcrPid = Pid13(s + 8);
  const int32_t programInfoLength = Length12(s + 10);
  const int32_t programInfoEnd = 12 + programInfoLength;
  DecodeDescriptors(12, std::min(programInfoEnd, end), -1, 0, false);
  if (programInfoEnd > end) return true;

  int32_t pos = programInfoEnd;
  int32_t remaining = SectionLength - programInfoLength - 16;
  while (remaining > 0 && pos + 5 <= end) {
    const int32_t type = s[pos];
    const int32_t pid = Pid13(s + pos + 1);
    const int32_t esInfoLength = Length12(s + pos + 3);
    bool audioStored = false;
    if (IsVideoStream(type)) {
      if (type == 0x1B) IsH264 = 1;
      VideoPid = pid;
    } else if ((type == 0x03 || type == 0x04) && AudioCount < kMaxTableEntries) {
      AudioPids[AudioCount] = static_cast<uint16_t>(pid);
      AudioLanguages[AudioCount] = {' ', ' ', ' '};
      ++AudioCount;
      audioStored = true;
    }
    const int32_t esEnd = pos + 5 + esInfoLength;
    DecodeDescriptors(pos + 5, std::min(esEnd, end), type, pid, audioStored);
    if (esEnd > end) break;  // an overrunning length ends the stream loop
    remaining -= 5 + esInfoLength;
    pos = esEnd;
  }
  return true;
}

void TPMTSection::DecodeDescriptors(int32_t from, int32_t to, int32_t streamType, int32_t pid,
                                    bool audioStored) {
  const uint8_t* s = Section();
  const bool audio = streamType == 0x03 || streamType == 0x04;
  for (int32_t pos = from; pos + 2 <= to;) {
    const int32_t tag = s[pos];
    const int32_t length = s[pos + 1];
    if (pos + 2 + length > to) break;
    const uint8_t* body = s + pos + 2;
    if (streamType == 0x06 && tag == 0x56) {
      TeletextPid = pid;
    } else if (audio && tag == 0x0A) {
      if (audioStored && length >= 3) std::memcpy(AudioLanguages[AudioCount - 1].data(), body, 3);
    } else if (tag == 0x09) {
      if (length >= 4 && CaCount < kMaxTableEntries) {
        CaSystemIds[CaCount] = Be16(body);
        CaPids[CaCount] = Pid13(body + 2);
        ++CaCount;
      }
    }
    if (streamType == 0x06 && tag == 0x6A) Ac3Pid = pid;
    pos += 2 + length;
  }
}

// ---- TSDTSection ---------------------------------------------------------

void TSDTSection::Reset() {
  ResetBase();
  TransportStreamId = 0;
  OriginalNetworkId = 0;
  ServiceIds.fill(0);
  FreeCaModes.fill(0);
  for (auto& name : ProviderNames) name.clear();
  for (auto& name : ServiceNames) name.clear();
}

bool TSDTSection::AcceptHeader(const uint8_t* chunk) {
  return chunk[0] == 0 && chunk[1] == 0x42 && Be16(chunk + 4) == TransportStreamId;
}

void TSDTSection::AddService(int32_t serviceId, uint8_t freeCa, std::string provider, std::string name) {
  if (Count >= kMaxTableEntries) return;
  ServiceIds[Count] = serviceId;
  FreeCaModes[Count] = freeCa;
  ProviderNames[Count] = std::move(provider);
  ServiceNames[Count] = std::move(name);
  ++Count;
}

bool TSDTSection::ParseSection() {
  const uint8_t* s = Section();
  const int32_t end = DataEnd();
  if (end < 11) return false;  // no room for original_network_id
  OriginalNetworkId = Be16(s + 8);

  for (int32_t pos = 11; pos + 5 <= end;) {
    const int32_t serviceId = Be16(s + pos);
    const uint8_t freeCa = (s[pos + 3] & 0x10) ? 1 : 0;
    const int32_t loopEnd = pos + 5 + Length12(s + pos + 3);
    const int32_t walkEnd = std::min(loopEnd, end);
    for (int32_t d = pos + 5; d + 2 <= walkEnd;) {
      const int32_t tag = s[d];
      const int32_t length = s[d + 1];
      if (d + 2 + length > walkEnd) break;
      const uint8_t* body = s + d + 2;
      if (tag == 0x48) {
        // service_type, then two text fields; each is cut to the descriptor.
        int32_t at = 1;
        auto field = [&]() {
          if (at >= length) return std::string();
          const int32_t n = std::min<int32_t>(body[at], length - at - 1);
          std::string text = scan::DecodeDvbText(body + at + 1, static_cast<size_t>(n));
          at += 1 + n;
          return text;
        };
        std::string provider = field();
        std::string name = field();
        AddService(serviceId, freeCa, std::move(provider), std::move(name));
      } else if (tag == 0x4C && length >= 2) {
        AddService(serviceId, freeCa, std::string(), "Time-shifted " + std::to_string(Be16(body)));
      }
      d += 2 + length;
    }
    if (loopEnd > end) break;
    pos = loopEnd;
  }
  return true;
}
