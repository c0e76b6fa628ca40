// Whole runs: the built modflash as a separate process against the
// simulated reader and module on a loopback port. Each run waits for the
// module's restarts (about 17 s); ctest runs the cases in parallel.

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/loopback_server.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transcript.h"
#include "tools/readersim/simulator.h"

namespace modflash::testing {
namespace {

using namespace transcript;

class EndToEndTest : public ::testing::Test {
 protected:
  EndToEndTest() : image_(MakeImage(1, 2, 3)) {
    options_.port = 0;
    options_.version = sim::Version{1, 1, 0};
    options_.log = &simLog_;
  }

  // Starts the simulator, runs `program` against it and stops it.
  ProcessResult Run(const std::string& kind,
                    const std::string& program = MODFLASH_BIN) {
    imagePath_ = dir_.Write("image.bin", image_);
    sim::Simulator simulator(options_);
    EXPECT_TRUE(simulator.Start());
    flashBefore_ = simulator.Flash();
    uri_ = "127.0.0.1:" + std::to_string(simulator.port());
    const ProcessResult r = RunProcess(
        program,
        {kind, imagePath_, "127.0.0.1", std::to_string(simulator.port())},
        timeoutMs_);
    simulator.WaitForConnections(1, 20000);
    simulator.Stop();
    simulator.Wait();
    flashAfter_ = simulator.Flash();
    rateAfter_ = simulator.ModuleRate();
    return r;
  }

  std::string Header(const std::string& kind) const {
    return transcript::Header(kind, imagePath_, uri_) +
           "Firmware file successfully read.\nFirmware file is valid\n"
           "File Firmware Version: V1.2.3\n"
           "Connected to reader.\n\n";
  }

  // Everything of a current-revision run up to the end of the transfer.
  std::string UpToTransfer(const std::string& kind, const std::string& rate) {
    std::string text = Header(kind) + "AutoBaud: 921600 succeeded\n" +
                       "Current baud rate: " + rate + "\n";
    if (rate != "921600") text += kWarning;
    if (rate != "115200") text += "Successfully set baud rate to 115200 baud\n";
    return text + Wait(8) + "Current firmware version: V1.1.0\n" + kUpdateMode;
  }

  std::string Tail(const std::string& done, const std::string& version) {
    return std::string(kSent) + done + Wait(8) +
           "Post-update firmware version: " + version + "\n" +
           "Successfully reset baud rate to 921600 baud\n";
  }

  TempDir dir_;
  int timeoutMs_ = 120000;
  std::vector<uint8_t> image_;
  std::string imagePath_;
  std::string uri_;
  std::ostringstream simLog_;
  sim::SimOptions options_;
  std::vector<uint8_t> flashBefore_;
  std::vector<uint8_t> flashAfter_;
  int32_t rateAfter_ = 0;
};

TEST_F(EndToEndTest, ProgrammingRunFrom921600) {
  const ProcessResult r = Run("--program");
  EXPECT_EQ(r.out,
            UpToTransfer("Real programming run", "921600") + Progress() +
                Tail("Module Firmware successfully written.\n", "V1.2.3") +
                Success("127.0.0.1"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(flashAfter_ == image_);
  EXPECT_EQ(rateAfter_, 921600);
}

TEST_F(EndToEndTest, DryRunFrom115200LeavesTheFlashAlone) {
  options_.rate = 115200;
  options_.versionAfterSet = true;
  options_.versionAfter = sim::Version{4, 5, 6};
  const ProcessResult r = Run("--dryrun");
  EXPECT_EQ(r.out,
            UpToTransfer("Dry run only", "115200") + Progress() +
                Tail("Dry run (testMode = true) succeeded.\n", "V4.5.6") +
                Success("127.0.0.1"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(flashAfter_ == flashBefore_);
  EXPECT_EQ(rateAfter_, 921600);
}

TEST_F(EndToEndTest, VersionMismatchFrom230400FailsAfterTheRateWasSet) {
  options_.rate = 230400;
  options_.versionAfterSet = true;
  options_.versionAfter = sim::Version{1, 2, 4};
  const ProcessResult r = Run("--program");
  EXPECT_EQ(r.out,
            UpToTransfer("Real programming run", "230400") + Progress() +
                Tail("Module Firmware successfully written.\n", "V1.2.4") +
                "OOPS. Something bad happened. The version number in the "
                "file (V1.2.3)\n"
                "      does not match the version retrieved from the reader "
                "(V1.2.4)\n");
  EXPECT_EQ(r.status, MinusOneStatus());
  EXPECT_TRUE(flashAfter_ == image_);
  EXPECT_EQ(rateAfter_, 921600);
}

TEST_F(EndToEndTest, SliceRefusedFourTimesIsRetried) {
  options_.refuseAddress = 0x405000;
  options_.refuseTimes = 4;
  const ProcessResult r = Run("--program");
  std::string refused;
  for (int i = 0; i < 4; ++i) {
    refused += "SendCodePacket 4214784 failed. Error: 03\n#";
  }
  std::string progress = Progress();
  progress.insert(progress.find("\n0X00405000"), refused);
  EXPECT_EQ(r.out,
            UpToTransfer("Real programming run", "921600") + progress +
                Tail("Module Firmware successfully written.\n", "V1.2.3") +
                Success("127.0.0.1"));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(flashAfter_ == image_);
}

TEST_F(EndToEndTest, SliceRefusedFiveTimesEndsTheRun) {
  options_.refuseAddress = 0x405000;
  options_.refuseTimes = 5;
  const ProcessResult r = Run("--program");
  std::string expected =
      UpToTransfer("Real programming run", "921600") + Progress().substr(0, 76);
  for (int i = 0; i < 4; ++i) {
    expected += "SendCodePacket 4214784 failed. Error: 03\n#";
  }
  expected +=
      "SendCodePacket 4214784 failed. Error: 03\n"
      "SendCodePacket failed at buffer offset 4096 with 5 retries\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.status, MinusOneStatus());
}

TEST_F(EndToEndTest, EarlierRevisionRestoresTheRateItFound) {
  options_.rate = 230400;
  const ProcessResult r = Run("--program", MODFLASH_EARLIER_BIN);
  const std::string expected =
      "\nProgramming RF Module firmware:\n    Real programming run\n"
      "    Firmware image file: " +
      imagePath_ + "\n    URI: " + uri_ + "\n\nFirmware file (" + imagePath_ +
      ") successfully read.\nFirmware file is valid\n"
      "File Firmware Version: V1.2.3\n"
      "Connected to reader.\n\n"
      "Current baud rate: 230400\n"
      "Successfully set baud rate to 115200 baud\n\n"
      "Current firmware version: V1.1.0\n" +
      kUpdateMode + Progress() + kSent +
      "Module Firmware successfully written.\n" + Wait(8) +
      "Post-update firmware version: V1.2.3\n"
      "Successfully reset baud rate to 230400 baud\n" +
      Success("127.0.0.1");
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(flashAfter_ == image_);
  EXPECT_EQ(rateAfter_, 230400);
}

TEST_F(EndToEndTest, UnreachableReaderEndsAfterTheProbe) {
  // Find a port that nothing listens on: bind one, then let it go.
  const uint16_t port = FreeLoopbackPort();
  ASSERT_NE(port, 0);
  imagePath_ = dir_.Write("image.bin", image_);
  const ProcessResult r =
      RunProcess(MODFLASH_BIN,
                 {"--program", imagePath_, "127.0.0.1", std::to_string(port)});
  std::string expected = transcript::Header(
      "Real programming run", imagePath_, "127.0.0.1:" + std::to_string(port));
  expected +=
      "Firmware file successfully read.\nFirmware file is valid\n"
      "File Firmware Version: V1.2.3\n"
      "Failed to connect to reader. Error (10061) " +
      net::SystemErrorText(10061) + "\n";
  for (const char* rate : {"921600", "115200", "230400", "460800"}) {
    expected +=
        std::string("Error sending message to reader. Error #10038.\n") +
        "Error receiving message from reader. Error #10038.\n" +
        "AutoBaud: " + rate + " failed\n";
  }
  expected += "Unable to determine module's baud rate\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, MinusOneStatus());
}

// The shipped pair: the modflash program against the readersim program.
TEST_F(EndToEndTest, ProgrammingRunAgainstTheSimulatorProgram) {
  const uint16_t port = FreeLoopbackPort();
  ASSERT_NE(port, 0);
  imagePath_ = dir_.Write("image.bin", image_);
  const std::string flashPath = (dir_.path() / "flash.bin").string();
  // Connection 1 is the readiness probe below, connection 2 the run.
  ProcessResult sim;
  std::thread simThread([&] {
    sim = RunProcess(
        READERSIM_BIN,
        {"--port", std::to_string(port), "--connections", "2", "--version",
         "1.1.0", "--expect", imagePath_, "--flash-out", flashPath});
  });
  const bool ready = AwaitListener(port);
  uri_ = "127.0.0.1:" + std::to_string(port);
  const ProcessResult r =
      ready ? RunProcess(MODFLASH_BIN, {"--program", imagePath_, "127.0.0.1",
                                        std::to_string(port)})
            : ProcessResult{};
  simThread.join();
  ASSERT_TRUE(ready) << sim.out << sim.err;
  EXPECT_EQ(r.out,
            UpToTransfer("Real programming run", "921600") + Progress() +
                Tail("Module Firmware successfully written.\n", "V1.2.3") +
                Success("127.0.0.1"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(sim.out.find("connection 2 summary: 6407 module frames, 6402 "
                         "update packets, 0 retries, 204800 bytes written, "
                         "flash equals the expected image"),
            std::string::npos)
      << sim.out;
  EXPECT_EQ(sim.status, 0);
  EXPECT_TRUE(ReadFileBytes(flashPath) == image_);
}

// Answers out of step with their requests, each fault followed by a lost
// request: the run either succeeds with every slice in the flash, or fails
// with a known line. The loss comes after the fault, where it once healed a
// shifted pairing and hid a slice that was never written. Slice k goes out
// as module frame 6 + k, plus one frame for every retry before it.
class OutOfStepTest : public EndToEndTest {
 protected:
  // Each time-out costs 5 s and the settling after it 10 s, and a transfer
  // with any of them waits 15 s for a quiet line before it completes.
  OutOfStepTest() { timeoutMs_ = 200000; }

  void ExpectHonestSuccess(const ProcessResult& r, size_t timeouts) {
    EXPECT_EQ(r.status, 0) << r.out.substr(r.out.size() - 600);
    EXPECT_TRUE(EndsWith(r.out, Success("127.0.0.1")));
    EXPECT_TRUE(flashAfter_ == image_) << "a slice is missing from the flash";
    size_t found = 0;
    for (size_t at = r.out.find("Error reading packet in SendCodePacket");
         at != std::string::npos;
         at = r.out.find("Error reading packet in SendCodePacket", at + 1)) {
      ++found;
    }
    EXPECT_EQ(found, timeouts) << "time-outs in the transfer";
  }
};

// The answer comes while the module is still busy with the retry's request:
// it is thrown away before the retry.
TEST_F(OutOfStepTest, LateAnswerThenLostRequest) {
  options_.delayAnswerFrame = 6 + 1000;  // slice 1000, 7.5 s late
  options_.delayAnswerMs = 7500;
  options_.loseRequestFrame = 6 + 1200 + 1;  // slice 1200
  ExpectHonestSuccess(Run("--program"), 2);
}

TEST_F(OutOfStepTest, OneLateAnswerAloneSucceeds) {
  options_.delayAnswerFrame = 6 + 1000;
  options_.delayAnswerMs = 7500;
  ExpectHonestSuccess(Run("--program"), 1);
}

// A module that needs 9 ms per exchange: a duplicated answer and an
// unsolicited Status 1 ms after an answer are recognised as strays, so the
// one lost request later is retried, not answered by a stray.
TEST_F(OutOfStepTest, StrayAnswersThenLostRequest) {
  options_.answerLatencyMs = 9;
  options_.duplicateFrame = 6 + 1000;
  options_.duplicateGapMs = 1;
  options_.extraStatusFrame = 6 + 2000;
  options_.extraStatusGapMs = 1;
  options_.loseRequestFrame = 6 + 3000;
  ExpectHonestSuccess(Run("--program"), 1);
}

}  // namespace
}  // namespace modflash::testing
