// How close the simulator's line timing comes to the serial line: the same
// transfer through the real controller, paced at 115200 and unpaced. What
// pacing adds over the host's own cost should be the line time. Reports,
// never judges: the figure depends on the host.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <vector>

#include "link/ethernet_update_comm.h"
#include "protocol/update_controller.h"
#include "tools/readersim/simulator.h"

namespace {

using modflash::UpdateController;
using modflash::sim::SimOptions;
using modflash::sim::Simulator;

constexpr uint32_t kBase = 0x404000;

/// Seconds that `count` slices take through a fresh controller at 115200,
/// or -1 when the exchange failed.
double TimeTransfer(bool lineTiming, uint32_t count) {
  std::ostringstream log;
  SimOptions options;
  options.port = 0;
  options.rate = 115200;
  options.lineTiming = lineTiming;
  options.log = &log;
  Simulator sim(options);
  if (!sim.Start()) return -1;
  // The controller's own lines would clutter the report.
  std::ostringstream quiet;
  std::streambuf* const saved = std::cout.rdbuf(quiet.rdbuf());
  double took = -1;
  {
    UpdateController controller(std::make_unique<modflash::EthernetUpdateComm>(
        "127.0.0.1", sim.port()));
    controller.InitiateFirmwareUpdate();
    controller.Delay(options.prepareRestartMs + 50);
    if (controller.EnterUpdateMode()) {
      const std::vector<uint8_t> slice(32, 0x5A);
      const auto start = std::chrono::steady_clock::now();
      uint32_t i = 0;
      while (i < count && controller.SendCodePacket(kBase + 32 * i,
                                                    slice.data(), 32, false)) {
        ++i;
      }
      if (i == count) {
        took = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                             start)
                   .count();
      }
    }
    controller.CloseLink();
  }
  std::cout.rdbuf(saved);
  sim.Stop();
  return took;
}

double BestOf(int runs, bool lineTiming, uint32_t count) {
  double best = -1;
  for (int i = 0; i < runs; ++i) {
    const double took = TimeTransfer(lineTiming, count);
    if (took < 0) return -1;
    best = best < 0 ? took : std::min(best, took);
  }
  return best;
}

}  // namespace

int main() {
  // Each exchange: the 64-byte packet out, the 20-byte answer back.
  constexpr uint32_t kCount = 300;
  const double line = kCount * (64 + 20) * 10.0 / 115200;
  const double unpaced = BestOf(3, false, kCount);
  const double paced = BestOf(3, true, kCount);
  if (unpaced < 0 || paced < 0) {
    std::printf("line timing: the transfer failed\n");
    return 1;
  }
  const double added = paced - unpaced;
  std::printf(
      "line timing at 115200, %u slices through the controller (best of 3):\n"
      "  line time %.3f s; paced %.3f s (%+.1f%%); unpaced %.3f s\n"
      "  pacing adds %.3f s, %+.1f%% against the line time (target: within "
      "5%%)\n",
      kCount, line, paced, (paced / line - 1) * 100, unpaced, added,
      (added / line - 1) * 100);
  return 0;
}
