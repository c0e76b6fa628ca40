// The reader faults that change how the module's answers go out: cut,
// reshaped, late, dripped, doubled or endless.

#include <algorithm>

#include "tools/readersim/reader_session.h"

namespace modflash::sim {

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
    if (!SendBytes(&wire[i], 1)) return true;
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
    open = SendBytes(m.data(), m.size());
    if (open && capture_) {
      capture_->FromServer(WallClock::now(), m.data(), m.size());
    }
    if (open) ++count;
    if (context_.loop.WaitReadable(socket_, 10)) break;
  }
  context_.log.Line("sent " + std::to_string(count) +
                    " entry answers without a Status (endless entry)");
  return open;
}

}  // namespace modflash::sim
