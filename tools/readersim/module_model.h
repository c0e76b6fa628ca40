#ifndef MODFLASH_TOOLS_READERSIM_MODULE_MODEL_H_
#define MODFLASH_TOOLS_READERSIM_MODULE_MODEL_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/readersim/sim_options.h"

namespace modflash::sim {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

/// Update packet types and the letters of update answers.
inline constexpr uint8_t kPacketEnter = 2;
inline constexpr uint8_t kPacketSendCode = 3;
inline constexpr uint8_t kPacketComplete = 4;
/// Length of every update answer the module builds.
inline constexpr size_t kUpdateAnswerLength = 20;
/// Status answered to code outside the flash, or before update mode.
inline constexpr uint8_t kStatusBadAddress = 0x05;
inline constexpr uint8_t kStatusNotInUpdateMode = 0x01;

/// What the module is running.
enum class ModuleMode {
  kFirmware,    ///< normal firmware: command frames
  kLoader,      ///< update loader, waiting for Update_EnterUpdateMode
  kUpdateMode,  ///< update loader in update mode
};

/// Counters of one connection.
struct ModuleStats {
  uint32_t moduleFrames = 0;   ///< frames the module received
  uint32_t updatePackets = 0;  ///< well-formed update packets
  uint32_t retries = 0;        ///< code packets repeating the previous address
  uint32_t bytesWritten = 0;   ///< code bytes written to flash
};

/// The RF module: its normal firmware, its update loader and its flash.
/// Not thread-safe; the simulator serialises access.
class ModuleModel {
 public:
  explicit ModuleModel(const SimOptions& options);

  /// A new connection: the module starts its normal firmware; the counters
  /// and the fault budgets start anew; flash and rate are kept.
  void Reset();
  /// Handles one frame received at `now`. Returns the answers, in order;
  /// none when the frame is not answered, and then `why` says why.
  std::vector<Bytes> Handle(const uint8_t* frame, size_t length,
                            Clock::time_point now, std::string& why);
  /// The reader switched the serial rate: the module restarts its firmware.
  void ChangeRate(int32_t rate);

  int32_t rate() const { return rate_; }
  ModuleMode mode() const { return mode_; }
  const Bytes& flash() const { return flash_; }
  const ModuleStats& stats() const { return stats_; }
  /// The version kept in flash.
  Version FlashVersion() const;
  /// Puts at bytes 13-16 of an update answer what a module that does not
  /// echo addresses puts there (--no-address-echo); the CRC is made to fit.
  void HideAddress(Bytes& answer);

 private:
  std::vector<Bytes> HandleCommand(const uint8_t* frame, Clock::time_point now,
                                   std::string& why);
  std::vector<Bytes> HandlePacket(const uint8_t* packet, Clock::time_point now,
                                  std::string& why);
  /// False, with the reason, for a packet the module would not take.
  bool PacketIsWellFormed(const uint8_t* packet, std::string& why) const;
  std::vector<Bytes> HandleEnter();
  std::vector<Bytes> HandleSendCode(const uint8_t* packet);
  std::vector<Bytes> HandleComplete(Clock::time_point now);
  Bytes StatusAnswer(uint8_t packetType, uint32_t address, uint8_t status);

  const SimOptions& options_;
  Bytes flash_;
  int32_t rate_;
  ModuleMode mode_ = ModuleMode::kFirmware;
  Clock::time_point silentUntil_{};
  bool afterUpdate_ = false;
  bool testFlagSeen_ = false;
  bool havePreviousAddress_ = false;
  uint32_t previousAddress_ = 0;
  uint32_t refusalsLeft_ = 0;
  uint32_t silentPollsLeft_ = 0;
  uint32_t randomState_ = 0x2545F491u;
  ModuleStats stats_;
};

/// A module command answer: "CITM", 0xFF, the command, the result, up to
/// three data bytes at 7..9, zeros, the CRC at 14 and 15.
Bytes CommandAnswer(uint8_t command, uint8_t result, uint8_t data7,
                    uint8_t data8, uint8_t data9);
/// An update answer: the letter at 0, the packet header echo, the address
/// at 13..16, the status at 17, the CRC at 18 and 19.
Bytes UpdateAnswer(uint8_t letter, uint8_t packetType, uint32_t address,
                   uint8_t status);
/// Stores the complemented CRC of the first `covered` bytes at `covered`,
/// low byte first.
void StoreCrc(uint8_t* data, size_t covered);
/// True when the two bytes after the first `covered` bytes are their CRC.
bool CrcMatches(const uint8_t* data, size_t covered);
/// `value` in upper-case hexadecimal, at least `digits` digits.
std::string Hex(uint32_t value, int digits);
/// The little-endian 32-bit number at `data`.
uint32_t ReadLe32(const uint8_t* data);

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_MODULE_MODEL_H_
