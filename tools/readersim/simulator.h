#ifndef MODFLASH_TOOLS_READERSIM_SIMULATOR_H_
#define MODFLASH_TOOLS_READERSIM_SIMULATOR_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "net/loopback_server.h"
#include "tools/readersim/module_model.h"
#include "tools/readersim/pcap_capture.h"
#include "tools/readersim/reader_session.h"
#include "tools/readersim/sim_log.h"
#include "tools/readersim/sim_options.h"

namespace modflash::sim {

/// The reader and its RF module on a loopback port. Serves one connection
/// after another as a task of `loop` (or of a loop of its own, on a thread
/// of its own), from Start() until Stop() (or until `maxConnections` were
/// served).
class Simulator {
 public:
  explicit Simulator(SimOptions options, EventLoop* loop = nullptr);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  /// Listens and starts serving; false (after a log line) when no port
  /// could be bound.
  bool Start();
  /// Ends the current connection and stops serving.
  void Stop();
  /// Tells the serving to stop, without waiting for it.
  void RequestStop() { stop_ = true; }
  /// Blocks until the serving has ended.
  void Wait();

  uint16_t port() const { return port_; }
  /// Why the last Start() could not listen (a Winsock error code), or 0.
  int listenError() const { return listenError_; }
  /// A copy of the module's flash.
  Bytes Flash() const;
  int32_t ModuleRate() const;
  /// The connections served so far, each once it has ended.
  std::vector<ConnectionStats> Connections() const;
  /// Waits until `count` connections have ended; false on time-out.
  bool WaitForConnections(size_t count, int timeoutMs) const;

 private:
  void Serve();
  void Finish(ConnectionStats stats);

  SimOptions options_;
  net::SocketLayerSession sockets_;
  SimLog log_;
  net::SocketHandle listener_ = net::kInvalidSocket;
  uint16_t port_ = 0;
  int listenError_ = 0;
  std::unique_ptr<EventLoop> ownLoop_;
  EventLoop* loop_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;  // guards module_, connections_ and serving_
  bool serving_ = false;
  mutable std::condition_variable changed_;
  ModuleModel module_;
  std::vector<ConnectionStats> connections_;
  /// The --pcap file, open from Start() when one was asked for.
  PcapFile pcap_;
};

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_SIMULATOR_H_
