#ifndef MODFLASH_FLEET_TEXT_H_
#define MODFLASH_FLEET_TEXT_H_

#include <cstddef>
#include <string>

namespace modflash::fleet {

/// `text` as valid UTF-8: every byte that does not begin a well-formed
/// sequence (overlong forms, surrogates and code points past U+10FFFF
/// included) becomes U+FFFD. Every report file holds its texts this way.
std::string ValidUtf8(const std::string& text);

/// `text` safe to print on a console: control bytes (below 0x20, and 0x7F),
/// the C1 controls (U+0080..U+009F, as "\xc2\x9b") and each byte that
/// begins no well-formed UTF-8 sequence shown as "\x1b", so that a name
/// cannot move the cursor or recolour the screen.
std::string Shown(const std::string& text);

/// Characters in UTF-8 `text` (a byte that begins no well-formed sequence
/// counts as one).
size_t TextWidth(const std::string& text);

/// The first `width` characters of `text` (UTF-8 sequences kept whole).
std::string CutText(const std::string& text, size_t width);

/// `text` cut to `width` characters, with control characters shown as '?'.
std::string CutToWidth(const std::string& text, size_t width);

/// `text` padded with blanks to `width` characters (never cut).
std::string Pad(const std::string& text, size_t width);

/// `text` as one CSV cell: a text cell that a spreadsheet would take for a
/// formula (it starts with =, +, -, @, a tab or a carriage return) gets a
/// leading "'"; quoted when it holds a comma, quote or line end. Numbers
/// (`number`) are written as they are.
std::string CsvField(const std::string& text, bool number = false);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_TEXT_H_
