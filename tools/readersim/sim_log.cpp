#include "tools/readersim/sim_log.h"

#include <cstdio>

#include "tools/readersim/module_model.h"
#include "tools/readersim/reader_message.h"

namespace modflash::sim {
namespace {

const char* PacketName(uint8_t type) {
  switch (type) {
    case kPacketEnter:
      return "Update_EnterUpdateMode";
    case kPacketSendCode:
      return "Update_SendCode";
    case kPacketComplete:
      return "Update_Complete";
    default:
      return "unknown";
  }
}

std::string DescribeModuleData(const Bytes& p) {
  if (p.size() == 16 && p[0] == 'C') {
    // A command frame, or the firmware's answer to one (result at 6).
    std::string text = "command " + Hex(p[5], 2);
    if (p[5] == 0x60) text += " (get version)";
    if (p[5] == 0x55) text += " (prepare update)";
    if (p[6] != 0 || p[7] != 0 || p[8] != 0 || p[9] != 0) {
      text += " result " + std::to_string(p[6]) + " data " +
              std::to_string(p[7]) + "." + std::to_string(p[8]) + "." +
              std::to_string(p[9]);
    }
    return text;
  }
  if (p.size() == 64 && p[0] == 0x55) {
    std::string text = "update packet type " + std::to_string(p[7]) + " (" +
                       PacketName(p[7]) + ")";
    if (p[7] == kPacketSendCode) {
      text += " address 0x" + Hex(ReadLe32(&p[13]), 6) + " test flag " +
              std::to_string(p[21]);
    }
    return text;
  }
  if (!p.empty() &&
      (p[0] == 'S' || p[0] == 'B' || p[0] == 'F' || p[0] == 'E')) {
    std::string text =
        "update answer '" + std::string(1, static_cast<char>(p[0])) + "'";
    if (p.size() > 7) text += std::string(" to ") + PacketName(p[7]);
    if (p.size() > 16 && p[7] == kPacketSendCode) {
      text += " address 0x" + Hex(ReadLe32(&p[13]), 6);
    }
    if (p.size() > 17) {
      text += " status " + Hex(p[17], 2);
    } else {
      text += " (" + std::to_string(p.size()) + " bytes, no status)";
    }
    return text;
  }
  return std::to_string(p.size()) + " bytes";
}

}  // namespace

std::string DescribeMessage(uint8_t type, const Bytes& payload) {
  const std::string head = Hex(type, 2) + " ";
  switch (type) {
    case kTypeGetBaudRate:
      return head + "GetBaudRate";
    case kTypeBaudRate:
    case kTypeSetBaudRate: {
      std::string text =
          head + (type == kTypeBaudRate ? "BaudRate" : "SetBaudRate");
      if (!payload.empty()) {
        const int32_t rate = RateForCode(payload[0]);
        text += " code " + std::to_string(payload[0]);
        if (rate != 0) text += " (" + std::to_string(rate) + ")";
      }
      return text;
    }
    case kTypeSetBaudRateResult:
      return head + "SetBaudRateResult " +
             (payload.empty() ? std::string("(empty)")
                              : std::to_string(payload[0]));
    case kTypeModuleData:
      return head + "module data: " + DescribeModuleData(payload);
    default:
      return head + "(" + std::to_string(payload.size()) + " payload bytes)";
  }
}

void SimLog::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  *out_ << "readersim: " << text << "\n";
  out_->flush();
}

void SimLog::Trace(const char* direction, const std::string& text) {
  const double seconds =
      std::chrono::duration<double>(Clock::now() - start_).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%10.6f] ", seconds);
  Line(stamp + std::string(direction) + " " + text);
}

}  // namespace modflash::sim
