#ifndef MODFLASH_APP_UPDATE_SEQUENCE_H_
#define MODFLASH_APP_UPDATE_SEQUENCE_H_

#include <cstdint>
#include <string>

#include "app/revision.h"
#include "image/code_file.h"
#include "protocol/update_controller.h"

namespace modflash {

/// Performs a whole dry or programming run against the reader at
/// `ipAddress`:`port`: settles the baud rate, waits for the module, sends
/// the 204800-byte `codeBuffer`, completes the update and judges the
/// module's version. Returns the exit status, 0 or -1.
int RunUpdateSequence(std::string ipAddress, int32_t port, bool testMode,
                      const uint8_t* codeBuffer, uint8_t cMajor, uint8_t cMinor,
                      uint8_t cPatch, const char* fileVersion,
                      Revision revision);

/// The steps of a run on a controller that already exists. The caller
/// destroys the controller right after this returns. A run sends the first
/// `codeSize` bytes of `codeBuffer` (at most the whole image, in whole
/// 32-byte slices); the front ends always send the whole image, the fuzzer
/// sends less to spend its time on the steps around the transfer.
int RunUpdateSteps(UpdateController& updateController,
                   const std::string& ipAddress, bool testMode,
                   const uint8_t* codeBuffer, uint8_t cMajor, uint8_t cMinor,
                   uint8_t cPatch, const char* fileVersion, Revision revision,
                   size_t codeSize = kCodeSize);

}  // namespace modflash

#endif  // MODFLASH_APP_UPDATE_SEQUENCE_H_
