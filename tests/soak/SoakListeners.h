#pragma once
// Listeners that misbehave at random while a recording runs: fast and slow
// readers, half-closers, resetters, leavers and sleepers, on a few threads.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace soak {

enum class TListenerKind { FastReader, SlowReader, HalfClose, Reset, LeaveAtOnce, NeverRead, kCount };

const char* KindName(TListenerKind kind);

struct TListenerTally {
  std::array<std::atomic<int64_t>, static_cast<size_t>(TListenerKind::kCount)> tried{};
  std::atomic<int64_t> refused{0};  // no server listening (between runs)
  std::atomic<int64_t> answered200{0};
  std::atomic<int64_t> answered504{0};
  std::atomic<int64_t> answered404{0};
  std::atomic<int64_t> otherAnswer{0};
  std::atomic<int64_t> bytes{0};
};

class TListenerCrowd {
 public:
  // paths: the request paths ("/Wave_01", percent-encoded) to pick from.
  TListenerCrowd(std::vector<std::string> paths, uint16_t port, TListenerTally& tally, uint32_t seed);
  ~TListenerCrowd();
  void Start(int threads);
  void Stop();  // joins every listener thread

 private:
  void Run(uint32_t seed);

  std::vector<std::string> paths_;
  uint16_t port_;
  TListenerTally& tally_;
  uint32_t seed_;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

} // namespace soak
