#include "app/update_sequence.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

#include "app/standard_output.h"
#include "contract/output_lines.h"
#include "contract/phases.h"
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
using output::kRestartPauses;
using output::kRestartPolls;
/// The transfer goes back to send slices again at most this often.
constexpr int kMostResends = 64;

// Gives the module time to restart, then polls its version until it answers
// (at most 20 polls). Never fails by itself; true when a poll was answered.
bool WaitForRestart(UpdateController& controller, FirmwareVersion& version) {
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
    answered = controller.GetFirmwareVersion(version.major, version.minor,
                                             version.patch);
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

// Sends the slice at `offset`, 5 tries. False after the 5th failed (the
// failure line printed).
bool SendSlice(UpdateController& controller, const uint8_t* codeBuffer,
               uint32_t offset, bool testMode) {
  const uint32_t flashAddress = offset + kFlashBase;
  for (int attempt = 1;; ++attempt) {
    if (controller.SendCodePacket(flashAddress, codeBuffer + offset, kSliceSize,
                                  testMode)) {
      return true;
    }
    if (attempt == kTriesPerSlice) {
      std::cout << output::kSliceGaveUp << offset << output::kSliceGaveUpEnd
                << "\n";
      return false;
    }
    std::cout << output::kRefusalMark;
    std::cout.flush();
  }
}

/// Progress marks reach a terminal as they are printed. A pipe or a file
/// (a fleet reading the run, a log) gets them at most kBatchedMarksEvery
/// apart, which keeps the progress live without a write for every mark.
class MarkFlusher {
 public:
  MarkFlusher() : immediate_(StandardOutputIsTerminal()) {}
  void Flush() {
    const auto now = std::chrono::steady_clock::now();
    if (!immediate_ && now - lastFlush_ < kBatchedMarksEvery) return;
    std::cout.flush();
    lastFlush_ = now;
  }

 private:
  static constexpr auto kBatchedMarksEvery = std::chrono::milliseconds(250);
  bool immediate_;
  std::chrono::steady_clock::time_point lastFlush_{};
};

void ShowProgress(uint32_t offset, MarkFlusher& flusher) {
  if (offset % kMarkerEvery == 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, output::kMarkerFormat, offset + kFlashBase);
    std::cout << "\n" << buf;
    std::cout.flush();
  }
  if (offset % kStarEvery == 0) {
    std::cout << output::kStar;
    flusher.Flush();
  }
}

// Streams the first `codeSize` bytes of the code area in 32-byte slices, 5
// tries each, with the progress display. When the link finds that slices
// taken as written may not be (an answer read against the wrong request),
// they are sent again, without showing their progress twice. False after a
// slice failed 5 times (the failure line printed), or when the slices
// cannot be confirmed.
bool SendCode(UpdateController& controller, const uint8_t* codeBuffer,
              size_t codeSize, bool testMode) {
  controller.BeginTransfer();
  uint32_t shown = 0;  // the progress of slices below this is shown
  MarkFlusher flusher;
  int resends = 0;
  bool confirmed = true;
  for (uint32_t offset = 0; offset + kSliceSize <= codeSize;
       offset += kSliceSize) {
    if (!SendSlice(controller, codeBuffer, offset, testMode)) return false;
    if (offset >= shown) {
      ShowProgress(offset, flusher);
      shown = offset + kSliceSize;
    }
    const Resend resend = controller.TakeResend();
    if (resend == Resend::kNone) continue;
    if (++resends > kMostResends) {
      confirmed = false;  // a reader that keeps the transfer going back
      continue;
    }
    const uint32_t again =
        resend == Resend::kFromStart || offset == 0 ? 0 : offset - kSliceSize;
    offset = again - kSliceSize;  // the loop's step takes it to `again`
  }
  // Update answers name no request unless the module echoes addresses, so
  // a slip may not show in them; an answer still arriving after the last one
  // was read shows it. Completing the update after a slip could report a
  // slice as written that never was.
  if (!confirmed || !controller.TransferStayedInStep()) {
    std::cout << "\n" << output::kTransferNotConfirmed << "\n";
    std::cout.flush();
    return false;
  }
  if (resends > 0 || controller.OutOfStepSeen()) {
    std::cout << "\n"
              << (controller.PairsByAddress()
                      ? output::kStraysSetAsideByAddress
                      : output::kStraysSetAsideByTiming);
    std::cout.flush();
  }
  return true;
}

// One run's steps in order. Each phase prints its own lines and says
// whether the run goes on; a phase that ends the run closes the link where
// the run always has.
class UpdateRun {
 public:
  UpdateRun(UpdateController& controller, const std::string& ipAddress,
            bool testMode, const FirmwareImage& image, Revision revision)
      : controller_(controller),
        ipAddress_(ipAddress),
        testMode_(testMode),
        image_(image),
        earlier_(revision == Revision::kEarlier) {
    if (image_.codeSize > kCodeSize) image_.codeSize = kCodeSize;
  }

  int Run() {
    if (!SettleRate()) return -1;
    if (earlier_) {
      std::cout << "\n";
    } else {
      WaitForRestart(controller_, module_);
    }
    if (!ReadVersionBefore() || !EnterUpdateMode()) return -1;
    if (!SendCode(controller_, image_.codeBuffer, image_.codeSize, testMode_)) {
      controller_.CloseLink();
      return -1;
    }
    if (!Complete()) return -1;
    const bool answered = ConfirmRestart();
    if (!RestoreRate()) return -1;
    controller_.CloseLink();
    return Verdict(answered);
  }

 private:
  // Finds the module's rate (the current front end probes for it first)
  // and sets the working rate.
  bool SettleRate() {
    if (!earlier_) {
      controller_.SetQuietMode(true);
      const int32_t probed = controller_.AutoBaud();
      controller_.SetQuietMode(false);
      if (probed == -1) {
        std::cout << output::kNoRateProbe << "\n";
        return false;
      }
    }
    if (!controller_.GetBaudRate(originalRate_)) {
      std::cout << output::kNoRate << "\n";
      return false;
    }
    std::cout << output::kCurrentRate << static_cast<uint32_t>(originalRate_)
              << "\n";
    std::cout.flush();
    if (!earlier_ && originalRate_ != kFinalRate) {
      std::cout << output::kRateWarning << "\n\n";
      std::cout.flush();
    }
    if (originalRate_ == kWorkingRate) return true;
    if (!controller_.SetBaudRate(kWorkingRate)) {
      std::cout << output::kRateNotChanged << (earlier_ ? "115" : "115200")
                << output::kBaud << "\n";
      std::cout.flush();
      return false;
    }
    std::cout << output::kWorkingRateSet << "\n";
    std::cout.flush();
    return true;
  }

  bool ReadVersionBefore() {
    if (!controller_.GetFirmwareVersion(module_.major, module_.minor,
                                        module_.patch)) {
      std::cout << output::kNoVersion << "\n";
      return false;
    }
    std::cout << output::kVersionBefore << VersionText(module_) << "\n";
    std::cout.flush();
    return true;
  }

  // Asks the reader to prepare the update, gives the module its pause and
  // enters update mode.
  bool EnterUpdateMode() {
    controller_.SetQuietMode(true);
    if (!controller_.InitiateFirmwareUpdate()) {
      std::cout << output::kNotPrepared << "\n";
      return false;
    }
    std::cout << output::kModuleRestarting << "\n";
    std::cout.flush();
    controller_.Delay(500);
    std::cout << output::kEnterLine << "\n";
    if (!controller_.EnterUpdateMode()) {
      std::cout << output::kEnterFailed << "\n";
      controller_.CloseLink();
      return false;
    }
    controller_.SetQuietMode(false);
    return true;
  }

  bool Complete() {
    std::cout << "\n\n"
              << output::kAllSent << "\n"
              << output::kCompleteLine << "\n";
    if (!controller_.ExitUpdateMode(testMode_)) {
      std::cout << output::kCompleteFailed << "\n";
      controller_.CloseLink();
      return false;
    }
    std::cout << (testMode_ ? output::kDryRunDone : output::kWritten) << "\n";
    return true;
  }

  // A module that never answers after the update has not shown that it was
  // programmed: its version stays unknown and the run cannot succeed.
  bool ConfirmRestart() {
    const bool answered = WaitForRestart(controller_, module_);
    if (answered) {
      std::cout << output::kVersionAfter << VersionText(module_) << "\n";
    } else {
      std::cout << output::kVersionAfterUnknown << "\n";
    }
    return answered;
  }

  // The current front end leaves the module at 921600; the earlier one puts
  // back the rate it found.
  bool RestoreRate() {
    const int32_t finalRate = earlier_ ? originalRate_ : kFinalRate;
    if (earlier_ && originalRate_ == kWorkingRate) return true;
    if (!controller_.SetBaudRate(finalRate)) {
      std::cout << output::kRateNotChanged << static_cast<uint32_t>(finalRate)
                << output::kBaud << "\n";
      std::cout.flush();
      return false;
    }
    std::cout << output::kRateReset << static_cast<uint32_t>(finalRate)
              << output::kBaud << "\n";
    std::cout.flush();
    return true;
  }

  int Verdict(bool answered) const {
    if (!answered) {
      std::cout << "\n"
                << output::kVerdictStart << ipAddress_ << output::kUnconfirmed
                << "\n";
      std::cout.flush();
      return -1;
    }
    const FirmwareVersion& file = image_.version;
    if (testMode_ ||
        (file.major == module_.major && file.minor == module_.minor &&
         file.patch == module_.patch)) {
      std::cout << "\n"
                << output::kVerdictStart << ipAddress_ << output::kUpdated
                << "\n";
      std::cout.flush();
      return 0;
    }
    std::cout << output::kMismatch << VersionText(file) << ")\n"
              << output::kMismatchEnd << VersionText(module_) << ")\n";
    return -1;
  }

  UpdateController& controller_;
  const std::string& ipAddress_;
  const bool testMode_;
  FirmwareImage image_;
  const bool earlier_;
  int32_t originalRate_ = 0;
  /// The module's version: before the update, then after it.
  FirmwareVersion module_;
};

}  // namespace

int RunUpdateSteps(UpdateController& updateController,
                   const std::string& ipAddress, bool testMode,
                   const FirmwareImage& image, Revision revision) {
  return UpdateRun(updateController, ipAddress, testMode, image, revision)
      .Run();
}

int RunUpdateSequence(std::string ipAddress, int32_t port, bool testMode,
                      const FirmwareImage& image, Revision revision) {
  // The link connects while it is made, before the controller exists.
  UpdateController updateController(
      std::make_unique<EthernetUpdateComm>(ipAddress, port));
  return RunUpdateSteps(updateController, ipAddress, testMode, image, revision);
}

}  // namespace modflash
