#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include "server/HttpRequest.h"
#include "base/Cp1251.h"

namespace {

using TAction = TCommandLine::TAction;

TEST(ParseCommandLine, ActionsAndTheirOptions) {
  std::string error;
  const auto record = ParseCommandLine(
      {"--record", "1,Jazz", "--ini", "/srv/ini", "--folder", "rec", "--seconds", "30", "--encoders", "3"}, error);
  ASSERT_TRUE(record) << error;
  EXPECT_EQ(record->Action, TAction::Record);
  EXPECT_EQ(record->Rows, "1,Jazz");
  EXPECT_EQ(record->IniFolder, "/srv/ini");
  EXPECT_EQ(record->Folder.value_or(""), "rec");
  EXPECT_EQ(record->Seconds.value_or(0), 30);
  EXPECT_EQ(record->Encoders.value_or(0), 3);
  const auto byCores = ParseCommandLine({"--record", "all"}, error);
  ASSERT_TRUE(byCores) << error;
  EXPECT_FALSE(byCores->Encoders) << "one per core unless told";

  const auto archive = ParseCommandLine(
      {"--record", "all", "--archive", "/srv/a", "--split", "15", "--keep", "30", "--min-free", "0"}, error);
  ASSERT_TRUE(archive) << error;
  EXPECT_EQ(archive->Archive.value_or(""), "/srv/a");
  EXPECT_EQ(archive->SplitSeconds.value_or(0), 15 * 60);
  EXPECT_EQ(archive->KeepDays.value_or(0), 30);
  EXPECT_EQ(archive->MinFreeMb.value_or(-1), 0);
  const auto seconds = ParseCommandLine({"--record", "1", "--archive", "a", "--split-seconds", "2"}, error);
  ASSERT_TRUE(seconds) << error;
  EXPECT_EQ(seconds->SplitSeconds.value_or(0), 2);
  EXPECT_EQ(std::string(kUsageText).find("--split-seconds"), std::string::npos) << "for tests, not in the help";

  const auto now = ParseCommandLine({"--seconds", "3", "--now", "--ini", "/srv/ini"}, error);
  ASSERT_TRUE(now) << error;
  EXPECT_EQ(now->Action, TAction::Now);
  EXPECT_EQ(now->Seconds.value_or(0), 3) << "--seconds is how long --now listens";
  EXPECT_EQ(now->IniFolder, "/srv/ini");

  const std::vector<std::pair<std::vector<std::string>, TAction>> plain = {
      {{}, TAction::Start},       {{"--scan"}, TAction::Scan},       {{"--list", "--ini", "x"}, TAction::List},
      {{"--help"}, TAction::Help}, {{"--version"}, TAction::Version}, {{"--now"}, TAction::Now},
  };
  for (const auto& [args, action] : plain) {
    const auto cl = ParseCommandLine(args, error);
    ASSERT_TRUE(cl) << error;
    EXPECT_EQ(cl->Action, action);
  }
}

TEST(ParseCommandLine, RefusesWhatItCannotCarryOut) {
  const std::vector<std::vector<std::string>> bad = {
      {"--record"},                        // no rows
      {"--record", ""},                    // empty rows
      {"--record", "--ini", "ini"},        // the rows left out before the next option
      {"--scan", "--record", "all"},       // two actions
      {"--record", "all", "--seconds", "0"},
      {"--record", "all", "--seconds", "x"},
      {"--scan", "--folder", "rec"},       // a record option without a recording
      {"--record", "all", "--encoders", "0"},
      {"--record", "all", "--encoders", "65"},
      {"--record", "all", "--encoders", "2x"},
      {"--record", "all", "--encoders"},
      {"--list", "--encoders", "2"},
      {"--now", "--record", "all"},        // listening is an action of its own
      {"--now", "--folder", "rec"},        // --now writes no file
      {"--now", "--encoders", "2"},
      {"--now", "--seconds", "0"},
      {"--list", "--seconds", "5"},
      {"--ini"},
      {"-x"},
      {"--now", "--archive", "a"},         // the archive is a way of recording
      {"--record", "all", "--archive", "a", "--folder", "b"},
      {"--record", "all", "--split", "5"},  // archive options without an archive
      {"--record", "all", "--archive", "a", "--split", "0"},
      {"--record", "all", "--archive", "a", "--split", "1441"},
      {"--record", "all", "--archive", "a", "--split-seconds", "0"},
      {"--record", "all", "--archive", "a", "--keep", "0"},
      {"--record", "all", "--archive", "a", "--min-free", "-1"},
      {"--record", "all", "--archive", "a", "--min-free", "5x"},
  };
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(ParseCommandLine(args, error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

class SelectRowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"Radio_1", "Jazz", "\xD0\xE0\xE4\xE8\xEE"})  // the last is "Радио" in CP1251
      list_.AddChannelRow(name, "100", "0");
    list_.AddChannelRow("Data", "0", "0");  // no audio
    list_.DeleteRow(0);  // numbers stay as listed: "2", "3" and "4" remain
  }
  std::vector<bool> Ticks() {
    std::vector<bool> t;
    for (const auto& row : list_.Rows()) t.push_back(row.Ticked);
    return t;
  }
  TChannelList list_;
};

TEST_F(SelectRowsTest, NumbersNamesAllAndNone) {
  const std::vector<std::pair<std::string, std::vector<bool>>> cases = {
      {"all", {true, true, false}},  {"none", {false, false, false}}, {"3", {false, true, false}},
      {"JAZZ", {true, false, false}}, {"Радио,2", {true, true, false}},
      {"4", {false, false, true}},  // named, a row without audio is still ticked
  };
  std::string error;
  for (const auto& [rows, ticks] : cases) {
    ASSERT_TRUE(SelectRows(list_, rows, error)) << rows << ": " << error;
    EXPECT_EQ(Ticks(), ticks) << rows;
  }
}

TEST_F(SelectRowsTest, AnItemThatNamesNoRowChangesNothing) {
  std::string error;
  ASSERT_TRUE(SelectRows(list_, "2", error));
  for (const char* rows : {"1", "Jazz,Rock", "Jazz,", ""}) {
    EXPECT_FALSE(SelectRows(list_, rows, error)) << rows;
    EXPECT_EQ(Ticks(), (std::vector<bool>{true, false, false})) << rows;
  }
  SelectRows(list_, "Jazz,Rock", error);
  EXPECT_NE(error.find("Rock"), std::string::npos);
}

// Whatever a name holds, the address leads back to it through the server's
// own decoding of the request path.
TEST(StreamAddress, DecodesBackToTheChannel) {
  const std::string prefix = "http://127.0.0.1:3587/";
  for (const std::string& name :
       {std::string("Radio 1+2"), std::string("Jazz_24/7"), std::string(".."), std::string("a%b?c#d"),
        text::Utf8ToCp1251("Джаз Café"), std::string("\x98raw")}) {
    const std::string address = StreamAddress(name);
    ASSERT_EQ(address.rfind(prefix, 0), 0u);
    const std::string path = address.substr(prefix.size());
    EXPECT_EQ(path.find_first_of(" +/?#"), std::string::npos) << path;
    EXPECT_NE(path, "..") << "a client would take it for the folder above";
    const std::string decoded = UrlDecode(path);
    EXPECT_TRUE(decoded == name || text::Utf8ToCp1251(decoded) == name) << name << " -> " << path;
  }
  EXPECT_EQ(StreamAddress("Jazz", 8000), "http://127.0.0.1:8000/Jazz");
}

}  // namespace

TEST(StreamPortOf, TheEnvironmentMovesThePortOnlyToARealOne) {
  EXPECT_EQ(StreamPortOf(nullptr), kStreamPort);
  EXPECT_EQ(StreamPortOf(""), kStreamPort);
  EXPECT_EQ(StreamPortOf("1"), 1);
  EXPECT_EQ(StreamPortOf("40000"), 40000);
  EXPECT_EQ(StreamPortOf("65535"), 65535);
  for (const char* bad : {"0", "65536", "99999999999999999999", "-1", "80x", " 80", "0x50"})
    EXPECT_FALSE(StreamPortOf(bad).has_value()) << bad;
}
