#ifndef MODFLASH_AUDIT_MODULE_AUDIT_H_
#define MODFLASH_AUDIT_MODULE_AUDIT_H_

#include <cstdint>
#include <string>

namespace modflash {

/// Reads the module's baud rate (the reader's rate query) and firmware
/// version (module command 0x60) of the reader at `address`:`port`, and
/// nothing else: no rate change, no update request. Prints the link's
/// lines and the rate and version lines of the update sequence. Returns
/// output::kAuditAnswered, kAuditNoModuleAnswer or kAuditUnreachable.
int AuditModule(const std::string& address, int32_t port);

/// The program: `modflash-audit ADDRESS [PORT]` (port 5000 when left out)
/// or `modflash-audit --version`.
int AuditMain(int argc, const char* const* argv);

}  // namespace modflash

#endif  // MODFLASH_AUDIT_MODULE_AUDIT_H_
