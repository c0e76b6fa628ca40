#ifndef MODFLASH_LINK_ETHERNET_UPDATE_COMM_H_
#define MODFLASH_LINK_ETHERNET_UPDATE_COMM_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "link/answer_pairing.h"
#include "link/reader_framing.h"
#include "link/socket_layer.h"
#include "link/update_comm.h"

namespace modflash {

/// Reader message types.
inline constexpr uint8_t Reader_GetBaudRate = framing::kGetBaudRate;
inline constexpr uint8_t Reader_BaudRate = framing::kBaudRate;
inline constexpr uint8_t Reader_SetBaudRate = framing::kSetBaudRate;
inline constexpr uint8_t Reader_SetBaudRateResult = framing::kSetBaudRateResult;
inline constexpr uint8_t Reader_ModuleData = framing::kModuleData;

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
  void WatchPairing(bool on) override;
  PairingAnomalies Anomalies() const override { return anomalies_; }
  bool AwaitQuietLine() override;
  void SettleAfterRefusal() override;
  bool PairsByAddress() const override { return pairing_.proven(); }
  Resend TakeResend() override;
  /// True while the connection made at construction is open.
  bool IsConnected() const { return readerSocket_ != net::kInvalidSocket; }

 private:
  using Clock = std::chrono::steady_clock;

  /// Puts a reader message of type `type` with the `length` bytes at
  /// `payload` into sendBuffer_ and sets sendLength_.
  void BuildMessage(uint8_t type, const uint8_t* payload, int32_t length);
  /// Writes the built message to the socket; false after printing why.
  /// Input already waiting is thrown away first: it cannot be the answer to
  /// a request not yet sent.
  bool SendMessage();
  /// Reads one whole reader message into receiveBuffer_ and copies at most
  /// `capacity` payload bytes to `buffer`. The payload length (0 or more),
  /// or -1 when no message arrived (the line saying why is printed).
  /// `firstByteBy`, when set, ends the wait for the first byte earlier than
  /// the socket's receive time-out would.
  int32_t ReceiveMessage(uint8_t* buffer, int32_t capacity,
                         const Clock::time_point* firstByteBy = nullptr);
  /// Reads until `length` bytes are at `dest`. The first byte of a message
  /// is awaited until `firstByteBy` or, without it, for the socket's receive
  /// time-out; from then on the rest must arrive by `messageDeadline`, which
  /// the first byte sets. The count read, below `length` only when the
  /// reader closed; -1 after a receive error or time-out (line printed).
  int32_t ReadExactly(uint8_t* dest, int32_t length,
                      Clock::time_point& messageDeadline, bool firstOfMessage,
                      const Clock::time_point* firstByteBy = nullptr);
  /// Refills the empty inbox with one receive of whatever has arrived,
  /// waiting first until `due` when it is set. The count (0 when the reader
  /// closed), or -1 after a receive error or time-out (line printed).
  int32_t FillInbox(const Clock::time_point* due);
  /// Empties the inbox; true when it held anything.
  bool DropInbox();
  /// Notes a receive time-out and prints it.
  void ReportTimeout();
  /// Notes a receive that failed otherwise (its line is printed).
  void NoteReceiveError();
  /// Throws away input that is already waiting (the inbox too), without
  /// blocking; true when there was some.
  bool DiscardWaitingInput();
  /// Throws away what arrives until the line has been quiet for `quietMs`
  /// and the last request is at least `coveredMs` old (at most the settle
  /// limit in all). True when anything arrived.
  bool DrainUntilSettled(int64_t quietMs, int64_t coveredMs);
  /// True when an answer whose first byte came at `arrived` is too soon
  /// after its request to be its answer.
  bool ArrivedTooSoon(Clock::time_point arrived) const;
  /// Notes the time of an exchange whose answer was taken.
  void TimeExchange();
  /// Notes an answer not taken because it came too soon.
  void NoteEarlyAnswer(const uint8_t* answer, int32_t length);
  /// The fastest of the recent exchanges.
  Clock::duration RecentPace() const;

  std::string ipAddress_;
  int32_t port_ = 0;
  net::SocketHandle readerSocket_ = net::kInvalidSocket;
  int32_t sendLength_ = 0;
  uint8_t sendBuffer_[1024] = {};
  uint8_t receiveBuffer_[1024] = {};
  /// What the last receive brought beyond the bytes taken so far: messages
  /// are taken from here, so one receive serves a whole answer.
  uint8_t inbox_[4096] = {};
  int32_t inboxStart_ = 0;
  int32_t inboxEnd_ = 0;
  /// When the receive that filled the inbox returned.
  Clock::time_point inboxFilledAt_{};
  /// True when a receive failed since the line last settled.
  bool disturbedSinceSettle_ = false;
  /// When the last request went out, and whether its first answer is still
  /// to come.
  Clock::time_point requestSentAt_{};
  bool awaitingAnswer_ = false;
  /// The line settled after the last request; the first answer to the next
  /// request can then only be its own, however soon it comes, and its time
  /// becomes the pace when it is the fastest. Without this, a reader that
  /// speeds up to less than half its early pace would have every answer
  /// refused as a stray.
  bool lineSettled_ = false;
  bool answerTrusted_ = false;
  /// When the first byte of the last message read arrived.
  Clock::time_point messageArrivedAt_{};
  /// While watching: the last exchanges (request to first answer byte)
  /// taken, kPaceWindow of them at most, and how many were timed.
  static constexpr uint32_t kPaceWindow = 16;
  bool watching_ = false;
  std::array<Clock::duration, kPaceWindow> recentExchanges_{};
  uint32_t exchangesTimed_ = 0;
  PairingAnomalies anomalies_;
  AnswerPairing pairing_;
  Resend resend_ = Resend::kNone;
};

}  // namespace modflash

#endif  // MODFLASH_LINK_ETHERNET_UPDATE_COMM_H_
