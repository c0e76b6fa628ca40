// Runs the built programs as separate processes and compares everything
// they print, byte for byte, with the expected transcript.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/entry.h"
#include "link/socket_layer.h"
#include "tests/support/capture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace modflash::testing {
namespace {

const std::string kUsageTail =
    " {--dryrun|--program} filename IPAddress [PortNumber]\n";

std::string CurrentHeader(const std::string& kind, const std::string& file,
                          const std::string& uri) {
  return "\n\n\n"
         "*****************************************************\n"
         "*      modflash: RF module firmware programmer      *\n"
         "*****************************************************\n"
         "\n" +
         kind + "\nFirmware image file: " + file + "\nURI: " + uri + "\n\n";
}

std::string EarlierHeader(const std::string& kind, const std::string& file,
                          const std::string& uri) {
  return "\nProgramming RF Module firmware:\n    " + kind +
         "\n    Firmware image file: " + file + "\n    URI: " + uri + "\n\n";
}

std::string ValidFileLines(const std::string& version) {
  return "Firmware file successfully read.\nFirmware file is valid\n"
         "File Firmware Version: " +
         version + "\n";
}

void ExpectRun(const std::vector<std::string>& args,
               const std::string& expected,
               const std::string& program = MODFLASH_BIN) {
  const ProcessResult r = RunProcess(program, args);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, MinusOneStatus());
}

class FrontEndTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(FrontEndTest, RejectedArgumentCountsPrintOnlyTheUsage) {
  const std::string usage =
      "\nUsage: " + std::string(MODFLASH_BIN) + kUsageTail;
  ExpectRun({}, usage);
  ExpectRun({"--program", "a.bin"}, usage);
  ExpectRun({"--program", "a.bin", "1.2.3.4", "80", "extra"}, usage);
}

TEST_F(FrontEndTest, RunKindMustComeFirstAndExactly) {
  const std::string expected =
      "\n\nExpected first option to be either '--dryrun' or '--program'\n"
      "Usage: " +
      std::string(MODFLASH_BIN) + kUsageTail;
  ExpectRun({"--DRYRUN", "a.bin", "10.0.0.5"}, expected);
  ExpectRun({"-dryrun", "a.bin", "10.0.0.5"}, expected);
  ExpectRun({"a.bin", "--program", "10.0.0.5"}, expected);
}

TEST_F(FrontEndTest, AcceptedPortsReachTheHeader) {
  // The file does not exist, so each run ends after the header with the
  // reader's open failure; the header shows the port as parsed.
  const std::string tail =
      "File failed to open or does not exist\nDid not read code file "
      "correctly\n";
  const struct {
    std::string arg;
    std::string shown;
  } cases[] = {{"1", "1"}, {"16535", "16535"}, {"+80", "80"}, {" 80", "80"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    ExpectRun({"--program", "missing.bin", "10.0.0.5", c.arg},
              CurrentHeader("Real programming run", "missing.bin",
                            "10.0.0.5:" + c.shown) +
                  tail);
  }
  ExpectRun(
      {"--dryrun", "missing.bin", "not-an-address"},
      CurrentHeader("Dry run only", "missing.bin", "not-an-address:5000") +
          tail);
}

TEST_F(FrontEndTest, RejectedPortsSayWhy) {
  const std::string usage = "Usage: " + std::string(MODFLASH_BIN) + kUsageTail;
  const std::string range = "The port must be between 1 and 16535\n";
  auto invalid = [](const std::string& rest) {
    return "There are invalid characters in your port number starting with "
           "'" +
           rest + "'\nThe port must be a number between 1 and 16535\n";
  };
  const struct {
    std::string arg;
    std::string message;
  } cases[] = {{"0", range},
               {"-5", range},
               {"16536", range},
               {"65535", range},
               {"", range},
               {"99999999999", range},
               {"80 ", invalid(" ")},
               {"0x50", invalid("x50")},
               {"abc", invalid("abc")}};
  for (const auto& c : cases) {
    SCOPED_TRACE("port '" + c.arg + "'");
    ExpectRun({"--program", "a.bin", "10.0.0.5", c.arg},
              "\n" + c.message + usage);
  }
}

TEST_F(FrontEndTest, ImageFailuresEndTheRunAfterTheHeader) {
  const std::string missing = (dir_.path() / "missing.bin").string();
  ExpectRun({"--program", missing, "10.0.0.5"},
            CurrentHeader("Real programming run", missing, "10.0.0.5:5000") +
                "File failed to open or does not exist\n"
                "Did not read code file correctly\n");

  std::vector<uint8_t> longer = MakeImage(1, 2, 3);
  longer.push_back(0);
  const std::string too_long = dir_.Write("long image.bin", longer);
  ExpectRun({"--dryrun", too_long, "10.0.0.5"},
            CurrentHeader("Dry run only", too_long, "10.0.0.5:5000") +
                "Input file (" + too_long +
                ") size is incorrect.\n  Expected 204800, found 204801.\n");

  const std::string empty = dir_.Write("empty.bin", {});
  ExpectRun({"--dryrun", empty, "10.0.0.5"},
            CurrentHeader("Dry run only", empty, "10.0.0.5:5000") +
                "Input file (" + empty +
                ") size is incorrect.\n  Expected 204800, found 0.\n");

  std::vector<uint8_t> reversed = MakeImage(1, 2, 3);
  reversed[204760] = 'M';
  reversed[204761] = '0';
  reversed[204762] = '3';
  reversed[204763] = 'X';
  const std::string bad = dir_.Write("reversed.bin", reversed);
  ExpectRun({"--program", bad, "10.0.0.5", "80"},
            CurrentHeader("Real programming run", bad, "10.0.0.5:80") +
                "Invalid firmware file. Code signature does not match.\n"
                "Got: 0x4D, 0x30, 0x33, 0x58\n");
}

// What follows the version line when nothing listens at 127.0.0.1:1: the
// refused connection, then four probes on a link that has no socket.
std::string UnreachableTail() {
  std::string text = "Failed to connect to reader. Error (10061) " +
                     net::SystemErrorText(10061) + "\n";
  for (const char* rate : {"921600", "115200", "230400", "460800"}) {
    text += std::string("Error sending message to reader. Error #10038.\n") +
            "Error receiving message from reader. Error #10038.\n" +
            "AutoBaud: " + rate + " failed\n";
  }
  return text + "Unable to determine module's baud rate\n";
}

TEST_F(FrontEndTest, ValidImagesShowTheirVersion) {
  const std::string v123 = dir_.Write("v 1.2.3.bin", MakeImage(1, 2, 3));
  const std::string v255 = dir_.Write("v255.bin", MakeImage(255, 0, 7));
  ExpectRun({"--program", v123, "127.0.0.1", "1"},
            CurrentHeader("Real programming run", v123, "127.0.0.1:1") +
                ValidFileLines("V1.2.3") + UnreachableTail());
  ExpectRun({"--dryrun", v255, "127.0.0.1", "1"},
            CurrentHeader("Dry run only", v255, "127.0.0.1:1") +
                ValidFileLines("V255.0.7") + UnreachableTail());
}

TEST_F(FrontEndTest, EarlierRevisionHasItsOwnHeaderAndFileLine) {
  const std::string image = dir_.Write("image.bin", MakeImage(2, 0, 13));
  const ProcessResult r =
      RunProcess(MODFLASH_EARLIER_BIN, {"--dryrun", image, "127.0.0.1", "1"});
  const std::string expected =
      EarlierHeader("Dry run only", image, "127.0.0.1:1") + "Firmware file (" +
      image +
      ") successfully read.\nFirmware file is valid\n"
      "File Firmware Version: V2.0.13\n";
  EXPECT_EQ(r.out.substr(0, expected.size()), expected);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, MinusOneStatus());

  ExpectRun({"--program", "missing.bin", "10.0.0.5", "+7"},
            EarlierHeader("Real programming run", "missing.bin", "10.0.0.5:7") +
                "File failed to open or does not exist\n"
                "Did not read code file correctly\n",
            MODFLASH_EARLIER_BIN);
}

TEST(FrontEndInProcessTest, EmptyArgumentVectorShowsTheProgramsOwnName) {
  const char* const argv[] = {nullptr};
  StdoutCapture capture;
  EXPECT_EQ(ModflashMain(0, argv, Revision::kCurrent), -1);
  EXPECT_EQ(capture.Take(), "\nUsage: modflash" + kUsageTail);
}

}  // namespace
}  // namespace modflash::testing
