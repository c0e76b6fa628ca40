#ifndef MODFLASH_FLEET_HANG_UP_H_
#define MODFLASH_FLEET_HANG_UP_H_

#include <cstddef>
#include <string>

#include "fleet/console/display.h"

namespace modflash::fleet {

/// The file in the run folder that takes the console's lines once the
/// terminal has gone.
inline constexpr char kFleetLog[] = "fleet.log";

/// Sends what this program prints on standard output (std::cout) to the
/// end of `path` from now on, each line as it is written; false (nothing
/// changed) when `path` cannot be opened.
bool MoveConsoleToLog(const std::string& path);

/// After a hang-up: plain lines from now on, in `folder`/fleet.log, and a
/// note of what becomes of the run, with its `updates` running updates.
void FollowHangUp(Display& display, const std::string& folder, size_t updates);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_HANG_UP_H_
