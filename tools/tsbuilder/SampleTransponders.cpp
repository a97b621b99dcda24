#include "tsbuilder/SampleTransponders.h"

namespace tsb {
namespace {

TServiceSpec Radio(uint16_t id, const std::string& name, TNameCoding coding, TAudioFormat audio,
                   double rootHz) {
  TServiceSpec s;
  s.serviceId = id;
  s.name = name;
  s.nameCoding = coding;
  s.pmtPid = static_cast<uint16_t>(0x1000 + id);
  s.audioPid = static_cast<uint16_t>(0x0100 + id);
  s.audio = audio;
  s.tone.rootHz = rootHz;
  return s;
}

} // namespace

TTransponderSpec DemoTransponder() {
  TTransponderSpec t;
  t.fileStem = "4084H";
  t.transportStreamId = 4084;
  t.originalNetworkId = 0x0070;
  t.seconds = 60.0;
  using M = TAudioMode;
  using C = TNameCoding;
  // Each channel has its own root note and chord colour.
  TServiceSpec mayak = Radio(101, "Радио Маяк", C::Iso8859_5, {48000, 192, M::Stereo}, 220.0);
  TServiceSpec europa = Radio(102, "Europa Plus (Moscow)", C::Latin, {48000, 256, M::Stereo}, 261.63);
  europa.tone.intervals = {1.0, 1.2, 1.5, 1.8};  // minor seventh arpeggio
  TServiceSpec retro = Radio(103, "Ретро FM", C::Iso8859_5, {48000, 64, M::Mono}, 293.66);
  retro.tone.noteSeconds = 0.75;
  TServiceSpec jazz = Radio(104, "Джаз Café", C::Utf8, {48000, 160, M::JointStereo}, 196.0);
  jazz.tone.intervals = {1.0, 1.26, 1.5, 1.89};  // major seventh
  TServiceSpec kids = Radio(105, "Детское радио", C::Iso8859_5, {24000, 64, M::Stereo}, 329.63);
  kids.tone.noteSeconds = 0.25;
  TServiceSpec classic = Radio(106, "Classic Radio", C::Latin, {48000, 128, M::Stereo}, 174.61);
  classic.tone.intervals = {1.0, 1.33, 1.68, 2.0};  // fourth-based
  classic.tone.noteSeconds = 1.0;
  // Two channels say what they play, as many stations do: a name and titles
  // that change during the loop, one with letters beyond ASCII.
  europa.rds = {"EUROPA+", {{0, "Europa Plus - Hit Parade"}, {20, "Artist One - First Song"},
                            {40, "Band Two - Second Song"}}};
  classic.rds = {"CLASSIC", {{0, "J.S. Bach - Air"}, {30, "Anton\x84n Dvo\xDA\x80k - Humoresque"}}};
  TServiceSpec data = Radio(107, "Радио Данные", C::Iso8859_5, {}, 0);
  data.audioPid = 0;  // the PMT lists only the PCR PID
  TServiceSpec tv = Radio(201, "Первый канал", C::Iso8859_5, {48000, 192, M::Stereo}, 246.94);
  tv.kind = TServiceKind::Tv;
  tv.videoPid = 0x0200 + 201;
  tv.videoStreamType = 0x02;
  t.services = {mayak, europa, retro, jazz, kids, classic, data, tv};
  return t;
}

TTransponderSpec TestTransponder() {
  TTransponderSpec t;
  t.fileStem = "3900V";
  t.transportStreamId = 3900;
  t.originalNetworkId = 0x0070;
  t.seconds = 6.0;
  t.pcrPid = 0x1FF1;
  t.sdtMaxSectionBytes = 96;  // forces a two-section SDT
  using M = TAudioMode;
  using C = TNameCoding;
  TServiceSpec news = Radio(301, "Вести ФМ", C::Iso8859_5, {48000, 128, M::Stereo}, 233.08);
  TServiceSpec talk = Radio(302, "Talk Radio", C::Latin, {32000, 96, M::DualChannel}, 207.65);
  talk.language = "eng";
  TServiceSpec tv = Radio(303, "Test TV HD", C::Latin, {48000, 192, M::JointStereo}, 277.18);
  tv.kind = TServiceKind::Tv;
  tv.videoPid = 0x0210;
  tv.videoStreamType = 0x1B;
  tv.ac3Pid = 0x0300 + 3;
  tv.teletextPid = 0x0400 + 3;
  tv.caSystemId = 0x0B00;
  tv.caPid = 0x0500;
  TServiceSpec ghost = Radio(304, "Призрак", C::Iso8859_5, {}, 0);
  ghost.audioPid = 0;
  ghost.inPat = false;  // in the SDT only
  TServiceSpec shifted = Radio(305, "Time-shifted 301", C::Latin, {}, 0);  // as a scan names it
  shifted.audioPid = 0;
  shifted.inPat = false;
  shifted.timeShiftedOf = 301;
  t.services = {news, talk, tv, ghost, shifted};
  return t;
}

TTransponderSpec SoakTransponder() {
  TTransponderSpec t;
  t.fileStem = "11500V";
  t.transportStreamId = 11500;
  t.originalNetworkId = 0x0070;
  t.seconds = 8.0;
  using M = TAudioMode;
  const TAudioFormat formats[] = {
      {48000, 192, M::Stereo}, {48000, 128, M::JointStereo}, {44100, 160, M::Stereo},
      {48000, 64, M::Mono},    {32000, 96, M::DualChannel},  {24000, 64, M::Stereo},
      {48000, 256, M::Stereo}, {22050, 48, M::Mono}};
  for (uint16_t i = 0; i < 20; ++i) {
    // Half the names Cyrillic, so that listeners ask for percent-encoded paths.
    const std::string number = (i < 9 ? "0" : "") + std::to_string(i + 1);
    const bool cyrillic = i % 2 == 1;
    TServiceSpec s = Radio(static_cast<uint16_t>(501 + i), (cyrillic ? "Волна " : "Wave ") + number,
                           cyrillic ? TNameCoding::Iso8859_5 : TNameCoding::Latin, formats[i % 8],
                           150.0 + 17.0 * i);
    s.tone.noteSeconds = 0.25 + 0.05 * (i % 5);
    t.services.push_back(s);
  }
  return t;
}

} // namespace tsb
