#include "tools/readersim/reader_session.h"

#include <algorithm>

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
    if (!context_.loop.WaitReadable(socket_, kPollMs)) {
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
  if (got < 0 && net::LastError() == net::wsa::kWouldBlock) return true;
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
        SleepUntil(Clock::now() +
                   std::chrono::milliseconds(options_.byteGapMs));
      }
      ok = SendBytes(&bytes[i], 1);
      if (ok && capture_) {
        capture_->FromServer(WallClock::now(), &bytes[i], 1);
      }
    }
  } else {
    ok = SendBytes(bytes.data(), bytes.size());
    if (ok && capture_) {
      capture_->FromServer(WallClock::now(), bytes.data(), bytes.size());
    }
  }
  if (!ok) {
    context_.log.Line("sending failed, error " + std::to_string(sendError_));
  }
  return ok;
}

bool ReaderSession::SendBytes(const uint8_t* data, size_t length) {
  size_t done = 0;
  Clock::time_point lastProgress = Clock::now();
  while (done < length) {
    const int sent =
        net::Send(socket_, data + done, static_cast<int>(length - done));
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      lastProgress = Clock::now();
      continue;
    }
    sendError_ = net::LastError();
    if (sent == 0 || sendError_ != net::wsa::kWouldBlock || context_.stop) {
      return false;
    }
    // A client that stops reading cannot hold the simulator for good.
    if (options_.idleTimeoutMs != 0 &&
        Clock::now() - lastProgress >=
            std::chrono::milliseconds(options_.idleTimeoutMs)) {
      sendError_ = net::wsa::kTimedOut;
      return false;
    }
    context_.loop.WaitWritable(socket_, kPollMs);
  }
  return true;
}

// Sleeps until `until`, waking early when the simulator stops.
void ReaderSession::SleepUntil(Clock::time_point until) {
  while (!context_.stop) {
    const Clock::time_point now = Clock::now();
    if (now >= until) return;
    context_.loop.SleepUntil(
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
      frameIndex_ == options_.noiseFrame || frameIndex_ == options_.dripFrame ||
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
  lineFree_ = start + lineTime + std::chrono::milliseconds(LatencyMs());
  SleepUntil(lineFree_);
  late_ = std::max(Clock::duration::zero(), Clock::now() - lineFree_);
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
