#include "tools/readersim/reader_session.h"

#include <algorithm>
#include <thread>

namespace modflash::sim {
namespace {

constexpr int kPollMs = 50;
// At most one log line of refused input per connection in this time.
constexpr auto kRefusalLineInterval = std::chrono::seconds(10);

}  // namespace

std::string ReceivedTypes(const std::map<uint8_t, uint32_t>& received) {
  std::string text;
  for (const auto& [type, count] : received) {
    if (!text.empty()) text += ' ';
    text += Hex(type, 2) + "x" + std::to_string(count);
  }
  return text.empty() ? "none" : text;
}

ReaderSession::ReaderSession(const SessionContext& context,
                             net::SocketHandle socket, uint32_t number)
    : context_(context), options_(context.options), socket_(socket) {
  stats_.number = number;
  OpenCapture();
}

ConnectionStats ReaderSession::Run() {
  {
    std::lock_guard<std::mutex> lock(context_.mutex);
    context_.module.Reset();
  }
  bool open = true;
  Clock::time_point lastActivity = Clock::now();
  while (open && !context_.stop) {
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
    std::lock_guard<std::mutex> lock(context_.mutex);
    const ModuleStats& m = context_.module.stats();
    stats_.moduleFrames = m.moduleFrames;
    stats_.updatePackets = m.updatePackets;
    stats_.retries = m.retries;
    stats_.bytesWritten = m.bytesWritten;
  }
  return stats_;
}

bool ReaderSession::IdleTooLong(Clock::time_point lastActivity) {
  if (options_.idleTimeoutMs == 0 ||
      Clock::now() - lastActivity <
          std::chrono::milliseconds(options_.idleTimeoutMs)) {
    return false;
  }
  context_.log.Line("connection " + std::to_string(stats_.number) +
                    ": nothing arrived for " +
                    std::to_string(options_.idleTimeoutMs) + " ms, closing it");
  stats_.idleTimedOut = true;
  return true;
}

// Reads what has arrived and handles every whole message in it. False
// when the connection is over.
bool ReaderSession::ReadAndHandle() {
  uint8_t chunk[2048];
  const int got = net::Recv(socket_, chunk, static_cast<int>(sizeof chunk));
  if (got == 0 && capture_) capture_->ClientClosed(WallClock::now());
  if (got <= 0) {
    context_.log.Line("connection " + std::to_string(stats_.number) +
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
      continue;
    }
    ++stats_.received[message.type];
    if (!HandleMessage(message, received)) return false;
  }
}

// Refused input is summed up per connection, however it mixes with good
// messages (junk before every message must not flood the log either): the
// first refusal gets a line with its reason at once, later ones a line at
// most every kRefusalLineInterval and one when the connection ends, and
// the connection's summary counts them all.
void ReaderSession::NoteRefusal(const std::string& reason) {
  ++stats_.refused;
  if (!refusalSeen_) {
    refusalSeen_ = true;
    context_.log.Line("refused: " + reason);
    lastRefusalLine_ = Clock::now();
    return;
  }
  if (refusedSince_++ == 0) firstRefusalSince_ = reason;
  ReportRefused(false);
}

// The line for the refusals since the last one, when it is due.
void ReaderSession::ReportRefused(bool last) {
  if (refusedSince_ == 0) return;
  if (!last && Clock::now() - lastRefusalLine_ < kRefusalLineInterval) {
    return;
  }
  std::string line = "refused: " + firstRefusalSince_;
  if (refusedSince_ > 1) {
    line += " (first of " + std::to_string(refusedSince_) +
            " refusals since the last such line)";
  }
  context_.log.Line(line);
  refusedSince_ = 0;
  lastRefusalLine_ = Clock::now();
}

bool ReaderSession::Send(uint8_t type, const Bytes& payload) {
  if (options_.trace) context_.log.Trace("<-", DescribeMessage(type, payload));
  const Bytes message =
      BuildReaderMessage(type, payload.data(), payload.size());
  return SendRaw(message);
}

bool ReaderSession::SendRaw(const Bytes& bytes) {
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
    context_.log.Line("sending failed, error " +
                      std::to_string(net::LastError()));
  }
  return ok;
}

// Sleeps until `until`, waking early when the simulator stops.
void ReaderSession::SleepUntil(Clock::time_point until) {
  while (!context_.stop) {
    const Clock::time_point now = Clock::now();
    if (now >= until) return;
    std::this_thread::sleep_until(
        std::min(until, now + std::chrono::milliseconds(kPollMs)));
  }
}

bool ReaderSession::Ignored(uint8_t type) const {
  return std::find(options_.ignoreTypes.begin(), options_.ignoreTypes.end(),
                   type) != options_.ignoreTypes.end();
}

// False when the connection is to be closed.
bool ReaderSession::HandleMessage(const ReaderMessage& message,
                                  Clock::time_point received) {
  if (options_.trace) {
    context_.log.Trace("->", DescribeMessage(message.type, message.payload));
  }
  if (Ignored(message.type)) {
    context_.log.Line("message type " + Hex(message.type, 2) +
                      " not answered (ignored type)");
    return true;
  }
  switch (message.type) {
    case kTypeGetBaudRate: {
      int32_t rate;
      {
        std::lock_guard<std::mutex> lock(context_.mutex);
        rate = context_.module.rate();
      }
      const int code = RateCode(rate);
      return Send(kTypeBaudRate, {static_cast<uint8_t>(code < 0 ? 0 : code)});
    }
    case kTypeSetBaudRate:
      return HandleSetBaudRate(message);
    case kTypeModuleData:
      return HandleModuleData(message, received);
    default:
      context_.log.Line("unknown message type " + Hex(message.type, 2) +
                        ", not answered");
      return true;
  }
}

bool ReaderSession::HandleSetBaudRate(const ReaderMessage& message) {
  if (message.payload.size() != 1) {
    context_.log.Line("refused: SetBaudRate with " +
                      std::to_string(message.payload.size()) +
                      " payload bytes, expected 1");
    ++stats_.refused;
    return true;
  }
  const uint8_t code = message.payload[0];
  const int32_t rate = RateForCode(code);
  if (rate == 0) {
    context_.log.Line("SetBaudRate with unknown code " + std::to_string(code));
    return Send(kTypeSetBaudRateResult, {0});
  }
  if (options_.failRateChange) {
    context_.log.Line("SetBaudRate to " + std::to_string(rate) +
                      " fails (failing rate change)");
    return Send(kTypeSetBaudRateResult, {0});
  }
  {
    std::lock_guard<std::mutex> lock(context_.mutex);
    context_.module.ChangeRate(rate);
  }
  lineFree_ = Clock::time_point{};
  late_ = Clock::duration::zero();
  // The module restarts at its new rate; confirm once it is back.
  SleepUntil(Clock::now() + std::chrono::milliseconds(options_.rateRestartMs));
  return Send(kTypeSetBaudRateResult, {1});
}

bool ReaderSession::HandleModuleData(const ReaderMessage& message,
                                     Clock::time_point received) {
  ++frameIndex_;
  if (frameIndex_ == options_.loseRequestFrame) {
    context_.log.Line("module frame " + std::to_string(frameIndex_) +
                      " lost on the way to the module");
    return true;
  }
  std::vector<Bytes> answers;
  std::string why;
  int32_t rate;
  uint32_t updatePackets;
  {
    std::lock_guard<std::mutex> lock(context_.mutex);
    rate = context_.module.rate();
    answers = context_.module.Handle(message.payload.data(),
                                     message.payload.size(), received, why);
    updatePackets = context_.module.stats().updatePackets;
  }
  Pace(message.payload.size(), answers, rate, received);
  if (!SendAnswers(message, answers, why)) return false;
  if (!SendAfterAnswers(message, answers)) return false;
  if (!SendLineFaults(answers)) return false;
  if (frameIndex_ == options_.delayAnswerFrame ||
      frameIndex_ == options_.piecesFrame ||
      frameIndex_ == options_.noiseFrame ||
      frameIndex_ == options_.dripFrame ||
      frameIndex_ == options_.duplicateFrame ||
      frameIndex_ == options_.extraStatusFrame) {
    // The module was busy until the fault's last byte went out.
    lineFree_ = Clock::now();
    late_ = Clock::duration::zero();
  }
  if (options_.closeAfterPackets != 0 &&
      updatePackets >= options_.closeAfterPackets) {
    context_.log.Line("closing the connection after " +
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
void ReaderSession::Pace(size_t requestBytes, const std::vector<Bytes>& answers,
                         int32_t rate, Clock::time_point received) {
  if (!options_.lineTiming && !HasLatency()) return;
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
      start + lineTime + std::chrono::milliseconds(LatencyMs());
  SleepUntil(lineFree_);
  late_ = std::max(Clock::duration::zero(), Clock::now() - lineFree_);
}

// Sends the module's answers to the current frame, as they are or as a
// fault of the reader changes them. False when the connection is to be
// closed.
bool ReaderSession::SendAnswers(const ReaderMessage& message,
                                std::vector<Bytes>& answers,
                                const std::string& why) {
  bool chaosSent = false;
  if (!SendChaos(message, answers, chaosSent)) return false;
  if (chaosSent) return true;  // sent (or withheld) by a chaos fault
  if (answers.empty()) {
    context_.log.Line("module frame " + std::to_string(frameIndex_) +
                      " not answered: " + why);
    return true;
  }
  if (frameIndex_ == options_.lowLengthFrame) return SendLowLength();
  for (Bytes& answer : answers) {
    if (frameIndex_ == options_.oversizeFrame &&
        answer.size() < options_.oversizeLength) {
      answer.resize(options_.oversizeLength, 0);
      context_.log.Line("answer to module frame " +
                        std::to_string(frameIndex_) + " padded to " +
                        std::to_string(answer.size()) + " bytes");
    }
    if (!Send(kTypeModuleData, answer)) return false;
  }
  return true;
}

// --low-length: a message head whose length byte is too small for any
// message, cut to that many bytes.
bool ReaderSession::SendLowLength() {
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
  context_.log.Line("answer to module frame " + std::to_string(frameIndex_) +
                    " sent with length byte " + std::to_string(length));
  return SendRaw(full);
}

// --duplicate-answer and --extra-status: more after the module's answers,
// a few ms later. The session sleeps meanwhile, so the next request waits
// as it would for a reader busy relaying.
bool ReaderSession::SendAfterAnswers(const ReaderMessage& message,
                                     const std::vector<Bytes>& answers) {
  const std::string which = "module frame " + std::to_string(frameIndex_);
  if (frameIndex_ == options_.duplicateFrame && !answers.empty()) {
    SleepUntil(Clock::now() +
               std::chrono::milliseconds(options_.duplicateGapMs));
    context_.log.Line("answer to " + which + " sent again, " +
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
    context_.log.Line("unsolicited Status 00 sent " +
                      std::to_string(options_.extraStatusGapMs) +
                      " ms after the answer to " + which);
    if (!Send(kTypeModuleData,
              AsModuleWould(UpdateAnswer('S', kPacketSendCode, address, 0)))) {
      return false;
    }
  }
  return true;
}

// Applies the chaos fault meant for the current module frame, if any.
// `sent` is set when the fault took over sending its answers. False when
// the connection is to be closed.
bool ReaderSession::SendChaos(const ReaderMessage& message,
                              const std::vector<Bytes>& answers, bool& sent) {
  const uint32_t frame = frameIndex_;
  if (frame == options_.closeAtFrame || frame == options_.resetAtFrame) {
    sent = true;
    return CutConnection();
  }
  const Bytes& p = message.payload;
  if (options_.endlessEntry && !answers.empty() && p.size() == 64 &&
      p[0] == 0x55 && p[7] == kPacketEnter) {
    sent = true;
    return SendEndlessEntry();
  }
  if (answers.empty()) return true;
  if (frame == options_.dropAnswerFrame) {
    context_.log.Line("answer to module frame " + std::to_string(frame) +
                      " dropped");
    sent = true;
    return true;
  }
  if (!Reshapes(frame)) return true;
  sent = true;
  return SendReshaped(answers);
}

// --close-at and --reset-at: always false, the connection ends.
bool ReaderSession::CutConnection() {
  const bool reset = frameIndex_ == options_.resetAtFrame;
  context_.log.Line((reset ? "resetting" : "closing") +
                    std::string(" the connection at module frame ") +
                    std::to_string(frameIndex_));
  stats_.closedBySimulator = !reset;
  stats_.resetBySimulator = reset;
  return false;
}

// Whether a fault changes how the answers to `frame` go out.
bool ReaderSession::Reshapes(uint32_t frame) const {
  return frame == options_.delayAnswerFrame || frame == options_.corruptFrame ||
         frame == options_.dripFrame || frame == options_.junkFrame ||
         frame == options_.doubleFrame;
}

// The bytes the reshaping faults make of the answers to the current frame:
// junk before them, a byte inverted, all of it twice.
Bytes ReaderSession::ReshapedWire(const std::vector<Bytes>& answers) const {
  const uint32_t frame = frameIndex_;
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
      context_.log.Trace("<-", DescribeMessage(kTypeModuleData, answer));
    }
    Bytes m = BuildReaderMessage(kTypeModuleData, answer.data(), answer.size());
    if (corrupt && options_.corruptCheck) {
      m[5 + answer.size()] = static_cast<uint8_t>(~m[5 + answer.size()]);
    }
    wire.insert(wire.end(), m.begin(), m.end());
  }
  if (frame == options_.doubleFrame) {
    const Bytes once = wire;
    wire.insert(wire.end(), once.begin(), once.end());
  }
  return wire;
}

// Sends the reshaped answers, late or dripped if so asked, after a line
// that says what was done to them.
bool ReaderSession::SendReshaped(const std::vector<Bytes>& answers) {
  const uint32_t frame = frameIndex_;
  const Bytes wire = ReshapedWire(answers);
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
  context_.log.Line("answer to module frame " + std::to_string(frame) +
                    " sent" + what);
  return frame == options_.dripFrame ? Drip(wire) : SendRaw(wire);
}

// --drip: one byte at a time. True also when the client left meanwhile.
bool ReaderSession::Drip(const Bytes& wire) {
  for (size_t i = 0; i < wire.size() && !context_.stop; ++i) {
    if (i > 0) {
      SleepUntil(Clock::now() + std::chrono::milliseconds(options_.dripGapMs));
    }
    if (!net::SendAll(socket_, &wire[i], 1)) return true;
    if (capture_) capture_->FromServer(WallClock::now(), &wire[i], 1);
  }
  return true;
}

// Answers Update_EnterUpdateMode with Begin, FirmwareUpdateCfg and End
// answers until the client sends again or closes.
bool ReaderSession::SendEndlessEntry() {
  static constexpr char kLetters[] = "BFE";
  uint32_t count = 0;
  bool open = true;
  while (open && !context_.stop) {
    const Bytes answer = UpdateAnswer(static_cast<uint8_t>(kLetters[count % 3]),
                                      kPacketEnter, 0, 0);
    const Bytes m =
        BuildReaderMessage(kTypeModuleData, answer.data(), answer.size());
    open = net::SendAll(socket_, m.data(), static_cast<int>(m.size()));
    if (open && capture_) {
      capture_->FromServer(WallClock::now(), m.data(), m.size());
    }
    if (open) ++count;
    if (net::WaitReadable(socket_, 10)) break;
  }
  context_.log.Line("sent " + std::to_string(count) +
                    " entry answers without a Status (endless entry)");
  return open;
}

// --pcap: the connection as the wire would show it.
void ReaderSession::OpenCapture() {
  if (!context_.pcap.is_open()) return;
  TcpEndpoint client;
  if (!net::PeerAddress(socket_, &client.address, &client.port)) {
    context_.log.Line("connection " + std::to_string(stats_.number) +
                      ": its peer is unknown, not captured");
    return;
  }
  TcpEndpoint server;
  server.port = context_.port;
  capture_ = std::make_unique<TcpCapture>(context_.pcap, client, server,
                                          stats_.number);
  capture_->Opened(WallClock::now());
}

}  // namespace modflash::sim
