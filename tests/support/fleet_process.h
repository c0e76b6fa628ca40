#ifndef MODFLASH_TESTS_SUPPORT_FLEET_PROCESS_H_
#define MODFLASH_TESTS_SUPPORT_FLEET_PROCESS_H_

// modflash-fleet run as a child of a test, its output followed; and the
// checks of a rollout's end against what the rehearsal readers saw.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process/child_process.h"
#include "tools/readersim/fleet_sim.h"

namespace modflash::testing {

class FleetProcess {
 public:
  using Clock = std::chrono::steady_clock;

  /// Starts modflash-fleet with `args`, its output on a pipe to us and
  /// its standard error in `errorFile`.
  void Start(const std::vector<std::string>& args,
             const std::string& errorFile) {
    child_ = std::make_unique<process::ChildProcess>();
    process::StartOptions options;
    options.errorFile = errorFile;
    std::string error;
    ASSERT_TRUE(child_->Start(MODFLASH_FLEET_BIN, args, options, error))
        << error;
  }

  /// Reads the fleet's output for `ms` milliseconds; false when it ended.
  bool Follow(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
      if (!child_->ReadOutput(out_)) return false;
      process::ChildProcess::WaitForAny({child_.get()}, 50);
    }
    return true;
  }

  /// Reads until `ready` holds; false when the fleet ended first or
  /// `limit` passed.
  template <typename Ready>
  bool FollowUntil(Ready ready, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (ready()) return true;
      if (!Follow(100)) return ready();
    }
    return false;
  }

  /// The rest of the output and the fleet's end; killed after `limit`.
  process::ChildExit ReadToTheEnd(std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Follow(200)) {
      if (Clock::now() > deadline) child_->Kill();
    }
    return child_->Wait();
  }

  process::ChildProcess& child() { return *child_; }
  const std::string& out() const { return out_; }

 private:
  std::unique_ptr<process::ChildProcess> child_;
  std::string out_;
};

/// No update was cut: every connection that began a transfer left the
/// image whole in its reader's flash.
inline void ExpectNoTransferCut(sim::SimFleet& fleet,
                                const std::string& context) {
  for (size_t i = 0; i < fleet.size(); ++i) {
    for (const auto& c : fleet.reader(i).Connections()) {
      if (c.updatePackets == 0) continue;
      EXPECT_TRUE(c.flashMatchesExpect) << "reader " << i + 1 << ", connection "
                                        << c.number << ": a transfer was cut\n"
                                        << context;
    }
  }
}

/// What each connection brought ("1: 38x1 3Ax1 FAx6407, 6402 packets,
/// the image"), so that one too many tells what it was.
inline std::string Described(const std::vector<sim::ConnectionStats>& all) {
  std::string text;
  for (const auto& c : all) {
    text += "\n  " + std::to_string(c.number) + ": " +
            sim::ReceivedTypes(c.received) + ", " +
            std::to_string(c.updatePackets) + " packets, " +
            (c.flashMatchesExpect ? "the image" : "not the image");
  }
  return text;
}

/// Each reader of a run was updated `updates` times, each one whole, and
/// its record of the last run tells what its flash holds. The run's readers
/// are the fleet's from `first` on, one a record.
inline void ExpectEachRecordTellsTheFlash(
    sim::SimFleet& fleet, const std::vector<nlohmann::json>& records,
    size_t updates, const std::string& context, size_t first = 0) {
  ASSERT_FALSE(records.empty()) << context;
  ASSERT_LE(first + records.size(), fleet.size()) << context;
  for (size_t n = 0; n < records.size(); ++n) {
    const size_t i = first + n;
    const auto connections = fleet.reader(i).Connections();
    // A second update, at once or later, would show as one connection
    // more; a cut one as flash that is not the image.
    ASSERT_EQ(connections.size(), updates)
        << "reader " << i + 1 << ": " << Described(connections) << "\n"
        << context;
    EXPECT_EQ(records[n]["outcome"] == "updated",
              connections.back().flashMatchesExpect)
        << records[n].dump() << "\n"
        << context;
  }
  ExpectNoTransferCut(fleet, context);
}

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SUPPORT_FLEET_PROCESS_H_
