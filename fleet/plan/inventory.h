#ifndef MODFLASH_FLEET_INVENTORY_H_
#define MODFLASH_FLEET_INVENTORY_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fleet/report/record.h"

namespace modflash::fleet {

/// A rejected inventory line.
struct InventoryError {
  int line = 0;
  std::string message;
};

/// Looks up the IPv4 addresses of a host name, in the resolver's order;
/// false with `error` (the reason) when it has none.
using Resolver = std::function<bool(const std::string& host,
                                    std::vector<std::string>& addresses,
                                    std::string& error)>;

/// The system's resolver.
bool ResolveHost(const std::string& host, std::vector<std::string>& addresses,
                 std::string& error);

/// Reads an inventory: one reader a line, `host` or `host:port`, where host
/// is an IPv4 address or a host name, optionally followed by whitespace and
/// a name. Blank lines, `#` comments and a UTF-8 byte-order mark are
/// skipped; a name's invalid UTF-8 becomes U+FFFD. Host names are resolved
/// here, the first IPv4 address used (and a note kept when there were
/// several). Every line is checked; `errors` lists each bad address, host
/// name that does not resolve, port outside 1..16535 and reader listed
/// twice (by address and port), in line order.
std::vector<Reader> ParseInventory(const std::string& text,
                                   std::vector<InventoryError>& errors,
                                   const Resolver& resolve = ResolveHost);

/// Checks one entry, `host` or `host:port`, into `reader` (host, address,
/// port, note). "" when it is good, else what is wrong.
std::string ParseEntry(const std::string& entry, const Resolver& resolve,
                       Reader& reader);

/// Limits on an inventory file: its size and its lines.
inline constexpr uintmax_t kMaxInventoryBytes = 16u << 20;
inline constexpr size_t kMaxInventoryLines = 200000;

/// Reads the inventory file `path` whole into `text`: a regular file of at
/// most kMaxInventoryBytes and kMaxInventoryLines lines. False with
/// `error` set, naming the file, when it cannot be read or is too large.
bool ReadInventoryFile(const std::string& path, std::string& text,
                       std::string& error);

/// True for a dotted-quad IPv4 address: four decimal parts of 0..255,
/// without leading zeros (which some systems read as octal).
bool IsIPv4Address(const std::string& text);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_INVENTORY_H_
