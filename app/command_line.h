#ifndef MODFLASH_APP_COMMAND_LINE_H_
#define MODFLASH_APP_COMMAND_LINE_H_

#include <cstdint>
#include <string>

namespace modflash {

/// Checks "{--dryrun|--program} filename IPAddress [PortNumber]" and fills
/// the run state. Prints its own reason on a rejection, never the usage.
bool ParseCommandLine(int argc, const char* const* argv, std::string& codefile,
                      bool& testMode, std::string& ipAddress, int32_t& port);

/// Prints the one-line usage text for `programName`.
void PrintUsage(const std::string& programName);

}  // namespace modflash

#endif  // MODFLASH_APP_COMMAND_LINE_H_
