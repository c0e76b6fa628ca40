#include "app/entry.h"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include "app/command_line.h"
#include "app/update_sequence.h"
#include "image/code_file.h"

namespace modflash {
namespace {

void PrintHeader(Revision revision, bool testMode, const std::string& codefile,
                 const std::string& ipAddress, int32_t port) {
  if (revision == Revision::kEarlier) {
    std::cout << "Programming RF Module firmware:\n"
              << (testMode ? "    Dry run only\n"
                           : "    Real programming run\n")
              << "    Firmware image file: " << codefile << "\n"
              << "    URI: " << ipAddress << ":" << port << "\n"
              << "\n";
    return;
  }
  std::cout << "\n\n"
            << "*****************************************************\n"
            << "*      modflash: RF module firmware programmer      *\n"
            << "*****************************************************\n"
            << "\n"
            << (testMode ? "Dry run only\n" : "Real programming run\n")
            << "Firmware image file: " << codefile << "\n"
            << "URI: " << ipAddress << ":" << port << "\n"
            << "\n";
}

}  // namespace

int ModflashMain(int argc, const char* const* argv, Revision revision) {
  bool testMode = true;
  std::string codefile;
  std::string ipAddress;
  int32_t port = -1;
  uint8_t codeBuffer[kCodeSize] = {};
  uint8_t cMajor = 0;
  uint8_t cMinor = 0;
  uint8_t cPatch = 0;
  char fileVersion[25];

  std::cout << "\n";
  if (!ParseCommandLine(argc, argv, codefile, testMode, ipAddress, port)) {
    PrintUsage(argc > 0 && argv[0] != nullptr ? argv[0] : "modflash");
    return -1;
  }

  PrintHeader(revision, testMode, codefile, ipAddress, port);

  if (!ReadCodeFile(codefile, codeBuffer, kCodeSize, cMajor, cMinor, cPatch)) {
    return -1;
  }
  if (revision == Revision::kEarlier) {
    std::cout << "Firmware file (" << codefile << ") successfully read.\n";
  } else {
    std::cout << "Firmware file successfully read.\n";
  }
  std::cout << "Firmware file is valid\n";
  std::cout.flush();

  std::snprintf(fileVersion, sizeof fileVersion, "V%d.%d.%d", cMajor, cMinor,
                cPatch);
  std::cout << "File Firmware Version: " << fileVersion << "\n";
  std::cout.flush();

  return RunUpdateSequence(ipAddress, port, testMode, codeBuffer, cMajor,
                           cMinor, cPatch, fileVersion, revision);
}

}  // namespace modflash
