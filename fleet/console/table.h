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
///
/// Printed to a width, a row that would be wider loses the columns that
/// may be dropped (`drop`, the highest first) until it fits; when even
/// that is not enough the last column (the detail) goes on lines of its own
/// below the row, indented, its words wrapped, and the growing columns are
/// cut to what is left (never below 8 characters).
class ConsoleTable {
 public:
  struct Column {
    std::string heading;
    size_t width = 0;
    bool grows = false;
    size_t most = 0;
    int drop = 0;  ///< 0: always shown; otherwise dropped, highest first
  };

  explicit ConsoleTable(std::vector<Column> columns);

  /// One row, a cell a column.
  void Add(std::vector<std::string> cells);

  /// `width` 0: every row whole on one line.
  void Print(std::ostream& out, size_t width = 0) const;

 private:
  // Which columns show, how wide, and whether the last goes below.
  struct Layout {
    std::vector<bool> shown;
    std::vector<size_t> widths;
    bool below = false;
    bool fitted = false;  ///< to a width: no blanks at a line's end
  };

  Layout Fit(size_t width) const;
  size_t RowWidth(const Layout& layout) const;
  std::string Line(const Layout& layout,
                   const std::vector<std::string>& cells) const;

  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_CONSOLE_TABLE_H_
