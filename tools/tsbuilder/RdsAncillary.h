#pragma once
// Programme service name and radiotext as stations carry them in MPEG audio:
// encoder-protocol (UECP) frames, written back to front into the last bytes of
// each audio frame, before a count and the mark 0xFD.
#include <cstdint>
#include <string>
#include <vector>

#include "tsbuilder/PsiTables.h"

namespace tsb {

struct TRdsTitle {
  double fromSeconds = 0;
  std::string text;  // RDS character set (ASCII is ASCII); empty: cleared
};

struct TRdsSpec {
  std::string ps;                 // up to 8 characters; empty: no RDS at all
  std::vector<TRdsTitle> titles;  // in time order
  int bytesPerFrame = 16;         // ancillary bytes reserved at each frame's end
};

// One frame: start, address 0, sequence, length, message, CRC, stop, with
// 0xFD/0xFE/0xFF inside escaped.
Bytes UecpFrame(const Bytes& message, uint8_t sequence);
Bytes PsMessage(const std::string& ps);
// A/B flag in bit 0 of the configuration byte; an empty text clears.
Bytes RadioTextMessage(const std::string& text, bool toggle);

// Writes the stream's frames into `es` (whole Layer II frames with the
// reserved tail): the name every second, the current title every two seconds
// and at once when it changes (with the A/B flag flipped).
void InsertRds(Bytes& es, const TRdsSpec& rds);

} // namespace tsb
