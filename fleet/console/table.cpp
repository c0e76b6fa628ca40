#include "fleet/console/table.h"

#include <algorithm>
#include <utility>

#include "fleet/console/lines.h"
#include "fleet/text/text.h"

namespace modflash::fleet {
namespace {

constexpr size_t kGap = 2;         // blanks between columns
constexpr size_t kLeast = 8;       // a cut column keeps this many characters
constexpr char kBelow[] = "    ";  // before a detail below its row

}  // namespace

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

// The widest row: the shown columns and, unless below, the widest last cell.
size_t ConsoleTable::RowWidth(const Layout& layout) const {
  size_t used = 0;
  size_t count = 0;
  const size_t last = columns_.size() - 1;
  for (size_t i = 0; i < last; ++i) {
    if (!layout.shown[i]) continue;
    used += layout.widths[i];
    ++count;
  }
  if (!layout.below) {
    size_t widest = TextWidth(columns_[last].heading);
    for (const auto& row : rows_)
      widest = std::max(widest, TextWidth(row[last]));
    used += widest;
    ++count;
  }
  return used + (count > 0 ? (count - 1) * kGap : 0);
}

ConsoleTable::Layout ConsoleTable::Fit(size_t width) const {
  Layout layout;
  layout.shown.assign(columns_.size(), true);
  for (const Column& c : columns_) layout.widths.push_back(c.width);
  if (width == 0 || columns_.empty()) return layout;
  layout.fitted = true;
  // The droppable columns, the first to go first.
  std::vector<size_t> order;
  for (size_t i = 0; i + 1 < columns_.size(); ++i) {
    if (columns_[i].drop > 0) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return columns_[a].drop > columns_[b].drop;
  });
  for (const bool below : {false, true}) {
    layout.below = below;
    std::fill(layout.shown.begin(), layout.shown.end(), true);
    if (RowWidth(layout) <= width) return layout;
    for (const size_t i : order) {
      layout.shown[i] = false;
      if (RowWidth(layout) <= width) return layout;
    }
  }
  // Still too wide: the growing columns give way, the last first.
  for (size_t i = columns_.size() - 1; i-- > 0;) {
    if (!layout.shown[i] || !columns_[i].grows) continue;
    const size_t over = RowWidth(layout) - std::min(RowWidth(layout), width);
    const size_t spare = layout.widths[i] - std::min(layout.widths[i], kLeast);
    layout.widths[i] -= std::min(over, spare);
  }
  return layout;
}

std::string ConsoleTable::Line(const Layout& layout,
                               const std::vector<std::string>& cells) const {
  std::string line;
  bool first = true;
  const size_t last = columns_.size() - 1;
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (!layout.shown[i] || (i == last && layout.below)) continue;
    if (!first) line += std::string(kGap, ' ');
    first = false;
    // Cut only to a width: otherwise a cell wider than its column shows
    // whole.
    const std::string cell =
        layout.fitted ? CutText(cells[i], layout.widths[i]) : cells[i];
    line += i < last ? Pad(cell, layout.widths[i]) : cell;
  }
  if (layout.fitted) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
  }
  return line;
}

void ConsoleTable::Print(std::ostream& out, size_t width) const {
  const Layout layout = Fit(width);
  std::vector<std::string> headings;
  for (const Column& c : columns_) headings.push_back(c.heading);
  out << Line(layout, headings) << "\n";
  const size_t room = width > sizeof kBelow ? width - (sizeof kBelow - 1) : 1;
  for (const auto& row : rows_) {
    out << Line(layout, row) << "\n";
    if (!layout.below || row.back().empty()) continue;
    for (const std::string& line : WrapWords(row.back(), room)) {
      out << kBelow << line << "\n";
    }
  }
}

}  // namespace modflash::fleet
