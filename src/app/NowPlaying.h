#pragma once
// What each channel says it plays (its station name and radiotext title),
// handed over from the card's delivery thread to whoever shows it: the
// console lines, the "--now" table, the windows. Qt-free.
#include <cstddef>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "channels/ChannelList.h"

struct TStationText {
  std::string StationName;  // UTF-8, may be empty
  std::string Title;        // UTF-8, empty when cleared or never sent
  bool operator==(const TStationText&) const = default;
};

// A broadcast text longer than this is cut (at a character boundary): the
// station name has 8 characters and the title 64, so only a fault gets near.
constexpr size_t kMaxStationTextBytes = 256;

class TNowPlaying {
 public:
  struct TChange {
    bool Title = false;    // the title differs from the one held before
    bool Station = false;  // the station name does
    bool DrainDue = false; // the first change since the last TakeChanged
  };

  // Forgets every text and takes rows [0, rows) from now on. Not while a
  // delivery may still call Set for another row count.
  void Reset(size_t rows);
  // Any thread, never waits for a reader. A row out of range changes nothing.
  TChange Set(size_t row, const std::string& stationName, const std::string& title);
  // The rows changed since the last TakeChanged, each once with its newest
  // texts, in row order.
  std::vector<std::pair<size_t, TStationText>> TakeChanged();
  std::vector<TStationText> All() const;

 private:
  mutable std::mutex lock_;
  std::vector<TStationText> texts_;
  std::vector<bool> changed_;
  bool drainAsked_ = false;
};

// A broadcast text made safe to print: control characters (which could move
// a terminal's cursor or split a log line) become spaces, invalid UTF-8
// becomes "?", and the ends are trimmed.
std::string PrintableText(const std::string& utf8);

// The console line for a changed title, e.g.
// "2026-12-09 07:30:00 Сейчас: 2 Europa_Plus__Moscow_ — Artist - Title".
// A cleared title reads "(текст снят)".
std::string TitleLine(const std::tm& localTime, const ChannelRow& row, const std::string& titleUtf8);

// The "--now" table: a header and one line per row, with "—" where a row
// sent no station name or no title.
std::vector<std::string> NowTable(const TChannelList& list, const std::vector<TStationText>& texts);

// The headless recorder's console lines for changed titles, once per change.
// Titles that come before the channel table is printed wait for Show, so the
// table stays in one piece; the lock is held only while lines are handed to
// `print`, which must not wait for the writing.
class TTitleLines {
 public:
  TTitleLines(const TChannelList& list, std::function<void(const std::string&)> print);
  // The delivery thread, through the recording hook.
  void Changed(size_t row, const std::string& stationName, const std::string& title);
  // Prints the titles held so far, and from now on every change.
  void Show();

 private:
  const TChannelList& list_;
  std::function<void(const std::string&)> print_;
  std::mutex lock_;
  TNowPlaying texts_;
  bool shown_ = false;
};
