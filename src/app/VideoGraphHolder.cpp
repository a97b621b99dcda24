#include "app/VideoGraphHolder.h"

#include <unistd.h>

TDirectShowGraph::TDirectShowGraph(int owner) : owner_(owner) {}

TDirectShowGraph::~TDirectShowGraph() { Teardown(); }

void TDirectShowGraph::Teardown() {
  if (graph_ == nullptr) return;
  // Stop, abort and unregistration need the graph's own interfaces, which
  // are never acquired here: releasing comes down to forgetting them.
  (void)mode_;
  (void)flag_;
  rotCookie_ = -1;
  graph_ = nullptr;
  streamA_ = streamB_ = -1;
  if (handle_ != -1) {
    ::close(handle_);
    handle_ = -1;
  }
}

namespace {
// Namespace scope, not a function-local static: created during program load
// and destroyed at exit, like the rest of the start-up sequence expects.
TDirectShowGraph programGraph(0);
}  // namespace

TDirectShowGraph& ProgramGraph() { return programGraph; }
