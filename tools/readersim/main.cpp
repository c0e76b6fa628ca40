// readersim: the reader and RF-module simulator (see docs/readersim.md).

#include <iostream>
#include <string>
#include <vector>

#include "tools/readersim/command_line.h"
#include "tools/readersim/descriptor_limit.h"
#include "tools/readersim/fleet_sim.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  modflash::sim::RaiseDescriptorLimit();

  // Fleet rehearsal (--readers N, --inventory-out, --faulty): taken out
  // here, the rest of the command line is the single reader's.
  modflash::sim::FleetSimOptions fleet;
  std::string error;
  if (!modflash::sim::ExtractFleetOptions(args, fleet, error)) {
    std::cerr << "readersim: " << error << " (see readersim --help)\n";
    return 2;
  }
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      const int status = modflash::sim::RunReaderSim({"--help"});
      std::cout << modflash::sim::FleetHelpText();
      return status;
    }
  }
  if (fleet.readers > 0) return modflash::sim::RunSimFleet(args, fleet);

  return modflash::sim::RunReaderSim(args);
}
