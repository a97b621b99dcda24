#pragma once
// The transponders the emulator card ships with: the demo one the program
// tunes by default, and a smaller one with the awkward cases tests rely on.
#include "tsbuilder/TransponderBuilder.h"

namespace tsb {

// 4084H: six radio services with sound (ISO 8859-5 Cyrillic names, one Latin
// name with spaces and parentheses, one UTF-8 name; stereo 192 kbit/s 48 kHz,
// mono 64 kbit/s, 256 kbit/s, 24 kHz MPEG-2), a radio service whose PMT
// has only a PCR PID, and a TV service; about a minute each.
TTransponderSpec DemoTransponder();

// 3900V: a few seconds each of two radio services, a TV service (H.264 video,
// MPEG audio, AC-3, teletext, CA descriptor), a service listed in the SDT but
// absent from the PAT, a time-shifted service, and an SDT in two sections.
TTransponderSpec TestTransponder();

// 11500V: twenty radio services of a few seconds each in assorted formats,
// for long runs that record many channels at once. Not shipped with the card:
// the soak run writes it into its own work folder.
TTransponderSpec SoakTransponder();

} // namespace tsb
