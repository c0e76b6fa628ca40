#include "fleet/text/text.h"

#include <cstdint>
#include <cstdio>

namespace modflash::fleet {
namespace {

// The length of the well-formed UTF-8 sequence at `pos`, or 0. The one
// walker of UTF-8 text: everything below counts, cuts and checks with it.
size_t SequenceLength(const std::string& text, size_t pos) {
  const auto byte = [&](size_t i) {
    return static_cast<uint8_t>(text[pos + i]);
  };
  const uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80;  // bounds of the second byte
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// The bytes of the character at `pos`: a byte that begins no well-formed
// sequence stands for one (it is shown as one U+FFFD).
size_t CharacterLength(const std::string& text, size_t pos) {
  const size_t length = SequenceLength(text, pos);
  return length == 0 ? 1 : length;
}

}  // namespace

size_t TextWidth(const std::string& text) {
  size_t characters = 0;
  for (size_t pos = 0; pos < text.size(); pos += CharacterLength(text, pos)) {
    ++characters;
  }
  return characters;
}

std::string CutText(const std::string& text, size_t width) {
  size_t pos = 0;
  for (size_t used = 0; pos < text.size() && used < width; ++used) {
    pos += CharacterLength(text, pos);
  }
  return text.substr(0, pos);
}

std::string CutToWidth(const std::string& text, size_t width) {
  std::string out = CutText(text, width);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return out;
}

std::string ValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const size_t length = SequenceLength(text, pos);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++pos;
      continue;
    }
    out.append(text, pos, length);
    pos += length;
  }
  return out;
}

std::string Shown(const std::string& text) {
  std::string out;
  const auto escape = [&out](uint8_t byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    out += escaped;
  };
  for (size_t at = 0; at < text.size();) {
    const auto byte = static_cast<uint8_t>(text[at]);
    const size_t length = SequenceLength(text, at);
    // C1 controls (U+0080..U+009F) act on some terminals as ESC does.
    const bool c1 = length == 2 && byte == 0xC2 &&
                    static_cast<uint8_t>(text[at + 1]) <= 0x9F;
    if (length == 0 || c1) {
      for (size_t i = 0; i < (c1 ? 2u : 1u); ++i)
        escape(static_cast<uint8_t>(text[at + i]));
      at += c1 ? 2 : 1;
    } else if (length == 1 && (byte < 0x20 || byte == 0x7F)) {
      escape(byte);
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
}

std::string Pad(const std::string& text, size_t width) {
  const size_t used = TextWidth(text);
  return used >= width ? text : text + std::string(width - used, ' ');
}

std::string CsvField(const std::string& text, bool number) {
  std::string cell = text;
  if (!number && !cell.empty() &&
      std::string("=+-@\t\r").find(cell[0]) != std::string::npos) {
    cell.insert(0, "'");
  }
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (const char c : cell) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  return quoted + "\"";
}

}  // namespace modflash::fleet
