// modflash-fleet: updates many readers at once (see docs/fleet.md).

#include "fleet/cli/fleet_main.h"

int main(int argc, char** argv) {
  return modflash::fleet::FleetMain(argc, argv);
}
