#ifndef MODFLASH_TOOLS_READERSIM_READER_SESSION_H_
#define MODFLASH_TOOLS_READERSIM_READER_SESSION_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/loopback_server.h"
#include "tools/readersim/event_loop.h"
#include "tools/readersim/module_model.h"
#include "tools/readersim/pcap_capture.h"
#include "tools/readersim/reader_message.h"
#include "tools/readersim/sim_log.h"
#include "tools/readersim/sim_options.h"

namespace modflash::sim {

/// What one served connection amounted to.
struct ConnectionStats {
  uint32_t number = 0;         ///< 1 for the first connection
  uint32_t moduleFrames = 0;   ///< 0xFA messages passed to the module
  uint32_t updatePackets = 0;  ///< well-formed update packets
  uint32_t retries = 0;        ///< code packets repeating the previous address
  uint32_t bytesWritten = 0;   ///< code bytes written to flash
  uint32_t refused = 0;  ///< incoming bytes or messages that did not parse
  bool expectGiven = false;
  bool flashMatchesExpect = false;
  bool closedBySimulator = false;  ///< ended by the close-after fault
  bool resetBySimulator = false;   ///< ended by the reset-at fault
  bool idleTimedOut = false;       ///< closed after the idle time-out
  /// How many well-formed messages of each type arrived, answered or not.
  std::map<uint8_t, uint32_t> received;
};

/// "38x1 3Ax1 FAx6407": the types of `received` in hexadecimal, each with
/// its count; "none" when nothing arrived.
std::string ReceivedTypes(const std::map<uint8_t, uint32_t>& received);

/// What a session shares with the simulator that serves it.
struct SessionContext {
  const SimOptions& options;
  SimLog& log;
  /// Guards `module`, which the simulator's accessors read too.
  std::mutex& mutex;
  ModuleModel& module;
  /// Set when the simulator stops: the session ends at once.
  const std::atomic<bool>& stop;
  /// The --pcap file; not open without one.
  PcapFile& pcap;
  /// The port the simulator listens on, for the capture.
  uint16_t port;
  /// The loop the session runs on, as one of its tasks: every wait of the
  /// session goes through it.
  EventLoop& loop;
};

/// Serves one client connection: reads reader messages, answers the
/// reader's own and relays module frames to the module model, paced by the
/// line timing and changed by the reader's faults.
class ReaderSession {
 public:
  ReaderSession(const SessionContext& context, net::SocketHandle socket,
                uint32_t number);
  ReaderSession(const ReaderSession&) = delete;
  ReaderSession& operator=(const ReaderSession&) = delete;

  /// Serves until the client leaves, the simulator stops or a fault ends
  /// the connection.
  ConnectionStats Run();

 private:
  bool IdleTooLong(Clock::time_point lastActivity);
  bool ReadAndHandle();
  void NoteRefusal(const std::string& reason);
  void ReportRefused(bool last);
  bool Send(uint8_t type, const Bytes& payload);
  bool SendRaw(const Bytes& bytes);
  /// Hands all `length` bytes to the socket, waiting while its buffer is
  /// full; false when the connection failed, the simulator stops, or the
  /// client took nothing for the idle time-out.
  bool SendBytes(const uint8_t* data, size_t length);
  void SleepUntil(Clock::time_point until);
  bool Ignored(uint8_t type) const;
  bool HandleMessage(const ReaderMessage& message, Clock::time_point received);
  bool HandleSetBaudRate(const ReaderMessage& message);
  bool HandleModuleData(const ReaderMessage& message,
                        Clock::time_point received);
  void Pace(size_t requestBytes, const std::vector<Bytes>& answers,
            int32_t rate, Clock::time_point received);
  bool SendAnswers(const ReaderMessage& message, std::vector<Bytes>& answers,
                   const std::string& why);
  bool SendLowLength();
  /// The answer latency for the current frame (--latency-schedule).
  uint32_t LatencyMs() const;
  bool HasLatency() const;
  /// --resend-in-pieces and --noise-after. False when the connection is to
  /// be closed.
  bool SendLineFaults(const std::vector<Bytes>& answers);
  /// An answer the reader makes up, with bytes 13-16 as the module fills
  /// them.
  Bytes AsModuleWould(Bytes answer);
  bool SendAfterAnswers(const ReaderMessage& message,
                        const std::vector<Bytes>& answers);
  // The chaos faults of the soak (see SimOptions).
  bool SendChaos(const ReaderMessage& message,
                 const std::vector<Bytes>& answers, bool& sent);
  bool CutConnection();
  bool Reshapes(uint32_t frame) const;
  Bytes ReshapedWire(const std::vector<Bytes>& answers) const;
  bool SendReshaped(const std::vector<Bytes>& answers);
  bool Drip(const Bytes& wire);
  bool SendEndlessEntry();
  void OpenCapture();

  const SessionContext& context_;
  const SimOptions& options_;
  net::SocketHandle socket_;
  std::unique_ptr<TcpCapture> capture_;
  ReaderMessageParser parser_;
  ConnectionStats stats_;
  /// The error of the last send that failed.
  int sendError_ = 0;
  uint32_t frameIndex_ = 0;
  /// When the module is free for the next frame (and the line for the next
  /// exchange), and how late the last answer went out past that.
  Clock::time_point lineFree_{};
  Clock::duration late_{};
  /// Refusals: whether the first was logged, those since the last refusal
  /// line and the first one's reason, and when that line was written.
  bool refusalSeen_ = false;
  uint32_t refusedSince_ = 0;
  std::string firstRefusalSince_;
  Clock::time_point lastRefusalLine_{};
};

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_READER_SESSION_H_
