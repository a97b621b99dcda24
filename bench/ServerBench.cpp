// The audio server under a recording run's load: 250 channels fed at
// 192 kbit/s in 32767-byte pieces, two of them with a listener. Measures the
// server's CPU time per second of audio for the event-driven source loop and
// for the 1 ms polling loop in the same run, and how soon a new listener gets
// its first audio byte.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "server/AudioServer.h"
#include "server/ServerTestUtil.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSources = 250;
constexpr int32_t kPiece = 32767;
constexpr double kBytesPerSecond = 24000.0;  // 192 kbit/s

double CpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double LoadSeconds() {
  const char* s = std::getenv("MC_BENCH_SECONDS");
  return s ? std::atof(s) : 10.0;
}

using servertest::Connect;
using servertest::FreePort;

std::string Name(int i) { return "Channel " + std::to_string(i); }

// The server's own event-driven source loop, or the plain loop that turns
// once a millisecond, which it is measured against.
enum class TSourceWake { OnWork, EveryMillisecond };

std::unique_ptr<TAudioServer> MakeServer(TSourceWake wake) {
  auto server = std::make_unique<TAudioServer>();
  server->MaxClients = 2;
  server->HeaderTimeout = 15000;
  server->IdleTimeout = 10000;
  if (wake == TSourceWake::EveryMillisecond)
    server->SourcePacer = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
  server->AddBinding("127.0.0.1", FreePort());
  if (!server->StartServer()) return nullptr;
  for (int i = 0; i < kSources; ++i) server->AddSource(Name(i), Name(i), [](bool a) { return a; });
  return server;
}

// Connects, asks for the channel and reads the head; -1 on failure.
int Listen(TAudioServer& server, const std::string& name) {
  const int s = Connect(server.BoundPort(0));
  if (s < 0) return -1;
  std::string target;
  for (char ch : name) target += ch == ' ' ? std::string("%20") : std::string(1, ch);
  const std::string request = "GET /" + target + " HTTP/1.0\r\n\r\n";
  ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
  std::string head;
  char c;
  while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, 3000) <= 0 || ::recv(s, &c, 1, 0) != 1) {
      ::close(s);
      return -1;
    }
    head += c;
  }
  if (head.compare(0, 15, "HTTP/1.0 200 OK") != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

double g_pollingCpuShare = 0;

void SourceLoad(benchmark::State& state, TSourceWake wake) {
  const double seconds = LoadSeconds();
  for (auto _ : state) {
    auto server = MakeServer(wake);
    if (!server) {
      state.SkipWithError("server did not start");
      return;
    }
    std::vector<int> listeners = {Listen(*server, Name(0)), Listen(*server, Name(1))};
    if (listeners[0] < 0 || listeners[1] < 0) {
      state.SkipWithError("listener refused");
      return;
    }
    const std::string piece(kPiece, '\x55');
    std::atomic<bool> stop{false};
    std::atomic<double> helperCpu{0};
    std::atomic<uint64_t> received{0};

    const double processStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto wallStart = Clock::now();
    std::vector<std::thread> helpers;
    for (int s : listeners)
      helpers.emplace_back([&, s] {
        const double t0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        char buf[65536];
        while (!stop) {
          pollfd p{s, POLLIN, 0};
          if (::poll(&p, 1, 50) <= 0) continue;
          const ssize_t r = ::recv(s, buf, sizeof buf, 0);
          if (r <= 0) break;
          received += static_cast<uint64_t>(r);
        }
        helperCpu = helperCpu + (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0);
      });
    helpers.emplace_back([&] {
      // Every channel gets a piece each kPiece / rate seconds, phases spread.
      const double t0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
      const auto period = std::chrono::duration<double>(kPiece / kBytesPerSecond);
      std::vector<Clock::time_point> due(kSources);
      for (int i = 0; i < kSources; ++i)
        due[i] = wallStart + std::chrono::duration_cast<Clock::duration>(period * (double(i) / kSources));
      const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (int i = 0; i < kSources; ++i) n.push_back(Name(i));
        return n;
      }();
      while (!stop) {
        const auto now = Clock::now();
        for (int i = 0; i < kSources; ++i)
          if (now >= due[i]) {
            server->FeedSource(names[i], piece.data(), kPiece);
            due[i] += std::chrono::duration_cast<Clock::duration>(period);
          }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      helperCpu = helperCpu + (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0);
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : helpers) t.join();
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    const double serverCpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart - helperCpu;
    state.SetIterationTime(wall);

    const double share = serverCpu / wall;  // CPU seconds per second of audio, whole server
    state.counters["server_cpu_pct_of_core"] = share * 100.0;
    state.counters["listener_kB_per_s"] = static_cast<double>(received) / wall / 1000.0 / 2.0;
    if (wake == TSourceWake::EveryMillisecond) g_pollingCpuShare = share;
    else if (g_pollingCpuShare > 0) state.counters["ratio_to_polling"] = share / g_pollingCpuShare;
    for (int s : listeners) ::close(s);
    server.reset();
  }
}

// Connect to first audio byte for a new listener when the capture's next
// chunk arrives right after the head; also connect to the end of the head.
void FirstAudioByte(benchmark::State& state, TSourceWake wake) {
  auto server = MakeServer(wake);
  if (!server) {
    state.SkipWithError("server did not start");
    return;
  }
  const std::string piece(kPiece, '\x33');
  double headTotal = 0, firstTotal = 0;
  int n = 0;
  for (auto _ : state) {
    const std::string name = Name(n % kSources);
    server->FeedSource(name, piece.data(), 30000);  // a backlog below the send mark
    const auto t0 = Clock::now();
    const int s = Listen(*server, name);
    const auto tHead = Clock::now();
    if (s < 0) {
      state.SkipWithError("listener refused");
      break;
    }
    // Attached once the request thread has handed the client over.
    while (server->ClientCount() == 0) std::this_thread::yield();
    server->FeedSource(name, piece.data(), kPiece);
    char c;
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, 3000) <= 0 || ::recv(s, &c, 1, 0) != 1) {
      state.SkipWithError("no audio");
      break;
    }
    const auto tFirst = Clock::now();
    ::close(s);
    while (server->ClientCount() != 0) {
      server->FeedSource(name, piece.data(), 8191);  // the next chunk finds the closed socket
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    headTotal += std::chrono::duration<double, std::milli>(tHead - t0).count();
    firstTotal += std::chrono::duration<double, std::milli>(tFirst - t0).count();
    state.SetIterationTime(std::chrono::duration<double>(tFirst - t0).count());
    ++n;
  }
  if (n > 0) {
    state.counters["connect_to_head_ms"] = headTotal / n;
    state.counters["connect_to_first_audio_ms"] = firstTotal / n;
  }
}

}  // namespace

BENCHMARK_CAPTURE(SourceLoad, polling_1ms, TSourceWake::EveryMillisecond)
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(SourceLoad, on_work, TSourceWake::OnWork)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(FirstAudioByte, polling_1ms, TSourceWake::EveryMillisecond)
    ->Iterations(50)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FirstAudioByte, on_work, TSourceWake::OnWork)
    ->Iterations(50)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
