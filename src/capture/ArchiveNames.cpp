#include "capture/ArchiveNames.h"

#include <algorithm>
#include <cstdio>

#include "base/Cp1251.h"

std::string ChannelFileStem(const std::string& channelName) {
  std::string name = channelName;
  for (char& c : name)
    if (c == '/' || c == '\0') c = '_';  // neither can stand in a file's own name
  return text::Cp1251ToUtf8(name);
}

std::string ArchiveChannelFolder(const std::string& channelName) {
  const std::string stem = ChannelFileStem(channelName);
  if (stem.empty() || stem == "." || stem == "..") return "_" + stem;
  return stem;
}

std::string ArchiveDay(const std::tm& local) {
  char day[32];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return day;
}

std::string ArchiveStem(const std::tm& local, int attempt) {
  char stem[32];
  std::snprintf(stem, sizeof stem, "%02d-%02d-%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return attempt > 1 ? stem + ("_" + std::to_string(attempt)) : stem;
}

std::chrono::seconds UntilNextCut(const std::tm& local, int periodSeconds) {
  constexpr long kDay = 24 * 3600;
  const long period = std::clamp<long>(periodSeconds, 1, kDay);
  // A leap second counts as the last second of its minute.
  const long now = local.tm_hour * 3600L + local.tm_min * 60L + std::min(local.tm_sec, 59);
  const long next = std::min((now / period + 1) * period, kDay);
  return std::chrono::seconds(next - now);
}
