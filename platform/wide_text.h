#ifndef MODFLASH_PLATFORM_WIDE_TEXT_H_
#define MODFLASH_PLATFORM_WIDE_TEXT_H_

// Text between the program's UTF-8 strings and the UTF-16 of the Windows
// API (file names, command lines, the system's error texts). Only Windows
// sources use it; wide_text_win32.cpp is its one implementation.

#include <string>

namespace modflash {

/// `text` (UTF-8) as UTF-16; byte by byte when it is not valid UTF-8.
std::wstring Widen(const std::string& text);
/// `text` (UTF-16) as UTF-8.
std::string Narrow(const std::wstring& text);

}  // namespace modflash

#endif  // MODFLASH_PLATFORM_WIDE_TEXT_H_
