#include "fleet/transcript/transcript_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "fleet/report/report.h"
#include "tests/support/transcript.h"

namespace modflash::fleet {
namespace {

using namespace modflash::testing::transcript;

const char kStart[] =
    "\n\n\n*****************************************************\n"
    "*      modflash: RF module firmware programmer      *\n"
    "*****************************************************\n\n"
    "Real programming run\nFirmware image file: img.bin\n"
    "URI: 10.0.0.5:5000\n\n"
    "Firmware file successfully read.\nFirmware file is valid\n"
    "File Firmware Version: V1.2.3\n";

const char kTimeout[] = "Error receiving message from reader. Error #10060.\n";

std::string UpToTransfer(const std::string& rate) {
  return std::string(kStart) + "Connected to reader.\n\n" +
         "AutoBaud: 921600 succeeded\nCurrent baud rate: " + rate + "\n" +
         kWarning + "Successfully set baud rate to 115200 baud\n" + Wait(8) +
         "Current firmware version: V1.1.0\n" + kUpdateMode;
}

// The wait after the update in which `failed` polls went unanswered.
std::string SilentWait(int failed) {
  std::string text = "Resetting Module\nWaiting for re-initialization ";
  for (int i = 0; i < 8; ++i) text += ". ";
  for (int i = 0; i < failed; ++i) text += std::string(kTimeout) + ". ";
  return text + "\n\n";
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

TEST(TranscriptReaderTest, SuccessfulRunShowsVersionsRateAndAnswer) {
  std::string progress = Progress();
  progress.insert(progress.find("\n0X00406000"),
                  "SendCodePacket 4218880 failed. Error: 03\n#"
                  "SendCodePacket 4218880 failed. Error: 03\n#");
  const std::string text = UpToTransfer("230400") + progress + kSent +
                           "Module Firmware successfully written.\n" +
                           SilentWait(19) +
                           "Post-update firmware version: V1.2.3\n"
                           "Successfully reset baud rate to 921600 baud\n" +
                           Success("10.0.0.5");
  for (const std::string& t : {text, WithCrLf(text)}) {
    const TranscriptFacts f = ReadTranscript(t);
    EXPECT_EQ(f.fileVersion, "V1.2.3");
    EXPECT_EQ(f.versionBefore, "V1.1.0");
    EXPECT_EQ(f.versionAfter, "V1.2.3");
    EXPECT_EQ(f.initialBaud, "230400");
    EXPECT_EQ(f.refusedTries, 2);
    EXPECT_EQ(f.answeredAfterUpdate, true);  // the 20th poll answered
    EXPECT_EQ(f.lastLine,
              "Module firmware for reader 10.0.0.5 has been successfully "
              "updated.");
    EXPECT_EQ(f.firstErrorLine, "SendCodePacket 4218880 failed. Error: 03");
    EXPECT_EQ(f.outOfStep, "");  // refusals alone are not out of step
  }
}

// A transfer whose answers fell out of step, confirmed all the same: the
// record of the update says so in its note, with how the answers were
// paired; a record of any other outcome keeps the inventory's note.
TEST(TranscriptReaderTest, OutOfStepAnswersSetAsideGoIntoTheNote) {
  for (const char* paired :
       {out::kStraysSetAsideByAddress, out::kStraysSetAsideByTiming}) {
    std::string progress = Progress();
    progress.insert(progress.find("\n0X00406000"), kTimeout);
    const std::string text =
        UpToTransfer("921600") + progress + "\n" + paired + kSent +
        "Module Firmware successfully written.\n" + SilentWait(0) +
        "Post-update firmware version: V1.2.3\n" + Success("10.0.0.5");
    ReaderRecord record;
    record.facts = ReadTranscript(text);
    EXPECT_EQ(record.facts.outOfStep, paired);
    EXPECT_EQ(record.facts.refusedTries, 0);
    record.reader.note = "from the inventory";
    record.outcome = Outcome::kUpdated;
    EXPECT_EQ(RecordCells(record).back().text,
              std::string("from the inventory; ") + paired);
    record.outcome = Outcome::kFailed;
    EXPECT_EQ(RecordCells(record).back().text, "from the inventory");
  }
}

TEST(TranscriptReaderTest, SilentModuleAfterTheUpdateIsNoAnswer) {
  std::string progress = Progress();
  // A link error inside the transfer: its "Error #" is no refusal mark.
  progress.insert(progress.find("\n0X00410000"), std::string(kTimeout) +
                                                     "Error reading packet in "
                                                     "SendCodePacket\n#");
  const TranscriptFacts f = ReadTranscript(
      UpToTransfer("921600") + progress + kSent +
      "Module Firmware successfully written.\n" + SilentWait(20) +
      "Post-update firmware version: unknown (the module did not answer)\n"
      "Successfully reset baud rate to 921600 baud\n"
      "\nModule firmware for reader 10.0.0.5 could not be confirmed: the "
      "module did not answer after the update.\n");
  EXPECT_EQ(f.answeredAfterUpdate, false);
  EXPECT_EQ(f.refusedTries, 1);
  EXPECT_EQ(f.versionAfter, "");  // never guessed
  EXPECT_EQ(f.firstErrorLine,
            "Error receiving message from reader. Error #10060.");
  EXPECT_EQ(f.lastLine,
            "Module firmware for reader 10.0.0.5 could not be confirmed: the "
            "module did not answer after the update.");
}

TEST(TranscriptReaderTest, EarlyFailuresLeaveLaterFieldsEmpty) {
  // An unreachable reader: the connection failure comes first, the probe's
  // verdict last.
  std::string text = std::string(kStart) +
                     "Failed to connect to reader. Error (10061) Connection "
                     "refused\r\n\n";
  for (const char* rate : {"921600", "115200", "230400", "460800"}) {
    text += std::string("Error sending message to reader. Error #10038.\n") +
            "AutoBaud: " + rate + " failed\n";
  }
  text += "Unable to determine module's baud rate\n";
  TranscriptFacts f = ReadTranscript(text);
  EXPECT_EQ(f.fileVersion, "V1.2.3");
  EXPECT_EQ(f.firstErrorLine,
            "Failed to connect to reader. Error (10061) Connection refused");
  EXPECT_EQ(f.lastLine, "Unable to determine module's baud rate");
  EXPECT_EQ(f.initialBaud, "");
  EXPECT_EQ(f.versionBefore, "");
  EXPECT_FALSE(f.refusedTries.has_value());
  EXPECT_FALSE(f.answeredAfterUpdate.has_value());

  // Refused update mode: no transfer, so no count of refusals.
  const std::string upToVersion = UpToTransfer("921600");
  f = ReadTranscript(upToVersion.substr(0, upToVersion.find("Entering")) +
                     "Entering InitiateFirmwareUpdate\n"
                     "Sending Update_EnterUpdateMode packet.\n"
                     "Failed to enter Update Mode correctly. Error: 05\n"
                     "Update_EnterUpdateMode returned an error response.\n");
  EXPECT_FALSE(f.refusedTries.has_value());
  EXPECT_EQ(f.lastLine, "Update_EnterUpdateMode returned an error response.");

  // A transfer whose answers fell out of step: its line ends the run, with
  // the time-out that started it as the first error.
  f = ReadTranscript(UpToTransfer("921600") + "\n0X00404000 *" + kTimeout +
                     "Error reading packet in SendCodePacket\n#**\n"
                     "Transfer not confirmed: the module's answers fell out "
                     "of step with the requests.\n");
  EXPECT_EQ(f.lastLine,
            "Transfer not confirmed: the module's answers fell out of step "
            "with the requests.");
  EXPECT_EQ(f.firstErrorLine,
            "Error receiving message from reader. Error #10060.");
  EXPECT_EQ(f.refusedTries, 1);
}

TEST(TranscriptReaderTest, FirstErrorIsOneOfTheProgramsFailureTexts) {
  // Words of a failure in a file name make no failure; an odd answer in the
  // transfer is one, and it came before the line that ended the run.
  std::string text = UpToTransfer("921600");
  text.replace(text.find("img.bin"), 7, "Error-failed.bin");
  const TranscriptFacts f = ReadTranscript(
      text +
      "\n0X00404000 SendCodePacket unexpected response: 53\n#"
      "SendCodePacket 4210688 failed. Error: 03\n#"
      "SendCodePacket failed at buffer offset 0 with 5 retries\n");
  EXPECT_EQ(f.firstErrorLine, "SendCodePacket unexpected response: 53");
  EXPECT_EQ(f.lastLine,
            "SendCodePacket failed at buffer offset 0 with 5 retries");
  EXPECT_EQ(f.refusedTries, 2);
  // A probe whose answer was empty prints no link error: its verdict is the
  // first failure, while a probe that succeeded is none.
  EXPECT_EQ(ReadTranscript(std::string(kStart) + "AutoBaud: 921600 failed\n"
                                                 "AutoBaud: 115200 succeeded\n")
                .firstErrorLine,
            "AutoBaud: 921600 failed");
}

TEST(TranscriptReaderTest, TrackerFollowsPhaseAndStarsChunkByChunk) {
  const std::string text = UpToTransfer("921600") + Progress();
  ProgressTracker tracker;
  EXPECT_STREQ(tracker.Phase(), "starting");
  const size_t half = text.find("\n0X0041D000");  // 25 of 50 lines
  for (size_t i = 0; i < half; i += 7) {
    tracker.Consume(text.substr(i, std::min<size_t>(7, half - i)));
  }
  EXPECT_STREQ(tracker.Phase(), "transfer");
  EXPECT_EQ(tracker.Percent(), 50);  // the header's stars are not counted
  tracker.Consume(text.substr(half) + kSent);
  EXPECT_EQ(tracker.Percent(), 100);
  EXPECT_STREQ(tracker.Phase(), "completing");
}

}  // namespace
}  // namespace modflash::fleet
