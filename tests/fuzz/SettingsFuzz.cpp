// The settings files and the DVB text decoder on arbitrary bytes. The first
// byte picks the reader: the channel list, the transponder settings, the
// equaliser lines (read and converted as the player window does) or a DVB
// text field.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "FuzzInput.h"
#include "channels/ChannelList.h"
#include "device/TransponderSettings.h"
#include "scan/DvbText.h"
#include "base/Convert.h"
#include "base/LineFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t which = data[0] % 4;
  ++data;
  --size;
  if (which == 3) {
    const std::string decoded = scan::DecodeDvbText(data, size);
    if (decoded.size() > size) __builtin_trap();  // one CP1251 byte at most per input byte
    return 0;
  }
  const std::string path = fuzz::AsFile(data, size);
  try {
    if (which == 0) {
      TChannelList list;
      list.LoadChannelList(path);
      if (list.Count() > size / 4 + 1) __builtin_trap();  // four lines a record
    } else if (which == 1) {
      TTransponderSettings settings;
      LoadSettings(path, settings);
    } else {
      const std::vector<std::string> lines = text::ReadLineFile(path);
      for (size_t i = 0; i < lines.size() && i <= 10; ++i) text::StrToInt(lines[i]);
    }
  } catch (const std::exception&) {
    // A file refused with a message is a sound outcome.
  }
  return 0;
}
