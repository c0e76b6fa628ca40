#ifndef MODFLASH_FLEET_FLEET_MAIN_H_
#define MODFLASH_FLEET_FLEET_MAIN_H_

#include "fleet/cli/exit_status.h"

namespace modflash::fleet {

/// The whole program: command line, checks, the run, the report.
int FleetMain(int argc, char** argv);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_FLEET_MAIN_H_
