#ifndef MODFLASH_APP_UPDATE_SEQUENCE_H_
#define MODFLASH_APP_UPDATE_SEQUENCE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/revision.h"
#include "image/code_file.h"
#include "protocol/update_controller.h"

namespace modflash {

/// The image a run sends, and the version it carries.
struct FirmwareImage {
  /// The image's kCodeSize bytes.
  const uint8_t* codeBuffer = nullptr;
  FirmwareVersion version;
  /// How much of the image is sent, in whole 32-byte slices (at most the
  /// whole image): the front ends send it all, the sequence fuzzer sends
  /// less to spend its time on the steps around the transfer.
  size_t codeSize = kCodeSize;
};

/// Performs a whole dry or programming run against the reader at
/// `ipAddress`:`port`: makes the reader link, settles the baud rate, waits
/// for the module, sends the image, completes the update and judges the
/// module's version. Returns the exit status, 0 or -1.
int RunUpdateSequence(std::string ipAddress, int32_t port, bool testMode,
                      const FirmwareImage& image, Revision revision);

/// The steps of a run on a controller that already exists. The caller
/// destroys the controller right after this returns.
int RunUpdateSteps(UpdateController& updateController,
                   const std::string& ipAddress, bool testMode,
                   const FirmwareImage& image, Revision revision);

}  // namespace modflash

#endif  // MODFLASH_APP_UPDATE_SEQUENCE_H_
