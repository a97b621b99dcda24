#include "ui/controls/ThreadHop.h"

#include <QSocketNotifier>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>
#include <vector>

struct TThreadHop::TState {
  std::mutex lock;
  std::vector<std::function<void()>> waiting;
  int wake = -1;
  std::unique_ptr<QSocketNotifier> notifier;
};

TThreadHop::TThreadHop() : state_(std::make_unique<TState>()) {
  state_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  state_->notifier = std::make_unique<QSocketNotifier>(state_->wake, QSocketNotifier::Read);
  QObject::connect(state_->notifier.get(), &QSocketNotifier::activated, [this] { Run(); });
}

TThreadHop::~TThreadHop() {
  state_->notifier.reset();
  ::close(state_->wake);
}

void TThreadHop::Post(std::function<void()> f) {
  bool first;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    first = state_->waiting.empty();
    state_->waiting.push_back(std::move(f));
  }
  if (first) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(state_->wake, &one, sizeof one);
  }
}

void TThreadHop::Run() {
  uint64_t count;
  [[maybe_unused]] const ssize_t n = ::read(state_->wake, &count, sizeof count);
  std::vector<std::function<void()>> now;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    now.swap(state_->waiting);
  }
  for (auto& f : now) f();
}
