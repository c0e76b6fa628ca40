#include "tests/sim/sim_client.h"

#include <chrono>
#include <string>

#include "protocol/crc16.h"

namespace modflash::testing {
namespace {

void PutCrc(Bytes& frame, size_t covered) {
  const uint16_t crc = static_cast<uint16_t>(
      ~CalcCrc16(frame.data(), static_cast<uint16_t>(covered * 8)));
  frame[covered] = static_cast<uint8_t>(crc & 0xFF);
  frame[covered + 1] = static_cast<uint8_t>(crc >> 8);
}

int MsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

Bytes CommandFrame(uint8_t command) {
  Bytes frame(16, 0);
  frame[0] = 0x43;
  frame[1] = 0x49;
  frame[2] = 0x54;
  frame[3] = 0x4D;
  frame[4] = 0xFF;
  frame[5] = command;
  PutCrc(frame, 14);
  return frame;
}

Bytes UpdatePacket(uint8_t type, const Bytes& payload) {
  Bytes packet(64, 0);
  packet[0] = 0x55;
  packet[1] = 0x49;
  packet[2] = 0x54;
  packet[3] = 0x4D;
  packet[4] = 0xFF;
  packet[5] = 0x0D;
  packet[6] = 0xF0;
  packet[7] = type;
  const size_t words = (payload.size() + 3) / 4;
  packet[9] = static_cast<uint8_t>(words & 0xFF);
  packet[10] = static_cast<uint8_t>(words >> 8);
  for (size_t i = 0; i < payload.size(); ++i) packet[13 + i] = payload[i];
  PutCrc(packet, 62);
  return packet;
}

Bytes SendCodePacket(uint32_t address, const uint8_t* slice, bool testFlag) {
  Bytes payload(44, 0);
  payload[0] = static_cast<uint8_t>(address & 0xFF);
  payload[1] = static_cast<uint8_t>((address >> 8) & 0xFF);
  payload[2] = static_cast<uint8_t>((address >> 16) & 0xFF);
  payload[3] = static_cast<uint8_t>(address >> 24);
  payload[8] = testFlag ? 1 : 0;
  for (size_t i = 0; i < 32; ++i) payload[12 + i] = slice[i];
  return UpdatePacket(3, payload);
}

RawClient::~RawClient() { Close(); }

bool RawClient::Connect(uint16_t port, int receiveBuffer) {
  Close();
  socket_ = net::OpenTcp();
  if (socket_ == net::kInvalidSocket) return false;
  if (receiveBuffer > 0) net::SetReceiveBuffer(socket_, receiveBuffer);
  if (net::ConnectIPv4(socket_, "127.0.0.1", port) != 0) {
    Close();
    return false;
  }
  return true;
}

bool RawClient::SendBytes(const Bytes& bytes) {
  return net::SendAll(socket_, bytes.data(), static_cast<int>(bytes.size()));
}

bool RawClient::Send(uint8_t type, const Bytes& payload) {
  return SendBytes(
      sim::BuildReaderMessage(type, payload.data(), payload.size()));
}

std::optional<Bytes> RawClient::Exchange(const Bytes& frame, int timeoutMs) {
  if (!Send(sim::kTypeModuleData, frame)) return std::nullopt;
  std::optional<sim::ReaderMessage> answer = Read(timeoutMs);
  if (!answer) return std::nullopt;
  return answer->payload;
}

std::optional<sim::ReaderMessage> RawClient::Read(int timeoutMs) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    sim::ReaderMessage message;
    std::string reason;
    const auto result = parser_.Next(message, reason);
    if (result == sim::ReaderMessageParser::Result::kMessage) return message;
    if (result == sim::ReaderMessageParser::Result::kRefused) continue;
    if (!net::WaitReadable(socket_, MsLeft(deadline))) return std::nullopt;
    uint8_t chunk[512];
    const int got = net::Recv(socket_, chunk, static_cast<int>(sizeof chunk));
    if (got <= 0) return std::nullopt;
    parser_.Feed(chunk, static_cast<size_t>(got));
  }
}

Bytes RawClient::ReadRaw(int timeoutMs) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  Bytes all;
  while (net::WaitReadable(socket_, MsLeft(deadline))) {
    uint8_t chunk[512];
    const int got = net::Recv(socket_, chunk, static_cast<int>(sizeof chunk));
    if (got <= 0) break;
    all.insert(all.end(), chunk, chunk + got);
  }
  return all;
}

bool RawClient::WaitClosed(int timeoutMs) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (net::WaitReadable(socket_, MsLeft(deadline))) {
    uint8_t chunk[512];
    if (net::Recv(socket_, chunk, static_cast<int>(sizeof chunk)) <= 0) {
      return true;
    }
  }
  return false;
}

void RawClient::Close() {
  if (socket_ != net::kInvalidSocket) net::Close(socket_);
  socket_ = net::kInvalidSocket;
}

}  // namespace modflash::testing
