#include "app/update_sequence.h"

#include <cstdio>
#include <iostream>

#include "image/code_file.h"

namespace modflash {
namespace {

constexpr int32_t kWorkingRate = 115200;
constexpr int32_t kFinalRate = 921600;
constexpr uint32_t kSliceSize = 32;
constexpr int kTriesPerSlice = 5;
constexpr uint32_t kMarkerEvery = 4096;
constexpr uint32_t kStarEvery = 64;
constexpr int kRestartPauses = 8;
constexpr int kRestartPolls = 20;
constexpr char kTransferNotConfirmed[] =
    "Transfer not confirmed: the module's answers fell out of step with the "
    "requests.";

void FormatVersion(char (&text)[25], uint8_t major, uint8_t minor,
                   uint8_t patch) {
  std::snprintf(text, sizeof text, "V%d.%d.%d", major, minor, patch);
}

// Gives the module time to restart, then polls its version until it answers
// (at most 20 polls). Never fails by itself; true when a poll was answered.
bool WaitForRestart(UpdateController& controller, uint8_t& major,
                    uint8_t& minor, uint8_t& patch) {
  std::cout << "Resetting Module\n";
  std::cout.flush();
  std::cout << "Waiting for re-initialization ";
  controller.SetQuietMode(true);
  for (int i = 0; i < kRestartPauses; ++i) {
    controller.Delay(1000);
    std::cout << ". ";
  }
  bool answered = false;
  bool missed = false;
  for (int i = 0; i < kRestartPolls; ++i) {
    answered = controller.GetFirmwareVersion(major, minor, patch);
    if (answered) break;
    missed = true;
    std::cout << ". ";
    controller.Delay(500);
  }
  // A poll that timed out may still be answered; that answer must not be
  // read by the version read, the update request or the rate change that
  // follow. (A later poll may have read it: it answers the same question.)
  if (missed) controller.DiscardLateAnswers();
  controller.SetQuietMode(false);
  std::cout << "\n\n";
  return answered;
}

// Streams the first `codeSize` bytes of the code area in 32-byte slices, 5
// tries each, with the progress display. False after a slice failed 5 times
// (the failure line printed).
bool SendCode(UpdateController& controller, const uint8_t* codeBuffer,
              size_t codeSize, bool testMode) {
  controller.BeginTransfer();
  for (uint32_t offset = 0; offset + kSliceSize <= codeSize;
       offset += kSliceSize) {
    const uint32_t flashAddress = offset + kFlashBase;
    for (int attempt = 1;; ++attempt) {
      if (controller.SendCodePacket(flashAddress, codeBuffer + offset,
                                    kSliceSize, testMode)) {
        break;
      }
      if (attempt == kTriesPerSlice) {
        std::cout << "SendCodePacket failed at buffer offset " << offset
                  << " with 5 retries\n";
        return false;
      }
      std::cout << "#";
      std::cout.flush();
    }
    if (offset % kMarkerEvery == 0) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\n0X%08X ", flashAddress);
      std::cout << buf;
      std::cout.flush();
    }
    if (offset % kStarEvery == 0) {
      std::cout << "*";
      std::cout.flush();
    }
  }
  // Update answers name no request, so a slip cannot be seen in them; an
  // answer still arriving after the last one was read shows it. Completing
  // the update after a slip could report a slice as written that never was.
  if (!controller.TransferStayedInStep()) {
    std::cout << "\n" << kTransferNotConfirmed << "\n";
    std::cout.flush();
    return false;
  }
  return true;
}

}  // namespace

int RunUpdateSteps(UpdateController& updateController,
                   const std::string& ipAddress, bool testMode,
                   const uint8_t* codeBuffer, uint8_t cMajor, uint8_t cMinor,
                   uint8_t cPatch, const char* fileVersion, Revision revision,
                   size_t codeSize) {
  if (codeSize > kCodeSize) codeSize = kCodeSize;
  const bool earlier = revision == Revision::kEarlier;
  int32_t originalBaudRate = 0;
  uint8_t major = 0;
  uint8_t minor = 0;
  uint8_t patch = 0;
  char vbuf[25];

  if (!earlier) {
    updateController.SetQuietMode(true);
    const int32_t probed = updateController.AutoBaud();
    updateController.SetQuietMode(false);
    if (probed == -1) {
      std::cout << "Unable to determine module's baud rate"
                << "\n";
      return -1;
    }
  }

  if (!updateController.GetBaudRate(originalBaudRate)) {
    std::cout << "Unable to retrieve module baud rate"
              << "\n";
    return -1;
  }
  std::cout << "Current baud rate: " << static_cast<uint32_t>(originalBaudRate)
            << "\n";
  std::cout.flush();

  if (!earlier && originalBaudRate != kFinalRate) {
    std::cout << "Warning: Initial baud rate was not 921600.\n"
              << "   The module baud rate will be reset to\n"
              << "   921600 baud after firmware has been updated.\n\n";
    std::cout.flush();
  }

  if (originalBaudRate != kWorkingRate) {
    if (!updateController.SetBaudRate(kWorkingRate)) {
      std::cout << (earlier
                        ? "Unable to set module baud rate to 115 baud\n"
                        : "Unable to set module baud rate to 115200 baud\n");
      std::cout.flush();
      return -1;
    }
    std::cout << "Successfully set baud rate to 115200 baud\n";
    std::cout.flush();
  }

  if (earlier) {
    std::cout << "\n";
  } else {
    WaitForRestart(updateController, major, minor, patch);
  }

  if (!updateController.GetFirmwareVersion(major, minor, patch)) {
    std::cout << "Unable to retrieve firmware version\n";
    return -1;
  }
  FormatVersion(vbuf, major, minor, patch);
  std::cout << "Current firmware version: " << vbuf << "\n";
  std::cout.flush();

  updateController.SetQuietMode(true);
  if (!updateController.InitiateFirmwareUpdate()) {
    std::cout << "Unable to put reader into the module firmware update mode\n";
    return -1;
  }
  std::cout << "Waiting for module to reset & initialize\n";
  std::cout.flush();
  updateController.Delay(500);

  std::cout << "Sending Update_EnterUpdateMode packet.\n";
  if (!updateController.EnterUpdateMode()) {
    std::cout << "Update_EnterUpdateMode returned an error response.\n";
    updateController.CloseLink();
    return -1;
  }
  updateController.SetQuietMode(false);

  if (!SendCode(updateController, codeBuffer, codeSize, testMode)) {
    updateController.CloseLink();
    return -1;
  }

  std::cout << "\n\nAll code data successfully sent to module.\n"
            << "Sending Update_Complete packet.\n";
  if (!updateController.ExitUpdateMode(testMode)) {
    std::cout << "Update_Complete returned an error response.\n";
    updateController.CloseLink();
    return -1;
  }
  std::cout << (testMode ? "Dry run (testMode = true) succeeded.\n"
                         : "Module Firmware successfully written.\n");

  // A module that never answers after the update has not shown that it was
  // programmed: its version stays unknown and the run cannot succeed.
  const bool answered = WaitForRestart(updateController, major, minor, patch);
  if (answered) {
    FormatVersion(vbuf, major, minor, patch);
    std::cout << "Post-update firmware version: " << vbuf << "\n";
  } else {
    std::cout << "Post-update firmware version: unknown (the module did not "
                 "answer)\n";
  }

  // The current front end leaves the module at 921600; the earlier one puts
  // back the rate it found.
  const int32_t finalRate = earlier ? originalBaudRate : kFinalRate;
  if (!earlier || originalBaudRate != kWorkingRate) {
    if (!updateController.SetBaudRate(finalRate)) {
      std::cout << "Unable to set module baud rate to "
                << static_cast<uint32_t>(finalRate) << " baud\n";
      std::cout.flush();
      return -1;
    }
    std::cout << "Successfully reset baud rate to "
              << static_cast<uint32_t>(finalRate) << " baud\n";
    std::cout.flush();
  }
  updateController.CloseLink();

  if (!answered) {
    std::cout << "\n"
              << "Module firmware for reader " << ipAddress
              << " could not be confirmed: the module did not answer after "
                 "the update.\n";
    std::cout.flush();
    return -1;
  }
  if (testMode || (cMajor == major && cMinor == minor && cPatch == patch)) {
    std::cout << "\n"
              << "Module firmware for reader " << ipAddress
              << " has been successfully updated.\n";
    std::cout.flush();
    return 0;
  }
  std::cout << "OOPS. Something bad happened. The version number in the file ("
            << fileVersion << ")\n"
            << "      does not match the version retrieved from the reader ("
            << vbuf << ")\n";
  return -1;
}

int RunUpdateSequence(std::string ipAddress, int32_t port, bool testMode,
                      const uint8_t* codeBuffer, uint8_t cMajor, uint8_t cMinor,
                      uint8_t cPatch, const char* fileVersion,
                      Revision revision) {
  UpdateController updateController(ipAddress, port);
  return RunUpdateSteps(updateController, ipAddress, testMode, codeBuffer,
                        cMajor, cMinor, cPatch, fileVersion, revision);
}

}  // namespace modflash
