#include "tools/readersim/simulator.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

#include "tools/readersim/reader_message.h"

namespace modflash::sim {
namespace {

constexpr int kPollMs = 50;
// At most one log line of refused input per connection in this time.
constexpr auto kRefusalLineInterval = std::chrono::seconds(10);

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

uint32_t ReadLe32(const uint8_t* data) {
  return static_cast<uint32_t>(data[0]) |
         (static_cast<uint32_t>(data[1]) << 8) |
         (static_cast<uint32_t>(data[2]) << 16) |
         (static_cast<uint32_t>(data[3]) << 24);
}

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

/// Serves one client connection: reads reader messages, answers the
/// reader's own and relays module frames to the module model.
class ReaderSession {
 public:
  ReaderSession(Simulator& sim, net::SocketHandle socket, uint32_t number)
      : sim_(sim), options_(sim.options_), socket_(socket) {
    stats_.number = number;
    OpenCapture();
  }

  ConnectionStats Run() {
    {
      std::lock_guard<std::mutex> lock(sim_.mutex_);
      sim_.module_.Reset();
    }
    bool open = true;
    Clock::time_point lastActivity = Clock::now();
    while (open && !sim_.stop_) {
      if (!net::WaitReadable(socket_, kPollMs)) {
        ReportRefused(false);
        if (IdleTooLong(lastActivity)) break;
        continue;
      }
      open = ReadAndHandle();
      // Time spent answering is not the client's idleness.
      lastActivity = Clock::now();
    }
    ReportRefused(true);
    // Does nothing when the client closed first.
    if (capture_) capture_->ServerClosed(WallClock::now());
    {
      std::lock_guard<std::mutex> lock(sim_.mutex_);
      const ModuleStats& m = sim_.module_.stats();
      stats_.moduleFrames = m.moduleFrames;
      stats_.updatePackets = m.updatePackets;
      stats_.retries = m.retries;
      stats_.bytesWritten = m.bytesWritten;
    }
    return stats_;
  }

 private:
  bool IdleTooLong(Clock::time_point lastActivity) {
    if (options_.idleTimeoutMs == 0 ||
        Clock::now() - lastActivity <
            std::chrono::milliseconds(options_.idleTimeoutMs)) {
      return false;
    }
    sim_.log_.Line("connection " + std::to_string(stats_.number) +
                   ": nothing arrived for " +
                   std::to_string(options_.idleTimeoutMs) + " ms, closing it");
    stats_.idleTimedOut = true;
    return true;
  }

  // Reads what has arrived and handles every whole message in it. False
  // when the connection is over.
  bool ReadAndHandle() {
    uint8_t chunk[2048];
    const int got = net::Recv(socket_, chunk, static_cast<int>(sizeof chunk));
    if (got == 0 && capture_) capture_->ClientClosed(WallClock::now());
    if (got <= 0) {
      sim_.log_.Line("connection " + std::to_string(stats_.number) +
                     (got == 0 ? ": the client closed the connection"
                               : ": receive failed, error " +
                                     std::to_string(net::LastError())));
      return false;
    }
    const Clock::time_point received = Clock::now();
    if (capture_) {
      capture_->FromClient(WallClock::now(), chunk, static_cast<size_t>(got));
    }
    parser_.Feed(chunk, static_cast<size_t>(got));
    ReaderMessage message;
    std::string reason;
    for (;;) {
      const auto result = parser_.Next(message, reason);
      if (result == ReaderMessageParser::Result::kNeedMore) return true;
      if (result == ReaderMessageParser::Result::kRefused) {
        NoteRefusal(reason);
      } else if (!HandleMessage(message, received)) {
        return false;
      }
    }
  }

  // Refused input is summed up per connection, however it mixes with good
  // messages (junk before every message must not flood the log either): the
  // first refusal gets a line with its reason at once, later ones a line at
  // most every kRefusalLineInterval and one when the connection ends, and
  // the connection's summary counts them all.
  void NoteRefusal(const std::string& reason) {
    ++stats_.refused;
    if (!refusalSeen_) {
      refusalSeen_ = true;
      sim_.log_.Line("refused: " + reason);
      lastRefusalLine_ = Clock::now();
      return;
    }
    if (refusedSince_++ == 0) firstRefusalSince_ = reason;
    ReportRefused(false);
  }

  // The line for the refusals since the last one, when it is due.
  void ReportRefused(bool last) {
    if (refusedSince_ == 0) return;
    if (!last && Clock::now() - lastRefusalLine_ < kRefusalLineInterval) {
      return;
    }
    std::string line = "refused: " + firstRefusalSince_;
    if (refusedSince_ > 1) {
      line += " (first of " + std::to_string(refusedSince_) +
              " refusals since the last such line)";
    }
    sim_.log_.Line(line);
    refusedSince_ = 0;
    lastRefusalLine_ = Clock::now();
  }

  bool Send(uint8_t type, const Bytes& payload) {
    if (options_.trace) sim_.log_.Trace("<-", DescribeMessage(type, payload));
    const Bytes message =
        BuildReaderMessage(type, payload.data(), payload.size());
    return SendRaw(message);
  }

  bool SendRaw(const Bytes& bytes) {
    bool ok = true;
    if (options_.byteByByte) {
      for (size_t i = 0; ok && i < bytes.size(); ++i) {
        if (i > 0) {
          std::this_thread::sleep_for(
              std::chrono::milliseconds(options_.byteGapMs));
        }
        ok = net::SendAll(socket_, &bytes[i], 1);
        if (ok && capture_) {
          capture_->FromServer(WallClock::now(), &bytes[i], 1);
        }
      }
    } else {
      ok = net::SendAll(socket_, bytes.data(), static_cast<int>(bytes.size()));
      if (ok && capture_) {
        capture_->FromServer(WallClock::now(), bytes.data(), bytes.size());
      }
    }
    if (!ok) {
      sim_.log_.Line("sending failed, error " +
                     std::to_string(net::LastError()));
    }
    return ok;
  }

  // Sleeps until `until`, waking early when the simulator stops.
  void SleepUntil(Clock::time_point until) {
    while (!sim_.stop_) {
      const Clock::time_point now = Clock::now();
      if (now >= until) return;
      std::this_thread::sleep_until(
          std::min(until, now + std::chrono::milliseconds(kPollMs)));
    }
  }

  bool Ignored(uint8_t type) const {
    return std::find(options_.ignoreTypes.begin(), options_.ignoreTypes.end(),
                     type) != options_.ignoreTypes.end();
  }

  // False when the connection is to be closed.
  bool HandleMessage(const ReaderMessage& message, Clock::time_point received) {
    if (options_.trace) {
      sim_.log_.Trace("->", DescribeMessage(message.type, message.payload));
    }
    if (Ignored(message.type)) {
      sim_.log_.Line("message type " + Hex(message.type, 2) +
                     " not answered (ignored type)");
      return true;
    }
    switch (message.type) {
      case kTypeGetBaudRate: {
        int32_t rate;
        {
          std::lock_guard<std::mutex> lock(sim_.mutex_);
          rate = sim_.module_.rate();
        }
        const int code = RateCode(rate);
        return Send(kTypeBaudRate, {static_cast<uint8_t>(code < 0 ? 0 : code)});
      }
      case kTypeSetBaudRate:
        return HandleSetBaudRate(message);
      case kTypeModuleData:
        return HandleModuleData(message, received);
      default:
        sim_.log_.Line("unknown message type " + Hex(message.type, 2) +
                       ", not answered");
        return true;
    }
  }

  bool HandleSetBaudRate(const ReaderMessage& message) {
    if (message.payload.size() != 1) {
      sim_.log_.Line("refused: SetBaudRate with " +
                     std::to_string(message.payload.size()) +
                     " payload bytes, expected 1");
      ++stats_.refused;
      return true;
    }
    const uint8_t code = message.payload[0];
    const int32_t rate = RateForCode(code);
    if (rate == 0) {
      sim_.log_.Line("SetBaudRate with unknown code " + std::to_string(code));
      return Send(kTypeSetBaudRateResult, {0});
    }
    if (options_.failRateChange) {
      sim_.log_.Line("SetBaudRate to " + std::to_string(rate) +
                     " fails (failing rate change)");
      return Send(kTypeSetBaudRateResult, {0});
    }
    {
      std::lock_guard<std::mutex> lock(sim_.mutex_);
      sim_.module_.ChangeRate(rate);
    }
    lineFree_ = Clock::time_point{};
    late_ = Clock::duration::zero();
    // The module restarts at its new rate; confirm once it is back.
    SleepUntil(Clock::now() +
               std::chrono::milliseconds(options_.rateRestartMs));
    return Send(kTypeSetBaudRateResult, {1});
  }

  bool HandleModuleData(const ReaderMessage& message,
                        Clock::time_point received) {
    ++frameIndex_;
    if (frameIndex_ == options_.loseRequestFrame) {
      sim_.log_.Line("module frame " + std::to_string(frameIndex_) +
                     " lost on the way to the module");
      return true;
    }
    std::vector<Bytes> answers;
    std::string why;
    int32_t rate;
    uint32_t updatePackets;
    {
      std::lock_guard<std::mutex> lock(sim_.mutex_);
      rate = sim_.module_.rate();
      answers = sim_.module_.Handle(message.payload.data(),
                                    message.payload.size(), received, why);
      updatePackets = sim_.module_.stats().updatePackets;
    }
    Pace(message.payload.size(), answers, rate, received);
    if (!SendAnswers(message, answers, why)) return false;
    if (!SendAfterAnswers(message, answers)) return false;
    if (frameIndex_ == options_.delayAnswerFrame ||
        frameIndex_ == options_.dripFrame ||
        frameIndex_ == options_.duplicateFrame ||
        frameIndex_ == options_.extraStatusFrame) {
      // The module was busy until the fault's last byte went out.
      lineFree_ = Clock::now();
      late_ = Clock::duration::zero();
    }
    if (options_.closeAfterPackets != 0 &&
        updatePackets >= options_.closeAfterPackets) {
      sim_.log_.Line("closing the connection after " +
                     std::to_string(updatePackets) + " update packets");
      stats_.closedBySimulator = true;
      return false;
    }
    return true;
  }

  // Holds the answers to a module frame that arrived at `received` until the
  // line time of the exchange (--line-timing) and the module's latency have
  // passed. The module takes one frame at a time, so both run from when the
  // previous exchange ended if that is later; meanwhile later requests wait
  // in the socket, as they would wait for a busy module.
  void Pace(size_t requestBytes, const std::vector<Bytes>& answers,
            int32_t rate, Clock::time_point received) {
    if (!options_.lineTiming && options_.answerLatencyMs == 0) return;
    Clock::duration lineTime = Clock::duration::zero();
    if (options_.lineTiming) {
      size_t bytes = requestBytes;
      for (const Bytes& a : answers) bytes += a.size();
      lineTime =
          std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
              static_cast<int64_t>(bytes) * 10 * 1000000000LL / rate));
    }
    // A request arrives later than it would have by as much as the previous
    // answer went out late (the sleep oversleeps), so that lateness is
    // taken off its start; otherwise it would add up from exchange to
    // exchange. The client's own turnaround is kept. At most a quarter of
    // the line time is taken off, though: after a long stall of this host
    // the answer would otherwise follow its request at once, and a
    // programmer that judges answers by how soon they follow their request
    // would rightly take it for a stray one. So an answer never goes out
    // sooner than 3/4 of its line time (plus the latency) after its
    // request arrived.
    const Clock::duration credit = std::min(late_, lineTime / 4);
    const Clock::time_point start = std::max(received - credit, lineFree_);
    lineFree_ =
        start + lineTime + std::chrono::milliseconds(options_.answerLatencyMs);
    SleepUntil(lineFree_);
    late_ = std::max(Clock::duration::zero(), Clock::now() - lineFree_);
  }

  // Sends the module's answers to the current frame, as they are or as a
  // fault of the reader changes them. False when the connection is to be
  // closed.
  bool SendAnswers(const ReaderMessage& message, std::vector<Bytes>& answers,
                   const std::string& why) {
    bool chaosSent = false;
    if (!SendChaos(message, answers, chaosSent)) return false;
    if (chaosSent) return true;  // sent (or withheld) by a chaos fault
    if (answers.empty()) {
      sim_.log_.Line("module frame " + std::to_string(frameIndex_) +
                     " not answered: " + why);
      return true;
    }
    if (frameIndex_ == options_.lowLengthFrame) {
      const uint8_t length = options_.lowLengthValue;
      Bytes full = {framing::kStart0,
                    framing::kStart1,
                    0,
                    length,
                    kTypeModuleData,
                    static_cast<uint8_t>(length ^ kTypeModuleData),
                    0x0D,
                    0x0A};
      full.resize(length);
      sim_.log_.Line("answer to module frame " + std::to_string(frameIndex_) +
                     " sent with length byte " + std::to_string(length));
      return SendRaw(full);
    }
    for (Bytes& answer : answers) {
      if (frameIndex_ == options_.oversizeFrame &&
          answer.size() < options_.oversizeLength) {
        answer.resize(options_.oversizeLength, 0);
        sim_.log_.Line("answer to module frame " + std::to_string(frameIndex_) +
                       " padded to " + std::to_string(answer.size()) +
                       " bytes");
      }
      if (!Send(kTypeModuleData, answer)) return false;
    }
    return true;
  }

  // --duplicate-answer and --extra-status: more after the module's answers,
  // a few ms later. The session sleeps meanwhile, so the next request waits
  // as it would for a reader busy relaying.
  bool SendAfterAnswers(const ReaderMessage& message,
                        const std::vector<Bytes>& answers) {
    const std::string which = "module frame " + std::to_string(frameIndex_);
    if (frameIndex_ == options_.duplicateFrame && !answers.empty()) {
      SleepUntil(Clock::now() +
                 std::chrono::milliseconds(options_.duplicateGapMs));
      sim_.log_.Line("answer to " + which + " sent again, " +
                     std::to_string(options_.duplicateGapMs) + " ms later");
      for (const Bytes& answer : answers) {
        if (!Send(kTypeModuleData, answer)) return false;
      }
    }
    if (frameIndex_ == options_.extraStatusFrame) {
      const Bytes& p = message.payload;
      // The address of the slice the frame carried, as a Status to it would
      // echo it; 0 after other frames.
      const uint32_t address =
          p.size() == 64 && p[0] == 0x55 && p[7] == kPacketSendCode
              ? ReadLe32(&p[13])
              : 0;
      SleepUntil(Clock::now() +
                 std::chrono::milliseconds(options_.extraStatusGapMs));
      sim_.log_.Line("unsolicited Status 00 sent " +
                     std::to_string(options_.extraStatusGapMs) +
                     " ms after the answer to " + which);
      if (!Send(kTypeModuleData,
                UpdateAnswer('S', kPacketSendCode, address, 0x00))) {
        return false;
      }
    }
    return true;
  }

  // --- Chaos faults of the soak (see SimOptions) ---

  // Applies the chaos fault meant for the current module frame, if any.
  // `sent` is set when the fault took over sending its answers. False when
  // the connection is to be closed.
  bool SendChaos(const ReaderMessage& message,
                 const std::vector<Bytes>& answers, bool& sent) {
    const uint32_t frame = frameIndex_;
    const std::string which = "module frame " + std::to_string(frame);
    if (frame == options_.closeAtFrame || frame == options_.resetAtFrame) {
      const bool reset = frame == options_.resetAtFrame;
      sim_.log_.Line((reset ? "resetting" : "closing") +
                     std::string(" the connection at ") + which);
      stats_.closedBySimulator = !reset;
      stats_.resetBySimulator = reset;
      sent = true;
      return false;
    }
    const Bytes& p = message.payload;
    if (options_.endlessEntry && !answers.empty() && p.size() == 64 &&
        p[0] == 0x55 && p[7] == kPacketEnter) {
      sent = true;
      return SendEndlessEntry();
    }
    if (answers.empty()) return true;
    if (frame == options_.dropAnswerFrame) {
      sim_.log_.Line("answer to " + which + " dropped");
      sent = true;
      return true;
    }
    if (frame != options_.delayAnswerFrame && frame != options_.corruptFrame &&
        frame != options_.dripFrame && frame != options_.junkFrame &&
        frame != options_.doubleFrame) {
      return true;
    }
    sent = true;
    Bytes wire;
    if (frame == options_.junkFrame) {
      // Bytes 0x01, 0x02, ... never hold B9 9B.
      for (uint32_t i = 0; i < options_.junkCount; ++i) {
        wire.push_back(static_cast<uint8_t>(i % 0x7F + 1));
      }
    }
    for (Bytes answer : answers) {
      // A payload byte is corrupted on the module's serial line, before the
      // reader frames it (so the check byte fits); the check byte by the
      // reader itself.
      const bool corrupt = frame == options_.corruptFrame;
      if (corrupt && !options_.corruptCheck) {
        const size_t at =
            std::min<size_t>(options_.corruptIndex, answer.size() - 1);
        answer[at] = static_cast<uint8_t>(~answer[at]);
      }
      if (options_.trace) {
        sim_.log_.Trace("<-", DescribeMessage(kTypeModuleData, answer));
      }
      Bytes m =
          BuildReaderMessage(kTypeModuleData, answer.data(), answer.size());
      if (corrupt && options_.corruptCheck) {
        m[5 + answer.size()] = static_cast<uint8_t>(~m[5 + answer.size()]);
      }
      wire.insert(wire.end(), m.begin(), m.end());
    }
    if (frame == options_.doubleFrame) {
      const Bytes once = wire;
      wire.insert(wire.end(), once.begin(), once.end());
    }
    std::string what;
    if (frame == options_.junkFrame) {
      what += ", after " + std::to_string(options_.junkCount) + " junk bytes";
    }
    if (frame == options_.corruptFrame) what += ", one byte inverted";
    if (frame == options_.doubleFrame) what += ", twice in one segment";
    if (frame == options_.delayAnswerFrame) {
      what += ", " + std::to_string(options_.delayAnswerMs) + " ms late";
      SleepUntil(Clock::now() +
                 std::chrono::milliseconds(options_.delayAnswerMs));
    }
    if (frame == options_.dripFrame) {
      what += ", dripped " + std::to_string(options_.dripGapMs) + " ms apart";
    }
    sim_.log_.Line("answer to " + which + " sent" + what);
    if (frame != options_.dripFrame) return SendRaw(wire);
    for (size_t i = 0; i < wire.size() && !sim_.stop_; ++i) {
      if (i > 0) {
        SleepUntil(Clock::now() +
                   std::chrono::milliseconds(options_.dripGapMs));
      }
      if (!net::SendAll(socket_, &wire[i], 1)) return true;  // the client left
      if (capture_) capture_->FromServer(WallClock::now(), &wire[i], 1);
    }
    return true;
  }

  // Answers Update_EnterUpdateMode with Begin, FirmwareUpdateCfg and End
  // answers until the client sends again or closes.
  bool SendEndlessEntry() {
    static constexpr char kLetters[] = "BFE";
    uint32_t count = 0;
    bool open = true;
    while (open && !sim_.stop_) {
      const Bytes answer = UpdateAnswer(
          static_cast<uint8_t>(kLetters[count % 3]), kPacketEnter, 0, 0);
      const Bytes m =
          BuildReaderMessage(kTypeModuleData, answer.data(), answer.size());
      open = net::SendAll(socket_, m.data(), static_cast<int>(m.size()));
      if (open && capture_) {
        capture_->FromServer(WallClock::now(), m.data(), m.size());
      }
      if (open) ++count;
      if (net::WaitReadable(socket_, 10)) break;
    }
    sim_.log_.Line("sent " + std::to_string(count) +
                   " entry answers without a Status (endless entry)");
    return open;
  }

  // --pcap: the connection as the wire would show it.
  void OpenCapture() {
    if (!sim_.pcap_.is_open()) return;
    TcpEndpoint client;
    if (!net::PeerAddress(socket_, &client.address, &client.port)) {
      sim_.log_.Line("connection " + std::to_string(stats_.number) +
                     ": its peer is unknown, not captured");
      return;
    }
    TcpEndpoint server;
    server.port = sim_.port_;
    capture_ =
        std::make_unique<TcpCapture>(sim_.pcap_, client, server, stats_.number);
    capture_->Opened(WallClock::now());
  }

  Simulator& sim_;
  const SimOptions& options_;
  net::SocketHandle socket_;
  std::unique_ptr<TcpCapture> capture_;
  ReaderMessageParser parser_;
  ConnectionStats stats_;
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

Simulator::Simulator(SimOptions options)
    : options_(std::move(options)), log_(options_.log), module_(options_) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start() {
  if (thread_.joinable()) return false;
  if (!options_.pcapPath.empty() && !pcap_.is_open() &&
      !pcap_.Open(options_.pcapPath)) {
    log_.Line("cannot write the capture " + options_.pcapPath);
    return false;
  }
  listener_ = net::ListenLoopback(options_.port, &port_);
  listenError_ = listener_ == net::kInvalidSocket ? net::LastError() : 0;
  if (listener_ == net::kInvalidSocket) {
    log_.Line("cannot listen on 127.0.0.1:" + std::to_string(options_.port) +
              ", error " + std::to_string(listenError_));
    return false;
  }
  log_.Line("listening on 127.0.0.1:" + std::to_string(port_));
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void Simulator::Stop() {
  stop_ = true;
  Wait();
}

void Simulator::Wait() {
  if (thread_.joinable()) thread_.join();
}

Bytes Simulator::Flash() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return module_.flash();
}

int32_t Simulator::ModuleRate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return module_.rate();
}

std::vector<ConnectionStats> Simulator::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

bool Simulator::WaitForConnections(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return connections_.size() >= count; });
}

void Simulator::Serve() {
  uint32_t served = 0;
  while (!stop_) {
    if (!net::WaitReadable(listener_, kPollMs)) continue;
    const net::SocketHandle client = net::Accept(listener_);
    if (client == net::kInvalidSocket) continue;
    ++served;
    log_.Line("connection " + std::to_string(served) + " accepted");
    // A client that stops reading cannot hold the simulator in a send.
    if (options_.idleTimeoutMs != 0) {
      net::SetSendTimeout(client, options_.idleTimeoutMs);
    }
    ReaderSession session(*this, client, served);
    ConnectionStats stats = session.Run();
    if (stats.resetBySimulator) {
      net::CloseWithReset(client);
    } else {
      net::ShutdownSend(client);
      net::Close(client);
    }
    Finish(stats);
    if (options_.maxConnections != 0 && served >= options_.maxConnections) {
      break;
    }
  }
  net::Close(listener_);
  listener_ = net::kInvalidSocket;
}

void Simulator::Finish(ConnectionStats stats) {
  Bytes flash = Flash();
  if (!options_.expectImage.empty()) {
    stats.expectGiven = true;
    stats.flashMatchesExpect = flash == options_.expectImage;
  }
  if (!options_.flashOut.empty()) {
    std::ofstream out(options_.flashOut, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(flash.data()),
              static_cast<std::streamsize>(flash.size()));
    if (!out) log_.Line("cannot write the flash to " + options_.flashOut);
  }
  std::string line = "connection " + std::to_string(stats.number) +
                     " summary: " + std::to_string(stats.moduleFrames) +
                     " module frames, " + std::to_string(stats.updatePackets) +
                     " update packets, " + std::to_string(stats.retries) +
                     " retries, " + std::to_string(stats.bytesWritten) +
                     " bytes written, ";
  if (stats.refused != 0) {
    line += std::to_string(stats.refused) + " refused, ";
  }
  if (stats.expectGiven) {
    line += stats.flashMatchesExpect ? "flash equals the expected image"
                                     : "flash DIFFERS from the expected image";
  } else {
    line += "no expected image";
  }
  log_.Line(line);
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.push_back(stats);
  changed_.notify_all();
}

}  // namespace modflash::sim
