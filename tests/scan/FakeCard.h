#pragma once
// A card plug-in table for tests: DVBAddFilter/DVBDelFilter over a filter
// list with a limit, and a delivery thread that broadcasts a carousel of
// sections per PID in payload delivery. Installs itself into Dvb and clears
// it again when destroyed.
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"
#include "tsbuilder/TsPacketizer.h"

namespace scantest {

using tsb::Bytes;

class FakeCard {
 public:
  FakeCard() {
    instance_ = this;
    Dvb = TDevicePlugin{};
    Dvb.DVBAddFilter = &AddFilter;
    Dvb.DVBDelFilter = &DelFilter;
    Dvb.DVBSETCOUNT = &SetCount;
  }
  ~FakeCard() {
    StopDelivery();
    Dvb = TDevicePlugin{};
    instance_ = nullptr;
  }

  // Appends a section to the PID's carousel; each round sends the next one.
  void AddSection(int pid, const Bytes& section) {
    std::lock_guard<std::mutex> lock(mutex_);
    carousel_[pid].push_back(tsb::SectionPayloads(section));
  }

  void StartDelivery(std::chrono::microseconds period = std::chrono::microseconds(500)) {
    running_ = true;
    thread_ = std::thread([this, period] { Deliver(period); });
  }
  void StopDelivery() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }

  std::atomic<int> FilterLimit{32};
  std::atomic<bool> RefuseAll{false};
  std::atomic<int> SetCountMode{-1};
  std::atomic<int> MostFiltersAtOnce{0};

  size_t OpenFilters() {
    std::lock_guard<std::mutex> lock(mutex_);
    return filters_.size();
  }
  std::vector<int> AddedPids() {
    std::lock_guard<std::mutex> lock(mutex_);
    return added_;
  }

 private:
  struct Filter {
    int Pid;
    int Handle;
    TFilterCallback Callback;
  };

  static int32_t AddFilter(int32_t pid, TFilterCallback cb, int32_t, int32_t, int32_t, int32_t) {
    FakeCard& c = *instance_;
    std::lock_guard<std::mutex> lock(c.mutex_);
    if (c.RefuseAll || static_cast<int>(c.filters_.size()) >= c.FilterLimit) return 0;
    const int handle = ++c.nextHandle_;
    c.filters_.push_back({pid, handle, cb});
    c.added_.push_back(pid);
    c.MostFiltersAtOnce = std::max<int>(c.MostFiltersAtOnce, static_cast<int>(c.filters_.size()));
    return handle;
  }
  static void DelFilter(int32_t handle) {
    FakeCard& c = *instance_;
    std::lock_guard<std::mutex> lock(c.mutex_);
    std::erase_if(c.filters_, [&](const Filter& f) { return f.Handle == handle; });
  }
  static void SetCount(int32_t mode) { instance_->SetCountMode = mode; }

  void Deliver(std::chrono::microseconds period) {
    while (running_) {
      std::vector<std::pair<Filter, Bytes>> round;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Filter& f : filters_) {
          auto it = carousel_.find(f.Pid);
          if (it == carousel_.end() || it->second.empty()) continue;
          size_t& next = position_[f.Handle];  // each filter walks the carousel itself
          round.emplace_back(f, it->second[next++ % it->second.size()]);
        }
      }
      // Called without the lock: a callback may delete its own filter.
      for (auto& [f, data] : round) f.Callback(data.data(), static_cast<int32_t>(data.size()), f.Handle);
      std::this_thread::sleep_for(period);
    }
  }

  static inline FakeCard* instance_ = nullptr;
  std::mutex mutex_;
  std::vector<Filter> filters_;
  std::vector<int> added_;
  std::map<int, std::vector<Bytes>> carousel_;
  std::map<int, size_t> position_;  // by filter handle
  int nextHandle_ = 0;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

} // namespace scantest
