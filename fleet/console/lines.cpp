#include "fleet/console/lines.h"

#include "fleet/system/terminal.h"
#include "fleet/text/text.h"

namespace modflash::fleet {

size_t ConsoleWidth() {
  int rows = 0;
  int columns = 0;
  if (!TerminalSize(rows, columns) || columns < 2) return 0;
  return static_cast<size_t>(columns - 1);
}

std::vector<std::string> FitFields(const std::vector<std::string>& fields,
                                   const std::string& separator, size_t width,
                                   const std::string& indent) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    // A separator that ends in a blank leaves it out at a line's end.
    const bool last = i + 1 == fields.size();
    std::string cell = fields[i];
    if (!last) cell += separator;
    std::string trimmed = cell;
    while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
    const bool fresh = line.empty() || line == indent;
    if (!fresh && width > 0 && TextWidth(line + trimmed) > width) {
      while (!line.empty() && line.back() == ' ') line.pop_back();
      lines.push_back(line);
      line = indent;
    }
    line += cell;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (!line.empty() || lines.empty()) lines.push_back(line);
  return lines;
}

std::vector<std::string> WrapWords(const std::string& text, size_t width,
                                   const std::string& indent) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (;;) {
    const size_t end = text.find('\n', from);
    const std::string paragraph = text.substr(from, end - from);
    if (width == 0) {  // no limit: each line as it is
      lines.push_back(paragraph);
      if (end == std::string::npos) return lines;
      from = end + 1;
      continue;
    }
    std::vector<std::string> words;
    // A paragraph's own indent stays before its first word.
    size_t at = paragraph.find_first_not_of(' ');
    if (at == std::string::npos) at = paragraph.size();
    const std::string lead = paragraph.substr(0, at);
    while (at < paragraph.size()) {
      const size_t blank = paragraph.find(' ', at);
      const size_t stop = blank == std::string::npos ? paragraph.size() : blank;
      if (stop > at) words.push_back(paragraph.substr(at, stop - at));
      at = stop + 1;
    }
    if (!words.empty()) words.front() = lead + words.front();
    const std::vector<std::string> fitted =
        FitFields(words, " ", width, indent);
    lines.insert(lines.end(), fitted.begin(), fitted.end());
    if (end == std::string::npos) return lines;
    from = end + 1;
  }
}

std::string ShortList(const std::vector<std::string>& items, size_t width) {
  std::string all;
  for (const std::string& item : items) all += (all.empty() ? "" : ", ") + item;
  if (width == 0 || TextWidth(all) <= width || items.size() < 2) return all;
  const std::string count = ", ... (" + std::to_string(items.size()) + ")";
  std::string text = items[0];
  for (size_t i = 1; i < items.size(); ++i) {
    const std::string longer = text + ", " + items[i];
    if (TextWidth(longer + count) > width) break;
    text = longer;
  }
  return text + count;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

}  // namespace modflash::fleet
