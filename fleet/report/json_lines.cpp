#include "fleet/report/json_lines.h"

#include <utility>

#include "fleet/text/text.h"

namespace modflash::fleet {

const InputLimits kReportLimits = {32ull * 1024 * 1024, 256 * 1024, 20000,
                                   32};
const InputLimits kRunInfoLimits = {16ull * 1024 * 1024, 16ull * 1024 * 1024,
                                    1, 32};

size_t JsonDepth(const std::string& text, size_t limit) {
  size_t depth = 0;
  size_t deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character, a quote included
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
      if (deepest > limit) return deepest;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

bool ParseBoundedJson(const std::string& text, size_t depth, Json& value,
                      bool& repaired, std::string& reason) {
  repaired = false;
  if (JsonDepth(text, depth) > depth) {
    reason = "nested deeper than " + std::to_string(depth) + " levels";
    return false;
  }
  // The structure is ASCII, so replacing the bytes of a bad sequence keeps
  // it; only a text inside changes.
  std::string valid = ValidUtf8(text);
  repaired = valid != text;
  value = Json::parse(valid, nullptr, false);
  if (value.is_discarded()) {
    reason = "not valid JSON";
    return false;
  }
  return true;
}

namespace {

// Parses one line into `out`, or says why it is left out.
void ParseLine(const std::string& line, size_t number,
               const InputLimits& limits, JsonLines& out) {
  if (line.size() > limits.lineBytes) {
    out.problems.push_back({number,
                            "longer than " + std::to_string(limits.lineBytes) +
                                " bytes",
                            true});
    return;
  }
  Json record;
  bool repaired = false;
  std::string reason;
  if (!ParseBoundedJson(line, limits.depth, record, repaired, reason)) {
    out.problems.push_back({number, reason, true});
    return;
  }
  if (!record.is_object()) {
    out.problems.push_back({number, "not a JSON object", true});
    return;
  }
  if (repaired) {
    out.problems.push_back(
        {number, "not valid UTF-8 (the bad bytes read as U+FFFD)", false});
  }
  out.records.push_back(std::move(record));
}

}  // namespace

JsonLines ParseJsonLines(const std::string& contents,
                         const InputLimits& limits) {
  JsonLines out;
  size_t number = 0;
  size_t lines = 0;
  for (size_t start = 0; start < contents.size();) {
    size_t end = contents.find('\n', start);
    if (end == std::string::npos) end = contents.size();
    std::string line = contents.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    if (++lines > limits.records) {
      out.records.clear();
      out.problems.clear();
      out.error = "more than " + std::to_string(limits.records) + " records";
      return out;
    }
    ParseLine(line, number, limits, out);
  }
  return out;
}

}  // namespace modflash::fleet
