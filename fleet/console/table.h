#ifndef MODFLASH_FLEET_CONSOLE_TABLE_H_
#define MODFLASH_FLEET_CONSOLE_TABLE_H_

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace modflash::fleet {

/// The longest name the console shows, in characters; longer ones are cut.
inline constexpr size_t kNameWidth = 40;

/// A table for the console, measured in characters: every column but the
/// last padded to its width, two blanks between columns, the header first.
/// A column is `width` wide, or as wide as its widest cell when it `grows`
/// (never past `most`, where its cells are cut; 0: no limit). Cells are
/// given as the console shows them (control bytes escaped).
class ConsoleTable {
 public:
  struct Column {
    std::string heading;
    size_t width = 0;
    bool grows = false;
    size_t most = 0;
  };

  explicit ConsoleTable(std::vector<Column> columns);

  /// One row, a cell a column.
  void Add(std::vector<std::string> cells);

  void Print(std::ostream& out) const;

 private:
  std::string Line(const std::vector<std::string>& cells) const;

  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_CONSOLE_TABLE_H_
