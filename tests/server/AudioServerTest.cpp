#include "server/AudioServer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "server/ServerTestUtil.h"

using namespace servertest;

namespace {

const std::string kOkHead =
    "HTTP/1.0 200 OK\r\nServer: ZANTO 1.0\r\nContent-Type: video/mpeg\r\nicy-name: Radio 1\r\n\r\n";
const std::string kNotFound =
    "HTTP/1.0 404 File Not Found\r\nContent-Type: text/html\r\n\r\n<b>The source you requested could not be "
    "found.</b>\r\n";
const std::string kFull =
    "HTTP/1.0 504 Server Full\r\nContent-Type: text/html\r\n\r\n<b>The server is already full. Try again "
    "later.</b>\r\n";
const std::string kRadio = "\xD0\xE0\xE4\xE8\xEE";       // "Радио" in CP1251
const std::string kRadioLower = "\xF0\xE0\xE4\xE8\xEE";  // "радио"

class ServerTest : public ::testing::Test {
 protected:
  void Start(int32_t headerTimeout = 3000, int32_t idleTimeout = 10000) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      server_ = std::make_unique<TAudioServer>();
      server_->MaxClients = 2;
      server_->HeaderTimeout = headerTimeout;
      server_->IdleTimeout = idleTimeout;
      port_ = FreePort();
      server_->AddBinding("127.0.0.1", port_);
      if (server_->StartServer()) break;
    }
    ASSERT_TRUE(server_->IsActive());
    ASSERT_TRUE(server_->AddSource("Radio 1", "Radio 1", [](bool a) { return a; }));
  }
  void TearDown() override {
    for (int s : sockets_) ::close(s);
    sockets_.clear();
    server_.reset();
  }

  int Open(int receiveBuffer = 0) {
    const int s = Connect(port_, receiveBuffer);
    sockets_.push_back(s);
    return s;
  }
  // Connects, asks for `target` and reads exactly the 200 head; waits until
  // the source holds the client.
  int Listen(const std::string& target, int receiveBuffer = 0) {
    const int before = server_->ClientCount();
    const int s = Open(receiveBuffer);
    SendAll(s, "GET /" + target + " HTTP/1.0\r\n\r\n");
    head_ = ReceiveHead(s);
    EXPECT_TRUE(WaitUntil([&] { return server_->ClientCount() == before + 1; }));
    return s;
  }
  // The whole answer to a raw request, and whether the server closed.
  std::string Ask(const std::string& request, bool& closed, int timeoutMs = 3000) {
    const int s = Open();
    SendAll(s, request);
    return ReceiveUntilClosed(s, closed, timeoutMs);
  }
  TSource& Radio() { return *server_->FindSourceObject("Radio 1"); }

  std::unique_ptr<TAudioServer> server_;
  uint16_t port_ = 0;
  std::vector<int> sockets_;
  std::string head_;
};

TEST_F(ServerTest, ListenerGetsExactHeadThenTheBacklogAndEveryFedByte) {
  Start();
  const std::string stream = Pattern(0, 30000 + 32767);
  ASSERT_EQ(server_->FeedSource("Radio 1", stream.data(), 30000), 30000);  // backlog, below the mark
  const int s = Listen("Radio%201");
  EXPECT_EQ(head_, kOkHead);
  ASSERT_EQ(server_->FeedSource("radio 1", stream.data() + 30000, 32767), 32767);
  // Sent in 8191-byte chunks until no more than 32767 bytes are left.
  const std::string got = Receive(s, 4 * 8191);
  EXPECT_EQ(got, stream.substr(0, 4 * 8191));
  EXPECT_TRUE(WaitUntil([&] { return Radio().BufferCount() == 62767 - 4 * 8191; }));
  EXPECT_EQ(Receive(s, 1, 150), "");
  EXPECT_EQ(Radio().BytesSent(), 4u * 8191);
}

TEST_F(ServerTest, UnfedListenersWaitAndUnlistenedSourcesDrainInChunks) {
  Start();
  const std::string data = Pattern(0, 70000);
  EXPECT_EQ(server_->FeedSource("Radio 1", data.data(), 70000), 65535);
  EXPECT_TRUE(WaitUntil([&] { return Radio().BufferCount() == 65535 - 5 * 8191; }));
  EXPECT_EQ(server_->FeedSource("Nobody", data.data(), 100), 0);
}

TEST_F(ServerTest, RefusedRequestsGetNoAnswer) {
  Start();
  for (const std::string request : {"POST /Radio%201 HTTP/1.0\r\n\r\n", "GET / HTTP/1.0\r\n\r\n",
                                    "GET /Radio%201\r\n\r\n", "GET /Radio%4 HTTP/1.0\r\n\r\n",
                                    "GET /Ra%zzdio HTTP/1.0\r\n\r\n", "GE /Radio%201 HTTP/1.0\r\n\r\n"}) {
    bool closed = false;
    EXPECT_EQ(Ask(request, closed), "") << request;
    EXPECT_TRUE(closed) << request;
  }
  EXPECT_EQ(server_->ClientCount(), 0);
}

TEST_F(ServerTest, SilentClientIsClosedAfterTheHeaderTimeout) {
  Start(300);
  bool closed = false;
  EXPECT_EQ(Ask("GET /Radio%201 HTTP/1.0\r\n", closed), "");
  EXPECT_TRUE(closed);
  EXPECT_TRUE(WaitUntil([&] { return server_->RequestThreadCount() == 0; }));
}

TEST_F(ServerTest, OversizedHeadIsClosedWithoutAnswer) {
  Start();
  std::string head = "GET /Radio%201 HTTP/1.0\r\n";
  for (int i = 0; i < 80; ++i) head += "X-Filler: 0123456789\r\n";
  bool closed = false;
  EXPECT_EQ(Ask(head + "\r\n", closed), "");
  EXPECT_TRUE(closed);

  // A line of 600 bytes without an end is cut at 513 and served from that.
  const std::string longLine = "GET /Radio%201 " + std::string(585, 'v');
  const int s = Open();
  SendAll(s, longLine);
  EXPECT_EQ(Receive(s, kOkHead.size()), kOkHead);
}

TEST_F(ServerTest, UnknownSourceGets404) {
  Start();
  bool closed = false;
  EXPECT_EQ(Ask("GET /Radio%201?y=1 HTTP/1.0\r\n\r\n", closed), kNotFound);
  EXPECT_TRUE(closed);
}

TEST_F(ServerTest, NamesFoldAsciiCaseOnly) {
  Start();
  EXPECT_FALSE(server_->AddSource("RADIO 1", "x", nullptr));
  ASSERT_TRUE(server_->AddSource(kRadio, kRadio, nullptr));
  EXPECT_TRUE(server_->AddSource(kRadioLower, kRadioLower, nullptr));
  EXPECT_EQ(server_->FindSource("rAdIo 1"), 0);
  EXPECT_EQ(server_->FindSource(kRadio), 1);
  EXPECT_EQ(server_->FindSource(kRadioLower), 2);

  Listen("RADIO%201");
  EXPECT_EQ(head_, kOkHead);
  // Percent-encoded CP1251 and percent-encoded UTF-8 both reach the channel.
  Listen("%D0%E0%E4%E8%EE");
  EXPECT_EQ(head_, "HTTP/1.0 200 OK\r\nServer: ZANTO 1.0\r\nContent-Type: video/mpeg\r\nicy-name: " + kRadio +
                       "\r\n\r\n");
  server_->MaxClients = 3;
  Listen("%D0%A0%D0%B0%D0%B4%D0%B8%D0%BE");
  EXPECT_EQ(head_.substr(head_.find("icy-name")), "icy-name: " + kRadio + "\r\n\r\n");
  EXPECT_EQ(server_->FindSourceObject(kRadio)->ClientCount(), 2);
}

TEST_F(ServerTest, ThirdListenerAcrossChannelsGets504) {
  Start();
  ASSERT_TRUE(server_->AddSource("Jazz", "Jazz", nullptr));
  Listen("Radio%201");
  Listen("Jazz");
  bool closed = false;
  EXPECT_EQ(Ask("GET /Jazz HTTP/1.0\r\n\r\n", closed), kFull);
  EXPECT_TRUE(closed);
  EXPECT_EQ(server_->ClientCount(), 2);
  EXPECT_EQ(server_->PeakClients(), 2);
}

// A player switching channel hangs up and asks again at once, while another
// listener holds the second slot: however it hung up, its old slot is free.
TEST_F(ServerTest, ASwitchingListenerGetsItsSlotBackAtOnce) {
  enum class THangUp { Close, Reset, CloseAfterAStrayByte };
  const struct {
    const char* what;
    THangUp how;
  } cases[] = {{"close", THangUp::Close}, {"reset", THangUp::Reset}, {"stray byte, close", THangUp::CloseAfterAStrayByte}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Start();
    ASSERT_TRUE(server_->AddSource("Jazz", "Jazz", nullptr));
    Listen("Jazz");
    const int old = Listen("Radio%201");
    ASSERT_EQ(server_->ClientCount(), 2);
    if (c.how == THangUp::Reset) {
      const linger abortive{1, 0};
      ::setsockopt(old, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    if (c.how == THangUp::CloseAfterAStrayByte) SendAll(old, "x");
    ::close(old);
    sockets_.erase(std::find(sockets_.begin(), sockets_.end(), old));
    const int s = Open();
    SendAll(s, "GET /Jazz HTTP/1.0\r\n\r\n");
    EXPECT_EQ(ReceiveHead(s).substr(0, 15), "HTTP/1.0 200 OK");
    EXPECT_TRUE(WaitUntil([&] { return server_->ClientCount() == 2; }));
    // The source left without listeners goes idle.
    EXPECT_TRUE(WaitUntil([&] { return !Radio().Active(); }));
    TearDown();
  }
}

// The slot a request holds becomes its listener's in the step that attaches
// it: a request in between, before the first request's thread has ended,
// must find the other slot free.
TEST_F(ServerTest, AnAttachedListenerHoldsOneSlotNotTwo) {
  Start();
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_TRUE(server_->ReserveClientSlot());
  ASSERT_TRUE(Radio().AddClient(std::make_unique<TClient>(server_.get(), pair[0], "127.0.0.1")));
  EXPECT_EQ(server_->ClientCount(), 1);
  EXPECT_TRUE(server_->ReserveClientSlot());
  server_->ReleaseClientSlot();
  ::close(pair[1]);
}

// Players that gave up on a channel that gets no audio must not keep the two
// listener slots of the whole server.
TEST_F(ServerTest, ListenersThatLeaveASilentChannelFreeTheirSlots) {
  Start();
  const int a = Listen("Radio%201");
  const int b = Listen("Radio%201");
  ASSERT_EQ(server_->ClientCount(), 2);
  ::close(a);
  ::close(b);
  sockets_.clear();
  // The silence that lets a closed connection count as gone starts with the
  // source, so this takes up to its span after the start.
  EXPECT_TRUE(WaitUntil([&] { return server_->ClientCount() == 0; }, 30000));
  Listen("Radio%201");
  EXPECT_EQ(head_.substr(0, 15), "HTTP/1.0 200 OK");
}

TEST_F(ServerTest, SlowListenerLosesChunksWhileFastOneGetsEveryByte) {
  Start();
  const int slow = Listen("Radio%201", 4096);
  const int fast = Listen("Radio%201");
  std::atomic<size_t> received{0};
  std::string fastData;
  std::thread reader([&] {
    char buf[65536];
    for (;;) {
      pollfd p{fast, POLLIN, 0};
      if (::poll(&p, 1, 3000) <= 0) return;
      const ssize_t r = ::recv(fast, buf, sizeof buf, 0);
      if (r <= 0) return;
      fastData.append(buf, static_cast<size_t>(r));
      received += static_cast<size_t>(r);
    }
  });
  size_t fed = 0;
  for (int i = 0; i < 400 && Radio().BytesLost() == 0; ++i) {
    const std::string piece = Pattern(fed, 32767);
    fed += static_cast<size_t>(server_->FeedSource("Radio 1", piece.data(), 32767));
    // Paced by the fast reader, so only the slow one can fall behind.
    ASSERT_TRUE(WaitUntil([&] { return Radio().BufferCount() <= TSource::SendThreshold; }));
    const uint64_t broadcast = fed - static_cast<size_t>(Radio().BufferCount());
    ASSERT_TRUE(WaitUntil([&] { return received >= broadcast; })) << "fast listener stalled at " << received;
  }
  EXPECT_GT(Radio().BytesLost(), 0u);
  EXPECT_EQ(server_->ClientCount(), 2);  // the slow one loses audio, it is not dropped
  const size_t broadcast = fed - static_cast<size_t>(Radio().BufferCount());
  ::shutdown(fast, SHUT_RD);
  server_.reset();
  reader.join();
  EXPECT_EQ(fastData.size(), broadcast);
  EXPECT_TRUE(fastData == Pattern(0, broadcast));
  (void)slow;
}

// A listener that takes no byte for the idle span only holds one of the
// server's slots: it is dropped, and the slot serves the next one.
TEST_F(ServerTest, ListenerThatReadsNothingIsDroppedAfterTheIdleSpan) {
  Start(3000, 1000);
  Listen("Radio%201", 4096);  // never reads
  size_t fed = 0;
  const auto start = std::chrono::steady_clock::now();
  while (server_->ClientCount() > 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(6)) {
    // As fast as the source takes it: the connection's buffers (megabytes
    // on loopback) must fill before sends are refused.
    const std::string piece = Pattern(fed, 32767);
    fed += static_cast<size_t>(server_->FeedSource("Radio 1", piece.data(), 32767));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(server_->ClientCount(), 0) << "a listener that reads nothing kept its slot";
  Listen("Radio%201");
  EXPECT_EQ(head_.substr(0, 15), "HTTP/1.0 200 OK");
}

// Requests that arrive together share the two slots: never a third 200.
TEST_F(ServerTest, ListenersArrivingTogetherNeverExceedTheLimit) {
  Start();
  for (int trial = 0; trial < 5; ++trial) {
    std::vector<int> batch;
    for (int i = 0; i < 12; ++i) batch.push_back(Open());
    for (int s : batch) SendAll(s, "GET /Radio%201 HTTP/1.0\r\n\r\n");
    int served = 0;
    for (int s : batch) served += ReceiveHead(s).rfind("HTTP/1.0 200 OK", 0) == 0;
    EXPECT_EQ(served, 2) << "trial " << trial;
    EXPECT_LE(server_->PeakClients(), 2);
    // The 200 head goes out before its listener is attached: closing before
    // then would leave a listener attached after the wait below.
    ASSERT_TRUE(WaitUntil([&] { return server_->RequestThreadCount() == 0; }, 5000));
    // Reset, so that the next chunk's send fails at once and frees the slots
    // for the next trial; a plain close on a silent channel would wait out
    // the silence span, which the case above covers.
    const linger reset{1, 0};
    for (int s : batch) {
      ::setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      ::close(s);
    }
    sockets_.clear();
    const std::string chunk = Pattern(0, TSource::SendThreshold + TSource::ChunkSize);
    server_->FeedSource("Radio 1", chunk.data(), static_cast<int32_t>(chunk.size()));
    ASSERT_TRUE(WaitUntil([&] { return server_->ClientCount() == 0; }));
  }
}

TEST_F(ServerTest, ResetListenerIsRemovedAtTheNextChunkAndSourceGoesIdle) {
  std::atomic<int> activations{0}, deactivations{0};
  Start();
  ASSERT_TRUE(server_->AddSource("Hooked", "Hooked", [&](bool a) {
    (a ? activations : deactivations)++;
    return a;
  }));
  TSource& hooked = *server_->FindSourceObject("Hooked");
  const int s = Listen("Hooked");
  EXPECT_TRUE(WaitUntil([&] { return hooked.Active(); }));
  EXPECT_EQ(activations, 1);
  const linger reset{1, 0};
  ::setsockopt(s, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(s);
  sockets_.pop_back();

  const std::string data = Pattern(0, 40000);
  server_->FeedSource("Hooked", data.data(), 40000);
  EXPECT_TRUE(WaitUntil([&] { return server_->ClientCount() == 0; }));
  // Idle again: the hook hears it and the stale backlog is gone.
  EXPECT_TRUE(WaitUntil([&] { return !hooked.Active() && hooked.BufferCount() == 0; }));
  EXPECT_GE(deactivations, 1);
  // The hook counts into this frame: its thread must end before the frame does.
  server_->StopServer();
}

TEST_F(ServerTest, HookHoldingTheThreadPastTheIdleSpanDropsListeners) {
  Start(3000, 50);
  ASSERT_TRUE(server_->AddSource("Stuck", "Stuck", [](bool a) {
    if (a) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return false;
  }));
  const int s = Listen("Stuck");
  bool closed = false;
  ReceiveUntilClosed(s, closed);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(WaitUntil([&] { return server_->ClientCount() == 0; }));
}

TEST_F(ServerTest, StopEndsListenersRequestsAndSources) {
  Start();
  const int a = Listen("Radio%201");
  const int b = Listen("Radio%201");
  const int silent = Open();
  SendAll(silent, "GET /Radio%201 HTTP/1.0\r\n");  // waits for the blank line
  ASSERT_TRUE(WaitUntil([&] { return server_->RequestThreadCount() == 1; }));
  server_->StopServer();
  EXPECT_FALSE(server_->IsActive());
  EXPECT_EQ(server_->RequestThreadCount(), 0);
  EXPECT_EQ(server_->ClientCount(), 0);
  EXPECT_TRUE(Radio().Terminated());
  for (int s : {a, b}) {
    bool closed = false;
    ReceiveUntilClosed(s, closed);
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(Connect(port_), -1);
  // A stopped server takes no sources and no data; stopping again is harmless.
  EXPECT_FALSE(server_->AddSource("Later", "Later", nullptr));
  EXPECT_EQ(server_->FeedSource("Radio 1", "x", 1), 0);
  server_->StopServer();
  server_.reset();
}

TEST_F(ServerTest, ConnectionFloodIsCappedAtSixtyFourRequestThreads) {
  Start(60000);
  // Paced one by one, so that every silent connection holds its request
  // thread before the refused ones come.
  for (int i = 0; i < TAudioServer::MaxRequestThreads; ++i) {
    Open();
    ASSERT_TRUE(WaitUntil([&] { return server_->RequestThreadCount() == i + 1; }));
  }
  for (int i = 0; i < 4; ++i) {
    bool closed = false;
    EXPECT_EQ(Ask("GET /Radio%201 HTTP/1.0\r\n\r\n", closed), kFull) << "turned away without a word";
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(server_->RequestThreadCount(), TAudioServer::MaxRequestThreads);
  EXPECT_EQ(server_->ClientCount(), 0);
  server_.reset();  // must not wait for the silent clients' time-outs
}

TEST(AudioServer, ConfigurationAndBindingTable) {
  TAudioServer server;
  EXPECT_EQ(server.MaxClients, 100);
  EXPECT_EQ(server.HeaderTimeout, 1500000);
  EXPECT_EQ(server.IdleTimeout, 1000000);
  EXPECT_EQ(server.DefaultPort, 8000);
  EXPECT_FALSE(server.AddSource("Radio", "Radio", nullptr));
  EXPECT_EQ(server.SourceCount(), 0);
  for (int i = 1; i <= TAudioServer::MaxBindings; ++i) ASSERT_EQ(server.AddBinding("", 1), i);
  EXPECT_EQ(server.AddBinding("127.0.0.1", 2), -1);
  EXPECT_EQ(server.BindingCount(), TAudioServer::MaxBindings);
}

TEST(AudioServer, WithoutBindingServesEveryAddressOnTheDefaultPort) {
  TAudioServer server;
  server.DefaultPort = FreePort();
  ASSERT_TRUE(server.StartServer());
  EXPECT_TRUE(server.StartServer());
  ASSERT_EQ(server.BindingCount(), 1);
  EXPECT_EQ(server.Binding(0).Address, "0.0.0.0");
  EXPECT_EQ(server.BoundPort(0), server.DefaultPort);
  server.SetActive(false);
  EXPECT_FALSE(server.IsActive());
}

TEST(AudioServer, PortInUseLeavesServerInactive) {
  const uint16_t port = FreePort();
  const TSocket taken = CreateBoundSocket("127.0.0.1", port);
  ASSERT_EQ(::listen(taken, 1), 0);
  TAudioServer server;
  server.AddBinding("127.0.0.1", port);
  server.SetActive(true);
  EXPECT_FALSE(server.IsActive());
  EXPECT_FALSE(server.AddSource("Radio", "Radio", nullptr));
  EXPECT_EQ(server.FeedSource("Radio", "x", 1), 0);
  CloseSocket(taken);
}

TEST(AudioServer, RecordingServerServesEveryChannelOnItsPort) {
  const uint16_t port = FreePort();
  auto server = StartRecordingServer({"One", "Two"}, port);
  ASSERT_TRUE(server->IsActive());
  EXPECT_EQ(server->MaxClients, 2);
  EXPECT_EQ(server->HeaderTimeout, 15000);
  EXPECT_EQ(server->IdleTimeout, 10000);
  EXPECT_EQ(server->SourceCount(), 2);
  EXPECT_EQ(server->Binding(0).Address, "127.0.0.1");
  const int s = Connect(port);
  SendAll(s, "GET /two HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ReceiveHead(s), "HTTP/1.0 200 OK\r\nServer: ZANTO 1.0\r\nContent-Type: video/mpeg\r\nicy-name: Two\r\n\r\n");
  ::close(s);
}

}  // namespace
