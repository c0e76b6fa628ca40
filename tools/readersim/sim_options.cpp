#include "tools/readersim/sim_options.h"

namespace modflash::sim {

int32_t RateForCode(uint8_t code) { return code <= 3 ? 115200 << code : 0; }

int RateCode(int32_t rate) {
  for (uint8_t code = 0; code <= 3; ++code) {
    if (RateForCode(code) == rate) return code;
  }
  return -1;
}

}  // namespace modflash::sim
