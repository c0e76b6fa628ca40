#ifndef MODFLASH_FLEET_CONSOLE_LINES_H_
#define MODFLASH_FLEET_CONSOLE_LINES_H_

#include <cstddef>
#include <string>
#include <vector>

namespace modflash::fleet {

/// The width that the console's lines are fitted to: one column less than
/// the terminal has when standard output is one (as the live display, so
/// that no console wraps a line that fills its last column), otherwise 0
/// (no limit: a log or a pipe gets every line whole).
size_t ConsoleWidth();

/// `fields` joined by `separator` into lines of at most `width` characters
/// (0: one line), a field never split: a line that is full goes on with
/// the next field on a line of its own, after `indent`. A field wider than
/// the width (a path, a checksum) stands whole on its line.
std::vector<std::string> FitFields(const std::vector<std::string>& fields,
                                   const std::string& separator, size_t width,
                                   const std::string& indent = "  ");

/// `text`'s words (split at blanks) as lines of at most `width`
/// characters, continued after `indent`; each line feed of `text` starts a
/// new line. Width 0: the lines of `text` as they are.
std::vector<std::string> WrapWords(const std::string& text, size_t width,
                                   const std::string& indent = "");

/// `items` joined by ", " in at most `width` characters (0: all): as many
/// as fit, then ", ... (N)" with the count of all of them. At least the
/// first item is kept.
std::string ShortList(const std::vector<std::string>& items, size_t width);

/// The lines joined, each ended by a line feed.
std::string Joined(const std::vector<std::string>& lines);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_CONSOLE_LINES_H_
