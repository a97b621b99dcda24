#include "server/SocketHelpers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>

#include "server/SocketsStartup.h"
#include "server/ServerTestUtil.h"

namespace {

uint16_t BoundPortOf(int s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

TEST(CreateBoundSocket, RefusesPortZeroHostNamesAndBroadcast) {
  EXPECT_EQ(CreateBoundSocket("127.0.0.1", 0), -1);
  const uint16_t port = servertest::FreePort();
  EXPECT_EQ(CreateBoundSocket("localhost", port), -1);
  EXPECT_EQ(CreateBoundSocket("radio.example", port), -1);
  EXPECT_EQ(CreateBoundSocket("255.255.255.255", port), -1);
}

TEST(CreateBoundSocket, BindsDottedAndAnyAddressWithoutListening) {
  const uint16_t port = servertest::FreePort();
  const TSocket any = CreateBoundSocket("", port);
  ASSERT_NE(any, -1);
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(any, reinterpret_cast<sockaddr*>(&sa), &len);
  EXPECT_EQ(sa.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(BoundPortOf(any), port);
  // Bound, not listening: nobody can connect yet.
  EXPECT_EQ(servertest::Connect(port), -1);
  CloseSocket(any);

  const TSocket loop = CreateBoundSocket("127.0.0.1", port);
  ASSERT_NE(loop, -1);
  EXPECT_EQ(BoundPortOf(loop), port);
  CloseSocket(loop);
}

TEST(CreateBoundSocket, PortHeldByAListenerIsRefused) {
  const uint16_t port = servertest::FreePort();
  const TSocket first = CreateBoundSocket("127.0.0.1", port);
  ASSERT_NE(first, -1);
  ASSERT_EQ(::listen(first, 1), 0);
  EXPECT_EQ(CreateBoundSocket("127.0.0.1", port), -1);
  CloseSocket(first);
}

TEST(SocketSet, HoldsSixtyFourAndIgnoresTheRest) {
  TSocketSet set;
  FdZero(set);
  for (int i = 0; i < 64; ++i) FdSet(100 + i, set);
  EXPECT_EQ(set.Count, 64u);
  FdSet(7, set);
  EXPECT_EQ(set.Count, 64u);
  EXPECT_FALSE(FdIsSet(7, set));
  EXPECT_TRUE(FdIsSet(163, set));
  FdZero(set);
  EXPECT_FALSE(FdIsSet(100, set));
}

TEST(WaitReadable, PollsWithZeroAndBlocksWithNegative) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_EQ(WaitReadable(pair[0], 0), 0);
  EXPECT_EQ(WaitReadable(pair[0], 30), 0);

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(::write(pair[1], "x", 1), 1);
  });
  EXPECT_GT(WaitReadable(pair[0], -1), 0);
  writer.join();
  EXPECT_GT(WaitReadable(pair[0], 0), 0);
  ::close(pair[0]);
  ::close(pair[1]);
}

// A handle that names no socket is an error at once, whatever the time-out:
// poll alone would skip a negative one and wait (for ever, or to the time-out
// and then report nothing ready, which the result tells apart).
TEST(WaitReadable, InvalidOrClosedHandleIsAnErrorAtOnce) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ::close(pair[0]);
  ::close(pair[1]);
  for (const TSocket s : {InvalidSocket, pair[0]})
    for (const int32_t timeout : {-1, 0, 5000}) EXPECT_EQ(WaitReadable(s, timeout), -1) << s << " " << timeout;
}

TEST(WaitReadable, PendingConnectionCountsAsReadable) {
  const uint16_t port = servertest::FreePort();
  const TSocket listener = CreateBoundSocket("127.0.0.1", port);
  ASSERT_EQ(::listen(listener, 5), 0);
  EXPECT_EQ(WaitReadable(listener, 0), 0);
  const int client = servertest::Connect(port);
  EXPECT_GT(WaitReadable(listener, 2000), 0);
  ::close(client);
  CloseSocket(listener);
}

TEST(AddressToText, WritesBytesInMemoryOrder) {
  EXPECT_EQ(AddressToText(0), "0.0.0.0");
  EXPECT_EQ(AddressToText(htonl(0x7F000001)), "127.0.0.1");
  EXPECT_EQ(AddressToText(htonl(0xC0A8010A)), "192.168.1.10");
  EXPECT_EQ(AddressToText(0xFFFFFFFFu), "255.255.255.255");
}

TEST(SocketsStartup, IgnoresBrokenPipes) {
  SocketsStartup();
  struct sigaction current {};
  ::sigaction(SIGPIPE, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_IGN);
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ::close(pair[1]);
  // Without the hook this write would end the process.
  EXPECT_EQ(::write(pair[0], "x", 1), -1);
  ::close(pair[0]);
  SocketsCleanup();
}

// A write that starts at the file-size limit fails with EFBIG once the
// start-up ran, instead of killing the process. Tried in a child that starts
// with the default disposition, as a fresh program does.
TEST(SocketsStartup, WriteAtTheFileSizeLimitFailsInsteadOfKillingTheProcess) {
  char path[] = "/tmp/mc_fsize_XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_DFL);
    SocketsStartup();
    const rlimit none{0, RLIM_INFINITY};
    ::setrlimit(RLIMIT_FSIZE, &none);
    const bool refused = ::write(fd, "x", 1) == -1 && errno == EFBIG;
    ::_exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(fd);
  ::unlink(path);
  EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
