#include "server/HttpRequest.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/AudioServer.h"

namespace {

TEST(UrlDecode, PercentAndPlus) {
  EXPECT_EQ(UrlDecode("Radio%201"), "Radio 1");
  EXPECT_EQ(UrlDecode("Radio+1"), "Radio 1");
  EXPECT_EQ(UrlDecode("%d0%E0"), "\xD0\xE0");
  EXPECT_EQ(UrlDecode("a%%b"), "a%b");
  EXPECT_EQ(UrlDecode("%%41"), "%41");  // "%%" is a literal percent, no escape after it
  EXPECT_EQ(UrlDecode("\xC0\xFF"), "\xC0\xFF");
  EXPECT_EQ(UrlDecode(std::string("a%00b", 5)), std::string("a\0b", 3));
}

TEST(UrlDecode, BrokenEscapeEmptiesTheWholeResult) {
  EXPECT_EQ(UrlDecode("Radio%4"), "");
  EXPECT_EQ(UrlDecode("Radio%"), "");
  EXPECT_EQ(UrlDecode("a%zzb"), "");
  EXPECT_EQ(UrlDecode("a%4gb"), "");
  EXPECT_EQ(UrlDecode("ab%%"), "");  // rule on the two characters after '%' comes first
}

struct Parsed {
  std::string method, path;
};
Parsed Parse(const std::string& line) {
  Parsed p;
  ParseRequestLine(line, p.method, p.path);
  return p;
}

TEST(ParseRequestLine, MethodAndPath) {
  EXPECT_EQ(Parse("GET /Radio%201 HTTP/1.0").path, "Radio 1");
  EXPECT_EQ(Parse("get /x HTTP/1.0").method, "GET");
  EXPECT_EQ(Parse("GET x HTTP/1.0").path, "x");  // a target without "/" is taken whole
  EXPECT_EQ(Parse("GET /x?y=1 HTTP/1.0").path, "x?y=1");
  EXPECT_EQ(Parse("POST /x HTTP/1.0").method, "POST");
}

TEST(ParseRequestLine, MalformedLinesLeaveFieldsEmpty) {
  EXPECT_EQ(Parse("GET / HTTP/1.0").path, "");
  Parsed noVersion = Parse("GET /x");
  EXPECT_EQ(noVersion.method, "GET");
  EXPECT_EQ(noVersion.path, "");
  EXPECT_EQ(Parse("GET  /x HTTP/1.0").path, "");  // two spaces in a row
  Parsed shortMethod = Parse("GE /x HTTP/1.0");
  EXPECT_EQ(shortMethod.method, "");
  EXPECT_EQ(shortMethod.path, "");
  EXPECT_EQ(Parse("GET").method, "");
  EXPECT_EQ(Parse("").method, "");
  EXPECT_EQ(Parse("GET /Radio%4 HTTP/1.0").path, "");
}

using State = TRequestHeadReader::TState;

State PutAll(TRequestHeadReader& reader, const std::string& bytes) {
  State s = State::More;
  for (char c : bytes) {
    s = reader.Put(c);
    if (s != State::More) break;
  }
  return s;
}

TEST(RequestHeadReader, LinesEndAtLfCrIgnoredBlankLineCompletes) {
  TRequestHeadReader r;
  EXPECT_EQ(PutAll(r, "GET /a HTTP/1.0\r\nHost: x\n\r\n"), State::Complete);
  ASSERT_EQ(r.Lines().size(), 2u);
  EXPECT_EQ(r.Lines()[0], "GET /a HTTP/1.0");
  EXPECT_EQ(r.Lines()[1], "Host: x");
}

TEST(RequestHeadReader, LongLineIsCutAfter513Bytes) {
  TRequestHeadReader r;
  const std::string line = "GET /" + std::string(595, 'a');
  size_t used = 0;
  State s = State::More;
  while (s == State::More && used < line.size()) s = r.Put(line[used++]);
  EXPECT_EQ(s, State::Complete);
  EXPECT_EQ(used, 513u);
  ASSERT_EQ(r.Lines().size(), 1u);
  EXPECT_EQ(r.Lines()[0], line.substr(0, 513));
}

TEST(RequestHeadReader, HeadIsBoundedInLinesAndBytes) {
  TRequestHeadReader manyLines;
  std::string head;
  for (int i = 0; i < 64; ++i) head += "X: y\r\n";
  EXPECT_EQ(PutAll(manyLines, head), State::More);
  EXPECT_EQ(PutAll(manyLines, "X: y\r\n"), State::TooLarge);

  TRequestHeadReader manyBytes;
  std::string big;
  for (int i = 0; i < 17; ++i) big += std::string(500, 'h') + "\r\n";
  EXPECT_EQ(PutAll(manyBytes, big), State::TooLarge);
  EXPECT_LE(manyBytes.Lines().size(), 17u);

  TRequestHeadReader fits;
  std::string ok = "GET /a HTTP/1.0\r\n";
  for (int i = 0; i < 15; ++i) ok += std::string(500, 'h') + "\r\n";
  EXPECT_EQ(PutAll(fits, ok + "\r\n"), State::Complete);
}

// ReadRequest over a socket pair, with the client end as the request's socket.
class ReadRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair_), 0);
    server_.HeaderTimeout = 200;
    client_ = std::make_unique<TClient>(&server_, pair_[0], "127.0.0.1");
  }
  void TearDown() override { ::close(pair_[1]); }
  void Send(const std::string& s) { ASSERT_EQ(::write(pair_[1], s.data(), s.size()), static_cast<ssize_t>(s.size())); }

  TAudioServer server_;
  int pair_[2] = {-1, -1};
  std::unique_ptr<TClient> client_;
};

TEST_F(ReadRequestTest, FillsMethodAndPath) {
  Send("get /Radio+1 HTTP/1.1\r\nUser-Agent: t\r\n\r\n");
  EXPECT_TRUE(ReadRequest(*client_));
  EXPECT_EQ(client_->Method, "GET");
  EXPECT_EQ(client_->Path, "Radio 1");
}

TEST_F(ReadRequestTest, SilenceBeforeTheBlankLineParsesNothing) {
  Send("GET /Radio HTTP/1.0\r\n");
  EXPECT_TRUE(ReadRequest(*client_));
  EXPECT_EQ(client_->Method, "");
  EXPECT_EQ(client_->Path, "");
}

TEST_F(ReadRequestTest, PeerCloseParsesWhatArrived) {
  Send("GET /Radio HTTP/1.0\r\n");
  ::shutdown(pair_[1], SHUT_WR);
  EXPECT_TRUE(ReadRequest(*client_));
  EXPECT_EQ(client_->Path, "Radio");
}

TEST_F(ReadRequestTest, OversizedHeadIsRefused) {
  std::string head = "GET /Radio HTTP/1.0\r\n";
  for (int i = 0; i < 70; ++i) head += "X: y\r\n";
  Send(head + "\r\n");
  EXPECT_FALSE(ReadRequest(*client_));
  EXPECT_EQ(client_->Method, "");
}

}  // namespace
