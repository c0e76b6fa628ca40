#include "fleet/plan/inventory.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>

#include "contract/port.h"
#include "fleet/system/system.h"
#include "fleet/text/text.h"

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

// `text` without the one dot that may end a fully qualified name.
std::string WithoutRootDot(const std::string& text) {
  return text.size() > 1 && text.back() == '.' ? text.substr(0, text.size() - 1)
                                               : text;
}

// A host name of letters, digits and hyphens in dot-separated labels of 1
// to 63 characters, neither starting nor ending with a hyphen; a fully
// qualified name may end with a dot ("reader-7.hall2.").
bool IsHostName(const std::string& given) {
  const std::string text = WithoutRootDot(given);
  if (text.empty() || text.size() > 253) return false;
  size_t label = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (label == 0 || label > 63 || text[i - 1] == '-') return false;
      label = 0;
      continue;
    }
    const char c = text[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    if (label == 0 && c == '-') return false;
    ++label;
  }
  return true;
}

// Whether `text` is an IPv4 address in one of the other notations that
// resolvers take ("0x7f.0.0.1", "0x7f000001", "127.1", octal "0177.0.0.1"):
// one to four labels, each decimal, octal or 0x-hexadecimal. Such a text is
// refused as an address rather than looked up as a name.
bool IsOtherAddressNotation(const std::string& given) {
  const std::string text = WithoutRootDot(given);
  size_t labels = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t dot = text.find('.', start);
    if (dot == std::string::npos) dot = text.size();
    const std::string label = text.substr(start, dot - start);
    const bool hex = label.size() >= 2 && label[0] == '0' &&
                     (label[1] == 'x' || label[1] == 'X') &&
                     label.find_first_not_of("0123456789abcdefABCDEF", 2) ==
                         std::string::npos;
    if (!hex && !AllDigits(label)) return false;
    ++labels;
    start = dot + 1;
  }
  return labels <= 4;
}

std::string NotAnAddress(const std::string& host) {
  return "'" + host +
         "' is not an IPv4 address (a.b.c.d, without leading zeros)";
}

// Finds the address of `host` into `reader`; "" or what is wrong.
std::string Locate(const std::string& host, const Resolver& resolve,
                   Reader& reader) {
  if (host.find_first_not_of("0123456789.") == std::string::npos) {
    if (IsIPv4Address(host)) {
      reader.address = host;
      return "";
    }
    return NotAnAddress(host);
  }
  if (IsOtherAddressNotation(host)) return NotAnAddress(host);
  if (!IsHostName(host)) {
    return "'" + Shown(host) + "' is neither an IPv4 address nor a host name";
  }
  std::vector<std::string> addresses;
  std::string reason;
  // A hosts file lists names without the root's dot: a fully qualified
  // name that does not resolve as written is looked up without it.
  const bool found =
      (resolve(host, addresses, reason) && !addresses.empty()) ||
      (WithoutRootDot(host) != host &&
       resolve(WithoutRootDot(host), addresses, reason) && !addresses.empty());
  if (!found) {
    return "host name '" + host + "' does not resolve to an IPv4 address (" +
           (reason.empty() ? "no address" : reason) + ")";
  }
  reader.address = addresses.front();
  if (addresses.size() > 1) {
    reader.note = host + " resolves to " + std::to_string(addresses.size()) +
                  " IPv4 addresses; the first, " + addresses.front() +
                  ", is used";
  }
  return "";
}

}  // namespace

bool IsIPv4Address(const std::string& text) {
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    const size_t dot = text.find('.', start);
    if ((part < 3) != (dot != std::string::npos)) return false;
    const std::string digits = text.substr(
        start, dot == std::string::npos ? std::string::npos : dot - start);
    if (!AllDigits(digits) || digits.size() > 3 || std::stoi(digits) > 255 ||
        (digits.size() > 1 && digits[0] == '0')) {
      return false;
    }
    start = dot + 1;
  }
  return true;
}

bool ResolveHost(const std::string& host, std::vector<std::string>& addresses,
                 std::string& error) {
  std::vector<std::array<uint8_t, 4>> found;
  if (!LookUpIPv4(host, found, error)) return false;
  for (const auto& b : found) {
    const std::string text = std::to_string(b[0]) + "." + std::to_string(b[1]) +
                             "." + std::to_string(b[2]) + "." +
                             std::to_string(b[3]);
    bool seen = false;
    for (const std::string& a : addresses) seen = seen || a == text;
    if (!seen) addresses.push_back(text);
  }
  if (addresses.empty()) error = "no IPv4 address";
  return !addresses.empty();
}

std::string ParseEntry(const std::string& entry, const Resolver& resolve,
                       Reader& reader) {
  const size_t colon = entry.find(':');
  reader.host = entry.substr(0, colon);
  const std::string problem = Locate(reader.host, resolve, reader);
  if (!problem.empty()) return problem;
  if (colon == std::string::npos) return "";
  const std::string port = entry.substr(colon + 1);
  if (!output::ParsePort(port, reader.port)) {
    return "port '" + Shown(port) + "' is not a number from " +
           std::to_string(output::kLowestPort) + " to " +
           std::to_string(output::kHighestPort);
  }
  return "";
}

std::vector<Reader> ParseInventory(const std::string& text,
                                   std::vector<InventoryError>& errors,
                                   const Resolver& resolve) {
  std::vector<Reader> readers;
  std::map<std::pair<std::string, int32_t>, int> seen;  // reader -> line
  const std::string bom = "\xEF\xBB\xBF";
  size_t pos = text.compare(0, bom.size(), bom) == 0 ? bom.size() : 0;
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
    Reader reader;
    reader.line = lineNumber;
    reader.name = ValidUtf8(Trim(line.substr(split)));
    const std::string problem =
        ParseEntry(line.substr(0, split), resolve, reader);
    if (!problem.empty()) {
      errors.push_back({lineNumber, problem});
      continue;
    }
    const std::string key = reader.address + ":" + std::to_string(reader.port);
    const std::string shown = reader.host == reader.address
                                  ? key
                                  : reader.host + ":" +
                                        std::to_string(reader.port) + " (" +
                                        key + ")";
    const auto [it, added] =
        seen.emplace(std::make_pair(reader.address, reader.port), lineNumber);
    if (!added) {
      errors.push_back({lineNumber, shown + " is listed twice (first on line " +
                                        std::to_string(it->second) + ")"});
      continue;
    }
    if (reader.name.empty()) {
      reader.name = reader.host + ":" + std::to_string(reader.port);
    }
    readers.push_back(reader);
  }
  return readers;
}

bool ReadInventoryFile(const std::string& path, std::string& text,
                       std::string& error) {
  namespace fs = std::filesystem;
  text.clear();
  std::error_code ec;
  // A folder would make the read throw: only a regular file is opened.
  std::ifstream in;
  if (fs::is_regular_file(path, ec)) in.open(path, std::ios::binary);
  if (!in.is_open()) {
    error = "cannot read the inventory " + path;
    return false;
  }
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kMaxInventoryBytes) {
    error = "the inventory " + path + " is larger than 16 MiB";
    return false;
  }
  // Read no further than the limit, whatever the file has become since.
  text.resize(static_cast<size_t>(kMaxInventoryBytes) + 1);
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxInventoryBytes) {
    error = "the inventory " + path + " is larger than 16 MiB";
    text.clear();
    return false;
  }
  if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >=
      kMaxInventoryLines) {
    error = "the inventory " + path + " has more than " +
            std::to_string(kMaxInventoryLines) + " lines";
    text.clear();
    return false;
  }
  return true;
}

}  // namespace modflash::fleet
