#ifndef MODFLASH_PLATFORM_DESCRIPTOR_LIMIT_H_
#define MODFLASH_PLATFORM_DESCRIPTOR_LIMIT_H_

#include <cstdint>

namespace modflash {

/// Raises the limit of open descriptors (files and sockets) of this process
/// as far as the system lets it, once at start: a simulated reader or a
/// child process takes two or three. Does nothing where there is no such
/// limit.
void RaiseDescriptorLimit();

/// The limit of open descriptors in force; 0 where there is none to speak
/// of.
uint64_t DescriptorLimit();

}  // namespace modflash

#endif  // MODFLASH_PLATFORM_DESCRIPTOR_LIMIT_H_
