#ifndef MODFLASH_TOOLS_READERSIM_DESCRIPTOR_LIMIT_H_
#define MODFLASH_TOOLS_READERSIM_DESCRIPTOR_LIMIT_H_

#include <cstdint>

namespace modflash::sim {

/// Raises the limit of open descriptors (files and sockets) of this process
/// as far as the system lets it, once at start: a fleet of readers needs two
/// or three each. Does nothing where there is no such limit.
void RaiseDescriptorLimit();

/// The limit of open descriptors in force; 0 where there is none to speak
/// of.
uint64_t DescriptorLimit();

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_DESCRIPTOR_LIMIT_H_
