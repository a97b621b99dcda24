#pragma once
// The recording options the settings window edits: the record folder text
// (glued to the channel name as typed) and the format, which the delivery
// thread reads for every chunk, so a change takes effect at the next chunk.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

enum class RecordFormat { Pcm, Mp3 };

struct RecordingOptions {
  std::string Folder;  // the system's bytes (UTF-8), used exactly as typed
  // Earlier recordings are moved aside at the start instead of emptied.
  bool KeepEarlier = false;
  std::atomic<RecordFormat> Format{RecordFormat::Pcm};
  // Threads that re-encode " MP3" chunks; 0: one per core. Read at a start.
  int Encoders = 0;
  // An archive instead of one file per channel (the headless recorder):
  // the folder, the system's bytes, which must exist; empty for none.
  std::string ArchiveFolder;
  int ArchivePeriodSeconds = 3600;       // files are cut at each multiple of it
  std::optional<int> ArchiveKeepDays;    // older files are deleted; none: kept
  int64_t ArchiveMinFreeMb = 500;        // the oldest go while less is free
};
