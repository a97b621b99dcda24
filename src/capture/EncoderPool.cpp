#include "capture/EncoderPool.h"

#include <algorithm>
#include <cstring>

int DefaultEncoderWorkers() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

TEncoderPool::TEncoderPool(size_t channels, TEncoderPoolSettings settings) : settings_(std::move(settings)) {
  if (settings_.QueueBound == 0) settings_.QueueBound = 1;
  channels_.reserve(channels);
  for (size_t c = 0; c < channels; ++c) channels_.push_back(std::make_unique<TChannel>());
  const int workers = settings_.Workers > 0 ? settings_.Workers : DefaultEncoderWorkers();
  workers_.reserve(static_cast<size_t>(workers));
  try {
    for (int w = 0; w < workers; ++w) workers_.emplace_back([this] { WorkerLoop(); });
  } catch (...) {
    Stop();  // the threads already started must not outlive the pool
    throw;
  }
}

TEncoderPool::~TEncoderPool() { Stop(); }

uint64_t TEncoderPool::Dropped(size_t channel) const {
  return channel < channels_.size() ? channels_[channel]->dropped.load(std::memory_order_relaxed) : 0;
}

bool TEncoderPool::DropOldest(TChannel& ch, std::shared_ptr<const std::string>& carried) {
  const auto oldest = std::find_if(ch.queued.begin(), ch.queued.end(),
                                   [](const auto& c) { return c->Kind != TChunkKind::PassThrough; });
  if (oldest == ch.queued.end()) return false;
  // The restart it carried belongs to the re-encode chunk that now comes first.
  if ((*oldest)->Kind == TChunkKind::RestartAndReencode) {
    const auto next = std::find_if(std::next(oldest), ch.queued.end(),
                                   [](const auto& c) { return c->Kind == TChunkKind::Reencode; });
    if (next != ch.queued.end()) (*next)->Kind = TChunkKind::RestartAndReencode;
  }
  if ((*oldest)->Title) {
    const auto later = std::next(oldest);
    if (later == ch.queued.end()) carried = std::move((*oldest)->Title);
    else if (!(*later)->Title) (*later)->Title = std::move((*oldest)->Title);
    (*oldest)->Title.reset();
  }
  ch.spare.push_back(std::move(*oldest));
  ch.queued.erase(oldest);
  return true;
}

bool TEncoderPool::Submit(size_t channel, const uint8_t* data, int32_t n, TChunkKind kind, bool recorded,
                          std::shared_ptr<const std::string> title) {
  if (channel >= channels_.size() || n < 0 || (n > 0 && !data) || stopped_.load(std::memory_order_acquire))
    return false;
  TChannel& ch = *channels_[channel];
  bool dropped = false;
  bool becameBusy = false;
  {
    std::lock_guard<std::mutex> guard(ch.lock);
    std::shared_ptr<const std::string> carried;
    if (kind != TChunkKind::PassThrough && ch.queued.size() >= settings_.QueueBound)
      dropped = DropOldest(ch, carried);
    std::unique_ptr<TPoolChunk> chunk;
    if (!ch.spare.empty()) {
      chunk = std::move(ch.spare.back());
      ch.spare.pop_back();
    } else {
      chunk = std::make_unique<TPoolChunk>();
    }
    if (chunk->Bytes.size() < static_cast<size_t>(n)) chunk->Bytes.resize(static_cast<size_t>(n));
    if (n > 0) std::memcpy(chunk->Bytes.data(), data, static_cast<size_t>(n));
    chunk->Size = n;
    chunk->Kind = kind;
    chunk->Recorded = recorded;
    chunk->Arrived = settings_.Now();
    chunk->Title = title ? std::move(title) : std::move(carried);
    ch.queued.push_back(std::move(chunk));
    if (!ch.busy) {
      ch.busy = true;
      becameBusy = true;
    }
  }
  if (becameBusy) Schedule(channel);
  if (dropped) {
    ch.dropped.fetch_add(1, std::memory_order_relaxed);
    dropped_.fetch_add(1, std::memory_order_relaxed);
    MaybeNotice(channel);
  }
  return true;
}

void TEncoderPool::MaybeNotice(size_t channel) {
  if (!settings_.DropNotice) return;
  const int64_t now = settings_.Now().time_since_epoch().count();
  const int64_t interval =
      std::chrono::duration_cast<TEncoderPoolSettings::TClock::duration>(settings_.NoticeInterval).count();
  int64_t last = lastNotice_.load(std::memory_order_relaxed);
  do {
    if (last != INT64_MIN && now - last < interval) return;
  } while (!lastNotice_.compare_exchange_weak(last, now, std::memory_order_relaxed));
  settings_.DropNotice(channel, dropped_.load(std::memory_order_relaxed));
}

bool TEncoderPool::Idle(size_t channel) {
  if (channel >= channels_.size()) return true;
  TChannel& ch = *channels_[channel];
  std::lock_guard<std::mutex> guard(ch.lock);
  return !ch.busy;
}

void TEncoderPool::Schedule(size_t channel) {
  std::lock_guard<std::mutex> guard(poolLock_);
  ++busyChannels_;
  ready_.push_back(channel);
  if (idleWorkers_ > 0) wake_.notify_one();
}

void TEncoderPool::Settled() {
  std::lock_guard<std::mutex> guard(poolLock_);
  --busyChannels_;
  if (busyChannels_ == 0) settled_.notify_all();
}

void TEncoderPool::WaitIdle() {
  std::unique_lock<std::mutex> guard(poolLock_);
  settled_.wait(guard, [this] { return busyChannels_ == 0 || stopping_; });
}

void TEncoderPool::WorkerLoop() {
  for (;;) {
    size_t c = 0;
    {
      std::unique_lock<std::mutex> guard(poolLock_);
      ++idleWorkers_;
      wake_.wait(guard, [this] { return stopping_ || !ready_.empty(); });
      --idleWorkers_;
      if (stopping_ || Stopped()) return;
      c = ready_.front();
      ready_.pop_front();
    }
    TChannel& ch = *channels_[c];
    std::unique_ptr<TPoolChunk> chunk;
    {
      std::lock_guard<std::mutex> guard(ch.lock);
      if (!ch.queued.empty()) {
        chunk = std::move(ch.queued.front());
        ch.queued.pop_front();
      }
    }
    if (chunk && settings_.Work) {
      try {
        settings_.Work(c, *chunk);
      } catch (...) {
        // One chunk that could not be handled must not end the worker.
      }
    }
    // One chunk per turn: the channel goes to the back of the ready list, so
    // a channel with a long queue does not hold a worker while others wait.
    bool more = false;
    {
      std::lock_guard<std::mutex> guard(ch.lock);
      if (chunk) ch.spare.push_back(std::move(chunk));
      more = !ch.queued.empty();
      if (!more) ch.busy = false;
    }
    if (more) {
      std::lock_guard<std::mutex> guard(poolLock_);
      if (stopping_ || Stopped()) return;
      ready_.push_back(c);
      if (idleWorkers_ > 0) wake_.notify_one();
    } else {
      Settled();
    }
  }
}

void TEncoderPool::Stop() {
  if (stopped_.exchange(true, std::memory_order_acq_rel)) return;
  {
    std::lock_guard<std::mutex> guard(poolLock_);
    stopping_ = true;
    ready_.clear();
  }
  wake_.notify_all();
  settled_.notify_all();
  for (auto& t : workers_)
    if (t.joinable()) t.join();
  for (auto& ch : channels_) {
    std::lock_guard<std::mutex> guard(ch->lock);
    ch->queued.clear();
    ch->busy = false;
  }
  std::lock_guard<std::mutex> guard(poolLock_);
  busyChannels_ = 0;
}
