#include "app/entry.h"

#include <cstdint>
#include <iostream>
#include <string>

#include "app/command_line.h"
#include "app/update_sequence.h"
#include "contract/output_lines.h"
#include "image/code_file.h"

namespace modflash {
namespace {

void PrintHeader(Revision revision, bool testMode, const std::string& codefile,
                 const std::string& ipAddress, int32_t port) {
  const char* kind = testMode ? output::kDryRunOnly : output::kRealRun;
  if (revision == Revision::kEarlier) {
    const char* indent = output::kEarlierIndent;
    std::cout << output::kEarlierHeading << "\n"
              << indent << kind << "\n"
              << indent << output::kImageFile << codefile << "\n"
              << indent << output::kUri << ipAddress << ":" << port << "\n"
              << "\n";
    return;
  }
  std::cout << "\n\n"
            << output::kHeaderBox << "\n"
            << kind << "\n"
            << output::kImageFile << codefile << "\n"
            << output::kUri << ipAddress << ":" << port << "\n"
            << "\n";
}

}  // namespace

int ModflashMain(int argc, const char* const* argv, Revision revision) {
  bool testMode = true;
  std::string codefile;
  std::string ipAddress;
  int32_t port = -1;
  uint8_t codeBuffer[kCodeSize] = {};
  FirmwareImage image;
  image.codeBuffer = codeBuffer;
  FirmwareVersion& version = image.version;

  std::cout << "\n";
  if (!ParseCommandLine(argc, argv, codefile, testMode, ipAddress, port)) {
    PrintUsage(argc > 0 && argv[0] != nullptr ? argv[0] : "modflash");
    return -1;
  }

  PrintHeader(revision, testMode, codefile, ipAddress, port);

  if (!ReadCodeFile(codefile, codeBuffer, kCodeSize, version.major,
                    version.minor, version.patch)) {
    return -1;
  }
  if (revision == Revision::kEarlier) {
    std::cout << output::kFileReadStart << codefile << output::kFileReadEnd
              << "\n";
  } else {
    std::cout << output::kFileRead << "\n";
  }
  std::cout << output::kFileValid << "\n";
  std::cout.flush();

  std::cout << output::kFileVersion << VersionText(version) << "\n";
  std::cout.flush();

  return RunUpdateSequence(ipAddress, port, testMode, image, revision);
}

}  // namespace modflash
