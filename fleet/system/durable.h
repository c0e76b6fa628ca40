#ifndef MODFLASH_FLEET_SYSTEM_DURABLE_H_
#define MODFLASH_FLEET_SYSTEM_DURABLE_H_

#include <string>

namespace modflash::fleet {

/// Appends `text` to `path` (created when absent) and waits until it is on
/// the disk; false when any of it could not be written or flushed.
bool AppendDurably(const std::string& path, const std::string& text);

/// Replaces `path` by a file holding `text`, on the disk before it takes
/// the old one's place (a power loss leaves one or the other whole).
bool ReplaceDurably(const std::string& path, const std::string& text);

/// Creates `path` holding `text`, only when there is no such file yet; false
/// when there is one or it could not be written.
bool CreateExclusively(const std::string& path, const std::string& text);

/// This process's id.
long OwnProcessId();

/// Whether a process of id `pid` runs (an ended one not yet reaped does
/// not count).
bool ProcessRuns(long pid);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_SYSTEM_DURABLE_H_
