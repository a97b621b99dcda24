#include "tsbuilder/TransponderBuilder.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>

#include "tsbuilder/TsPacketizer.h"

namespace tsb {
namespace {

constexpr uint64_t kClock = 90000;           // PTS units per second
constexpr uint64_t kPatInterval = 9000;      // 100 ms
constexpr uint64_t kSdtInterval = 180000;    // 2 s
constexpr uint64_t kPcrInterval = 3600;      // 40 ms
constexpr uint64_t kStartTime = 90000;       // first packet at 1 s on the stream clock
constexpr uint64_t kPtsDelay = 45000;        // audio presented 500 ms after it arrives

// A packet due at `time`; `order` keeps simultaneous packets in creation order.
struct TTimedPacket {
  uint64_t time;
  uint64_t order;
  Bytes data;
};

class TMux {
 public:
  void Add(uint64_t time, Bytes packets) {
    for (size_t pos = 0; pos < packets.size(); pos += kTsPacketSize)
      packets_.push_back({time, order_++,
                          Bytes(packets.begin() + pos, packets.begin() + pos + kTsPacketSize)});
  }
  // Adds a run of packets spread evenly over [time, time + span).
  void Spread(uint64_t time, uint64_t span, const Bytes& packets) {
    const size_t n = packets.size() / kTsPacketSize;
    for (size_t i = 0; i < n; ++i)
      packets_.push_back({time + span * i / n, order_++,
                          Bytes(packets.begin() + i * kTsPacketSize,
                                packets.begin() + (i + 1) * kTsPacketSize)});
  }
  Bytes Finish() {
    std::stable_sort(packets_.begin(), packets_.end(), [](const auto& a, const auto& b) {
      return a.time != b.time ? a.time < b.time : a.order < b.order;
    });
    Bytes out;
    out.reserve(packets_.size() * kTsPacketSize);
    for (const auto& p : packets_) out.insert(out.end(), p.data.begin(), p.data.end());
    return out;
  }

 private:
  std::vector<TTimedPacket> packets_;
  uint64_t order_ = 0;
};

Bytes NameField(const TServiceSpec& s) {
  switch (s.nameCoding) {
    case TNameCoding::Latin: return DvbTextLatin(s.name);
    case TNameCoding::Iso8859_5: return DvbTextIso8859_5(s.name);
    case TNameCoding::Utf8: return DvbTextUtf8(s.name);
  }
  return {};
}

Bytes PmtFor(const TServiceSpec& s, uint16_t pcrPid) {
  Bytes programDescriptors;
  if (s.caSystemId != 0) programDescriptors = CaDescriptor(s.caSystemId, s.caPid);
  std::vector<TPmtStream> streams;
  if (s.videoPid != 0) streams.push_back({s.videoStreamType, s.videoPid, {}});
  if (s.audioPid != 0) {
    const uint8_t type = s.audio.sampleRate < 32000 ? 0x04 : 0x03;
    streams.push_back({type, s.audioPid, Iso639Descriptor(s.language)});
  }
  if (s.ac3Pid != 0) {
    Bytes d = Ac3Descriptor();
    const Bytes lang = Iso639Descriptor(s.language);
    d.insert(d.end(), lang.begin(), lang.end());
    streams.push_back({0x06, s.ac3Pid, d});
  }
  if (s.teletextPid != 0)
    streams.push_back({0x06, s.teletextPid, TeletextDescriptor(s.language, 1, 1, 0x00)});
  return PmtSection(s.serviceId, pcrPid, programDescriptors, streams);
}

uint8_t ServiceType(const TServiceSpec& s) { return s.kind == TServiceKind::Tv ? 0x01 : 0x02; }

void CheckPids(const TTransponderSpec& plan) {
  std::map<uint16_t, std::string> used{{0x0000, "PAT"}, {0x0011, "SDT"}, {plan.pcrPid, "PCR"}};
  auto claim = [&](uint16_t pid, const std::string& what) {
    if (pid == 0) return;
    if (pid > 0x1FFE || !used.emplace(pid, what).second)
      throw std::invalid_argument("PID " + std::to_string(pid) + " of " + what + " is not free");
  };
  for (const TServiceSpec& s : plan.services) {
    const std::string who = "service " + std::to_string(s.serviceId);
    if (s.inPat) claim(s.pmtPid, who + " PMT");
    claim(s.audioPid, who + " audio");
    claim(s.videoPid, who + " video");
    claim(s.ac3Pid, who + " AC-3");
    claim(s.teletextPid, who + " teletext");
  }
}

} // namespace

TBuiltTransponder BuildTransponder(const TTransponderSpec& plan) {
  CheckPids(plan);
  if (plan.framesPerPes < 1) throw std::invalid_argument("framesPerPes must be positive");
  TBuiltTransponder built;
  TMux mux;
  const uint64_t duration = static_cast<uint64_t>(plan.seconds * kClock);
  const uint64_t end = kStartTime + duration;

  // Tables.
  std::vector<TPatEntry> patEntries;
  std::vector<TSdtService> sdtServices;
  std::vector<std::pair<TTsPacketizer, Bytes>> pmts;
  for (const TServiceSpec& s : plan.services) {
    if (s.inPat) {
      patEntries.push_back({s.serviceId, s.pmtPid});
      pmts.emplace_back(TTsPacketizer(s.pmtPid), PmtFor(s, plan.pcrPid));
    }
    if (s.inSdt) {
      TSdtService sv;
      sv.serviceId = s.serviceId;
      sv.freeCa = s.caSystemId != 0;
      sv.descriptors = s.timeShiftedOf != 0
                           ? TimeShiftedServiceDescriptor(s.timeShiftedOf)
                           : ServiceDescriptor(ServiceType(s), DvbTextLatin(s.provider), NameField(s));
      sdtServices.push_back(sv);
    }
  }
  const Bytes pat = PatSection(plan.transportStreamId, patEntries);
  const std::vector<Bytes> sdt = SdtSections(plan.transportStreamId, plan.originalNetworkId,
                                             sdtServices, 0, plan.sdtMaxSectionBytes);
  built.sdtSections = sdt.size();
  TTsPacketizer patOut(0x0000), sdtOut(0x0011);
  for (uint64_t t = kStartTime; t < end; t += kPatInterval) {
    Bytes packets;
    patOut.PacketizeSection(pat, packets);
    for (auto& [out, section] : pmts) out.PacketizeSection(section, packets);
    mux.Add(t, std::move(packets));
  }
  // The SDT goes out 50 ms after the PAT so a scan sees the PAT first.
  for (uint64_t t = kStartTime + 4500; t < end; t += kSdtInterval) {
    Bytes packets;
    for (const Bytes& section : sdt) sdtOut.PacketizeSection(section, packets);
    mux.Add(t, std::move(packets));
  }
  for (uint64_t t = kStartTime; t < end; t += kPcrInterval)
    mux.Add(t, PcrPacket(plan.pcrPid, t * 300));

  // Audio.
  uint8_t streamId = 0xC0;
  for (const TServiceSpec& s : plan.services) {
    TBuiltService service{s, {}};
    if (s.audioPid != 0) {
      TAudioFormat format = s.audio;
      if (!s.rds.ps.empty()) format.ancillaryBytes = std::max(format.ancillaryBytes, s.rds.bytesPerFrame);
      Bytes es = EncodeTone(format, s.tone, plan.seconds);
      InsertRds(es, s.rds);
      const std::vector<size_t> frames = SplitFrames(es);
      TTsPacketizer out(s.audioPid);
      const uint64_t frameTicks =
          kClock * 1152 / static_cast<uint64_t>(s.audio.sampleRate);
      size_t pos = 0;
      for (size_t f = 0; f < frames.size(); f += plan.framesPerPes) {
        const size_t count = std::min<size_t>(plan.framesPerPes, frames.size() - f);
        size_t bytes = 0;
        for (size_t k = 0; k < count; ++k) bytes += frames[f + k];
        const Bytes payload(es.begin() + pos, es.begin() + pos + bytes);
        const uint64_t arrival = kStartTime + f * frameTicks;
        if (arrival >= end) break;
        Bytes packets;
        out.PacketizePes(AudioPes(streamId, arrival + kPtsDelay, payload), packets);
        mux.Spread(arrival, count * frameTicks, packets);
        service.audioEs.insert(service.audioEs.end(), payload.begin(), payload.end());
        pos += bytes;
      }
      streamId = streamId == 0xDF ? 0xC0 : streamId + 1;
    }
    built.services.push_back(std::move(service));
  }
  built.ts = mux.Finish();
  return built;
}

std::string Manifest(const TBuiltTransponder& transponder) {
  std::ostringstream out;
  out << "# service_id\tname\tpmt_pid\taudio_pid\tkind\tbitrate_kbps\tsample_rate\tmode\tin_pat\tin_sdt\n";
  for (const TBuiltService& b : transponder.services) {
    const TServiceSpec& s = b.plan;
    const bool audio = s.audioPid != 0;
    out << s.serviceId << '\t' << s.name << '\t' << (s.inPat ? s.pmtPid : 0) << '\t' << s.audioPid
        << '\t' << (s.kind == TServiceKind::Tv ? "tv" : "radio") << '\t'
        << (audio ? s.audio.bitrateKbps : 0) << '\t' << (audio ? s.audio.sampleRate : 0) << '\t'
        << (audio ? AudioModeName(s.audio.mode) : "none") << '\t' << (s.inPat ? 1 : 0) << '\t'
        << (s.inSdt ? 1 : 0) << '\n';
  }
  return out.str();
}

} // namespace tsb
