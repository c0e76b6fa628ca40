// readersim: the reader and RF-module simulator (see docs/readersim.md).

#include <string>
#include <vector>

#include "tools/readersim/command_line.h"
#include "platform/descriptor_limit.h"

int main(int argc, char** argv) {
  modflash::RaiseDescriptorLimit();
  return modflash::sim::RunReaderSim(
      std::vector<std::string>(argv + 1, argv + argc));
}
