#ifndef MODFLASH_TOOLS_READERSIM_FLEET_SIM_H_
#define MODFLASH_TOOLS_READERSIM_FLEET_SIM_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/readersim/command_line.h"
#include "tools/readersim/sim_options.h"
#include "tools/readersim/simulator.h"

namespace modflash::sim {

/// The options of each reader of the fleet: all take the general options of
/// `given` (port 0, so each gets a free port, and a flash file of its own);
/// only the faulty ones take its fault options.
std::vector<SimOptions> FleetReaderOptions(const SimOptions& given,
                                           const FleetSimOptions& fleet);

/// The open descriptors (files and sockets) a fleet of `readers` with the
/// options `given` needs at most, the process's own included.
uint64_t DescriptorsNeeded(const SimOptions& given, uint32_t readers);

/// N independent readers, each with its own module, flash and faults, on
/// its own loopback port; one event loop per core serves them all. Log
/// lines name their reader.
class SimFleet {
 public:
  explicit SimFleet(std::ostream* log) : log_(log) {}
  ~SimFleet();
  SimFleet(const SimFleet&) = delete;
  SimFleet& operator=(const SimFleet&) = delete;

  /// Starts one reader per entry; false when one could not listen.
  bool Start(const std::vector<SimOptions>& readers);
  void Stop();
  void Wait();
  Simulator& reader(size_t i) { return *readers_[i]; }
  size_t size() const { return readers_.size(); }
  /// After a failed Start(): whether the reader that could not listen ran
  /// out of descriptors.
  bool outOfDescriptors() const { return outOfDescriptors_; }
  /// One line per reader: "127.0.0.1:PORT reader-K".
  std::string Inventory() const;

 private:
  void ReleaseReserve();

  std::ostream* log_;
  net::SocketLayerSession sockets_;
  /// A few descriptors held from Start() until the readers are stopped:
  /// stopping them needs some, also when they have used up all others (the
  /// sanitizers' checks open pipes, for one).
  std::vector<net::SocketHandle> reserve_;
  bool outOfDescriptors_ = false;
  std::vector<std::unique_ptr<std::ostream>> streams_;
  /// Declared before the readers, whose tasks they run.
  std::vector<std::unique_ptr<EventLoop>> loops_;
  std::vector<std::unique_ptr<Simulator>> readers_;
};

/// Serves the fleet of `line` for the readersim program until it is
/// stopped; returns the exit status.
int RunSimFleet(const CommandLine& line);

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_FLEET_SIM_H_
