#include "app/update_sequence.h"

#include <cstdio>
#include <iostream>
#include <memory>

#include "contract/output_lines.h"
#include "image/code_file.h"
#include "link/ethernet_update_comm.h"

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

void FormatVersion(char (&text)[25], uint8_t major, uint8_t minor,
                   uint8_t patch) {
  std::snprintf(text, sizeof text, "V%d.%d.%d", major, minor, patch);
}

// Gives the module time to restart, then polls its version until it answers
// (at most 20 polls). Never fails by itself; true when a poll was answered.
bool WaitForRestart(UpdateController& controller, uint8_t& major,
                    uint8_t& minor, uint8_t& patch) {
  std::cout << output::kResetting << "\n";
  std::cout.flush();
  std::cout << output::kWaitStart;
  controller.SetQuietMode(true);
  for (int i = 0; i < kRestartPauses; ++i) {
    controller.Delay(1000);
    std::cout << output::kWaitMark;
  }
  bool answered = false;
  bool missed = false;
  for (int i = 0; i < kRestartPolls; ++i) {
    answered = controller.GetFirmwareVersion(major, minor, patch);
    if (answered) break;
    missed = true;
    std::cout << output::kWaitMark;
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
        std::cout << output::kSliceGaveUp << offset << output::kSliceGaveUpEnd
                  << "\n";
        return false;
      }
      std::cout << output::kRefusalMark;
      std::cout.flush();
    }
    if (offset % kMarkerEvery == 0) {
      char buf[16];
      std::snprintf(buf, sizeof buf, output::kMarkerFormat, flashAddress);
      std::cout << "\n" << buf;
      std::cout.flush();
    }
    if (offset % kStarEvery == 0) {
      std::cout << output::kStar;
      std::cout.flush();
    }
  }
  // Update answers name no request, so a slip cannot be seen in them; an
  // answer still arriving after the last one was read shows it. Completing
  // the update after a slip could report a slice as written that never was.
  if (!controller.TransferStayedInStep()) {
    std::cout << "\n" << output::kTransferNotConfirmed << "\n";
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
      std::cout << output::kNoRateProbe << "\n";
      return -1;
    }
  }

  if (!updateController.GetBaudRate(originalBaudRate)) {
    std::cout << output::kNoRate << "\n";
    return -1;
  }
  std::cout << output::kCurrentRate << static_cast<uint32_t>(originalBaudRate)
            << "\n";
  std::cout.flush();

  if (!earlier && originalBaudRate != kFinalRate) {
    std::cout << output::kRateWarning << "\n\n";
    std::cout.flush();
  }

  if (originalBaudRate != kWorkingRate) {
    if (!updateController.SetBaudRate(kWorkingRate)) {
      std::cout << output::kRateNotChanged << (earlier ? "115" : "115200")
                << output::kBaud << "\n";
      std::cout.flush();
      return -1;
    }
    std::cout << output::kWorkingRateSet << "\n";
    std::cout.flush();
  }

  if (earlier) {
    std::cout << "\n";
  } else {
    WaitForRestart(updateController, major, minor, patch);
  }

  if (!updateController.GetFirmwareVersion(major, minor, patch)) {
    std::cout << output::kNoVersion << "\n";
    return -1;
  }
  FormatVersion(vbuf, major, minor, patch);
  std::cout << output::kVersionBefore << vbuf << "\n";
  std::cout.flush();

  updateController.SetQuietMode(true);
  if (!updateController.InitiateFirmwareUpdate()) {
    std::cout << output::kNotPrepared << "\n";
    return -1;
  }
  std::cout << output::kModuleRestarting << "\n";
  std::cout.flush();
  updateController.Delay(500);

  std::cout << output::kEnterLine << "\n";
  if (!updateController.EnterUpdateMode()) {
    std::cout << output::kEnterFailed << "\n";
    updateController.CloseLink();
    return -1;
  }
  updateController.SetQuietMode(false);

  if (!SendCode(updateController, codeBuffer, codeSize, testMode)) {
    updateController.CloseLink();
    return -1;
  }

  std::cout << "\n\n"
            << output::kAllSent << "\n"
            << output::kCompleteLine << "\n";
  if (!updateController.ExitUpdateMode(testMode)) {
    std::cout << output::kCompleteFailed << "\n";
    updateController.CloseLink();
    return -1;
  }
  std::cout << (testMode ? output::kDryRunDone : output::kWritten) << "\n";

  // A module that never answers after the update has not shown that it was
  // programmed: its version stays unknown and the run cannot succeed.
  const bool answered = WaitForRestart(updateController, major, minor, patch);
  if (answered) {
    FormatVersion(vbuf, major, minor, patch);
    std::cout << output::kVersionAfter << vbuf << "\n";
  } else {
    std::cout << output::kVersionAfterUnknown << "\n";
  }

  // The current front end leaves the module at 921600; the earlier one puts
  // back the rate it found.
  const int32_t finalRate = earlier ? originalBaudRate : kFinalRate;
  if (!earlier || originalBaudRate != kWorkingRate) {
    if (!updateController.SetBaudRate(finalRate)) {
      std::cout << output::kRateNotChanged << static_cast<uint32_t>(finalRate)
                << output::kBaud << "\n";
      std::cout.flush();
      return -1;
    }
    std::cout << output::kRateReset << static_cast<uint32_t>(finalRate)
              << output::kBaud << "\n";
    std::cout.flush();
  }
  updateController.CloseLink();

  if (!answered) {
    std::cout << "\n"
              << output::kVerdictStart << ipAddress << output::kUnconfirmed
              << "\n";
    std::cout.flush();
    return -1;
  }
  if (testMode || (cMajor == major && cMinor == minor && cPatch == patch)) {
    std::cout << "\n"
              << output::kVerdictStart << ipAddress << output::kUpdated << "\n";
    std::cout.flush();
    return 0;
  }
  std::cout << output::kMismatch << fileVersion << ")\n"
            << output::kMismatchEnd << vbuf << ")\n";
  return -1;
}

int RunUpdateSequence(std::string ipAddress, int32_t port, bool testMode,
                      const uint8_t* codeBuffer, uint8_t cMajor, uint8_t cMinor,
                      uint8_t cPatch, const char* fileVersion,
                      Revision revision) {
  // The link connects while it is made, before the controller exists.
  UpdateController updateController(
      std::make_unique<EthernetUpdateComm>(ipAddress, port));
  return RunUpdateSteps(updateController, ipAddress, testMode, codeBuffer,
                        cMajor, cMinor, cPatch, fileVersion, revision);
}

}  // namespace modflash
