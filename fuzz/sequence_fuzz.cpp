// A whole dry or programming run over a fake link whose every answer is
// drawn from the input, checked against the promises of a run:
//  - exit 0 only after the module's Status answer to Update_Complete carried
//    the completion status for the run's kind, and the module answered a
//    version poll after it; in a programming run with the image's version;
//  - never more link calls than MaxLinkCalls() (no endless loop);
//  - every failure ends with one of the operator guide's failure lines.
// Delays are counted, never slept.
//
// Input: a flags byte (bit 0 dry run, bit 1 earlier revision, bits 2-3 the
// module's rate, bits 4-6 GetBaudRate / first / final SetBaudRate fail),
// the module's version before the update (3 bytes), the image's length in
// slices less one (1 byte: up to two progress markers' worth), then one op
// per answer (see NextAnswer). Once the input is used up the module falls
// silent.
//
// The transfer repeats one slice's steps, 6400 times for the whole image:
// that is what the unit and end-to-end tests send, while the fuzzer spends
// its time on short images and the steps before and after the transfer.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "app/update_sequence.h"
#include "fuzz/fuzz_check.h"
#include "image/code_file.h"
#include "link/update_comm.h"

namespace {

using modflash::fuzz::InputReader;

constexpr uint8_t kFileMajor = 2, kFileMinor = 3, kFilePatch = 4;
constexpr int32_t kRates[] = {115200, 230400, 460800, 921600};

// The most link calls a run that sends `slices` slices can make:
//   probe: 4 x (SetLinkBaudRate, Send, Receive) and a quiet bracket    14
//   GetBaudRate and SetBaudRate(115200)                                  2
//   restart wait: bracket, 8 delays, 20 x (Send, Receive, Delay)       70
//   version read                                                         2
//   bracket, prepare request (Send, Receive), its pause                  4
//   entry: Send, at most 32 answers, bracket closed                     34
//   transfer: slices x 5 tries x (Send, Receive, discard)     slices x 15
//   Update_Complete                                                      2
//   second restart wait                                                 70
//   final SetBaudRate, Disconnect                                        2
// 200 + 15 per slice: at most 4040.
constexpr size_t MaxLinkCalls(size_t slices) { return 200 + slices * 15; }

/// What the link saw; it outlives the link, which the run destroys.
struct Record {
  size_t calls = 0;
  bool completeAnswered = false;  ///< the right completion Status delivered
  bool answeredAfterComplete = false;
  uint8_t versionAfter[3] = {};
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
    if (flags_ & 0x10) return false;
    rate = kRates[(flags_ >> 2) & 3];
    return true;
  }
  bool SetBaudRate(int32_t) override {
    ++r_.calls;
    const bool first = rateSets_++ == 0;
    return !(flags_ & (first ? 0x20 : 0x40));
  }
  bool Connect() override { return ++r_.calls, true; }
  bool Send(const uint8_t* data, int32_t length) override {
    ++r_.calls;
    std::memcpy(sent_, data, static_cast<size_t>(length > 64 ? 64 : length));
    sentLength_ = length;
    if (sentLength_ == 64 && sent_[7] == modflash::Update_Complete) {
      completeSent_ = true;
      // A sound module now holds the image's version (dry run: its own).
      if (!dryRun()) {
        version_[0] = kFileMajor;
        version_[1] = kFileMinor;
        version_[2] = kFilePatch;
      }
    }
    return true;
  }
  void SetQuietMode(bool) override { ++r_.calls; }
  int32_t Receive(uint8_t* buffer, int32_t capacity) override {
    ++r_.calls;
    uint8_t answer[256] = {};
    const int32_t length = NextAnswer(answer);
    if (length <= 0) return length;
    const int32_t n = length < capacity ? length : capacity;
    std::memcpy(buffer, answer, static_cast<size_t>(n));
    Judge(answer, n);
    return n;
  }
  void Disconnect() override { ++r_.calls; }
  bool SetLinkBaudRate(int32_t) override { return ++r_.calls, false; }
  void DiscardLateAnswers() override { ++r_.calls; }

 private:
  bool dryRun() const { return (flags_ & 1) != 0; }

  // The answer a sound module gives to the last request.
  int32_t SoundAnswer(uint8_t* a) const {
    if (sentLength_ == 16) {
      std::memcpy(a, sent_, 6);
      a[7] = version_[0];
      a[8] = version_[1];
      a[9] = version_[2];
      return 16;
    }
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
    return 20;
  }

  // One op per answer: the low three bits pick the kind, the high five a
  // repeat of 2^(n % 16) answers of that kind.
  int32_t NextAnswer(uint8_t* a) {
    if (repeat_ == 0) {
      if (in_.empty()) return 0;
      const uint8_t op = in_.Byte();
      kind_ = op & 7;
      repeat_ = 1u << ((op >> 3) & 15);
      arg_ = in_.Byte();
    }
    --repeat_;
    switch (kind_) {
      case 1:
        return 0;  // no answer
      case 2:
        return -1;  // no answer, the link's error result
      case 3:
        SoundAnswer(a);
        a[0] = 'S';
        a[17] = arg_;
        return 20;
      case 4:
        SoundAnswer(a);
        a[0] = static_cast<uint8_t>("BFES"[arg_ & 3]);
        return 20;
      case 5: {
        size_t got = 0;
        const uint8_t* bytes = in_.Bytes(arg_, got);
        std::memcpy(a, bytes, got);
        return static_cast<int32_t>(got);
      }
      case 6:
        SoundAnswer(a);
        a[7] = arg_;
        a[8] = in_.Byte();
        a[9] = in_.Byte();
        return sentLength_ == 16 ? 16 : 20;
      case 7: {
        const int32_t length = SoundAnswer(a);
        return arg_ % (length + 1);
      }
      default:
        return SoundAnswer(a);
    }
  }

  // Notes what the sequence may conclude from a delivered answer.
  void Judge(const uint8_t* a, int32_t n) {
    if (!completeSent_) return;
    if (sentLength_ == 64 && sent_[7] == modflash::Update_Complete) {
      r_.completeAnswered =
          a[0] == 'S' && n >= 18 && a[17] == (dryRun() ? 0x0A : 0x09);
    } else if (sentLength_ == 16 && sent_[5] == 0x60 && n == 16 && a[6] == 0 &&
               !r_.answeredAfterComplete) {
      r_.answeredAfterComplete = true;
      std::memcpy(r_.versionAfter, a + 7, 3);
    }
  }

  InputReader& in_;
  Record& r_;
  uint8_t flags_;
  uint8_t version_[3];
  uint8_t sent_[64] = {};
  int32_t sentLength_ = 0;
  bool completeSent_ = false;
  int rateSets_ = 0;
  uint32_t repeat_ = 0;
  uint8_t kind_ = 0;
  uint8_t arg_ = 0;
};

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint8_t image[modflash::kCodeSize] = {};
  InputReader in(data, size);
  const uint8_t flags = in.Byte();
  const uint8_t major = in.Byte(), minor = in.Byte(), patch = in.Byte();
  const size_t slices = static_cast<size_t>(in.Byte()) + 1;
  Record r;
  const bool dryRun = (flags & 1) != 0;
  std::ostringstream out;
  std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
  int rc = 0;
  {
    modflash::UpdateController controller(
        "127.0.0.1", 5000,
        std::make_unique<ScriptedLink>(in, r, flags, major, minor, patch));
    rc = modflash::RunUpdateSteps(controller, "127.0.0.1", dryRun, image,
                                  kFileMajor, kFileMinor, kFilePatch, "V2.3.4",
                                  (flags & 2) ? modflash::Revision::kEarlier
                                              : modflash::Revision::kCurrent,
                                  slices * 32);
  }
  std::cout.rdbuf(saved);
  FUZZ_CHECK(r.calls <= MaxLinkCalls(slices), "link calls within the bound");
  FUZZ_CHECK(rc == 0 || rc == -1, "exit status 0 or -1");
  if (rc == 0) {
    FUZZ_CHECK(r.completeAnswered, "success only after the completion status");
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
