#ifndef MODFLASH_FLEET_SYSTEM_H_
#define MODFLASH_FLEET_SYSTEM_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace modflash::fleet {

/// A child's exit status as the program returned it: -1 for modflash's
/// failure, whether the system reports 255 (POSIX) or 0xFFFFFFFF (Windows).
int SignedExitStatus(int status);

/// The exit status as the system reports it: 0 to 255 on POSIX, the
/// unsigned 32-bit exit code on Windows.
long long RawExitStatus(int status);

/// The IPv4 addresses that the system's resolver gives for `host`, in its
/// order, as their four bytes. False with `error` set (the resolver's
/// reason) when the look-up failed.
bool LookUpIPv4(const std::string& host,
                std::vector<std::array<uint8_t, 4>>& addresses,
                std::string& error);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_SYSTEM_H_
