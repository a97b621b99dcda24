#pragma once
// A whole transponder: services described by TServiceSpec, multiplexed into a
// transport stream with PAT, PMTs, SDT, PCR and MPEG audio PES at realistic
// repetition rates. The result keeps each service's audio elementary stream,
// so a recording can be compared with what was packed.
#include <cstdint>
#include <string>
#include <vector>

#include "tsbuilder/MpegAudio.h"
#include "tsbuilder/RdsAncillary.h"
#include "tsbuilder/PsiTables.h"

namespace tsb {

enum class TNameCoding { Latin, Iso8859_5, Utf8 };
enum class TServiceKind { Radio, Tv };

struct TServiceSpec {
  uint16_t serviceId = 0;
  std::string name;      // UTF-8
  TNameCoding nameCoding = TNameCoding::Latin;
  std::string provider = "MELLOW";
  TServiceKind kind = TServiceKind::Radio;
  uint16_t pmtPid = 0;
  uint16_t audioPid = 0;   // 0: the PMT lists no audio stream
  uint16_t videoPid = 0;   // TV only; the PMT lists it, no picture data is sent
  uint8_t videoStreamType = 0x02;
  uint16_t ac3Pid = 0;       // listed as private data with an AC-3 descriptor
  uint16_t teletextPid = 0;  // listed as private data with a teletext descriptor
  uint16_t caSystemId = 0;   // non-zero: a CA descriptor in the PMT (program loop)
  uint16_t caPid = 0;
  bool inPat = true;
  bool inSdt = true;
  uint16_t timeShiftedOf = 0;  // non-zero: SDT carries 0x4C referring to this service
  std::string language = "rus";
  TAudioFormat audio;
  TToneSpec tone;
  TRdsSpec rds;  // programme service name and titles in the audio; none by default
};

struct TTransponderSpec {
  std::string fileStem;  // e.g. "4084H": the emulator's file name without ".ts"
  uint16_t transportStreamId = 1;
  uint16_t originalNetworkId = 1;
  double seconds = 60.0;
  uint16_t pcrPid = 0x1FF0;
  int framesPerPes = 4;
  size_t sdtMaxSectionBytes = kMaxSectionBytes;  // lower it to get a multi-section SDT
  std::vector<TServiceSpec> services;
};

struct TBuiltService {
  TServiceSpec plan;
  Bytes audioEs;  // exactly the audio bytes carried in the PES packets, in order
};

struct TBuiltTransponder {
  Bytes ts;
  std::vector<TBuiltService> services;
  size_t sdtSections = 0;
};

// Builds the transport stream. Deterministic: the same plan gives the same bytes.
TBuiltTransponder BuildTransponder(const TTransponderSpec& plan);

// One line per service, tab-separated, after a '#' header line naming the
// columns: service_id name pmt_pid audio_pid kind bitrate_kbps sample_rate mode
// in_pat in_sdt. Names are UTF-8; absent PIDs are 0; kind is radio or tv.
std::string Manifest(const TBuiltTransponder& transponder);

} // namespace tsb
