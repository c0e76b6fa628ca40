#include "fleet/inventory.h"

#include <map>
#include <utility>

namespace modflash::fleet {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool IsIPv4Address(const std::string& text) {
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    const size_t dot = text.find('.', start);
    if ((part < 3) != (dot != std::string::npos)) return false;
    const std::string digits = text.substr(
        start, dot == std::string::npos ? std::string::npos : dot - start);
    if (!AllDigits(digits) || digits.size() > 3 || std::stoi(digits) > 255) {
      return false;
    }
    start = dot + 1;
  }
  return true;
}

std::vector<Reader> ParseInventory(const std::string& text,
                                   std::vector<InventoryError>& errors) {
  std::vector<Reader> readers;
  std::map<std::pair<std::string, int32_t>, int> seen;  // reader -> line
  size_t pos = 0;
  int lineNumber = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;

    size_t split = 0;
    while (split < line.size() && !IsBlank(line[split])) ++split;
    const std::string where = line.substr(0, split);
    Reader reader;
    reader.line = lineNumber;
    reader.name = Trim(line.substr(split));
    const size_t colon = where.find(':');
    reader.address = where.substr(0, colon);
    if (!IsIPv4Address(reader.address)) {
      errors.push_back({lineNumber, "'" + reader.address +
                                        "' is not an IPv4 address (a.b.c.d)"});
      continue;
    }
    if (colon != std::string::npos) {
      const std::string port = where.substr(colon + 1);
      if (!AllDigits(port) || port.size() > 5 || std::stoi(port) < 1 ||
          std::stoi(port) > 16535) {
        errors.push_back({lineNumber, "port '" + port +
                                          "' is not a number from 1 to 16535"});
        continue;
      }
      reader.port = std::stoi(port);
    }
    const std::string key = reader.address + ":" + std::to_string(reader.port);
    const auto [it, added] =
        seen.emplace(std::make_pair(reader.address, reader.port), lineNumber);
    if (!added) {
      errors.push_back({lineNumber, key + " is listed twice (first on line " +
                                        std::to_string(it->second) + ")"});
      continue;
    }
    if (reader.name.empty()) reader.name = key;
    readers.push_back(reader);
  }
  return readers;
}

}  // namespace modflash::fleet
