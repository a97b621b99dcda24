#pragma once
// Re-serves the live audio of every captured channel to local players over
// HTTP. One source per channel: the capture thread feeds its ring buffer, the
// source's own thread sends 8191-byte chunks to the attached clients. One
// accept thread and a short request thread per connection attach new clients.
//
// Ownership: the server owns its sources, a source owns the clients in its
// list, a client not yet in a list belongs to its request thread. Every
// thread the server starts is joined before the server is gone.
// Lock order: SourcesLock before a source's ClientsLock, never the reverse;
// a ring buffer's lock is never held together with another.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/RingBuffer.h"
#include "server/IcyMetadata.h"
#include "server/SocketHelpers.h"
#include "server/StreamPort.h"

class TAudioServer;

// Told true when a source gets its first listener (the result says whether it
// may stream), false when it goes idle again.
using TSourceActivityEvent = std::function<bool(bool)>;

class TClient {
 public:
  TClient(TAudioServer* server, TSocket socket, std::string peerAddress);
  ~TClient();
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  void Close();
  // One non-blocking send. Bytes taken; -2 when the socket could not take the
  // chunk now (keep the client), -1 on any other error (drop the client).
  int32_t Send(const void* data, int32_t count);
  // One send of the whole text; the send result unchanged.
  int32_t SendText(const std::string& text);
  // Audio as Send does; a listener that asked for titles gets them between
  // the audio bytes, and the result counts only the audio.
  int32_t SendAudio(const uint8_t* data, int32_t count, const icy::TTitle& title);

  TAudioServer* Server;
  TSocket Socket;
  std::string PeerAddress;
  std::string Method;
  std::string Path;
  uint64_t BytesSent = 0;
  // Asked for titles in the stream ("Icy-MetaData: 1").
  bool WantsTitles = false;
  icy::TMetadataStream Titles;
  // When a send last took bytes (or the client was attached): a listener
  // that takes nothing for longer than the idle span is dropped.
  std::chrono::steady_clock::time_point LastProgress = std::chrono::steady_clock::now();
};

class TSource {
 public:
  static constexpr int32_t BufferSize = 0xFFFF;
  static constexpr int32_t ChunkSize = 0x1FFF;
  // Bytes kept in hand as the start-up backlog of a new client.
  static constexpr int32_t SendThreshold = 0x7FFF;

  // Starts the source thread at once.
  TSource(TAudioServer* server, std::string name, std::string streamName, TSourceActivityEvent onActivity);
  // Terminates and joins the thread, then frees any client still attached.
  ~TSource();
  TSource(const TSource&) = delete;
  TSource& operator=(const TSource&) = delete;

  int32_t Write(const void* data, int32_t count);
  // Attaches a client; a terminated source closes and frees it instead.
  bool AddClient(std::unique_ptr<TClient> client);
  void Broadcast(const uint8_t* data, int32_t count);
  void DropClients();
  // Removes listeners whose connection the peer has closed or reset; true
  // when any went. Whatever a listener sent is read and thrown away (a
  // bounded amount a call), so a pending byte cannot hide the close behind it.
  bool DropHungUpClients();

  // A listener that only shut down its sending side still reads; while audio
  // flows, a failed send is what tells a listener is gone. Only after this
  // long without a chunk is a closed connection taken to mean the listener
  // left.
  static constexpr std::chrono::milliseconds SilenceSpan{10000};
  void Terminate();
  void Join();

  // "Now playing" (UTF-8) for the listeners that ask for it; any thread.
  void SetTitle(const std::string& utf8);
  icy::TTitle Title();

  const std::string& Name() const { return name_; }
  const std::string& StreamName() const { return streamName_; }
  int32_t ClientCount() const { return clientCount_.load(); }
  int32_t PeakClients() const { return peakClients_.load(); }
  bool Active() const { return active_.load(); }
  bool Terminated() const { return terminated_.load(); }
  int32_t BufferCount() { return buffer_.Count(); }
  uint64_t BytesSent() const { return bytesSent_.load(std::memory_order_relaxed); }
  uint64_t BytesLost() const { return bytesLost_.load(std::memory_order_relaxed); }

 private:
  friend class TAudioServer;
  void SourceLoop();
  void Turn(std::chrono::steady_clock::time_point& deadline, uint8_t* chunk);
  void WaitForWork();
  void Wake();
  bool Activity(bool active);
  void GoIdle();

  TAudioServer* server_;
  const std::string name_;
  const std::string streamName_;
  TSourceActivityEvent onActivity_;
  TCBuffer buffer_{BufferSize};

  std::mutex clientsLock_;
  std::vector<std::unique_ptr<TClient>> clients_;
  std::atomic<int32_t> clientCount_{0};   // mirrors clients_.size() for lock-free reads
  std::atomic<int32_t> peakClients_{0};

  std::atomic<bool> terminated_{false};
  std::atomic<bool> active_{false};
  bool lastActivationRefused_ = false;     // source thread only
  std::chrono::steady_clock::time_point lastBroadcast_{};    // source thread only
  static constexpr std::chrono::milliseconds kHangUpCheck{1000};
  std::chrono::steady_clock::time_point nextHangUpCheck_{};  // source thread only
  std::atomic<uint64_t> bytesSent_{0};
  std::atomic<uint64_t> bytesLost_{0};

  std::mutex titleLock_;
  std::string titleText_;  // under titleLock_
  icy::TTitle title_;      // under titleLock_

  std::mutex wakeLock_;
  std::condition_variable wakeUp_;
  uint64_t wakeCount_ = 0;                 // under wakeLock_

  std::thread thread_;
  std::mutex joinLock_;       // Join may come from the stopping server and a last owner at once
  std::thread::id threadId_;  // fixed once the thread runs; read by other threads
};

class TAudioServer {
 public:
  static constexpr int32_t MaxBindings = 65535;
  static constexpr int32_t MaxRequestThreads = 64;

  struct TBinding {
    std::string Address;  // dotted IPv4, empty for every local address
    uint16_t Port = 0;
    TSocket Socket = InvalidSocket;
  };

  TAudioServer();
  ~TAudioServer();
  TAudioServer(const TAudioServer&) = delete;
  TAudioServer& operator=(const TAudioServer&) = delete;

  // Configuration; set before the server is started.
  int32_t MaxClients = 100;
  int32_t HeaderTimeout = 1500000;  // ms allowed for the whole request head
  int32_t IdleTimeout = 1000000;    // ms a source thread may be held up before its clients are dropped
  uint16_t DefaultPort = 8000;      // used when no binding was added
  // Source threads sleep until there is work. A pacer, when set, is called
  // between turns instead (the benchmark's fixed-rate reference loop).
  std::function<void()> SourcePacer;

  // New binding count, or -1 when the table is full.
  int AddBinding(const std::string& address, uint16_t port);
  int BindingCount() const { return bindingCount_; }
  const TBinding& Binding(int index) const { return bindings_[index]; }
  // Port actually bound by an entry (tells a test which port it got).
  uint16_t BoundPort(int index) const;

  void SetActive(bool value);
  bool IsActive() const { return active_.load(); }
  bool StartServer();
  // Stops accepting, ends every request thread and every source thread. The
  // stopped sources stay in the list until the server is destroyed.
  void StopServer();

  bool AddSource(const std::string& name, const std::string& streamName, TSourceActivityEvent onActivity);
  void RemoveSource(const std::string& name);
  int FindSource(const std::string& name);
  std::shared_ptr<TSource> GetSource(int index);
  std::shared_ptr<TSource> FindSourceObject(const std::string& name);
  int SourceCount();
  // Bytes stored in the named source's buffer; never blocks on a client.
  int32_t FeedSource(const std::string& name, const void* data, int32_t count);

  int32_t ClientCount() const { return clientCount_.load(); }
  int32_t PeakClients() const { return peakClients_.load(); }
  int32_t RequestThreadCount() const { return requestThreads_.load(); }
  // A listener slot held from the check against MaxClients to the attach, so
  // that requests arriving together cannot all pass the check. False when
  // the attached and reserved listeners already fill MaxClients, counted
  // after the listeners that have hung up were dropped. A listener that only
  // shut down its sending side looks the same and gives up its slot then.
  // A source attaching the listener takes the reservation over.
  bool ReserveClientSlot();
  void ReleaseClientSlot();
  std::chrono::system_clock::time_point StartTime() const { return startTime_; }

 private:
  friend class TSource;
  friend void HandleRequest(std::unique_ptr<TClient> client);

  struct TRequestSlot {
    std::thread Thread;
    TClient* Client = nullptr;  // under requestsLock_; set while the request thread owns it
    std::atomic<bool> Done{false};
  };

  bool TakeFreeSlot();
  std::vector<std::shared_ptr<TSource>> SourcesSnapshot();
  void AcceptLoop();
  int WaitForConnection(int32_t timeoutMs);
  void StartRequest(TSocket socket, const std::string& peer);
  void ReapRequests(bool all);
  void ForgetRequestClient(TClient* client);
  void ClientAttached();
  void ClientDetached();
  void SourceEnded(TSource* source);
  void CloseBindings();

  std::unique_ptr<TBinding[]> bindings_;
  int bindingCount_ = 0;
  int listenCount_ = 0;  // entries the accept thread watches, fixed while it runs
  std::thread acceptThread_;
  std::atomic<bool> active_{false};

  std::mutex sourcesLock_;
  std::vector<std::shared_ptr<TSource>> sources_;
  std::vector<std::shared_ptr<TSource>> retired_;  // removed by their own thread, joined later

  std::mutex requestsLock_;
  std::list<TRequestSlot> requests_;
  std::atomic<int32_t> requestThreads_{0};

  std::atomic<int32_t> clientCount_{0};
  std::atomic<int32_t> peakClients_{0};
  std::mutex slotsLock_;      // the check against MaxClients and its reservation
  int32_t reservedSlots_ = 0;  // under slotsLock_
  std::chrono::system_clock::time_point startTime_{};
};

// ASCII letters fold, every other byte (CP1251 Cyrillic included) must match.
bool SameSourceName(const std::string& a, const std::string& b);

// The recording run's server on 127.0.0.1:port with one source per channel.
// `stopAsked`, when given, is asked between the channels; true ends the
// start early with the sources added so far (the caller discards it).
std::unique_ptr<TAudioServer> StartRecordingServer(const std::vector<std::string>& channelNames,
                                                   uint16_t port = kStreamPort,
                                                   const std::function<bool()>& stopAsked = {});
