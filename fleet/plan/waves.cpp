#include "fleet/plan/waves.h"

#include <cmath>
#include <cstdlib>

namespace modflash::fleet {
namespace {

// A plain decimal number ("12", "2.5"), with an optional "%" when
// `percentAllowed`.
bool ParseNumber(std::string text, bool percentAllowed, double& value,
                 bool& percent) {
  percent = !text.empty() && text.back() == '%';
  if (percent) text.pop_back();
  if (percent && !percentAllowed) return false;
  if (text.empty() ||
      text.find_first_not_of("0123456789.") != std::string::npos ||
      text.front() == '.' || text.back() == '.') {
    return false;
  }
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end != nullptr && *end == '\0';
}

}  // namespace

bool ParseWaves(const std::string& text, std::vector<WaveSize>& sizes,
                std::string& error) {
  sizes.clear();
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(
        start, comma == std::string::npos ? std::string::npos : comma - start);
    WaveSize size;
    const bool number = ParseNumber(item, true, size.value, size.percent);
    const bool whole = size.percent || size.value == std::floor(size.value);
    if (!number || !whole || size.value <= 0 ||
        (size.percent && size.value > 100)) {
      error = "--waves: '" + item +
              "' is no wave size (a count of 1 or more, or a share above 0% "
              "and at most 100%)";
      return false;
    }
    sizes.push_back(size);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

std::vector<size_t> WavePlan(const std::vector<WaveSize>& sizes,
                             size_t readers) {
  std::vector<size_t> plan;
  size_t planned = 0;
  for (size_t i = 0; planned < readers; ++i) {
    size_t size = readers;
    if (!sizes.empty()) {
      const WaveSize& s = sizes[std::min(i, sizes.size() - 1)];
      const double wanted =
          s.percent ? std::ceil(s.value * static_cast<double>(readers) / 100)
                    : s.value;
      size = std::max<size_t>(1, static_cast<size_t>(wanted));
    }
    size = std::min(size, readers - planned);
    plan.push_back(size);
    planned += size;
  }
  return plan;
}

bool ParseFailureRate(const std::string& text, double& percent,
                      std::string& error) {
  bool sign = false;
  if (!ParseNumber(text, true, percent, sign) || percent >= 100) {
    error = "--max-failure-rate: '" + text +
            "' is no share of failures (0% up to but not including 100%)";
    return false;
  }
  return true;
}

std::string WaveList(const std::vector<size_t>& waves) {
  std::string text;
  for (const size_t w : waves) {
    text += (text.empty() ? "" : ", ") + std::to_string(w);
  }
  return text;
}

}  // namespace modflash::fleet
