#pragma once
#include <functional>
#include <memory>

// Runs closures handed over from any thread on the thread that made it. The
// hand-over is a std::mutex and an eventfd, not a Qt event post, so the
// delivery and engine threads never wait for the window and every shared
// byte stays under a lock the race checker sees.
class TThreadHop {
 public:
  TThreadHop();
  ~TThreadHop();
  TThreadHop(const TThreadHop&) = delete;
  TThreadHop& operator=(const TThreadHop&) = delete;

  void Post(std::function<void()> f);  // any thread
  void Run();                          // the owning thread: runs what waits

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};
