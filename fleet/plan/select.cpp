#include "fleet/plan/select.h"

namespace modflash::fleet {

bool GlobMatch(const std::string& pattern, const std::string& text) {
  size_t p = 0;
  size_t t = 0;
  // The last star seen and the text position it was tried with: on a
  // mismatch the star takes one more character, so each star is tried at
  // each text position at most once.
  size_t star = std::string::npos;
  size_t retry = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      retry = t;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++retry;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool MatchesAny(const std::vector<std::string>& patterns,
                const Reader& reader) {
  const std::string port = ":" + std::to_string(reader.port);
  for (const std::string& pattern : patterns) {
    if (GlobMatch(pattern, reader.name) ||
        GlobMatch(pattern, reader.host + port) ||
        GlobMatch(pattern, reader.address + port)) {
      return true;
    }
  }
  return false;
}

std::vector<Reader> SelectReaders(const std::vector<Reader>& readers,
                                  const std::vector<std::string>& only,
                                  const std::vector<std::string>& skip) {
  std::vector<Reader> selected;
  for (const Reader& r : readers) {
    if ((only.empty() || MatchesAny(only, r)) && !MatchesAny(skip, r)) {
      selected.push_back(r);
    }
  }
  return selected;
}

}  // namespace modflash::fleet
