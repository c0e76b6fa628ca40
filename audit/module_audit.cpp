#include "audit/module_audit.h"

#include <iostream>
#include <memory>
#include <utility>

#include "contract/output_lines.h"
#include "contract/port.h"
#include "image/code_file.h"
#include "link/ethernet_update_comm.h"
#include "protocol/update_controller.h"

#ifndef MODFLASH_VERSION
#error "the build defines MODFLASH_VERSION"
#endif

namespace modflash {
namespace {}  // namespace

int AuditModule(const std::string& address, int32_t port) {
  auto link = std::make_unique<EthernetUpdateComm>(address, port);
  // The link has said why when it could not connect.
  if (!link->IsConnected()) return output::kAuditUnreachable;
  UpdateController controller(std::move(link));
  int32_t rate = 0;
  const bool rateRead = controller.GetBaudRate(rate);
  if (rateRead) {
    std::cout << output::kCurrentRate << static_cast<uint32_t>(rate) << "\n";
  } else {
    std::cout << output::kNoRate << "\n";
  }
  std::cout.flush();
  FirmwareVersion version;
  const bool versionRead = controller.GetFirmwareVersion(
      version.major, version.minor, version.patch);
  if (versionRead) {
    std::cout << output::kVersionBefore << VersionText(version) << "\n";
  } else {
    std::cout << output::kNoVersion << "\n";
  }
  std::cout.flush();
  controller.CloseLink();
  std::cout.flush();
  return rateRead && versionRead ? output::kAuditAnswered
                                 : output::kAuditNoModuleAnswer;
}

int AuditMain(int argc, const char* const* argv) {
  const std::string program =
      argc > 0 && argv[0] != nullptr ? argv[0] : "modflash-audit";
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::cout << "modflash-audit " MODFLASH_VERSION "\n";
    return 0;
  }
  // The port as the programmer takes it (contract/port.h).
  int32_t port = output::kDefaultPort;
  if (argc < 2 || argc > 3 ||
      (argc == 3 && !output::ParsePort(argv[2], port))) {
    std::cout << output::kUsage << program << output::kAuditArguments << "\n";
    return output::kAuditBadUsage;
  }
  return AuditModule(argv[1], port);
}

}  // namespace modflash
