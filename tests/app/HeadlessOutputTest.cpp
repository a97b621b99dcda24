// The headless recorder's output: the writer thread that a blocked reader
// cannot hold up, and when a status line is printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "app/OutputWriter.h"
#include "app/StatusCadence.h"

namespace {

using namespace std::chrono_literals;

std::string ReadAvailable(int fd) {
  std::string got;
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  return got;
}

struct TPipe {
  TPipe() {
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  }
  ~TPipe() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  // Fills the pipe, so that the next write blocks until someone reads.
  void Fill() {
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (::write(fds[1], block.data(), block.size()) > 0) {
    }
    ::fcntl(fds[1], F_SETFL, 0);
  }
  int fds[2];
};

// The writer outlives the test on purpose (its thread may still be blocked);
// each test makes its own.
TOutputWriter& NewWriter(int out, int err, TOutputWriter::TMode mode = {}) {
  return *new TOutputWriter(out, err, mode);
}

TEST(OutputWriter, ABlockedReaderHoldsUpNoCallerAndLosesOnlyStatusLines) {
  TPipe out, err;
  out.Fill();
  TOutputWriter& writer = NewWriter(out.fds[1], err.fds[1]);
  writer.Line("header");  // taken by the thread, which then blocks on the full pipe
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) writer.Status("status " + std::to_string(i));
  const std::string filler(1000, '.');
  for (size_t i = 0; i < TOutputWriter::kQueueBytes / 1000 + 10; ++i) writer.Error("error " + std::to_string(i) + filler);
  // Nothing above waited on the pipe: bounded far below a stuck write.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  EXPECT_FALSE(writer.Drain(100ms)) << "the output is blocked";
  EXPECT_GE(writer.DroppedStatusLines(), 999u) << "only the newest status line waits";
  EXPECT_GE(writer.DroppedLines(), 9u) << "lines past the bound are dropped and counted";

  // A reader comes back: everything kept is written, in order.
  std::string got, errors;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!writer.Drain(10ms) && std::chrono::steady_clock::now() < deadline) {
    got += ReadAvailable(out.fds[0]);
    errors += ReadAvailable(err.fds[0]);
  }
  got += ReadAvailable(out.fds[0]);
  errors += ReadAvailable(err.fds[0]);
  EXPECT_NE(got.find("header\n"), std::string::npos);
  EXPECT_NE(got.find("status 999 | пропущено строк состояния: 999\n"), std::string::npos) << got.substr(got.size() - 200);
  EXPECT_EQ(got.find("status 998"), std::string::npos);
  EXPECT_EQ(errors.rfind("error 0" + filler + "\nerror 1" + filler + "\n", 0), 0u);
}

TEST(OutputWriter, OnATerminalTheStatusLineIsRedrawnInPlace) {
  TPipe out, err;
  TOutputWriter::TMode terminal;
  terminal.Terminal = true;
  TOutputWriter& writer = NewWriter(out.fds[1], out.fds[1], terminal);
  writer.Status("s1");
  ASSERT_TRUE(writer.Drain(30s));
  writer.Error("e");
  ASSERT_TRUE(writer.Drain(30s));
  writer.Status("s2");
  ASSERT_TRUE(writer.Drain(30s));
  writer.EndStatus();
  writer.Line("end");
  ASSERT_TRUE(writer.Drain(30s));
  EXPECT_EQ(ReadAvailable(out.fds[0]), "\r\033[Ks1\r\033[Ke\ns1\r\033[Ks2\nend\n");
}

TEST(OutputWriter, StampsCarryTheLocalTime) {
  TPipe out, err;
  TOutputWriter::TMode stamped;
  stamped.Stamp = true;
  TOutputWriter& writer = NewWriter(out.fds[1], err.fds[1], stamped);
  writer.Status("s");
  writer.Line("plain");
  ASSERT_TRUE(writer.Drain(30s));
  const std::string got = ReadAvailable(out.fds[0]);
  // "YYYY-MM-DD HH:MM:SS s"
  EXPECT_NE(got.find("plain\n"), std::string::npos);
  const size_t s = got.find(" s\n");
  ASSERT_NE(s, std::string::npos) << got;
  ASSERT_GE(s, 19u);
  const std::string stamp = got.substr(s - 19, 19);
  EXPECT_EQ(stamp[4], '-');
  EXPECT_EQ(stamp[10], ' ');
  EXPECT_EQ(stamp[13], ':');
}

TEST(StatusCadence, OffATerminalOnChangeOrOnceAMinute) {
  using TClock = TStatusCadence::TClock;
  const TClock::time_point t0{};
  const auto minute = TStatusCadence::kQuietInterval;
  struct TStep {
    std::string state;
    TClock::duration at;
    bool terminalDue, logDue;
  };
  const TStep steps[] = {
      {"", 0s, true, true},                    // the first line
      {"", 1s, true, false},                   // sizes grew, nothing else
      {" 2", 2s, true, true},                  // a channel stopped
      {" 2", 3s, true, false},
      {" 2", 2s + minute, true, true},         // a minute since the last line
      {" 2", 3s + minute, true, false},
  };
  TStatusCadence terminal(true), log(false);
  for (const auto& step : steps) {
    SCOPED_TRACE(step.at.count());
    EXPECT_EQ(terminal.Due(step.state, t0 + step.at), step.terminalDue);
    EXPECT_EQ(log.Due(step.state, t0 + step.at), step.logDue);
  }
}

} // namespace
