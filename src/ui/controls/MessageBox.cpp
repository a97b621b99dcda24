#include "ui/controls/MessageBox.h"

#include <QMessageBox>
#include <QSocketNotifier>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>
#include <vector>
#include <QStringList>

namespace {

TMessageFunction& Current() {
  static TMessageFunction f;
  return f;
}

} // namespace

void ShowMessage(QWidget* parent, const QString& text) {
  if (Current()) {
    Current()(parent, text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("MELLOWCASTER"), text, QMessageBox::Ok, parent);
  box.exec();
}

TMessageFunction SetMessageFunction(TMessageFunction f) {
  TMessageFunction before = std::move(Current());
  Current() = std::move(f);
  return before;
}

QFont SansFont(int pointSize, bool bold) {
  QFont f;
  f.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
  f.setPointSize(pointSize);
  f.setBold(bold);
  return f;
}

QFont MonoFont(int pointSize, bool bold) {
  QFont f;
  f.setFamilies({QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono")});
  f.setStyleHint(QFont::Monospace);
  f.setPointSize(pointSize);
  f.setBold(bold);
  return f;
}

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
