#pragma once
// The program's command line. Without arguments the program starts as it
// always does; with them it runs headless on the same core.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "channels/ChannelList.h"

struct TCommandLine {
  enum class TAction { Start, Scan, Record, Now, List, Help, Version };
  TAction Action = TAction::Start;
  std::string Rows;                   // --record's argument, as given
  std::string IniFolder;              // --ini; empty: the default folder (base/AppPaths)
  std::optional<std::string> Folder;  // --folder, UTF-8
  std::optional<int> Seconds;         // --seconds: how long --record records or --now listens
  std::optional<int> Encoders;        // --encoders: re-encoding threads
  std::optional<std::string> Archive; // --archive, the system's bytes
  std::optional<int> SplitSeconds;    // --split (minutes) or --split-seconds, as seconds
  std::optional<int> KeepDays;        // --keep
  std::optional<int> MinFreeMb;       // --min-free
};

// --split unless told: hourly files.
constexpr int kSplitMinutesDefault = 60;
constexpr int kMinFreeMbDefault = 500;

// The most --encoders takes: far more threads than cores only cost memory.
constexpr int kMaxEncoders = 64;

// Parses argv[1..]. An unknown option, a missing or bad value, or two
// actions give std::nullopt and the reason in `error` (UTF-8).
std::optional<TCommandLine> ParseCommandLine(const std::vector<std::string>& args, std::string& error);

// The environment's MELLOWCASTER_STREAM_PORT, which moves the headless
// recorder's stream server off its usual port (a second copy, the tests):
// the usual port when unset or empty, nothing for anything but 1 to 65535.
inline constexpr const char* kStreamPortVariable = "MELLOWCASTER_STREAM_PORT";
std::optional<uint16_t> StreamPortOf(const char* value);

// Ticks the rows that ROWS names: "all" (every row with audio: not PID 0),
// "none", or a comma list of row numbers (as listed) or channel names (UTF-8;
// ASCII letter case folds, as the stream paths do). False, with the item named in `error`, when an item
// names no row; the ticks are then unchanged.
bool SelectRows(TChannelList& list, const std::string& rows, std::string& error);

// How long --now listens unless --seconds says otherwise: the stations
// repeat their name and title every few seconds.
constexpr int kNowSecondsDefault = 8;

extern const char* const kUsageText;
