#include "capture/EncoderPool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Waits for pred; the bound only turns a hang into a failure.
template <typename Pred>
bool WaitFor(std::mutex& m, std::condition_variable& cv, Pred pred) {
  std::unique_lock<std::mutex> guard(m);
  return cv.wait_for(guard, 30s, pred);
}

// A chunk that carries its channel and sequence number.
struct TTag {
  uint32_t channel;
  uint32_t seq;
};

TTag TagOf(const TPoolChunk& c) {
  TTag t{};
  if (c.Size >= static_cast<int32_t>(sizeof t)) std::memcpy(&t, c.Bytes.data(), sizeof t);
  return t;
}

bool SubmitTag(TEncoderPool& pool, uint32_t channel, uint32_t seq, TChunkKind kind = TChunkKind::Reencode) {
  // Whole-chunk size, so the copies are as large as the capture's.
  std::vector<uint8_t> bytes(32767, 0);
  const TTag t{channel, seq};
  std::memcpy(bytes.data(), &t, sizeof t);
  return pool.Submit(channel, bytes.data(), static_cast<int32_t>(bytes.size()), kind, true);
}

// What the workers did, per channel, and whether two ever overlapped on one.
struct TWorkLog {
  explicit TWorkLog(size_t channels) : seqs(channels), kinds(channels), inside(channels) {}
  void Enter(const TPoolChunk& c) {
    const TTag t = TagOf(c);
    if (inside[t.channel].exchange(true)) overlapped = true;
    seqs[t.channel].push_back(t.seq);  // only the channel's one worker touches it
    kinds[t.channel].push_back(c.Kind);
  }
  void Leave(const TPoolChunk& c) {
    inside[TagOf(c).channel] = false;
    std::lock_guard<std::mutex> guard(m);
    ++done;
    cv.notify_all();
  }
  std::vector<std::vector<uint32_t>> seqs;
  std::vector<std::vector<TChunkKind>> kinds;
  std::vector<std::atomic<bool>> inside;
  std::atomic<bool> overlapped{false};
  std::mutex m;
  std::condition_variable cv;
  size_t done = 0;
};

TEST(EncoderPool, KeepsEachChannelsOrderAcrossWorkersAndLosesNothingWhileItKeepsUp) {
  constexpr uint32_t kChannels = 12, kChunks = 150;
  TWorkLog log(kChannels);
  TEncoderPoolSettings s;
  s.Workers = 4;  // more workers than cores: channels hop between them
  s.QueueBound = kChunks;
  s.Work = [&](size_t, const TPoolChunk& c) {
    log.Enter(c);
    if (TagOf(c).seq % 3 == 0) std::this_thread::yield();
    log.Leave(c);
  };
  TEncoderPool pool(kChannels, s);
  ASSERT_EQ(pool.Workers(), 4);
  for (uint32_t k = 0; k < kChunks; ++k)
    for (uint32_t c = 0; c < kChannels; ++c) ASSERT_TRUE(SubmitTag(pool, c, k));
  pool.WaitIdle();

  EXPECT_FALSE(log.overlapped) << "two workers held one channel at once";
  EXPECT_EQ(pool.Dropped(), 0u);
  for (uint32_t c = 0; c < kChannels; ++c) {
    ASSERT_EQ(log.seqs[c].size(), kChunks) << "channel " << c;
    for (uint32_t k = 0; k < kChunks; ++k) ASSERT_EQ(log.seqs[c][k], k) << "channel " << c;
    EXPECT_TRUE(pool.Idle(c));
  }
  EXPECT_FALSE(pool.Submit(kChannels, nullptr, 0, TChunkKind::Reencode, true)) << "a channel out of range";
}

// A gate a worker waits at, for a deliberately slow encoder.
struct TGate {
  void Open() {
    std::lock_guard<std::mutex> guard(m);
    open = true;
    cv.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> guard(m);
    cv.wait(guard, [&] { return open; });
  }
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
};

TEST(EncoderPool, AFullQueueDropsThatChannelsOldestReencodeChunksWithOneNoticeAMinute) {
  TWorkLog log(2);
  TGate gate;
  std::mutex m;
  std::condition_variable cv;
  bool slowStarted = false;
  std::atomic<int64_t> clockSeconds{1000};
  std::vector<std::pair<size_t, uint64_t>> notices;  // the submitting thread's alone

  TEncoderPoolSettings s;
  s.Workers = 2;
  s.QueueBound = 3;
  s.Work = [&](size_t channel, const TPoolChunk& c) {
    log.Enter(c);
    if (channel == 0) {
      {
        std::lock_guard<std::mutex> guard(m);
        slowStarted = true;
      }
      cv.notify_all();
      gate.Pass();
    }
    log.Leave(c);
  };
  s.DropNotice = [&](size_t channel, uint64_t dropped) { notices.emplace_back(channel, dropped); };
  s.Now = [&] { return TEncoderPoolSettings::TClock::time_point(std::chrono::seconds(clockSeconds.load())); };
  TEncoderPool pool(2, s);

  SubmitTag(pool, 0, 0);
  ASSERT_TRUE(WaitFor(m, cv, [&] { return slowStarted; }));
  // Channel 0's worker is stuck: its queue fills, then gives up its oldest.
  for (uint32_t k = 1; k <= 7; ++k) SubmitTag(pool, 0, k);
  EXPECT_EQ(pool.Dropped(0), 4u);
  SubmitTag(pool, 0, 100, TChunkKind::PassThrough);  // broadcast bytes: kept beyond the bound
  SubmitTag(pool, 0, 8);
  EXPECT_EQ(pool.Dropped(0), 5u) << "a re-encode chunk gave way, not the broadcast one";
  ASSERT_EQ(notices.size(), 1u) << "one notice for the first minute's drops";
  EXPECT_EQ(notices[0], std::make_pair(size_t{0}, uint64_t{1}));

  // Meanwhile the other channel, which the other worker keeps up with, loses nothing.
  for (uint32_t k = 0; k < 20; ++k) {
    SubmitTag(pool, 1, k);
    ASSERT_TRUE(WaitFor(log.m, log.cv, [&] { return log.done == k + 1; }));
  }
  EXPECT_EQ(pool.Dropped(1), 0u);

  clockSeconds += 61;
  SubmitTag(pool, 0, 9);
  ASSERT_EQ(notices.size(), 2u) << "a minute later the next drop is told again";
  EXPECT_EQ(notices[1], std::make_pair(size_t{0}, uint64_t{6}));
  EXPECT_EQ(pool.Dropped(), 6u);

  gate.Open();
  pool.WaitIdle();
  EXPECT_EQ(log.seqs[0], (std::vector<uint32_t>{0, 7, 100, 8, 9})) << "the newest chunks, in order";
  EXPECT_EQ(log.seqs[1].size(), 20u);
  EXPECT_FALSE(log.overlapped);
}

TEST(EncoderPool, ARestartIsKeptWhenTheChunkCarryingItIsDropped) {
  TWorkLog log(1);
  TGate gate;
  TEncoderPoolSettings s;
  s.Workers = 1;
  s.QueueBound = 2;
  s.Work = [&](size_t, const TPoolChunk& c) {
    log.Enter(c);
    gate.Pass();
    log.Leave(c);
  };
  TEncoderPool pool(1, s);
  SubmitTag(pool, 0, 0);
  SubmitTag(pool, 0, 1, TChunkKind::RestartAndReencode);
  SubmitTag(pool, 0, 2);
  SubmitTag(pool, 0, 3);  // drops 1 (or, if 0 is still queued, 0)
  SubmitTag(pool, 0, 4);
  gate.Open();
  pool.WaitIdle();
  ASSERT_EQ(log.seqs[0].size(), log.kinds[0].size());
  ASSERT_GE(log.seqs[0].size(), 2u);
  // Whatever went, the audio after the format switch starts a fresh encoder.
  const auto& seqs = log.seqs[0];
  const auto& kinds = log.kinds[0];
  size_t firstAfterSwitch = 0;
  while (firstAfterSwitch < seqs.size() && seqs[firstAfterSwitch] < 1) ++firstAfterSwitch;
  ASSERT_LT(firstAfterSwitch, seqs.size());
  EXPECT_EQ(kinds[firstAfterSwitch], TChunkKind::RestartAndReencode) << "chunk " << seqs[firstAfterSwitch];
  EXPECT_EQ(pool.Dropped() + seqs.size(), 5u);
}

// A title rides on the chunk it came with; when that chunk gives way, the
// next one takes it over unless it carries a newer title of its own.
TEST(EncoderPool, ATitleOutlivesTheDroppedChunkThatCarriedIt) {
  for (const size_t bound : {size_t{1}, size_t{2}}) {
    TGate gate;
    std::mutex m;
    std::condition_variable cv;
    bool started = false;
    std::vector<std::pair<uint32_t, std::string>> seen;  // seq, title
    TEncoderPoolSettings s;
    s.Workers = 1;
    s.QueueBound = bound;
    s.Work = [&](size_t, const TPoolChunk& c) {
      {
        std::lock_guard<std::mutex> guard(m);
        started = true;
        seen.emplace_back(TagOf(c).seq, c.Title ? *c.Title : "");
      }
      cv.notify_all();
      gate.Pass();
    };
    TEncoderPool pool(1, s);
    const auto submit = [&](uint32_t seq, const char* title) {
      std::vector<uint8_t> bytes(64, 0);
      const TTag t{0, seq};
      std::memcpy(bytes.data(), &t, sizeof t);
      pool.Submit(0, bytes.data(), 64, TChunkKind::Reencode, true,
                  title ? std::make_shared<const std::string>(title) : nullptr);
    };
    submit(0, nullptr);
    ASSERT_TRUE(WaitFor(m, cv, [&] { return started; }));
    submit(1, "First");
    for (uint32_t k = 2; k <= 4; ++k) submit(k, nullptr);  // 1, 2 and (bound 1) 3 give way
    gate.Open();
    pool.WaitIdle();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[1].second, "First") << "bound " << bound << ", chunk " << seen[1].first;
    for (size_t k = 2; k < seen.size(); ++k) EXPECT_EQ(seen[k].second, "") << "told once";
  }
  // A newer title wins over the one a dropped chunk hands on.
  TGate gate;
  std::vector<std::string> titles;
  std::atomic<bool> started{false};
  TEncoderPoolSettings s;
  s.Workers = 1;
  s.QueueBound = 1;
  s.Work = [&](size_t, const TPoolChunk& c) {
    started = true;
    gate.Pass();
    titles.push_back(c.Title ? *c.Title : "");
  };
  TEncoderPool pool(1, s);
  const uint8_t byte = 0;
  pool.Submit(0, &byte, 1, TChunkKind::Reencode, true);
  while (!started) std::this_thread::yield();
  pool.Submit(0, &byte, 1, TChunkKind::Reencode, true, std::make_shared<const std::string>("Old"));
  pool.Submit(0, &byte, 1, TChunkKind::Reencode, true, std::make_shared<const std::string>("New"));
  gate.Open();
  pool.WaitIdle();
  EXPECT_EQ(titles, (std::vector<std::string>{"", "New"}));
}

TEST(EncoderPool, StopWaitsForTheChunksInFlightAndDiscardsTheQueued) {
  constexpr size_t kChannels = 6;
  TGate gate;
  std::atomic<int> started{0}, finished{0};
  TEncoderPoolSettings s;
  s.Workers = 2;
  s.Work = [&](size_t, const TPoolChunk&) {
    ++started;
    gate.Pass();
    ++finished;
  };
  auto pool = std::make_unique<TEncoderPool>(kChannels, s);
  for (uint32_t k = 0; k < 3; ++k)
    for (uint32_t c = 0; c < kChannels; ++c) SubmitTag(*pool, c, k);
  std::thread stopper([&] { pool->Stop(); });
  // The workers are let go only once the stop has begun, so it meets them mid-chunk.
  const auto giveUp = std::chrono::steady_clock::now() + 30s;
  while (!pool->Stopped() && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
  gate.Open();
  stopper.join();
  EXPECT_EQ(started.load(), finished.load()) << "Stop returned under a worker still encoding";
  EXPECT_LE(finished.load(), s.Workers) << "the queued chunks were worked on anyway";
  const int after = finished.load();
  EXPECT_FALSE(SubmitTag(*pool, 0, 99)) << "a stopped pool takes nothing";
  pool->WaitIdle();  // returns at once after a stop
  pool.reset();
  EXPECT_EQ(finished.load(), after);
}

}  // namespace
