#ifndef MODFLASH_CONTRACT_OUTPUT_LINES_H_
#define MODFLASH_CONTRACT_OUTPUT_LINES_H_

// The fixed texts of modflash's standard output. The programmer prints them
// from here; modflash-fleet's transcript reader and the tests' expected
// transcripts read them back from here. Operators and their scripts read the
// same bytes, so a text changed here changes the program's output.
//
// A constant holds the fixed part of a line without its line end. A line
// that goes on with a number, a name or a version has its start here (and
// its fixed end, where it has one); the printing code adds the rest.

#include <cstddef>

namespace modflash::output {

// The run header.

/// The current revision's box, between three blank lines and one.
inline constexpr char kHeaderBox[] =
    "*****************************************************\n"
    "*      modflash: RF module firmware programmer      *\n"
    "*****************************************************\n";
/// The earlier revision's first header line; its other lines are indented.
inline constexpr char kEarlierHeading[] = "Programming RF Module firmware:";
inline constexpr char kEarlierIndent[] = "    ";
inline constexpr char kDryRunOnly[] = "Dry run only";
inline constexpr char kRealRun[] = "Real programming run";
inline constexpr char kImageFile[] = "Firmware image file: ";
inline constexpr char kUri[] = "URI: ";

// The command line.

inline constexpr char kUsage[] = "Usage: ";
inline constexpr char kUsageArguments[] =
    " {--dryrun|--program} filename IPAddress [PortNumber]";
inline constexpr char kRunKindExpected[] =
    "Expected first option to be either '--dryrun' or '--program'";
/// Followed by the rest of the port text and "'".
inline constexpr char kPortCharacters[] =
    "There are invalid characters in your port number starting with '";
inline constexpr char kPortMustBeNumber[] =
    "The port must be a number between 1 and 16535";
inline constexpr char kPortOutOfRange[] =
    "The port must be between 1 and 16535";

// The image file.

inline constexpr char kFileRead[] = "Firmware file successfully read.";
/// The earlier revision names the file: start, file name, end.
inline constexpr char kFileReadStart[] = "Firmware file (";
inline constexpr char kFileReadEnd[] = ") successfully read.";
inline constexpr char kFileValid[] = "Firmware file is valid";
inline constexpr char kFileVersion[] = "File Firmware Version: ";
inline constexpr char kFileNotRead[] = "Did not read code file correctly";
inline constexpr char kFileNotOpened[] =
    "File failed to open or does not exist";
/// Start, file name, end; then kSizeExpected, the size, kSizeFound, the
/// file's size and ".".
inline constexpr char kFileSizeStart[] = "Input file (";
inline constexpr char kFileSizeEnd[] = ") size is incorrect.";
inline constexpr char kSizeExpected[] = "  Expected ";
inline constexpr char kSizeFound[] = ", found ";
/// After kBadSignature: this, then the four bytes found
/// ("0x12, 0x34, 0x56, 0x78").
inline constexpr char kSignatureGot[] = "Got: ";
inline constexpr char kBadSignature[] =
    "Invalid firmware file. Code signature does not match.";

// The reader link.

inline constexpr char kConnected[] = "Connected to reader.";
/// Followed by the error number and "." (Winsock start-up, Windows only).
inline constexpr char kSocketsNotStarted[] =
    "Unable to startup the Winsock Layer: Error #";
/// Followed by the error number.
inline constexpr char kSocketNotCreated[] = "Failed to create socket. Error ";
/// Followed by "(N) " and the system's text for N.
inline constexpr char kNotConnected[] = "Failed to connect to reader. Error ";
/// Followed by "Error #N." or kInvalidLength.
inline constexpr char kSendFailed[] = "Error sending message to reader. ";
/// Followed by "Error #N.", kConnectionClosed, kIncompleteMessage or
/// kInvalidLength.
inline constexpr char kReceiveFailed[] =
    "Error receiving message from reader. ";
/// Followed by the length and ".".
inline constexpr char kInvalidLength[] = "Invalid length ";
inline constexpr char kConnectionClosed[] = "Connection closed.";
inline constexpr char kIncompleteMessage[] = "Incomplete message.";
/// The "#" of an error number, which is no progress mark.
inline constexpr char kErrorNumber[] = "Error #";
/// Printed without a line end.
inline constexpr char kBadRateAnswer[] =
    "Unexpected response from GetBaudRate)";
inline constexpr char kBadSetRateAnswer[] =
    "Unexpected response from SetBaudRate";
inline constexpr char kRateNotSet[] = "Set baud rate failed.";
inline constexpr char kInvalidRate[] = "Invalid baud rate setting";
inline constexpr char kShutdownFailed[] =
    "Smooth socket shutdown process failed.";

// The controller.

/// The controller's operations, as its lines name them. The update mode's
/// request is named as the module's protocol spells it.
inline constexpr char kOpSetRate[] = "SetBaudRate";
inline constexpr char kOpGetVersion[] = "GetFirmwareVersion";
inline constexpr char kOpInitiate[] = "InitiateFirwareUpdate";
inline constexpr char kOpEnterUpdateMode[] = "EnterUpdateMode";
inline constexpr char kOpSendCode[] = "SendCodePacket";
inline constexpr char kOpExitUpdateMode[] = "ExitUpdateMode";

/// Follows the operation's name when the controller has no link.
inline constexpr char kNoLink[] = " failed: UpdateComm object not created.";
/// "AutoBaud: " rate, then kProbeAnswered or kProbeFailed.
inline constexpr char kAutoBaud[] = "AutoBaud: ";
inline constexpr char kProbeAnswered[] = " succeeded";
inline constexpr char kProbeFailed[] = " failed";
inline constexpr char kInitiating[] = "Entering InitiateFirmwareUpdate";
/// Followed by the operation's name, ": ", the length and kBytes.
inline constexpr char kShortStatus[] = "Status packet too short in ";
inline constexpr char kBytes[] = " bytes";
/// Followed by the operation's name.
inline constexpr char kReadError[] = "Error reading packet in ";
/// "EnterUpdateMode gave up: " and the reason.
inline constexpr char kEntryGaveUp[] = "EnterUpdateMode gave up: ";
/// The reasons: the count and kTooManyNews, or kNoStatusWithin, the limit in
/// seconds and kSeconds.
inline constexpr char kTooManyNews[] = " answers without a Status packet";
inline constexpr char kNoStatusWithin[] = "no Status packet within ";
inline constexpr char kSeconds[] = " s";
/// Followed by the answer's name: kBeginNews ... kStatusNews.
inline constexpr char kEntryNews[] = "  EnterUpdateMode got ";
inline constexpr char kBeginNews[] = "Begin Packet";
inline constexpr char kConfigNews[] = "FirmwareUpdateCfg Packet";
inline constexpr char kEndNews[] = "End Packet";
inline constexpr char kStatusNews[] = "Status Packet";
inline constexpr char kEntered[] = "Successfully Entered Update Mode";
/// Followed by the status as a character.
inline constexpr char kEntryRefused[] =
    "Failed to enter Update Mode correctly. Error: ";
/// Followed by the answer's first byte as a character.
inline constexpr char kEntryOddAnswer[] =
    "Unexpected response reading packet in EnterUpdateMode";
/// After "SendCodePacket" or "ExitUpdateMode"; followed by a status in hex.
inline constexpr char kOddAnswer[] = " unexpected response: ";
/// "SendCodePacket ADDRESS" or "ExitUpdateMode", this, then statuses in hex.
inline constexpr char kRefused[] = " failed. Error:";

// The update sequence.

inline constexpr char kCurrentRate[] = "Current baud rate: ";
/// Three lines; a blank line follows.
inline constexpr char kRateWarning[] =
    "Warning: Initial baud rate was not 921600.\n"
    "   The module baud rate will be reset to\n"
    "   921600 baud after firmware has been updated.";
inline constexpr char kWorkingRateSet[] =
    "Successfully set baud rate to 115200 baud";
/// Followed by the rate and kBaud.
inline constexpr char kRateReset[] = "Successfully reset baud rate to ";
inline constexpr char kBaud[] = " baud";
inline constexpr char kResetting[] = "Resetting Module";
/// The restart wait: this, then a kWaitMark for each pause and failed poll.
inline constexpr char kWaitStart[] = "Waiting for re-initialization ";
inline constexpr char kWaitMark[] = ". ";
inline constexpr char kVersionBefore[] = "Current firmware version: ";
inline constexpr char kModuleRestarting[] =
    "Waiting for module to reset & initialize";
inline constexpr char kEnterLine[] = "Sending Update_EnterUpdateMode packet.";
inline constexpr char kEnterFailed[] =
    "Update_EnterUpdateMode returned an error response.";
/// The transfer's marks: a line marker every 4096 bytes (after a line end),
/// a star every 64 bytes, a refusal mark for each refused try.
inline constexpr char kMarkerFormat[] = "0X%08X ";
inline constexpr char kMarkerStart[] = "0X";
inline constexpr std::size_t kMarkerLength = 11;
inline constexpr char kStar = '*';
inline constexpr char kRefusalMark = '#';
/// Followed by the offset and kSliceGaveUpEnd.
inline constexpr char kSliceGaveUp[] =
    "SendCodePacket failed at buffer offset ";
inline constexpr char kSliceGaveUpEnd[] = " with 5 retries";
inline constexpr char kTransferNotConfirmed[] =
    "Transfer not confirmed: the module's answers fell out of step with the "
    "requests.";
/// After a transfer whose answers fell out of step (strays, time-outs,
/// malformed or early answers) and that was confirmed all the same: how its
/// answers were paired with their requests. A clean run prints neither.
inline constexpr char kStraysSetAsideByAddress[] =
    "Answers out of step were set aside: each answer taken carried its "
    "request's flash address.";
inline constexpr char kStraysSetAsideByTiming[] =
    "Answers out of step were set aside: answers were paired with their "
    "requests by timing alone.";
inline constexpr char kAllSent[] = "All code data successfully sent to module.";
inline constexpr char kCompleteLine[] = "Sending Update_Complete packet.";
inline constexpr char kCompleteFailed[] =
    "Update_Complete returned an error response.";
inline constexpr char kWritten[] = "Module Firmware successfully written.";
inline constexpr char kDryRunDone[] = "Dry run (testMode = true) succeeded.";
inline constexpr char kVersionAfter[] = "Post-update firmware version: ";
inline constexpr char kVersionAfterUnknown[] =
    "Post-update firmware version: unknown (the module did not answer)";
/// The verdict: this, the reader's address, then kUpdated or kUnconfirmed.
inline constexpr char kVerdictStart[] = "Module firmware for reader ";
inline constexpr char kUpdated[] = " has been successfully updated.";
inline constexpr char kUnconfirmed[] =
    " could not be confirmed: the module did not answer after the update.";
/// Followed by the file's version and ")", then kMismatchEnd, the module's
/// version and ")".
inline constexpr char kMismatch[] =
    "OOPS. Something bad happened. The version number in the file (";
inline constexpr char kMismatchEnd[] =
    "      does not match the version retrieved from the reader (";

// The update sequence's failure lines.
inline constexpr char kNoRateProbe[] = "Unable to determine module's baud rate";
inline constexpr char kNoRate[] = "Unable to retrieve module baud rate";
/// Followed by the rate and kBaud (the earlier revision says "115" for
/// 115200).
inline constexpr char kRateNotChanged[] = "Unable to set module baud rate to ";
inline constexpr char kNoVersion[] = "Unable to retrieve firmware version";
inline constexpr char kNotPrepared[] =
    "Unable to put reader into the module firmware update mode";

// The module audit (modflash-audit ADDRESS [PORT]) prints the link's lines
// and, of the update sequence's, kCurrentRate or kNoRate, then
// kVersionBefore or kNoVersion. Its exit status says how far it got.

/// After kUsage and the program's name.
inline constexpr char kAuditArguments[] = " ADDRESS [PORT]";
/// The module's rate and version were read.
inline constexpr int kAuditAnswered = 0;
/// The reader took the connection; the rate or the version was not read.
inline constexpr int kAuditNoModuleAnswer = 1;
/// No connection to the reader.
inline constexpr int kAuditUnreachable = 2;
/// A bad command line.
inline constexpr int kAuditBadUsage = 3;

/// A failure text: a line that holds `text` (anywhere: marks of the wait or
/// the transfer may stand before it) and, when `end` is set, ends with it.
struct Diagnostic {
  const char* text;
  const char* end;
};

/// Every failure text modflash prints, for readers of its transcripts.
inline constexpr Diagnostic kDiagnostics[] = {
    {kFileNotRead, nullptr},
    {kFileNotOpened, nullptr},
    {kFileSizeStart, kFileSizeEnd},
    {kBadSignature, nullptr},
    {kSocketsNotStarted, nullptr},
    {kSocketNotCreated, nullptr},
    {kNotConnected, nullptr},
    {kSendFailed, nullptr},
    {kReceiveFailed, nullptr},
    {kBadRateAnswer, nullptr},
    {kBadSetRateAnswer, nullptr},
    {kRateNotSet, nullptr},
    {kInvalidRate, nullptr},
    {kShutdownFailed, nullptr},
    {kNoLink, nullptr},
    {kAutoBaud, kProbeFailed},
    {kShortStatus, nullptr},
    {kReadError, nullptr},
    {kEntryGaveUp, nullptr},
    {kEntryRefused, nullptr},
    {kEntryOddAnswer, nullptr},
    {kOddAnswer, nullptr},
    {kRefused, nullptr},
    {kSliceGaveUp, nullptr},
    {kTransferNotConfirmed, nullptr},
    {kEnterFailed, nullptr},
    {kCompleteFailed, nullptr},
    {kMismatch, nullptr},
    {kNoRateProbe, nullptr},
    {kNoRate, nullptr},
    {kRateNotChanged, nullptr},
    {kNoVersion, nullptr},
    {kNotPrepared, nullptr},
};

}  // namespace modflash::output

#endif  // MODFLASH_CONTRACT_OUTPUT_LINES_H_
