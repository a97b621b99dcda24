#include "tsbuilder/RdsAncillary.h"

#include <algorithm>
#include <deque>

#include "radiotext/UecpFrames.h"
#include "tsbuilder/MpegAudio.h"

namespace tsb {

Bytes UecpFrame(const Bytes& message, uint8_t sequence) {
  Bytes body = {0x00, 0x00, sequence, static_cast<uint8_t>(message.size())};
  body.insert(body.end(), message.begin(), message.end());
  const uint16_t crc = radiotext::UecpCrc(body.data(), body.size());
  body.push_back(static_cast<uint8_t>(crc >> 8));
  body.push_back(static_cast<uint8_t>(crc & 0xFF));
  Bytes frame = {0xFE};
  for (uint8_t b : body) {
    if (b >= 0xFD) {
      frame.push_back(0xFD);
      frame.push_back(static_cast<uint8_t>(b - 0xFD));
    } else {
      frame.push_back(b);
    }
  }
  frame.push_back(0xFF);
  return frame;
}

Bytes PsMessage(const std::string& ps) {
  Bytes m = {0x02, 0x00, 0x00};
  std::string padded = ps.substr(0, 8);
  padded.resize(8, ' ');
  m.insert(m.end(), padded.begin(), padded.end());
  return m;
}

Bytes RadioTextMessage(const std::string& text, bool toggle) {
  const std::string t = text.substr(0, 64);
  Bytes m = {0x0A, 0x00, 0x00, static_cast<uint8_t>(t.empty() ? 0 : t.size() + 1)};
  if (!t.empty()) {
    m.push_back(toggle ? 0x01 : 0x00);
    m.insert(m.end(), t.begin(), t.end());
  }
  return m;
}

void InsertRds(Bytes& es, const TRdsSpec& rds) {
  if (rds.ps.empty() || rds.bytesPerFrame < 3) return;
  std::deque<uint8_t> queue;
  uint8_t sequence = 0;
  auto send = [&](const Bytes& message) {
    const Bytes f = UecpFrame(message, sequence++);
    queue.insert(queue.end(), f.begin(), f.end());
  };
  double nextPs = 0, nextTitle = 0;
  size_t title = 0;
  bool toggle = false, haveTitle = false;
  size_t at = 0;
  double seconds = 0;
  for (size_t length : SplitFrames(es)) {
    const auto header = ParseMpegAudioHeader(es.data() + at, es.size() - at);
    while (title < rds.titles.size() && rds.titles[title].fromSeconds <= seconds) {
      ++title;
      toggle = !toggle;
      haveTitle = true;
      nextTitle = seconds;  // a new title goes out at once
    }
    if (seconds >= nextPs) {
      send(PsMessage(rds.ps));
      nextPs = seconds + 1.0;
    }
    if (haveTitle && seconds >= nextTitle) {
      send(RadioTextMessage(rds.titles[title - 1].text, toggle));
      nextTitle = seconds + 2.0;
    }
    const size_t room = std::min<size_t>(static_cast<size_t>(rds.bytesPerFrame) - 2, length - 6);
    const size_t count = std::min(room, queue.size());
    if (count > 0) {
      uint8_t* end = es.data() + at + length;
      end[-1] = 0xFD;
      end[-2] = static_cast<uint8_t>(count);
      for (size_t k = 0; k < count; ++k) {
        end[-3 - static_cast<std::ptrdiff_t>(k)] = queue.front();
        queue.pop_front();
      }
    }
    at += length;
    if (header) seconds += static_cast<double>(header->samplesPerFrame) / header->sampleRate;
  }
}

} // namespace tsb
