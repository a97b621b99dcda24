#pragma once
// TDirectShowGraph: the process-wide holder of a video playback graph. This
// program never builds a graph, so the holder stays empty from program load
// to exit; it keeps the holder's fields and its teardown order so that the
// start-up and exit sequence stays the same.

class TDirectShowGraph {
 public:
  explicit TDirectShowGraph(int owner);
  ~TDirectShowGraph();
  TDirectShowGraph(const TDirectShowGraph&) = delete;
  TDirectShowGraph& operator=(const TDirectShowGraph&) = delete;

  int Owner() const { return owner_; }
  bool HoldsGraph() const { return graph_ != nullptr; }
  int SystemHandle() const { return handle_; }
  int RotCookie() const { return rotCookie_; }
  // Stops and releases a held graph, then closes the system handle; with no
  // graph held it leaves everything alone. Safe to run more than once.
  void Teardown();

 private:
  int owner_;
  int handle_ = -1;
  int mode_ = 0;
  // The graph and the interfaces around it; none is ever acquired here.
  void* graph_ = nullptr;
  int streamA_ = -1;
  int streamB_ = -1;
  bool flag_ = false;
  int rotCookie_ = -1;
};

// The instance created while the program loads and destroyed at exit.
TDirectShowGraph& ProgramGraph();
