#ifndef MODFLASH_TESTS_SUPPORT_PORTS_H_
#define MODFLASH_TESTS_SUPPORT_PORTS_H_

// Loopback ports for tests that start a server in another process or need
// one that nothing listens on.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace modflash::testing {

/// `count` different loopback ports from 6000 to 9999 that were free a
/// moment ago (bound together, then let go), apart from those that
/// listeners on port 0 take; 0 for one that could not be bound.
std::vector<uint16_t> FreeLoopbackPorts(size_t count);
/// One such port.
uint16_t FreeLoopbackPort();
/// Connects to 127.0.0.1:`port` until something accepts (about 10 s at
/// most); true once it did.
bool AwaitListener(uint16_t port);

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SUPPORT_PORTS_H_
