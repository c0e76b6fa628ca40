#ifndef MODFLASH_FLEET_EXIT_FILE_H_
#define MODFLASH_FLEET_EXIT_FILE_H_

#include <string>

#include "process/child_process.h"

namespace modflash::fleet {

/// Writes a reader's KKK-N.exit file: the exit status as the system
/// reports it, or "signal S". False when it could not be written whole (a
/// full disk, say).
bool WriteExitFile(const std::string& path, const process::ChildExit& exit);

/// The same for a reader whose program could not be started: "not started:
/// `error`".
bool WriteNotStartedFile(const std::string& path, const std::string& error);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_EXIT_FILE_H_
