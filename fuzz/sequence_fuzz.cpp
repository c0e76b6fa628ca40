// A whole dry or programming run over a fake link whose module and reader
// are played by the input, checked against the promises of a run:
//  - exit 0 only when the module accepted every slice of the image, took
//    Update_Complete with the completion status for the run's kind, and
//    answered a version poll after it; in a programming run with the
//    image's version;
//  - never more link calls than MaxLinkCalls() (no endless loop);
//  - every failure ends with one of the operator guide's failure lines.
// Delays are counted, never slept.
//
// The reader may lose requests and answers and deliver answers late,
// twice, or unasked, within what the link covers: a late answer arrives
// before the line has settled after the time-out, a duplicated or
// unsolicited answer either waits before the next request or comes
// implausibly soon after it. The fake link keeps the real link's promises
// for these: what waits before a request is thrown away, an early answer is
// not taken while the transfer is watched, settling throws away whatever is
// still on its way, and each of these is counted as an anomaly.
//
// Input: a flags byte (bit 0 dry run, bit 1 earlier revision, bits 2-3 the
// module's rate, bits 4-6 GetBaudRate / first / final SetBaudRate fail),
// the module's version before the update (3 bytes), the image's length in
// slices less one (1 byte: up to two progress markers' worth), then one op
// per request the module is sent (see Process). Once the input is used up
// the module falls silent.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/update_sequence.h"
#include "fuzz/fuzz_check.h"
#include "image/code_file.h"
#include "link/update_comm.h"

namespace {

using modflash::fuzz::InputReader;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFileMajor = 2, kFileMinor = 3, kFilePatch = 4;
constexpr int32_t kRates[] = {115200, 230400, 460800, 921600};

// The most link calls a run that sends `slices` slices can make:
//   probe: 4 x (SetLinkBaudRate, Send, Receive) and a quiet bracket    14
//   GetBaudRate and SetBaudRate(115200)                                  2
//   restart wait: bracket, 8 delays, 20 x (Send, Receive, Delay),
//   the settling after missed polls                                     71
//   version read                                                         2
//   bracket, prepare request (Send, Receive), its pause                  4
//   entry: Send, at most 32 answers, bracket closed                     34
//   transfer: its watch and the quiet check                              3
//             slices x 5 tries x (Send, Receive, discard)     slices x 15
//   Update_Complete                                                      2
//   second restart wait                                                 71
//   final SetBaudRate, Disconnect                                        2
// 205 + 15 per slice: at most 4045.
constexpr size_t MaxLinkCalls(size_t slices) { return 205 + slices * 15; }

/// What the module did and what the link saw; it outlives the link, which
/// the run destroys.
struct Record {
  size_t calls = 0;
  std::vector<bool> accepted;  ///< slices the module accepted
  bool completeTaken = false;  ///< the module completed the update
  bool answeredAfterComplete = false;
  uint8_t versionAfter[3] = {};
};

/// When an answer reaches the link.
enum class Arrival {
  kNow,         ///< in the wait for its own request
  kLate,        ///< after its request's time-out, before the line settles
  kBeforeNext,  ///< after its request's answer, before the next request
  kSoonAfter,   ///< implausibly soon after the next request
  kInWait,      ///< a late answer, in the wait for a later request
  kEarly,       ///< a stray arriving soon after the current request
};

struct OnWire {
  Bytes bytes;
  Arrival arrival;
};

/// The module and reader as the input plays them.
class ScriptedLink : public modflash::UpdateComm {
 public:
  ScriptedLink(InputReader& in, Record& record, uint8_t flags, uint8_t major,
               uint8_t minor, uint8_t patch)
      : in_(in), r_(record), flags_(flags) {
    version_[0] = major;
    version_[1] = minor;
    version_[2] = patch;
  }

  void Delay(uint32_t) override { ++r_.calls; }
  bool GetBaudRate(int32_t& rate) override {
    ++r_.calls;
    if (flags_ & 0x10 || TakesStray()) return false;
    rate = kRates[(flags_ >> 2) & 3];
    return true;
  }
  bool SetBaudRate(int32_t) override {
    ++r_.calls;
    const bool first = rateSets_++ == 0;
    if (TakesStray()) return false;
    return !(flags_ & (first ? 0x20 : 0x40));
  }
  bool Connect() override { return ++r_.calls, true; }
  bool Send(const uint8_t* data, int32_t length) override {
    ++r_.calls;
    NewRequest();
    std::memcpy(sent_, data, static_cast<size_t>(length > 64 ? 64 : length));
    sentLength_ = length;
    Process(0);
    return true;
  }
  void SetQuietMode(bool) override { ++r_.calls; }
  int32_t Receive(uint8_t* buffer, int32_t capacity) override;
  void Disconnect() override { ++r_.calls; }
  bool SetLinkBaudRate(int32_t) override { return ++r_.calls, false; }
  void DiscardLateAnswers() override {
    ++r_.calls;
    if (timedOut_) Settle();
  }
  void WatchPairing(bool on) override {
    ++r_.calls;
    watching_ = on;
    if (on) anomalies_ = modflash::PairingAnomalies{};
  }
  modflash::PairingAnomalies Anomalies() const override { return anomalies_; }
  bool AwaitQuietLine() override {
    ++r_.calls;
    return !Settle();
  }

 private:
  bool dryRun() const { return (flags_ & 1) != 0; }
  bool IsSlice() const { return sentLength_ == 64 && sent_[7] == 3; }
  bool IsComplete() const { return sentLength_ == 64 && sent_[7] == 4; }

  // A new request goes out: what waited before it is thrown away, what is
  // still on its way arrives in its wait.
  void NewRequest() {
    std::deque<OnWire> kept;
    bool stray = false;
    for (OnWire& w : wire_) {
      switch (w.arrival) {
        case Arrival::kLate:
        case Arrival::kInWait:
          w.arrival = Arrival::kInWait;
          kept.push_back(std::move(w));
          break;
        case Arrival::kSoonAfter:
          w.arrival = Arrival::kEarly;
          kept.push_back(std::move(w));
          break;
        default:
          stray = true;
      }
    }
    wire_ = std::move(kept);
    if (stray) ++anomalies_.strayInput;
  }

  // A reader message exchange: a module answer in its wait spoils it.
  bool TakesStray() {
    NewRequest();
    if (wire_.empty()) return false;
    wire_.pop_front();
    return true;
  }

  // Throws away everything still on its way; true when there was some.
  bool Settle() {
    timedOut_ = false;
    const bool any = !wire_.empty();
    wire_.clear();
    if (any) ++anomalies_.strayInput;
    return any;
  }

  // The answer a sound module gives to the last request.
  Bytes SoundAnswer() const {
    if (sentLength_ == 16) {
      Bytes a(16, 0);
      std::memcpy(a.data(), sent_, 6);
      a[7] = version_[0];
      a[8] = version_[1];
      a[9] = version_[2];
      return a;
    }
    Bytes a(20, 0);
    a[0] = 'S';
    a[7] = sent_[7];
    switch (sent_[7]) {
      case modflash::Update_EnterUpdateMode:
        a[17] = 0x0E;
        break;
      case modflash::Update_Complete:
        a[17] = dryRun() ? 0x0A : 0x09;
        break;
      default:
        a[17] = 0x00;
    }
    return a;
  }

  // The module takes the request and answers `a`, which says truthfully
  // whether it accepted a slice or completed the update.
  void Take(const Bytes& a) {
    const bool status = a.size() >= 18 && a[0] == 'S';
    if (IsSlice() && status && a[17] == 0) {
      uint32_t address = 0;
      for (int i = 16; i >= 13; --i) address = address << 8 | sent_[i];
      const size_t slice = (address - modflash::kFlashBase) / 32;
      if (slice < r_.accepted.size()) r_.accepted[slice] = true;
    }
    if (IsComplete() && status && a[17] == (dryRun() ? 0x0A : 0x09)) {
      r_.completeTaken = true;
      // The module now holds the image's version (dry run: its own).
      if (!dryRun()) {
        version_[0] = kFileMajor;
        version_[1] = kFileMinor;
        version_[2] = kFilePatch;
      }
    }
  }

  void Emit(Bytes a, Arrival arrival) {
    wire_.push_back({std::move(a), arrival});
  }

  // One op per request: the low four bits pick what the module and the
  // reader do, the high four a repeat of 2^n requests of that kind.
  void Process(int depth) {
    if (repeat_ == 0) {
      if (in_.empty()) return;  // silent from here on
      const uint8_t op = in_.Byte();
      kind_ = op & 15;
      repeat_ = 1u << ((op >> 4) & 15);
      arg_ = in_.Byte();
    }
    --repeat_;
    Bytes a = SoundAnswer();
    switch (kind_) {
      case 1:  // the request is lost: the module never sees it
        return;
      case 2:  // the answer is lost
        Take(a);
        lostResult_ = (arg_ & 1) ? -1 : 0;
        return;
      case 3:  // a Status with this status byte
        a.resize(20);
        a[0] = 'S';
        a[17] = arg_;
        break;
      case 4:  // a Begin, FirmwareUpdateCfg or End answer, then the next op's
        a.resize(20);
        a[0] = static_cast<uint8_t>("BFES"[arg_ & 3]);
        if (a[0] == 'S') break;
        Emit(a, Arrival::kNow);
        if (depth < 40) Process(depth + 1);
        return;
      case 5: {  // bytes from the input in place of the sound answer
        Take(a);
        size_t got = 0;
        const uint8_t* bytes = in_.Bytes(arg_ % 248, got);
        Emit(Bytes(bytes, bytes + got), Arrival::kNow);
        return;
      }
      case 6:  // a version answer with another version
        if (sentLength_ == 16) {
          a[7] = arg_;
          a[8] = in_.Byte();
          a[9] = in_.Byte();
        }
        break;
      case 7:  // the sound answer cut short
        Take(a);
        a.resize(arg_ % (a.size() + 1));
        Emit(a, Arrival::kNow);
        return;
      case 8:  // the answer comes late (when it is the request's only one)
        Take(a);
        Emit(a, depth == 0 ? Arrival::kLate : Arrival::kNow);
        return;
      case 9:   // the answer twice
      case 10:  // the answer and an unsolicited Status 00
        Take(a);
        Emit(a, Arrival::kNow);
        if (kind_ == 10)
          a = Bytes{'S', 0, 0, 0, 0, 0, 0, 3, 0, 0,
                    0,   0, 0, 0, 0, 0, 0, 0, 0, 0};
        Emit(a, (arg_ & 1) ? Arrival::kSoonAfter : Arrival::kBeforeNext);
        return;
      default:
        break;
    }
    Take(a);
    Emit(a, Arrival::kNow);
  }

  // Notes what the sequence may conclude from a delivered answer.
  void Judge(const Bytes& a) {
    if (!r_.completeTaken || r_.answeredAfterComplete) return;
    if (sentLength_ == 16 && sent_[5] == 0x60 && a.size() == 16 && a[6] == 0) {
      r_.answeredAfterComplete = true;
      std::memcpy(r_.versionAfter, a.data() + 7, 3);
    }
  }

  InputReader& in_;
  Record& r_;
  uint8_t flags_;
  uint8_t version_[3];
  uint8_t sent_[64] = {};
  int32_t sentLength_ = 0;
  int rateSets_ = 0;
  uint32_t repeat_ = 0;
  uint8_t kind_ = 0;
  uint8_t arg_ = 0;
  int32_t lostResult_ = 0;
  std::deque<OnWire> wire_;
  bool watching_ = false;
  bool timedOut_ = false;
  modflash::PairingAnomalies anomalies_;
};

int32_t ScriptedLink::Receive(uint8_t* buffer, int32_t capacity) {
  ++r_.calls;
  // What is on its way arrives in this order: a stray soon after the
  // request, the request's own answers, a late answer of an earlier
  // request, and what follows the answers before the next request.
  static constexpr Arrival kOrder[] = {Arrival::kEarly, Arrival::kNow,
                                       Arrival::kInWait, Arrival::kBeforeNext};
  for (;;) {
    auto next = wire_.end();
    for (const Arrival arrival : kOrder) {
      for (auto w = wire_.begin(); w != wire_.end() && next == wire_.end();
           ++w) {
        if (w->arrival == arrival) next = w;
      }
    }
    if (next == wire_.end()) {
      ++anomalies_.timeouts;
      timedOut_ = true;
      const int32_t result = lostResult_;
      lostResult_ = 0;
      return result;
    }
    OnWire w = std::move(*next);
    wire_.erase(next);
    if (w.arrival == Arrival::kEarly && watching_) {
      ++anomalies_.earlyAnswers;  // not taken; the wait goes on
      continue;
    }
    const int32_t length = static_cast<int32_t>(w.bytes.size());
    const int32_t n = length < capacity ? length : capacity;
    if (n > 0) std::memcpy(buffer, w.bytes.data(), static_cast<size_t>(n));
    Judge(w.bytes);
    return n;
  }
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// The failure lines a run may end with.
bool KnownFailureLine(const std::string& line) {
  static const char* const kExact[] = {
      "Unable to determine module's baud rate",
      "Unable to retrieve module baud rate",
      "Unable to set module baud rate to 115200 baud",
      "Unable to set module baud rate to 115 baud",
      "Unable to retrieve firmware version",
      "Unable to put reader into the module firmware update mode",
      "Update_EnterUpdateMode returned an error response.",
      "Update_Complete returned an error response.",
      ("Transfer not confirmed: the module's answers fell out of step with "
       "the requests."),
  };
  for (const char* text : kExact) {
    if (line == text) return true;
  }
  static const std::string kRetries = " with 5 retries";
  return (StartsWith(line, "SendCodePacket failed at buffer offset ") &&
          line.size() > kRetries.size() &&
          line.compare(line.size() - kRetries.size(), kRetries.size(),
                       kRetries) == 0) ||
         StartsWith(line, "Unable to set module baud rate to ") ||
         StartsWith(line,
                    "      does not match the version retrieved from the "
                    "reader (") ||
         (StartsWith(line, "Module firmware for reader ") &&
          line.find(" could not be confirmed: the module did not answer "
                    "after the update.") != std::string::npos);
}

std::string LastLine(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && text[end - 1] == '\n') --end;
  const size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1));
}

bool AllAccepted(const Record& r) {
  for (const bool a : r.accepted) {
    if (!a) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint8_t image[modflash::kCodeSize] = {};
  InputReader in(data, size);
  const uint8_t flags = in.Byte();
  const uint8_t major = in.Byte(), minor = in.Byte(), patch = in.Byte();
  const size_t slices = static_cast<size_t>(in.Byte()) + 1;
  Record r;
  r.accepted.assign(slices, false);
  const bool dryRun = (flags & 1) != 0;
  std::ostringstream out;
  std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
  int rc = 0;
  {
    modflash::UpdateController controller(
        std::make_unique<ScriptedLink>(in, r, flags, major, minor, patch));
    modflash::FirmwareImage firmware;
    firmware.codeBuffer = image;
    firmware.version = {kFileMajor, kFileMinor, kFilePatch};
    firmware.codeSize = slices * 32;
    rc = modflash::RunUpdateSteps(controller, "127.0.0.1", dryRun, firmware,
                                  (flags & 2) ? modflash::Revision::kEarlier
                                              : modflash::Revision::kCurrent);
  }
  std::cout.rdbuf(saved);
  FUZZ_CHECK(r.calls <= MaxLinkCalls(slices), "link calls within the bound");
  FUZZ_CHECK(rc == 0 || rc == -1, "exit status 0 or -1");
  if (rc == 0) {
    if (!AllAccepted(r)) std::fprintf(stderr, "%s\n", out.str().c_str());
    FUZZ_CHECK(AllAccepted(r), "success only when every slice was accepted");
    FUZZ_CHECK(r.completeTaken, "success only after the update was completed");
    FUZZ_CHECK(r.answeredAfterComplete,
               "success only when the module answered after the update");
    FUZZ_CHECK(dryRun || (r.versionAfter[0] == kFileMajor &&
                          r.versionAfter[1] == kFileMinor &&
                          r.versionAfter[2] == kFilePatch),
               "a programming run succeeds only with the image's version");
  } else {
    const std::string last = LastLine(out.str());
    if (!KnownFailureLine(last))
      std::fprintf(stderr, "last line: %s\n", last.c_str());
    FUZZ_CHECK(KnownFailureLine(last),
               "a failure ends with a known failure line");
  }
  return 0;
}
