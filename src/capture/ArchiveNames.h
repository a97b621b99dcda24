#pragma once
// The names of an archive: DIR/<channel>/<YYYY-MM-DD>/<HH-MM-SS>.<ext> in
// the local time of a file's first byte, "HH-MM-SS_2.<ext>" and on for a
// name already taken (the clock stepped back), and DIR/<channel>/
// <YYYY-MM-DD>.m3u listing the day's files. Files are cut at each multiple
// of the period on the wall clock, counted from midnight.
#include <chrono>
#include <ctime>
#include <string>

// A channel name (CP1251) as a file name of its own, UTF-8: "/" and NUL
// become "_", as in the recordings' names.
std::string ChannelFileStem(const std::string& channelName);
// The channel's folder in the archive: its file stem, with a name that
// would lead elsewhere ("", ".", "..") made into one that cannot.
std::string ArchiveChannelFolder(const std::string& channelName);

std::string ArchiveDay(const std::tm& local);                // "YYYY-MM-DD"
std::string ArchiveStem(const std::tm& local, int attempt);  // "HH-MM-SS", "HH-MM-SS_N" for attempt N > 1

// Wall-clock time from `local` to the next multiple of the period since
// midnight; a period that does not divide the day ends its last file at
// midnight, so no file reaches into the next day's folder.
std::chrono::seconds UntilNextCut(const std::tm& local, int periodSeconds);
