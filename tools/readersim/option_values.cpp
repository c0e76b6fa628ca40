#include "tools/readersim/option_values.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace modflash::sim {
namespace {

bool TakeNumber(const std::string& text, uint32_t max, uint32_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > max) {
    return false;
  }
  value = static_cast<uint32_t>(parsed);
  return true;
}

bool TakeVersion(const std::string& text, Version& version) {
  uint32_t parts[3];
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t dot = text.find('.', start);
    if ((i < 2) != (dot != std::string::npos)) return false;
    const std::string part =
        text.substr(start, i < 2 ? dot - start : std::string::npos);
    if (part.empty() ||
        part.find_first_not_of("0123456789") != std::string::npos ||
        !TakeNumber(part, 255, parts[i])) {
      return false;
    }
    start = dot + 1;
  }
  version.major = static_cast<uint8_t>(parts[0]);
  version.minor = static_cast<uint8_t>(parts[1]);
  version.patch = static_cast<uint8_t>(parts[2]);
  return true;
}

}  // namespace

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    fields.push_back(text.substr(start, at - start));
    if (at == std::string::npos) return fields;
    start = at + 1;
  }
}

namespace {

// The longest gap of --duplicate-answer and --extra-status.
constexpr uint32_t kMaxGapMs = 10000;

}  // namespace

bool TakeNumberField(const std::string& text, uint32_t max, uint32_t& value) {
  return TakeNumber(text, max, value);
}

std::string ParseNumber(const std::string& text, uint32_t max,
                        uint32_t& value) {
  return TakeNumber(text, max, value)
             ? ""
             : "is not a number from 0 to " + std::to_string(max);
}

std::string ParseVersion(const std::string& text, Version& version) {
  return TakeVersion(text, version) ? ""
                                    : "is not a version X.Y.Z (each 0 to 255)";
}

std::string ParseRate(const std::string& text, int32_t& rate) {
  uint32_t n = 0;
  std::string what = ParseNumber(text, 0x7FFFFFFF, n);
  if (!what.empty()) return what;
  if (RateCode(static_cast<int32_t>(n)) < 0) {
    return "is not 115200, 230400, 460800 or 921600";
  }
  rate = static_cast<int32_t>(n);
  return "";
}

std::string ParseByte(const std::string& text, uint8_t& value) {
  uint32_t n = 0;
  std::string what = ParseNumber(text, 255, n);
  if (what.empty()) value = static_cast<uint8_t>(n);
  return what;
}

std::string ParseRefuseSlice(const std::string& text, SimOptions& o) {
  const std::vector<std::string> f = Split(text, ':');
  uint32_t address = 0, times = 1, status = 0x03;
  if (f.size() > 3 || !TakeNumber(f[0], 0xFFFFFFFFu, address) ||
      (f.size() > 1 && !TakeNumber(f[1], 0xFFFFFFFFu, times)) ||
      (f.size() > 2 && !TakeNumber(f[2], 255, status))) {
    return "is not ADDR[:TIMES[:STATUS]]";
  }
  o.refuseAddress = address;
  o.refuseTimes = times;
  o.refuseStatus = static_cast<uint8_t>(status);
  return "";
}

std::string ParseShortStatus(const std::string& text, SimOptions& o) {
  const std::vector<std::string> f = Split(text, ':');
  uint32_t packet = 0, length = 8;
  if (f.size() > 2 || !TakeNumber(f[0], 0xFFFFFFFFu, packet) ||
      (f.size() > 1 && (!TakeNumber(f[1], 17, length) || length == 0))) {
    return "is not N[:LEN] with LEN from 1 to 17";
  }
  o.shortStatusPacket = packet;
  o.shortStatusLength = static_cast<uint8_t>(length);
  return "";
}

std::string ParseLowLength(const std::string& text, SimOptions& o) {
  const std::vector<std::string> f = Split(text, ':');
  uint32_t frame = 0, length = 6;
  if (f.size() > 2 || !TakeNumber(f[0], 0xFFFFFFFFu, frame) ||
      (f.size() > 1 && (!TakeNumber(f[1], 7, length) || length < 4))) {
    return "is not N[:L] with L from 4 to 7";
  }
  o.lowLengthFrame = frame;
  o.lowLengthValue = static_cast<uint8_t>(length);
  return "";
}

std::string ParseOversize(const std::string& text, SimOptions& o) {
  const std::vector<std::string> f = Split(text, ':');
  uint32_t frame = 0, size = 100;
  if (f.size() > 2 || !TakeNumber(f[0], 0xFFFFFFFFu, frame) ||
      (f.size() > 1 && (!TakeNumber(f[1], 247, size) || size < 65))) {
    return "is not N[:SIZE] with SIZE from 65 to 247";
  }
  o.oversizeFrame = frame;
  o.oversizeLength = static_cast<uint16_t>(size);
  return "";
}

std::string ParseDelayAnswer(const std::string& text, SimOptions& o) {
  const std::vector<std::string> f = Split(text, ':');
  uint32_t frame = 0, ms = 0;
  if (f.size() != 2 || !TakeNumber(f[0], 0xFFFFFFFFu, frame) ||
      !TakeNumber(f[1], 15000, ms)) {
    return "is not N:MS with MS from 0 to 15000";
  }
  o.delayAnswerFrame = frame;
  o.delayAnswerMs = ms;
  return "";
}

std::string ParseCorruptAnswer(const std::string& text, SimOptions& o) {
  const std::vector<std::string> f = Split(text, ':');
  const bool check = f.size() == 2 && f[1] == "check";
  uint32_t frame = 0, index = o.corruptIndex;
  if (f.size() > 2 || !TakeNumber(f[0], 0xFFFFFFFFu, frame) ||
      (f.size() == 2 && !check && !TakeNumber(f[1], 1023, index))) {
    return "is not N[:I] or N:check";
  }
  o.corruptFrame = frame;
  o.corruptIndex = index;
  o.corruptCheck = check;
  return "";
}

std::string ParseDrip(const std::string& text, SimOptions& o) {
  const std::vector<std::string> f = Split(text, ':');
  uint32_t frame = 0, gap = o.dripGapMs;
  if (f.size() > 2 || !TakeNumber(f[0], 0xFFFFFFFFu, frame) ||
      (f.size() == 2 && !TakeNumber(f[1], 60000, gap))) {
    return "is not N[:GAP] with GAP from 0 to 60000";
  }
  o.dripFrame = frame;
  o.dripGapMs = gap;
  return "";
}

std::string ParseJunkBefore(const std::string& text, SimOptions& o) {
  const std::vector<std::string> f = Split(text, ':');
  uint32_t frame = 0, count = o.junkCount;
  if (f.size() > 2 || !TakeNumber(f[0], 0xFFFFFFFFu, frame) ||
      (f.size() == 2 && (!TakeNumber(f[1], 4096, count) || count == 0))) {
    return "is not N[:COUNT] with COUNT from 1 to 4096";
  }
  o.junkFrame = frame;
  o.junkCount = count;
  return "";
}

std::string ParseFrameAndGap(const std::string& text, uint32_t& frame,
                             uint32_t& gap) {
  const std::vector<std::string> f = Split(text, ':');
  uint32_t n = 0;
  uint32_t g = gap;
  if (f.size() > 2 || !TakeNumber(f[0], 0xFFFFFFFFu, n) ||
      (f.size() == 2 && !TakeNumber(f[1], kMaxGapMs, g))) {
    return "is not N[:GAP] with GAP from 0 to " + std::to_string(kMaxGapMs);
  }
  frame = n;
  gap = g;
  return "";
}

std::string ParseReaderCount(const std::string& text, uint32_t& readers) {
  uint32_t n = 0;
  if (text.find_first_not_of("0123456789") != std::string::npos ||
      !TakeNumber(text, kMaxReaders, n) || n == 0) {
    return "is not a number from 1 to " + std::to_string(kMaxReaders);
  }
  readers = n;
  return "";
}

std::string ParseFaulty(const std::string& text, FleetSimOptions& fleet) {
  std::set<uint32_t> faulty;
  for (const std::string& item : Split(text, ',')) {
    uint32_t k = 0;
    if (item.find_first_not_of("0123456789") != std::string::npos ||
        !TakeNumber(item, 0xFFFFFFFFu, k) || k == 0) {
      return "is not a list of readers K[,K...], each from 1";
    }
    faulty.insert(k);
  }
  fleet.faulty = faulty;
  return "";
}

std::string ParseVersions(const std::string& text, FleetSimOptions& fleet) {
  const std::string bad = "is not X.Y.Z[:N][,X.Y.Z[:N]...] with N from 1 to " +
                          std::to_string(kMaxReaders) +
                          ", only the last without :N";
  std::vector<FleetSimOptions::VersionShare> shares;
  for (const std::string& item : Split(text, ',')) {
    if (!shares.empty() && shares.back().count == 0) return bad;
    const size_t colon = item.find(':');
    FleetSimOptions::VersionShare share;
    if (!ParseVersion(item.substr(0, colon), share.version).empty()) return bad;
    if (colon != std::string::npos &&
        (!TakeNumber(item.substr(colon + 1), kMaxReaders, share.count) ||
         share.count == 0)) {
      return bad;
    }
    shares.push_back(share);
  }
  fleet.versions = shares;
  return "";
}

}  // namespace modflash::sim
