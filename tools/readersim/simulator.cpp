#include "tools/readersim/simulator.h"

#include <fstream>

namespace modflash::sim {
namespace {

// How often a thread that waits looks whether the simulator stops.
constexpr int kPollMs = 50;

}  // namespace

Simulator::Simulator(SimOptions options, EventLoop* loop)
    : options_(std::move(options)),
      log_(options_.log),
      loop_(loop),
      module_(options_) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (serving_) return false;
  }
  if (!options_.pcapPath.empty() && !pcap_.is_open() &&
      !pcap_.Open(options_.pcapPath)) {
    log_.Line("cannot write the capture " + options_.pcapPath);
    return false;
  }
  listener_ = net::ListenLoopback(options_.port, &port_);
  listenError_ = listener_ == net::kInvalidSocket ? net::LastError() : 0;
  if (listener_ == net::kInvalidSocket) {
    log_.Line("cannot listen on 127.0.0.1:" + std::to_string(options_.port) +
              ", error " + std::to_string(listenError_));
    return false;
  }
  // The loop waits for the listener; an accept never blocks it.
  net::SetNonBlocking(listener_);
  if (loop_ == nullptr) {
    ownLoop_ = std::make_unique<EventLoop>();
    loop_ = ownLoop_.get();
  }
  log_.Line("listening on 127.0.0.1:" + std::to_string(port_));
  stop_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    serving_ = true;
  }
  if (!loop_->Spawn([this] { Serve(); })) {
    log_.Line("cannot serve 127.0.0.1:" + std::to_string(port_) +
              ": no stack for its task");
    net::Close(listener_);
    listener_ = net::kInvalidSocket;
    std::lock_guard<std::mutex> lock(mutex_);
    serving_ = false;
    return false;
  }
  return true;
}

void Simulator::Stop() {
  stop_ = true;
  Wait();
}

void Simulator::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !serving_; });
}

Bytes Simulator::Flash() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return module_.flash();
}

int32_t Simulator::ModuleRate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return module_.rate();
}

std::vector<ConnectionStats> Simulator::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

bool Simulator::WaitForConnections(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return connections_.size() >= count; });
}

void Simulator::Serve() {
  uint32_t served = 0;
  while (!stop_) {
    if (!loop_->WaitReadable(listener_, kPollMs)) continue;
    const net::SocketHandle client = net::Accept(listener_);
    if (client == net::kInvalidSocket) continue;
    ++served;
    log_.Line("connection " + std::to_string(served) + " accepted");
    // Sends wait through the loop, and give up after the idle time-out
    // when the client stops reading.
    net::SetNonBlocking(client);
    const SessionContext context{options_, log_,  mutex_, module_,
                                 stop_,    pcap_, port_,  *loop_};
    ReaderSession session(context, client, served);
    ConnectionStats stats = session.Run();
    loop_->Forget(client);
    if (stats.resetBySimulator) {
      net::CloseWithReset(client);
    } else {
      net::ShutdownSend(client);
      net::Close(client);
    }
    Finish(stats);
    if (options_.maxConnections != 0 && served >= options_.maxConnections) {
      break;
    }
  }
  loop_->Forget(listener_);
  net::Close(listener_);
  listener_ = net::kInvalidSocket;
  std::lock_guard<std::mutex> lock(mutex_);
  serving_ = false;
  changed_.notify_all();
}

void Simulator::Finish(ConnectionStats stats) {
  Bytes flash = Flash();
  if (!options_.expectImage.empty()) {
    stats.expectGiven = true;
    stats.flashMatchesExpect = flash == options_.expectImage;
  }
  if (!options_.flashOut.empty()) {
    std::ofstream out(options_.flashOut, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(flash.data()),
              static_cast<std::streamsize>(flash.size()));
    if (!out) log_.Line("cannot write the flash to " + options_.flashOut);
  }
  log_.Line("connection " + std::to_string(stats.number) +
            " message types received: " + ReceivedTypes(stats.received));
  std::string line = "connection " + std::to_string(stats.number) +
                     " summary: " + std::to_string(stats.moduleFrames) +
                     " module frames, " + std::to_string(stats.updatePackets) +
                     " update packets, " + std::to_string(stats.retries) +
                     " retries, " + std::to_string(stats.bytesWritten) +
                     " bytes written, ";
  if (stats.refused != 0) {
    line += std::to_string(stats.refused) + " refused, ";
  }
  if (stats.expectGiven) {
    line += stats.flashMatchesExpect ? "flash equals the expected image"
                                     : "flash DIFFERS from the expected image";
  } else {
    line += "no expected image";
  }
  log_.Line(line);
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.push_back(stats);
  changed_.notify_all();
}

}  // namespace modflash::sim
