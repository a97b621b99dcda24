#pragma once
// Worker threads that re-encode the channels' chunks away from the card's
// delivery thread. Each channel has a queue of its own; a channel is worked on
// by one worker at a time, in the order its chunks came, and hops between
// workers only between chunks. Submit never waits for a worker: when the
// workers fall behind, a full queue gives up the channel's oldest re-encode
// chunk to make room, and pass-through chunks are never given up.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class TChunkKind {
  Reencode,
  // Re-encode after closing the encoder: the audio before it is not adjacent.
  RestartAndReencode,
  // Broadcast bytes as they came, queued only behind a channel's pending work.
  PassThrough,
};

struct TPoolChunk {
  std::vector<uint8_t> Bytes;  // Size bytes are the chunk
  int32_t Size = 0;
  TChunkKind Kind = TChunkKind::Reencode;
  // Came while recording was on: it goes to the file too, even when it is
  // worked on after the stop has begun.
  bool Recorded = false;
  // When it was submitted: the archive cuts by the time the bytes came, not
  // by when a worker gets to them.
  std::chrono::steady_clock::time_point Arrived{};
  // A title that came with these bytes; it moves on to the next chunk when
  // this one is given up, so the title log does not lose it.
  std::shared_ptr<const std::string> Title;
};

struct TEncoderPoolSettings {
  using TClock = std::chrono::steady_clock;
  int Workers = 0;          // 0: one per core
  size_t QueueBound = 8;    // chunks waiting per channel before the oldest goes
  // Runs on a worker; one channel's calls never overlap and keep their order.
  std::function<void(size_t channel, const TPoolChunk& chunk)> Work;
  // On the submitting thread, at most once per NoticeInterval however many
  // chunks go: the channel of the drop and the drops of the whole pool so far.
  std::function<void(size_t channel, uint64_t droppedInAll)> DropNotice;
  std::chrono::seconds NoticeInterval{60};
  std::function<TClock::time_point()> Now = [] { return TClock::now(); };
};

// Workers for 0 (one per core): never below one.
int DefaultEncoderWorkers();

class TEncoderPool {
 public:
  TEncoderPool(size_t channels, TEncoderPoolSettings settings);
  ~TEncoderPool();  // Stop()
  TEncoderPool(const TEncoderPool&) = delete;
  TEncoderPool& operator=(const TEncoderPool&) = delete;

  // Copies n bytes into the channel's queue and returns at once; false after
  // Stop or for a channel out of range.
  bool Submit(size_t channel, const uint8_t* data, int32_t n, TChunkKind kind, bool recorded,
              std::shared_ptr<const std::string> title = nullptr);
  // Nothing of the channel is queued or being worked on. Only a Submit makes
  // an idle channel busy again, so its caller may rely on the answer.
  bool Idle(size_t channel);
  // Returns once every chunk submitted before the call has been worked on
  // (for callers that have stopped submitting).
  void WaitIdle();
  // Discards what is still queued, lets the chunks being worked on finish and
  // ends the workers. Submit is refused from then on.
  void Stop();

  // Stop has begun: no worker takes another chunk.
  bool Stopped() const { return stopped_.load(std::memory_order_acquire); }
  uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
  uint64_t Dropped(size_t channel) const;
  int Workers() const { return static_cast<int>(workers_.size()); }

 private:
  struct TChannel {
    std::mutex lock;
    std::deque<std::unique_ptr<TPoolChunk>> queued;
    std::vector<std::unique_ptr<TPoolChunk>> spare;  // buffers kept for reuse
    bool busy = false;  // queued, or a worker holds it: in the ready list or being worked on
    std::atomic<uint64_t> dropped{0};
  };

  void WorkerLoop();
  // Makes room in a full queue; true when a chunk was dropped.
  // A title the dropped chunk carried and no later queued chunk could take
  // goes to `carried`.
  bool DropOldest(TChannel& ch, std::shared_ptr<const std::string>& carried);
  void MaybeNotice(size_t channel);
  // The channel has become busy / idle: the ready list and the idle wait.
  void Schedule(size_t channel);
  void Settled();

  TEncoderPoolSettings settings_;
  std::vector<std::unique_ptr<TChannel>> channels_;

  std::mutex poolLock_;
  std::condition_variable wake_;     // workers: a channel is ready, or stop
  std::condition_variable settled_;  // WaitIdle: busyChannels_ fell
  std::deque<size_t> ready_;
  size_t busyChannels_ = 0;
  bool stopping_ = false;
  std::atomic<bool> stopped_{false};
  int idleWorkers_ = 0;

  std::atomic<uint64_t> dropped_{0};
  std::atomic<int64_t> lastNotice_{INT64_MIN};  // TClock ticks of the last notice
  std::vector<std::thread> workers_;
};
