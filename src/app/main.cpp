// Console entry until the windows land: loads the channel list beside the
// executable and prints its rows as UTF-8.
#include <cstdio>
#include <exception>

#include "app/ChannelList.h"
#include "text/Cp1251.h"

int main() {
  TChannelList list;
  const std::string path = ChannelListPath();
  try {
    list.LoadChannelList(path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
  }
  std::printf("%-4s %-32s %-10s %s\n", "N", "Канал", "PID звука", "записано/Мб");
  for (const auto& row : list.Rows())
    std::printf("%-4s %-32s %-10s %s\n", row.Number.c_str(), text::Cp1251ToUtf8(row.Name).c_str(),
                row.Pid.c_str(), text::Cp1251ToUtf8(row.Recorded).c_str());
  return 0;
}
