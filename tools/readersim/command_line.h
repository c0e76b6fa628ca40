#ifndef MODFLASH_TOOLS_READERSIM_COMMAND_LINE_H_
#define MODFLASH_TOOLS_READERSIM_COMMAND_LINE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/readersim/sim_options.h"

namespace modflash::sim {

/// What the command line asks for.
struct CommandLine {
  enum class Action { kServe, kHelp, kMakeImage };
  Action action = Action::kServe;
  SimOptions options;
  /// --readers N and the rest of a fleet rehearsal.
  FleetSimOptions fleet;
  /// --ready-file: written once every reader listens.
  std::string readyFile;
  /// The --expect file, loaded into options.expectImage by RunReaderSim.
  std::string expectPath;
  /// make-image: the file to write, the version and the code seed.
  std::string imagePath;
  Version imageVersion;
  uint32_t imageSeed = 1;
};

/// Parses the arguments after the program name. False with `error` set to
/// one line (without line end) when an argument is bad.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& line,
                      std::string& error);

/// The text --help prints: readersim's version, usage and every option.
std::string HelpText();

/// Writes `text` to `path` whole, under another name first and then renamed,
/// so that a reader of `path` never sees a part of it. False when it could
/// not be written.
bool WriteFileWhole(const std::string& path, const std::string& text);

/// A valid image: deterministic pseudo-random code from `seed`, the
/// signature and the version.
std::vector<uint8_t> MakeImage(Version version, uint32_t seed);

/// The whole program: returns the exit status (0, 1 on a run-time failure,
/// 2 on a bad command line).
int RunReaderSim(const std::vector<std::string>& args);

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_COMMAND_LINE_H_
