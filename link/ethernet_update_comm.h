#ifndef MODFLASH_LINK_ETHERNET_UPDATE_COMM_H_
#define MODFLASH_LINK_ETHERNET_UPDATE_COMM_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "link/socket_layer.h"
#include "link/update_comm.h"

namespace modflash {

/// Reader message types.
inline constexpr uint8_t Reader_GetBaudRate = 0x38;
inline constexpr uint8_t Reader_BaudRate = 0x39;
inline constexpr uint8_t Reader_SetBaudRate = 0x3A;
inline constexpr uint8_t Reader_SetBaudRateResult = 0x3B;
inline constexpr uint8_t Reader_ModuleData = 0xFA;

/// The link to the RF module through the network reader, over one TCP
/// connection. Connects while it is constructed.
class EthernetUpdateComm : public UpdateComm {
 public:
  EthernetUpdateComm(std::string ipAddress, int32_t port);
  ~EthernetUpdateComm() override;
  EthernetUpdateComm(const EthernetUpdateComm&) = delete;
  EthernetUpdateComm& operator=(const EthernetUpdateComm&) = delete;

  void Delay(uint32_t ms) override;
  bool GetBaudRate(int32_t& rate) override;
  bool SetBaudRate(int32_t rate) override;
  bool Connect() override;
  bool Send(const uint8_t* data, int32_t length) override;
  void SetQuietMode(bool on) override;
  int32_t Receive(uint8_t* buffer, int32_t capacity) override;
  void Disconnect() override;
  bool SetLinkBaudRate(int32_t rate) override;
  void DiscardLateAnswers() override;

 private:
  /// Puts a reader message of type `type` with the `length` bytes at
  /// `payload` into sendBuffer and sets sendLength.
  void BuildMessage(uint8_t type, const uint8_t* payload, int32_t length);
  /// Writes the built message to the socket; false after printing why.
  /// Input already waiting is thrown away first: it cannot be the answer to
  /// a request not yet sent.
  bool SendMessage();
  /// Reads one whole reader message into receiveBuffer and copies at most
  /// `capacity` payload bytes to `buffer`. The payload length (0 or more),
  /// or -1 when no message arrived (the line saying why is printed).
  int32_t ReceiveMessage(uint8_t* buffer, int32_t capacity);
  /// Reads until `length` bytes are at `dest`. The first byte of a message
  /// is awaited for the socket's receive time-out; from then on the rest
  /// must arrive by `messageDeadline`, which the first byte sets. The count
  /// read, below `length` only when the reader closed; -1 after a receive
  /// error or time-out (line printed).
  int32_t ReadExactly(uint8_t* dest, int32_t length,
                      std::chrono::steady_clock::time_point& messageDeadline,
                      bool firstOfMessage);
  /// Throws away input that is already waiting, without blocking.
  void DiscardWaitingInput();

  std::string ipAddress;
  int32_t port = 0;
  net::SocketHandle readerSocket = net::kInvalidSocket;
  int32_t sendLength = 0;
  uint8_t sendBuffer[1024] = {};
  uint8_t receiveBuffer[1024] = {};
  /// True when the last ReceiveMessage ended with a time-out.
  bool lastReceiveTimedOut = false;
};

}  // namespace modflash

#endif  // MODFLASH_LINK_ETHERNET_UPDATE_COMM_H_
