// readersim: the reader and RF-module simulator (see docs/readersim.md).

#include <string>
#include <vector>

#include "tools/readersim/command_line.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return modflash::sim::RunReaderSim(args);
}
