#ifndef MODFLASH_FLEET_INVENTORY_H_
#define MODFLASH_FLEET_INVENTORY_H_

#include <cstdint>
#include <string>
#include <vector>

namespace modflash::fleet {

/// The port a reader listens on when its inventory line names none.
inline constexpr int32_t kDefaultReaderPort = 5000;

/// One reader of the inventory.
struct Reader {
  std::string name;     ///< as written, or "address:port" when none was
  std::string address;  ///< dotted IPv4 address
  int32_t port = kDefaultReaderPort;
  int line = 0;  ///< line number in the inventory file, from 1
};

/// A rejected inventory line.
struct InventoryError {
  int line = 0;
  std::string message;
};

/// Reads an inventory: one reader a line, `address` or `address:port`,
/// optionally followed by whitespace and a name. Blank lines and `#`
/// comments are skipped. Every line is checked; `errors` lists each bad
/// address, port outside 1..16535 and repeated reader, in line order.
std::vector<Reader> ParseInventory(const std::string& text,
                                   std::vector<InventoryError>& errors);

/// True for a dotted-quad IPv4 address (four decimal parts of 0..255).
bool IsIPv4Address(const std::string& text);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_INVENTORY_H_
