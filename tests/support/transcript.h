#ifndef MODFLASH_TESTS_SUPPORT_TRANSCRIPT_H_
#define MODFLASH_TESTS_SUPPORT_TRANSCRIPT_H_

// Pieces of the update sequence's output, for the expected transcripts of
// the sequence and end-to-end tests.

#include <cstdint>
#include <cstdio>
#include <string>

namespace modflash::testing::transcript {

/// A restart wait that shows `marks` ". " marks.
inline std::string Wait(int marks) {
  std::string text = "Resetting Module\nWaiting for re-initialization ";
  for (int i = 0; i < marks; ++i) text += ". ";
  return text + "\n\n";
}

/// The progress display of a transfer in which every slice was accepted at
/// the first try.
inline std::string Progress() {
  std::string text;
  for (uint32_t line = 0; line < 50; ++line) {
    char marker[16];
    std::snprintf(marker, sizeof marker, "\n0X%08X ", 0x404000 + line * 4096);
    text += marker + std::string(64, '*');
  }
  return text;
}

inline const char kWarning[] =
    "Warning: Initial baud rate was not 921600.\n"
    "   The module baud rate will be reset to\n"
    "   921600 baud after firmware has been updated.\n\n";

/// From the prepare request to the module's entry into update mode.
inline const char kUpdateMode[] =
    "Entering InitiateFirmwareUpdate\n"
    "Waiting for module to reset & initialize\n"
    "Sending Update_EnterUpdateMode packet.\n"
    "  EnterUpdateMode got Status Packet\n"
    "Successfully Entered Update Mode\n";

inline const char kSent[] =
    "\n\nAll code data successfully sent to module.\n"
    "Sending Update_Complete packet.\n";

inline std::string Success(const std::string& address) {
  return "\nModule firmware for reader " + address +
         " has been successfully updated.\n";
}

/// True when `text` ends with `tail`.
inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace modflash::testing::transcript

#endif  // MODFLASH_TESTS_SUPPORT_TRANSCRIPT_H_
