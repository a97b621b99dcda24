#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/Cp1251.h"
#include "radiotext/RadioTextReader.h"
#include "tsbuilder/MpegAudio.h"
#include "tsbuilder/RdsAncillary.h"

using radiotext::TRadioTextReader;
using Bytes = std::vector<uint8_t>;

namespace {

std::string Utf8(const std::u32string& s) { return text::CodePointsToUtf8(s); }

// Layer II with room for RDS, as a station sends it.
Bytes Audio(const tsb::TRdsSpec& rds, tsb::TAudioFormat format = {48000, 192, tsb::TAudioMode::Stereo},
            double seconds = 12) {
  format.ancillaryBytes = rds.bytesPerFrame;
  Bytes es = tsb::EncodeTone(format, {}, seconds);
  tsb::InsertRds(es, rds);
  return es;
}

// Every text the reader reports as new, in order, feeding pieces of the
// given sizes (cycled).
std::vector<std::string> Titles(TRadioTextReader& reader, const Bytes& es, std::vector<size_t> pieces) {
  std::vector<std::string> titles;
  for (size_t at = 0, k = 0; at < es.size(); ++k) {
    const size_t n = std::min(pieces[k % pieces.size()], es.size() - at);
    const uint64_t before = reader.TextChanges();
    reader.Feed(es.data() + at, n);
    if (reader.TextChanges() != before) titles.push_back(Utf8(reader.Text()));
    at += n;
  }
  return titles;
}

const tsb::TRdsSpec kShow = {"ROCK FM", {{0, "First - Song"}, {4, "Second - Song"}, {8, ""}}, 16};

} // namespace

TEST(RadioTextReaderTest, NameAndTitlesArriveHoweverTheAudioIsCut) {
  const Bytes es = Audio(kShow);
  const std::vector<std::string> expected = {"First - Song", "Second - Song", ""};
  const std::vector<std::vector<size_t>> cuts = {{1}, {3, 700, 5}, {32767}, {575, 577}};
  for (const auto& pieces : cuts) {
    SCOPED_TRACE("first piece " + std::to_string(pieces[0]));
    TRadioTextReader reader;
    EXPECT_EQ(Titles(reader, es, pieces), expected);
    EXPECT_EQ(Utf8(reader.ProgrammeService()), "ROCK FM");
    EXPECT_EQ(reader.TextChanges(), 3u) << "a repeated title is no change";
    EXPECT_EQ(reader.Frames().CrcFailures(), 0u);
  }
}

TEST(RadioTextReaderTest, FormatsAndRunLengthsOfBroadcasts) {
  struct Case {
    tsb::TAudioFormat format;
    int bytesPerFrame;
  } cases[] = {
      {{48000, 256, tsb::TAudioMode::Stereo}, 4},  // a text spread over many frames
      {{44100, 128, tsb::TAudioMode::JointStereo}, 16},
      {{24000, 64, tsb::TAudioMode::Mono}, 8},     // MPEG-2 half-rate frames
      {{48000, 384, tsb::TAudioMode::Stereo}, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.format.sampleRate) + " Hz " + std::to_string(c.format.bitrateKbps) +
                 " kbit/s, " + std::to_string(c.bytesPerFrame) + " bytes a frame");
    const tsb::TRdsSpec rds = {"STATION", {{0, "Artist - A title that takes sixty-four characters to write out"}},
                               c.bytesPerFrame};
    TRadioTextReader reader;
    const Bytes es = Audio(rds, c.format, 8);
    reader.Feed(es.data(), es.size());
    EXPECT_EQ(Utf8(reader.Text()), rds.titles[0].text);
    EXPECT_EQ(Utf8(reader.ProgrammeService()), "STATION");
  }
}

TEST(RadioTextReaderTest, LettersOfTheRdsTableBecomeUnicodeAndCp1251WhereItHasThem) {
  // Dvořák with RDS's í, ř and á, "KÖLN" with Ö, and the euro sign, which
  // alone of them CP1251 has.
  const tsb::TRdsSpec rds = {"K\xD7LN", {{0, "Anton\x84n Dvo\xDA\x80k \xA9"}}, 16};
  TRadioTextReader reader;
  const Bytes es = Audio(rds, {48000, 192, tsb::TAudioMode::Stereo}, 4);
  reader.Feed(es.data(), es.size());
  EXPECT_EQ(Utf8(reader.Text()), "Antonín Dvořák €");
  EXPECT_EQ(Utf8(reader.ProgrammeService()), "KÖLN");
  EXPECT_EQ(text::Utf8ToCp1251(Utf8(reader.Text())), "Anton?n Dvo??k \x88");
}

TEST(RadioTextReaderTest, DamageCostsOnlyTheFramesItHits) {
  Bytes es = Audio(kShow);
  std::mt19937 random(7);
  // Garbage spliced in, a run count reaching into the header, and a CRC broken
  // inside a run: the reader resynchronises and later messages still arrive.
  Bytes garbage(3000);
  for (auto& b : garbage) b = static_cast<uint8_t>(random());
  es.insert(es.begin() + static_cast<std::ptrdiff_t>(es.size() / 3), garbage.begin(), garbage.end());
  const std::vector<size_t> frames = tsb::SplitFrames(es);
  ASSERT_FALSE(frames.empty());
  es[frames[0] - 2] = 0xFF;  // count 255 in a 576-byte frame's tail
  size_t at = 0;
  for (size_t k = 0; k < 20 && k < frames.size(); ++k) at += frames[k];
  for (size_t k = 0; k < 2000; ++k) es[at + random() % 4000] ^= static_cast<uint8_t>(1 + random() % 255);

  TRadioTextReader reader;
  const std::vector<std::string> titles = Titles(reader, es, {1000});
  ASSERT_FALSE(titles.empty());
  EXPECT_EQ(titles.back(), "") << "the last message, a clear, still arrives";
  EXPECT_EQ(Utf8(reader.ProgrammeService()), "ROCK FM");
}

TEST(RadioTextReaderTest, AudioWithoutRdsOrNoAudioAtAllGivesNothing) {
  const Bytes plain = tsb::EncodeTone({48000, 192, tsb::TAudioMode::Stereo}, {}, 3);
  Bytes noise(200000);
  std::mt19937 random(3);
  for (auto& b : noise) b = static_cast<uint8_t>(random());
  for (const Bytes* bytes : std::vector<const Bytes*>{&plain, &noise}) {
    TRadioTextReader reader;
    EXPECT_FALSE(reader.Feed(bytes->data(), bytes->size()));
    EXPECT_TRUE(reader.Text().empty());
    EXPECT_TRUE(reader.ProgrammeService().empty());
  }
}
