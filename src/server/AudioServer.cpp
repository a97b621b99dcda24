#include "server/AudioServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "server/HttpRequest.h"
#include "server/SocketsStartup.h"

namespace {

void RaiseTo(std::atomic<int32_t>& peak, int32_t value) {
  int32_t seen = peak.load();
  while (value > seen && !peak.compare_exchange_weak(seen, value)) {
  }
}

// Reads and discards what the peer sent, up to a bound; true on an end of
// stream or an error other than "nothing more now".
bool PeerHasLeft(TSocket socket) {
  uint8_t sink[4096];
  for (int reads = 0; reads < 16; ++reads) {
    const ssize_t r = ::recv(socket, sink, sizeof sink, MSG_DONTWAIT);
    if (r == 0) return true;
    if (r < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
  }
  return false;  // still talking: looked at again next time
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool SameSourceName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

// ---------------------------------------------------------------- TClient

TClient::TClient(TAudioServer* server, TSocket socket, std::string peerAddress)
    : Server(server), Socket(socket), PeerAddress(std::move(peerAddress)) {}

TClient::~TClient() { Close(); }

void TClient::Close() {
  CloseSocket(Socket);
  Socket = InvalidSocket;
}

int32_t TClient::Send(const void* data, int32_t count) {
  if (Socket == InvalidSocket) return -1;
  const ssize_t r = ::send(Socket, data, static_cast<size_t>(std::max(count, 0)), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (r < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS) return -2;
    return -1;
  }
  BytesSent += static_cast<uint64_t>(r);
  return static_cast<int32_t>(r);
}

int32_t TClient::SendText(const std::string& text) {
  if (Socket == InvalidSocket) return -1;
  const ssize_t r = ::send(Socket, text.data(), text.size(), MSG_NOSIGNAL);
  if (r > 0) BytesSent += static_cast<uint64_t>(r);
  return static_cast<int32_t>(r);
}

int32_t TClient::SendAudio(const uint8_t* data, int32_t count, const icy::TTitle& title) {
  if (!WantsTitles) return Send(data, count);
  return Titles.Write(data, count, title, [this](const void* p, int32_t n) { return Send(p, n); });
}

// ---------------------------------------------------------------- TSource

TSource::TSource(TAudioServer* server, std::string name, std::string streamName, TSourceActivityEvent onActivity)
    : server_(server), name_(std::move(name)), streamName_(std::move(streamName)), onActivity_(std::move(onActivity)) {
  clients_.reserve(8);
  thread_ = std::thread(&TSource::SourceLoop, this);
  threadId_ = thread_.get_id();
}

TSource::~TSource() {
  Terminate();
  Join();
  std::lock_guard<std::mutex> guard(clientsLock_);
  while (!clients_.empty()) {
    clients_.pop_back();
    server_->ClientDetached();
  }
  clientCount_ = 0;
}

int32_t TSource::Write(const void* data, int32_t count) {
  const int32_t stored = buffer_.Write(data, count);
  if (stored > 0 && buffer_.Count() > SendThreshold) Wake();
  return stored;
}

bool TSource::AddClient(std::unique_ptr<TClient> client) {
  {
    std::lock_guard<std::mutex> guard(clientsLock_);
    // Checked under the lock: the thread's end sequence sets the flag before it
    // drops the clients, so no client can slip in after that and be stranded.
    if (!terminated_) {
      server_->ClientAttached();
      client->LastProgress = std::chrono::steady_clock::now();
      clients_.push_back(std::move(client));
      const auto n = static_cast<int32_t>(clients_.size());
      clientCount_ = n;
      RaiseTo(peakClients_, n);
    }
  }
  if (client) return false;  // still ours: the source has ended, the client closes here
  Wake();
  return true;
}

void TSource::SetTitle(const std::string& utf8) {
  // Built here, once per change, rather than for each listener.
  auto block = std::make_shared<const std::string>(icy::MetadataBlock(utf8));
  std::lock_guard<std::mutex> guard(titleLock_);
  if (title_.Block && titleText_ == utf8) return;
  titleText_ = utf8;
  ++title_.Version;
  title_.Block = std::move(block);
}

icy::TTitle TSource::Title() {
  std::lock_guard<std::mutex> guard(titleLock_);
  return title_;
}

void TSource::Broadcast(const uint8_t* data, int32_t count) {
  lastBroadcast_ = std::chrono::steady_clock::now();
  const icy::TTitle title = Title();
  std::lock_guard<std::mutex> guard(clientsLock_);
  const auto now = std::chrono::steady_clock::now();
  const auto idle = std::chrono::milliseconds(server_->IdleTimeout);
  for (size_t i = clients_.size(); i-- > 0;) {
    TClient& client = *clients_[i];
    int32_t r = client.SendAudio(data, count, title);
    if (r > 0) client.LastProgress = now;
    // A listener that reads nothing for the idle span only holds a slot.
    if (r == -2 && now - client.LastProgress > idle) r = -1;
    if (r == -1) {
      clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
      server_->ClientDetached();
    } else if (r >= 0) {
      bytesSent_.fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
      if (r < count) bytesLost_.fetch_add(static_cast<uint64_t>(count - r), std::memory_order_relaxed);
    }
  }
  clientCount_ = static_cast<int32_t>(clients_.size());
}

void TSource::DropClients() {
  {
    std::lock_guard<std::mutex> guard(clientsLock_);
    while (!clients_.empty()) {
      clients_.pop_back();
      server_->ClientDetached();
    }
    clientCount_ = 0;
  }
  Activity(false);
  active_ = false;
}

void TSource::Terminate() {
  terminated_ = true;
  Wake();
}

void TSource::Join() {
  if (threadId_ == std::this_thread::get_id()) return;
  std::lock_guard<std::mutex> guard(joinLock_);
  if (thread_.joinable()) thread_.join();
}

void TSource::Wake() {
  {
    std::lock_guard<std::mutex> guard(wakeLock_);
    ++wakeCount_;
  }
  wakeUp_.notify_one();
}

bool TSource::Activity(bool active) { return onActivity_ ? onActivity_(active) : active; }

void TSource::GoIdle() {
  active_ = false;
  buffer_.Clear();  // a later listener must not get stale audio
}

void TSource::WaitForWork() {
  if (server_->SourcePacer) {
    server_->SourcePacer();
    return;
  }
  std::unique_lock<std::mutex> lock(wakeLock_);
  const uint64_t seen = wakeCount_;
  lock.unlock();
  // Any wake-up after `seen` was taken ends the wait below, so a change that
  // lands between these checks and the wait is never missed.
  if (terminated_) return;
  const int32_t clients = clientCount_;
  if (clients == 0 && active_) return;
  if (buffer_.Count() > SendThreshold) return;
  const auto woken = [&] { return wakeCount_ != seen; };
  lock.lock();
  if (clients > 0 && !active_) {
    // A listener waits for the activity hook: ask again each millisecond
    // while it refuses, at once after a new wake-up.
    if (!lastActivationRefused_) return;
    wakeUp_.wait_for(lock, std::chrono::milliseconds(1), woken);
    return;
  }
  // Listeners on a source that gets no audio are only seen to leave when
  // looked at: wake now and then to do so, or they would hold their slots.
  if (clients > 0) {
    wakeUp_.wait_for(lock, kHangUpCheck, woken);
    return;
  }
  wakeUp_.wait(lock, woken);
}

bool TSource::DropHungUpClients() {
  std::lock_guard<std::mutex> guard(clientsLock_);
  bool dropped = false;
  for (size_t i = clients_.size(); i-- > 0;) {
    if (PeerHasLeft(clients_[i]->Socket)) {
      clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
      server_->ClientDetached();
      dropped = true;
    }
  }
  clientCount_ = static_cast<int32_t>(clients_.size());
  return dropped;
}

void TSource::Turn(std::chrono::steady_clock::time_point& deadline, uint8_t* chunk) {
  using Clock = std::chrono::steady_clock;
  const auto idle = std::chrono::milliseconds(server_->IdleTimeout);
  // The client count is read without the lock. A full server's request
  // thread may drop hung-up clients meanwhile; it wakes this thread, so the
  // next turn sees the source go idle.
  if (clientCount_ > 0 && !active_) {
    const bool accepted = Activity(true);
    active_ = accepted;
    lastActivationRefused_ = !accepted;
    if (accepted) deadline = Clock::now() + idle;
  }
  if (clientCount_ == 0) deadline = Clock::now() + idle;
  if (clientCount_ == 0 && active_) {
    Activity(false);
    GoIdle();
  }
  // Held up for longer than the idle span (a hook that blocked, a starved
  // thread): the listeners have missed audio, so they are dropped.
  if (Clock::now() > deadline && clientCount_ > 0) {
    DropClients();
    Activity(false);
    GoIdle();
  }
  if (buffer_.Count() > SendThreshold) {
    const int32_t n = buffer_.Read(chunk, ChunkSize);
    if (n > 0) Broadcast(chunk, n);
  } else if (clientCount_ > 0 && Clock::now() >= nextHangUpCheck_ && Clock::now() - lastBroadcast_ >= SilenceSpan) {
    nextHangUpCheck_ = Clock::now() + kHangUpCheck;
    DropHungUpClients();
  }
  deadline = Clock::now() + idle;
}

void TSource::SourceLoop() {
  using Clock = std::chrono::steady_clock;
  uint8_t chunk[ChunkSize];
  auto deadline = Clock::now() + std::chrono::milliseconds(server_->IdleTimeout);
  // The silence the hang-up check measures starts with the source, not at
  // the clock's zero: a listener that half-closes in the first seconds is
  // not dropped as if the channel had been silent for ages.
  lastBroadcast_ = Clock::now();
  try {
    while (!terminated_) {
      WaitForWork();
      if (terminated_) break;
      // Time spent waiting for work is not a stall: a polling loop would have
      // renewed the deadline on every turn of that wait.
      deadline = std::max(deadline, Clock::now() + std::chrono::milliseconds(server_->IdleTimeout));
      Turn(deadline, chunk);
    }
  } catch (...) {
  }
  terminated_ = true;
  try {
    Activity(false);
  } catch (...) {
  }
  active_ = false;
  try {
    DropClients();
  } catch (...) {
  }
  server_->SourceEnded(this);
}

// ---------------------------------------------------------------- TAudioServer

TAudioServer::TAudioServer() : bindings_(std::make_unique<TBinding[]>(MaxBindings)) {
  try {
    SocketsStartup();
  } catch (const ESocketError&) {
  }
}

TAudioServer::~TAudioServer() {
  StopServer();
  std::vector<std::shared_ptr<TSource>> all;
  {
    std::lock_guard<std::mutex> guard(sourcesLock_);
    all.swap(sources_);
    all.insert(all.end(), retired_.begin(), retired_.end());
    retired_.clear();
  }
  for (auto& s : all) s->Terminate();
  all.clear();  // each destructor joins its thread
}

int TAudioServer::AddBinding(const std::string& address, uint16_t port) {
  if (bindingCount_ >= MaxBindings) return -1;
  bindings_[bindingCount_] = TBinding{address, port, InvalidSocket};
  return ++bindingCount_;
}

uint16_t TAudioServer::BoundPort(int index) const {
  if (index < 0 || index >= bindingCount_ || bindings_[index].Socket == InvalidSocket) return 0;
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(bindings_[index].Socket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

void TAudioServer::SetActive(bool value) {
  if (value == active_) return;
  if (value) StartServer();
  else StopServer();
}

bool TAudioServer::StartServer() {
  if (active_) return true;
  clientCount_ = 0;
  peakClients_ = 0;
  startTime_ = std::chrono::system_clock::now();
  active_ = true;

  int bound = 0;
  if (bindingCount_ == 0) {
    const TSocket s = CreateBoundSocket("", DefaultPort);
    if (s != InvalidSocket) {
      bindings_[0] = TBinding{"0.0.0.0", DefaultPort, s};
      bindingCount_ = 1;
      bound = 1;
    }
  } else {
    for (int i = 0; i < bindingCount_; ++i) {
      bindings_[i].Socket = CreateBoundSocket(bindings_[i].Address, bindings_[i].Port);
      if (bindings_[i].Socket != InvalidSocket) ++bound;
    }
  }
  listenCount_ = bindingCount_;

  bool ok = bound > 0;
  for (int i = 0; ok && i < listenCount_; ++i) {
    const TSocket s = bindings_[i].Socket;
    if (s == InvalidSocket) continue;
    // As long a queue as the system allows: a burst of connections waits there
    // for the accept thread, which serves or refuses each. From a short queue
    // the system drops handshakes the peer already took as done, and a client
    // that sends nothing first is then never seen, neither served nor refused.
    ok = ::listen(s, SOMAXCONN) == 0 && SetSocketNonBlocking(s, true);
  }
  if (ok) {
    try {
      acceptThread_ = std::thread(&TAudioServer::AcceptLoop, this);
    } catch (...) {
      ok = false;
    }
  }
  if (!ok) {
    CloseBindings();
    active_ = false;
  }
  return ok;
}

void TAudioServer::CloseBindings() {
  for (int i = 0; i < bindingCount_; ++i) {
    CloseSocket(bindings_[i].Socket);
    bindings_[i].Socket = InvalidSocket;
  }
}

void TAudioServer::StopServer() {
  if (!active_) return;
  active_ = false;
  if (acceptThread_.joinable()) acceptThread_.join();
  CloseBindings();

  // Request threads waiting for a head wake up at once on a shut-down socket.
  {
    std::lock_guard<std::mutex> guard(requestsLock_);
    for (auto& slot : requests_)
      if (slot.Client) ::shutdown(slot.Client->Socket, SHUT_RDWR);
  }
  ReapRequests(true);

  std::vector<std::shared_ptr<TSource>> all;
  {
    std::lock_guard<std::mutex> guard(sourcesLock_);
    for (auto& s : sources_) s->Terminate();
    all = sources_;
    all.insert(all.end(), retired_.begin(), retired_.end());
  }
  // Joined outside the lock: a source's end sequence takes it.
  for (auto& s : all) s->Join();
}

int TAudioServer::WaitForConnection(int32_t timeoutMs) {
  TSocketSet set;
  for (int i = 0; i < listenCount_; ++i)
    if (bindings_[i].Socket != InvalidSocket) FdSet(bindings_[i].Socket, set);
  const int r = SelectReadable(set, timeoutMs);
  if (r < 0) return -1;
  if (r == 0) return -2;
  for (int i = 0; i < listenCount_; ++i)
    if (bindings_[i].Socket != InvalidSocket && FdIsSet(bindings_[i].Socket, set)) return i;
  return -1;
}

void TAudioServer::AcceptLoop() {
  while (active_) {
    ReapRequests(false);
    const int index = WaitForConnection(100);
    if (index < 0) continue;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int s = ::accept4(bindings_[index].Socket, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (s < 0) continue;
    // A flood of connections must not exhaust threads: beyond the limit a
    // connection is closed at once.
    if (requestThreads_ >= MaxRequestThreads || !active_) {
      // Told why, in one try that never waits, rather than closed unanswered.
      static const std::string busy = ServerFullAnswer();
      if (active_) (void)::send(s, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(s);
      continue;
    }
    const linger noLinger{0, 0};
    const int on = 1;
    (void)::setsockopt(s, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
    (void)::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    StartRequest(s, AddressToText(peer.sin_addr.s_addr));
  }
}

void TAudioServer::StartRequest(TSocket socket, const std::string& peer) {
  auto client = std::make_unique<TClient>(this, socket, peer);
  std::lock_guard<std::mutex> guard(requestsLock_);
  TRequestSlot& slot = requests_.emplace_back();
  slot.Client = client.get();
  ++requestThreads_;
  try {
    slot.Thread = std::thread([this, &slot, raw = client.get()] {
      HandleRequest(std::unique_ptr<TClient>(raw));
      --requestThreads_;
      slot.Done = true;
    });
    client.release();
  } catch (...) {
    --requestThreads_;
    requests_.pop_back();  // the client closes with `client`
  }
}

void TAudioServer::ReapRequests(bool all) {
  std::list<TRequestSlot> finished;
  {
    std::lock_guard<std::mutex> guard(requestsLock_);
    for (auto it = requests_.begin(); it != requests_.end();) {
      auto next = std::next(it);
      if (all || it->Done) finished.splice(finished.end(), requests_, it);
      it = next;
    }
  }
  for (auto& slot : finished)
    if (slot.Thread.joinable()) slot.Thread.join();
}

void TAudioServer::ForgetRequestClient(TClient* client) {
  std::lock_guard<std::mutex> guard(requestsLock_);
  for (auto& slot : requests_)
    if (slot.Client == client) slot.Client = nullptr;
}

void TAudioServer::ClientAttached() {
  std::lock_guard<std::mutex> guard(slotsLock_);
  // The slot its request reserved becomes the listener's in the same step: a
  // request looking in between must not count it twice and be refused.
  --reservedSlots_;
  RaiseTo(peakClients_, ++clientCount_);
}

bool TAudioServer::TakeFreeSlot() {
  std::lock_guard<std::mutex> guard(slotsLock_);
  if (clientCount_ + reservedSlots_ >= MaxClients) return false;
  ++reservedSlots_;
  return true;
}

bool TAudioServer::ReserveClientSlot() {
  if (TakeFreeSlot()) return true;
  // A player that switches channel hangs up and asks again at once: its old
  // connection must not count. Looked at without slotsLock_, which a source
  // takes under its ClientsLock when it attaches.
  for (const auto& source : SourcesSnapshot())
    if (source->DropHungUpClients()) source->Wake();
  return TakeFreeSlot();
}

std::vector<std::shared_ptr<TSource>> TAudioServer::SourcesSnapshot() {
  std::lock_guard<std::mutex> guard(sourcesLock_);
  return sources_;
}

void TAudioServer::ReleaseClientSlot() {
  std::lock_guard<std::mutex> guard(slotsLock_);
  --reservedSlots_;
}

void TAudioServer::ClientDetached() { --clientCount_; }

bool TAudioServer::AddSource(const std::string& name, const std::string& streamName,
                             TSourceActivityEvent onActivity) {
  if (!active_) return false;
  std::lock_guard<std::mutex> guard(sourcesLock_);
  for (auto& s : sources_)
    if (SameSourceName(s->Name(), name)) return false;
  try {
    sources_.push_back(std::make_shared<TSource>(this, name, streamName, std::move(onActivity)));
  } catch (...) {
    return false;
  }
  return true;
}

void TAudioServer::RemoveSource(const std::string& name) {
  if (!active_) return;
  std::shared_ptr<TSource> victim;
  {
    std::lock_guard<std::mutex> guard(sourcesLock_);
    auto it = std::find_if(sources_.begin(), sources_.end(),
                           [&](const auto& s) { return SameSourceName(s->Name(), name); });
    if (it == sources_.end()) return;
    victim = std::move(*it);
    sources_.erase(it);
    // A source cannot join its own thread: it is kept until the server stops.
    if (victim->threadId_ == std::this_thread::get_id()) {
      retired_.push_back(std::move(victim));
      return;
    }
  }
  // Destroyed outside the lock, since the source's end sequence takes it.
  victim.reset();
}

void TAudioServer::SourceEnded(TSource* source) {
  if (!active_) return;
  std::lock_guard<std::mutex> guard(sourcesLock_);
  auto it = std::find_if(sources_.begin(), sources_.end(), [&](const auto& s) { return s.get() == source; });
  if (it == sources_.end()) return;
  retired_.push_back(std::move(*it));
  sources_.erase(it);
}

int TAudioServer::FindSource(const std::string& name) {
  std::lock_guard<std::mutex> guard(sourcesLock_);
  for (size_t i = 0; i < sources_.size(); ++i)
    if (SameSourceName(sources_[i]->Name(), name)) return static_cast<int>(i);
  return -1;
}

std::shared_ptr<TSource> TAudioServer::GetSource(int index) {
  std::lock_guard<std::mutex> guard(sourcesLock_);
  if (index < 0 || static_cast<size_t>(index) >= sources_.size()) return nullptr;
  return sources_[static_cast<size_t>(index)];
}

std::shared_ptr<TSource> TAudioServer::FindSourceObject(const std::string& name) {
  std::lock_guard<std::mutex> guard(sourcesLock_);
  for (auto& s : sources_)
    if (SameSourceName(s->Name(), name)) return s;
  return nullptr;
}

int TAudioServer::SourceCount() {
  std::lock_guard<std::mutex> guard(sourcesLock_);
  return static_cast<int>(sources_.size());
}

int32_t TAudioServer::FeedSource(const std::string& name, const void* data, int32_t count) {
  if (!active_ || !data || count <= 0) return 0;
  // The source is held by a counted reference while its buffer is written,
  // outside the list lock, so a concurrent removal cannot free it under us.
  std::shared_ptr<TSource> source = FindSourceObject(name);
  return source ? source->Write(data, count) : 0;
}

std::unique_ptr<TAudioServer> StartRecordingServer(const std::vector<std::string>& channelNames, uint16_t port,
                                                   const std::function<bool()>& stopAsked) {
  auto server = std::make_unique<TAudioServer>();
  server->MaxClients = 2;
  server->HeaderTimeout = 15000;
  server->IdleTimeout = 10000;
  server->DefaultPort = port;
  server->AddBinding("127.0.0.1", port);
  server->SetActive(true);
  for (const auto& name : channelNames) {
    if (stopAsked && stopAsked()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    server->AddSource(name, name, [](bool active) { return active; });
  }
  return server;
}
