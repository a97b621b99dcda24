// What the stations say they play, from the delivery thread to the console:
// the per-row hand-over, the texts made printable, the title lines and the
// "--now" table.
#include "app/NowPlaying.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "base/Cp1251.h"

namespace {

TEST(NowPlaying, EachChangeCountsOnceAndTheReaderGetsTheNewestTexts) {
  TNowPlaying now;
  now.Reset(3);
  struct TStep {
    size_t row;
    const char *station, *title;
    bool titleChanged, stationChanged, drainDue;
  };
  const TStep beforeTake[] = {
      {0, "EUROPA+", "A", true, true, true},
      {0, "EUROPA+", "A", false, false, false},  // the station repeats itself
      {0, "EUROPA+", "B", true, false, false},   // a drain is already asked for
      {1, "CLASSIC", "", false, true, false},    // a name, no title yet
      {5, "X", "Y", false, false, false},        // no such row
  };
  const auto run = [&](const TStep& s) {
    SCOPED_TRACE(std::to_string(s.row) + " " + s.station + " " + s.title);
    const TNowPlaying::TChange c = now.Set(s.row, s.station, s.title);
    EXPECT_EQ(c.Title, s.titleChanged);
    EXPECT_EQ(c.Station, s.stationChanged);
    EXPECT_EQ(c.DrainDue, s.drainDue);
  };
  for (const TStep& s : beforeTake) run(s);
  using TTaken = std::vector<std::pair<size_t, TStationText>>;
  EXPECT_EQ(now.TakeChanged(), (TTaken{{0, {"EUROPA+", "B"}}, {1, {"CLASSIC", ""}}}));
  run({0, "EUROPA+", "", true, false, true});  // cleared: a change, and the next drain
  EXPECT_EQ(now.TakeChanged(), (TTaken{{0, {"EUROPA+", ""}}}));
  EXPECT_TRUE(now.TakeChanged().empty());

  now.Reset(1);
  EXPECT_EQ(now.All(), std::vector<TStationText>(1));
  EXPECT_FALSE(now.Set(1, "X", "Y").DrainDue);
}

TEST(NowPlaying, AnOverlongTextIsCutBetweenCharacters) {
  TNowPlaying now;
  now.Reset(1);
  std::string title;
  for (int i = 0; i < 200; ++i) title += "Ж";  // two bytes each
  now.Set(0, "", "x" + title);                 // the odd byte puts the cut inside a letter
  const std::string kept = now.All()[0].Title;
  EXPECT_LE(kept.size(), kMaxStationTextBytes);
  EXPECT_GT(kept.size(), kMaxStationTextBytes - 2);
  EXPECT_EQ(PrintableText(kept), kept) << "a letter was cut in half";
}

// A delivery thread setting texts while the reader drains: nothing waits on
// the reader, and once the writer is done each row holds its newest text.
TEST(NowPlaying, ASetterAndAReaderSideBySideEndOnTheNewestTexts) {
  constexpr size_t kRows = 10;
  constexpr int kRounds = 2000;
  TNowPlaying now;
  now.Reset(kRows);
  std::atomic<bool> done{false};
  std::atomic<int> drainsAsked{0};
  std::thread delivery([&] {
    for (int i = 0; i < kRounds; ++i)
      for (size_t r = 0; r < kRows; ++r)
        if (now.Set(r, "PS", std::to_string(r) + "-" + std::to_string(i)).DrainDue) ++drainsAsked;
    done = true;
  });
  std::vector<std::string> shown(kRows);
  int takes = 0;
  const auto drain = [&] {
    ++takes;
    for (const auto& [row, text] : now.TakeChanged()) shown[row] = text.Title;
  };
  while (!done) drain();
  delivery.join();
  drain();
  for (size_t r = 0; r < kRows; ++r) EXPECT_EQ(shown[r], std::to_string(r) + "-" + std::to_string(kRounds - 1));
  EXPECT_LE(drainsAsked.load(), takes) << "a drain is asked for only once until it is taken";
}

TEST(PrintableText, ControlsAndBrokenBytesNeverReachTheOutput) {
  const std::pair<std::string, std::string> cases[] = {
      {"Artist - Title", "Artist - Title"},
      {"  EUROPA+ ", "EUROPA+"},               // the name is padded to eight characters
      {"a\nb\rc\td", "a b c d"},               // would split a log line or rewrite it
      {"\x1b[2Jx", "[2Jx"},                    // a terminal escape loses its escape
      {"Ж\xC2\x85z", "Ж z"},                   // C1 controls too
      {"bad\xFF\xC3", "bad??"},                // invalid and cut off sequences
      {"\xC0\xAF\xED\xA0\x80", "?????"},       // an overlong "/" and a surrogate
      {"Café Ретро", "Café Ретро"},
      {"\x7f", ""},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(PrintableText(in), out) << in;
}

TEST(TitleLine, TimeChannelAndTitleOrTheClear) {
  std::tm at{};
  at.tm_year = 2026 - 1900, at.tm_mon = 11, at.tm_mday = 9, at.tm_hour = 7, at.tm_min = 30, at.tm_sec = 5;
  ChannelRow row;
  row.Number = "2";
  row.Name = text::Utf8ToCp1251("Ретро_FM");
  EXPECT_EQ(TitleLine(at, row, "A - B\n"), "2026-12-09 07:30:05 Сейчас: 2 Ретро_FM — A - B");
  EXPECT_EQ(TitleLine(at, row, ""), "2026-12-09 07:30:05 Сейчас: 2 Ретро_FM — (текст снят)");
  EXPECT_EQ(TitleLine(at, row, "\r"), TitleLine(at, row, "")) << "nothing printable is no title";
}

// Characters, not bytes: where a column starts on screen.
size_t ColumnOf(const std::string& line, const std::string& what) {
  const size_t at = line.find(what);
  if (at == std::string::npos) return std::string::npos;
  size_t n = 0;
  for (size_t i = 0; i < at; ++i) n += (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

TEST(NowTable, EveryRowWithADashWhereNothingWasSaidInStraightColumns) {
  TChannelList list;
  list.AddChannelRow("Europa_Plus__Moscow_", "358", "0");
  list.AddChannelRow(text::Utf8ToCp1251("Ретро_FM"), "359", "0");
  list.AddChannelRow("Data", "0", "0");
  // Fewer texts than rows: the rows after them said nothing.
  const std::vector<TStationText> texts = {{"EUROPA+ ", "Artist - Title"}, {"", ""}};
  const std::vector<std::string> lines = NowTable(list, texts);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].rfind("1 ", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find(" EUROPA+ "), std::string::npos) << lines[1];
  EXPECT_EQ(lines[1].substr(lines[1].size() - 14), "Artist - Title");
  for (size_t r = 2; r < 4; ++r) {
    SCOPED_TRACE(lines[r]);
    EXPECT_EQ(lines[r].substr(lines[r].size() - 3), "—");
    EXPECT_EQ(ColumnOf(lines[r], "—"), ColumnOf(lines[0], "Станция"));
  }
  EXPECT_EQ(ColumnOf(lines[1], "EUROPA+"), ColumnOf(lines[0], "Станция"));
  EXPECT_EQ(ColumnOf(lines[1], "Artist"), ColumnOf(lines[0], "Сейчас"));
  EXPECT_EQ(ColumnOf(lines[2], "Ретро_FM"), ColumnOf(lines[1], "Europa"));
}

// The headless recorder's hook, driven as the card's delivery thread calls
// it: nothing before the channel table, then one line per change.
TEST(TitleLines, OneLinePerChangeAndNoneBeforeTheTable) {
  TChannelList list;
  list.AddChannelRow("Europa", "358", "0");
  list.AddChannelRow("Classic", "362", "0");
  std::mutex lock;
  std::vector<std::string> printed;
  TTitleLines lines(list, [&](const std::string& line) {
    std::lock_guard<std::mutex> guard(lock);
    printed.push_back(line);
  });
  const auto deliver = [&](std::vector<std::tuple<size_t, std::string, std::string>> calls) {
    std::thread([&] {
      for (const auto& [row, station, title] : calls) lines.Changed(row, station, title);
    }).join();
  };
  const auto taken = [&] {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> out;
    out.swap(printed);
    return out;
  };
  const auto endsWith = [](const std::string& line, const std::string& tail) {
    return line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
  };

  deliver({{0, "E", "A"}, {0, "E", "A"}, {1, "C", "X"}, {0, "E", "B"}});
  EXPECT_TRUE(taken().empty()) << "the table is not printed yet";
  lines.Show();
  std::vector<std::string> got = taken();
  ASSERT_EQ(got.size(), 2u) << "the newest title of each row, once";
  EXPECT_TRUE(endsWith(got[0], " Сейчас: 1 Europa — B")) << got[0];
  EXPECT_TRUE(endsWith(got[1], " Сейчас: 2 Classic — X")) << got[1];

  deliver({{0, "E", "B"}, {0, "E+", "B"}, {0, "E", ""}, {0, "E", "C"}, {0, "E", "C"}, {7, "Z", "Z"}});
  got = taken();
  ASSERT_EQ(got.size(), 2u) << "a repetition, a new station name alone and an unknown row print nothing";
  EXPECT_TRUE(endsWith(got[0], "1 Europa — (текст снят)")) << got[0];
  EXPECT_TRUE(endsWith(got[1], "1 Europa — C")) << got[1];
}

} // namespace
