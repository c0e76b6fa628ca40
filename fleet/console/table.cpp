#include "fleet/console/table.h"

#include <algorithm>
#include <utility>

#include "fleet/text/text.h"

namespace modflash::fleet {

ConsoleTable::ConsoleTable(std::vector<Column> columns)
    : columns_(std::move(columns)) {
  for (Column& c : columns_) c.width = std::max(c.width, TextWidth(c.heading));
}

void ConsoleTable::Add(std::vector<std::string> cells) {
  cells.resize(columns_.size());
  for (size_t i = 0; i < columns_.size(); ++i) {
    Column& c = columns_[i];
    if (c.most > 0) cells[i] = CutText(cells[i], c.most);
    if (c.grows) c.width = std::max(c.width, TextWidth(cells[i]));
  }
  rows_.push_back(std::move(cells));
}

std::string ConsoleTable::Line(const std::vector<std::string>& cells) const {
  std::string line;
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (i > 0) line += "  ";
    line +=
        i + 1 < columns_.size() ? Pad(cells[i], columns_[i].width) : cells[i];
  }
  return line;
}

void ConsoleTable::Print(std::ostream& out) const {
  std::vector<std::string> headings;
  for (const Column& c : columns_) headings.push_back(c.heading);
  out << Line(headings) << "\n";
  for (const auto& row : rows_) out << Line(row) << "\n";
}

}  // namespace modflash::fleet
