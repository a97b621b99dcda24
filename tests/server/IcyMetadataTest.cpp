// Titles inside the stream: the block format, what a title may hold, the
// interleaving over sockets that take part of what they are given, and a
// listener on the server asking for them next to one that does not.
#include "server/IcyMetadata.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "base/Cp1251.h"
#include "server/AudioServer.h"
#include "server/HttpRequest.h"
#include "server/IcyTestStream.h"
#include "server/ServerTestUtil.h"

using namespace servertest;
using icytest::kMetaInt;

namespace {

TEST(IcyBlock, LengthByteCountsSixteensAndTheRestIsNulPadding) {
  for (const std::string& title : std::vector<std::string>{"", "A", "AB", "Europa Plus - Hit Parade", std::string(64, 'x')}) {
    const std::string block = icy::MetadataBlock(title);
    const std::string text = "StreamTitle='" + title + "';";
    ASSERT_GE(block.size(), 1u);
    const size_t n = static_cast<uint8_t>(block[0]);
    EXPECT_EQ(block.size(), 1 + 16 * n) << title;
    EXPECT_EQ(n, (text.size() + 15) / 16) << title;
    EXPECT_EQ(block.substr(1, text.size()), text);
    EXPECT_EQ(block.find_first_not_of('\0', 1 + text.size()), std::string::npos) << "padded with NULs";
  }
}

TEST(IcyBlock, QuotesControlsAndLongTitlesCannotBreakTheBlock) {
  const std::string apostrophe = "\xE2\x80\x99";
  struct Case {
    std::string title, value;
  } cases[] = {
      {"Guns N' Roses - Don't Cry", "Guns N" + apostrophe + " Roses - Don" + apostrophe + "t Cry"},
      {"a';StreamTitle='b", "a" + apostrophe + ";StreamTitle=" + apostrophe + "b"},
      {"semi;colon", "semi;colon"},
      {std::string("tab\tnul") + '\0' + "cr\r", "tab nul cr "},
      {"Дворжак", "Дворжак"},
  };
  for (const auto& c : cases) {
    icytest::TBlock block{0, icy::MetadataBlock(c.title).substr(1)};
    EXPECT_EQ(icytest::TitleOf(block), c.value) << c.title;
  }
  // Two-byte letters past the largest block: cut between letters, never
  // beyond 255 sixteens.
  std::string longest;
  for (int i = 0; i < 3000; ++i) longest += "Ж";
  const std::string block = icy::MetadataBlock(longest);
  EXPECT_EQ(static_cast<uint8_t>(block[0]), 255);
  EXPECT_EQ(block.size(), 1u + 255 * 16);
  const std::string value = icytest::TitleOf({0, block.substr(1)});
  EXPECT_TRUE(text::IsValidUtf8(value));
  EXPECT_GT(value.size(), 255u * 16 - 15 - 2);
}

TEST(IcyRequest, OnlyAnIcyMetaDataOneHeaderAsksForTitles) {
  const std::string get = "GET /Radio HTTP/1.0";
  struct Case {
    std::vector<std::string> lines;
    bool asks;
  } cases[] = {
      {{get, "Icy-MetaData: 1"}, true},
      {{get, "User-Agent: x", "icy-metadata:1"}, true},
      {{get, "ICY-METADATA \t:  1 "}, true},
      {{get, "Icy-MetaData: 0"}, false},
      {{get, "Icy-MetaData: 10"}, false},
      {{get, "Icy-MetaData:"}, false},
      {{get, "X-Icy-MetaData: 1"}, false},
      {{"Icy-MetaData: 1"}, false},  // the request line is no header
      {{get}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(AsksForTitles(c.lines), c.asks) << c.lines.back();
}

icy::TTitle Titled(uint64_t version, const std::string& title) {
  return {version, std::make_shared<const std::string>(icy::MetadataBlock(title))};
}

// A socket that takes a changing share of each send, now and then nothing.
TEST(IcyInterleave, BlocksKeepTheirPlaceWhateverShareEachSendTakes) {
  const int32_t takes[] = {-2, 5000, 1, 0, 16000, 3, 8191, 2, 40000, 7, -2, 12000};
  size_t call = 0;
  std::string wire;
  const auto send = [&](const void* p, int32_t n) {
    const int32_t take = takes[call++ % std::size(takes)];
    if (take < 0) return take;
    const int32_t r = std::min(n, take);
    wire.append(static_cast<const char*>(p), static_cast<size_t>(r));
    return r;
  };
  icy::TMetadataStream stream;
  std::string audioTaken;
  std::vector<size_t> changedAt;  // audio taken when the title changed
  icy::TTitle title;              // none at first
  size_t offset = 0;
  for (int chunk = 0; chunk < 120; ++chunk) {
    if (chunk == 10) title = Titled(1, "One");
    if (chunk == 60) title = Titled(2, "Two");
    if (chunk == 10 || chunk == 60) changedAt.push_back(audioTaken.size());
    const std::string audio = Pattern(offset, 8191);
    offset += audio.size();
    const int32_t r = stream.Write(reinterpret_cast<const uint8_t*>(audio.data()), 8191, title, send);
    if (r > 0) audioTaken += audio.substr(0, static_cast<size_t>(r));
  }
  const icytest::TSplit split = icytest::Split(wire);
  EXPECT_EQ(split.Audio, audioTaken) << "every audio byte taken, in order, none of a block's";
  ASSERT_EQ(split.Blocks.size(), audioTaken.size() / kMetaInt);
  int full = 0;
  for (size_t b = 0; b < split.Blocks.size(); ++b) {
    const auto& block = split.Blocks[b];
    EXPECT_EQ(block.AfterAudio, (b + 1) * kMetaInt);
    // The first block after each change carries the title; every other is the lone 0.
    const bool firstAfterOne = block.AfterAudio > changedAt[0] && (b == 0 || split.Blocks[b - 1].AfterAudio <= changedAt[0]);
    const bool firstAfterTwo = block.AfterAudio > changedAt[1] && split.Blocks[b - 1].AfterAudio <= changedAt[1];
    if (firstAfterOne || firstAfterTwo) {
      EXPECT_EQ(icytest::TitleOf(block), firstAfterOne ? "One" : "Two") << b;
      ++full;
    } else {
      EXPECT_EQ(block.Payload, "") << b;
    }
  }
  EXPECT_EQ(full, 2);
}

class IcyServer : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int attempt = 0; attempt < 5 && !server_.IsActive(); ++attempt) {
      port_ = FreePort();
      server_.AddBinding("127.0.0.1", port_);
      server_.StartServer();
    }
    ASSERT_TRUE(server_.IsActive());
    server_.MaxClients = 2;
    ASSERT_TRUE(server_.AddSource("Radio 1", "Radio 1", [](bool a) { return a; }));
    source_ = server_.FindSourceObject("Radio 1");
  }
  void TearDown() override {
    for (int s : sockets_) ::close(s);
  }
  int Listen(const std::string& extraHeaders, std::string& head) {
    const int before = server_.ClientCount();
    const int s = Connect(port_);
    sockets_.push_back(s);
    SendAll(s, "GET /Radio%201 HTTP/1.0\r\n" + extraHeaders + "\r\n");
    head = ReceiveHead(s);
    EXPECT_TRUE(WaitUntil([&] { return server_.ClientCount() == before + 1; }));
    return s;
  }
  // Feeds the next `n` pattern bytes in pieces of awkward sizes, each as the
  // buffer makes room, then waits until the source has sent what it may.
  void Feed(size_t n) {
    const size_t pieces[] = {1, 5000, 12345, 777, 32768};
    for (size_t done = 0, k = 0; done < n; ++k) {
      const std::string piece = Pattern(fed_, std::min(pieces[k % std::size(pieces)], n - done));
      size_t stored = 0;
      ASSERT_TRUE(WaitUntil([&] {
        stored += static_cast<size_t>(server_.FeedSource("Radio 1", piece.data() + stored,
                                                         static_cast<int32_t>(piece.size() - stored)));
        return stored == piece.size();
      }));
      fed_ += piece.size();
      done += piece.size();
    }
    ASSERT_TRUE(WaitUntil([&] { return source_->BufferCount() <= TSource::SendThreshold; }));
  }
  size_t Sent() { return fed_ - static_cast<size_t>(source_->BufferCount()); }

  TAudioServer server_;
  uint16_t port_ = 0;
  std::shared_ptr<TSource> source_;
  std::vector<int> sockets_;
  size_t fed_ = 0;
};

TEST_F(IcyServer, AskingListenerGetsBlocksEverySixteenThousandBytesWhileTheOtherGetsPlainAudio) {
  std::string icyHead, plainHead;
  const int icy = Listen("Icy-MetaData: 1\r\n", icyHead);
  const int plain = Listen("", plainHead);
  const std::string kHead = "HTTP/1.0 200 OK\r\nServer: ZANTO 1.0\r\nContent-Type: video/mpeg\r\nicy-name: Radio 1\r\n";
  EXPECT_EQ(icyHead, kHead + "icy-metaint: " + std::to_string(kMetaInt) + "\r\n\r\n");
  EXPECT_EQ(plainHead, kHead + "\r\n");

  // Read as it comes, so that no send finds a full socket.
  std::string icyWire, plainWire;
  const auto readUntil = [&](size_t audio) {
    return WaitUntil([&] {
      icyWire += Receive(icy, 1 << 20, 1);
      plainWire += Receive(plain, 1 << 20, 1);
      return icytest::Split(icyWire).Audio.size() >= audio && plainWire.size() >= audio;
    });
  };
  source_->SetTitle("First 'one'");
  Feed(100000);  // wraps the source's 64 KiB ring
  const size_t firstChange = Sent();
  ASSERT_TRUE(readUntil(firstChange));
  source_->SetTitle("First 'one'");  // the same again: no change
  Feed(60000);
  source_->SetTitle("Second");
  const size_t secondChange = Sent();
  ASSERT_TRUE(readUntil(secondChange));
  Feed(90000);
  ASSERT_TRUE(readUntil(Sent()));

  EXPECT_EQ(plainWire, Pattern(0, Sent())) << "a listener that did not ask gets the audio alone";
  const icytest::TSplit split = icytest::Split(icyWire);
  EXPECT_EQ(split.Audio, Pattern(0, Sent()));
  ASSERT_EQ(split.Blocks.size(), Sent() / kMetaInt);
  for (size_t b = 0; b < split.Blocks.size(); ++b) {
    const auto& block = split.Blocks[b];
    EXPECT_EQ(block.AfterAudio, (b + 1) * kMetaInt);
    const bool firstAfterChange = block.AfterAudio > secondChange && split.Blocks[b - 1].AfterAudio < secondChange;
    if (b == 0)
      EXPECT_EQ(icytest::TitleOf(block), "First \xE2\x80\x99one\xE2\x80\x99");
    else if (firstAfterChange)
      EXPECT_EQ(icytest::TitleOf(block), "Second");
    else
      EXPECT_EQ(block.Payload, "") << "block " << b << " repeats nothing";
  }
}

} // namespace
