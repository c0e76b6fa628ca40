#include "tools/readersim/fleet_sim.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <thread>

#include "platform/descriptor_limit.h"
#include "tools/readersim/command_line.h"

namespace modflash::sim {
namespace {

/// The event loops of a fleet at most, whatever the cores.
constexpr size_t kMostLoops = 16;

// Writes whole lines to a shared stream, with "reader K: " after the
// "readersim: " of each, so the readers' lines do not mix.
class ReaderLogBuffer : public std::streambuf {
 public:
  ReaderLogBuffer(std::ostream* out, uint32_t number)
      : out_(out), tag_("reader " + std::to_string(number) + ": ") {}

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) line_.push_back(static_cast<char>(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    line_.append(s, static_cast<size_t>(n));
    return n;
  }
  int sync() override {
    static std::mutex mutex;
    std::string text;
    size_t start = 0;
    for (size_t end; (end = line_.find('\n', start)) != std::string::npos;
         start = end + 1) {
      std::string line = line_.substr(start, end - start + 1);
      const std::string head = "readersim: ";
      line.insert(line.compare(0, head.size(), head) == 0 ? head.size() : 0,
                  tag_);
      text += line;
    }
    line_.erase(0, start);
    std::lock_guard<std::mutex> lock(mutex);
    *out_ << text << std::flush;
    return 0;
  }

 private:
  std::ostream* out_;
  std::string tag_;
  std::string line_;
};

class ReaderLogStream : public std::ostream {
 public:
  ReaderLogStream(std::ostream* sink, uint32_t number)
      : std::ostream(nullptr), buffer_(sink, number) {
    rdbuf(&buffer_);
  }

 private:
  ReaderLogBuffer buffer_;
};

// Descriptors of the process itself besides its readers' (standard
// streams, the reserve below, the inventory, the runtime's own) ...
constexpr uint64_t kOwnDescriptors = 16;
// ... and of them, those SimFleet holds in reserve.
constexpr size_t kReserveDescriptors = 4;

std::string TooManyOpenFiles(uint32_t readers, uint64_t needed,
                             uint64_t limit) {
  std::string text = "too many open files: " + std::to_string(readers) +
                     " readers need about " + std::to_string(needed) +
                     " descriptors";
  if (limit != 0) {
    text += ", the limit is " + std::to_string(limit) + " (ulimit -n)";
  }
  return text;
}

// "flash.bin" for reader 7 becomes "flash-7.bin".
std::string NumberedPath(const std::string& path, uint32_t number) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  const size_t at = dot != std::string::npos &&
                            (slash == std::string::npos || dot > slash + 1)
                        ? dot
                        : path.size();
  return path.substr(0, at) + "-" + std::to_string(number) + path.substr(at);
}

// The module version of reader `k` (from 1) by --versions.
Version FleetVersion(const FleetSimOptions& fleet, uint32_t k,
                     Version otherwise) {
  uint32_t last = 0;  // the last reader of the shares so far
  for (const FleetSimOptions::VersionShare& share : fleet.versions) {
    if (share.count == 0) return share.version;
    last += share.count;
    if (k <= last) return share.version;
  }
  return otherwise;
}

}  // namespace

std::vector<SimOptions> FleetReaderOptions(const SimOptions& given,
                                           const FleetSimOptions& fleet) {
  // A healthy reader: the defaults (no faults) plus the general options.
  // A general option added to SimOptions must be copied here as well.
  SimOptions healthy;
  healthy.rate = given.rate;
  healthy.version = given.version;
  healthy.prepareRestartMs = given.prepareRestartMs;
  healthy.rateRestartMs = given.rateRestartMs;
  healthy.completeRestartMs = given.completeRestartMs;
  healthy.lineTiming = given.lineTiming;
  healthy.trace = given.trace;
  healthy.expectImage = given.expectImage;
  healthy.maxConnections = given.maxConnections;
  healthy.idleTimeoutMs = given.idleTimeoutMs;
  healthy.log = given.log;

  std::vector<SimOptions> readers;
  for (uint32_t k = 1; k <= fleet.readers; ++k) {
    const bool faulty = fleet.faulty.empty() || fleet.faulty.count(k) > 0;
    SimOptions o = faulty ? given : healthy;
    o.version = FleetVersion(fleet, k, given.version);
    o.port = 0;
    if (!given.flashOut.empty()) o.flashOut = NumberedPath(given.flashOut, k);
    if (!given.pcapPath.empty()) o.pcapPath = NumberedPath(given.pcapPath, k);
    readers.push_back(o);
  }
  return readers;
}

uint64_t DescriptorsNeeded(const SimOptions& given, uint32_t readers) {
  // Each reader: its listener, the connection it serves, its capture and
  // the flash file it writes after a connection.
  const uint64_t each = 2u + (given.pcapPath.empty() ? 0u : 1u) +
                        (given.flashOut.empty() ? 0u : 1u);
  return each * readers + kOwnDescriptors;
}

SimFleet::~SimFleet() {
  Stop();
  Wait();
}

bool SimFleet::Start(const std::vector<SimOptions>& readers) {
  while (reserve_.size() < kReserveDescriptors) {
    const net::SocketHandle s = net::OpenTcp();
    if (s == net::kInvalidSocket) break;
    reserve_.push_back(s);
  }
  // One loop per core serves the readers, in turn.
  const size_t loops =
      std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMostLoops);
  while (loops_.size() < std::min(loops, readers.size())) {
    loops_.push_back(std::make_unique<EventLoop>());
  }
  for (size_t i = 0; i < readers.size(); ++i) {
    SimOptions o = readers[i];
    streams_.push_back(
        std::make_unique<ReaderLogStream>(log_, static_cast<uint32_t>(i + 1)));
    o.log = streams_.back().get();
    readers_.push_back(
        std::make_unique<Simulator>(o, loops_[i % loops_.size()].get()));
    if (!readers_.back()->Start()) {
      outOfDescriptors_ =
          readers_.back()->listenError() == net::wsa::kTooManyOpen;
      ReleaseReserve();
      return false;
    }
  }
  return true;
}

void SimFleet::ReleaseReserve() {
  for (const net::SocketHandle s : reserve_) net::Close(s);
  reserve_.clear();
}

void SimFleet::Stop() {
  ReleaseReserve();
  // All are told first: each ends within a poll of its own, all at once.
  for (auto& r : readers_) r->RequestStop();
  for (auto& r : readers_) r->Stop();
}

void SimFleet::Wait() {
  for (auto& r : readers_) r->Wait();
}

std::string SimFleet::Inventory() const {
  std::string text;
  for (size_t i = 0; i < readers_.size(); ++i) {
    text += "127.0.0.1:" + std::to_string(readers_[i]->port()) + " reader-" +
            std::to_string(i + 1) + "\n";
  }
  return text;
}

namespace {

// One "127.0.0.1:PORT" line per reader, for --ready-file.
std::string Addresses(SimFleet& sims) {
  std::string text;
  for (size_t i = 0; i < sims.size(); ++i) {
    text += "127.0.0.1:" + std::to_string(sims.reader(i).port()) + "\n";
  }
  return text;
}

// The inventory and the ready file, in that order; false after a line.
bool WriteFleetFiles(SimFleet& sims, const CommandLine& line) {
  const std::string& inventory = line.fleet.inventoryOut;
  if (!inventory.empty() && !WriteFileWhole(inventory, sims.Inventory())) {
    std::cout << "readersim: cannot write " << inventory << "\n";
    return false;
  }
  if (!line.readyFile.empty() &&
      !WriteFileWhole(line.readyFile, Addresses(sims))) {
    std::cout << "readersim: cannot write " << line.readyFile << "\n";
    return false;
  }
  return true;
}

}  // namespace

int RunSimFleet(const CommandLine& line) {
  const FleetSimOptions& fleet = line.fleet;
  // Refused before any reader starts when the limit is too low for them all
  // at once, rather than once clients come.
  const uint64_t needed = DescriptorsNeeded(line.options, fleet.readers);
  const uint64_t limit = DescriptorLimit();
  if (limit != 0 && needed > limit) {
    std::cout << "readersim: " << TooManyOpenFiles(fleet.readers, needed, limit)
              << "\n";
    return 1;
  }
  SimFleet sims(line.options.log);
  if (!sims.Start(FleetReaderOptions(line.options, fleet))) {
    if (sims.outOfDescriptors()) {
      // Descriptors that were open before readersim started count too.
      std::cout << "readersim: "
                << TooManyOpenFiles(fleet.readers, needed, limit)
                << ", and reader " << sims.size() << " found none left\n";
    }
    return 1;
  }
  if (!WriteFleetFiles(sims, line)) return 1;
  std::cout << "readersim: " << fleet.readers << " readers ready"
            << (fleet.inventoryOut.empty()
                    ? std::string()
                    : ", inventory in " + fleet.inventoryOut)
            << "\n"
            << std::flush;
  sims.Wait();
  return 0;
}

}  // namespace modflash::sim
