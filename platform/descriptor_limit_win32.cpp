#include "platform/descriptor_limit.h"

namespace modflash {

// Windows has no per-process limit of sockets to raise.
void RaiseDescriptorLimit() {}

uint64_t DescriptorLimit() { return 0; }

}  // namespace modflash
