#ifndef MODFLASH_FLEET_CLI_MERGE_COMMAND_H_
#define MODFLASH_FLEET_CLI_MERGE_COMMAND_H_

namespace modflash::fleet {

/// Whether the command line asks for a merge (--merge anywhere in it).
bool IsMergeCommand(int argc, char** argv);

/// modflash-fleet --merge OUT_FOLDER [--unreachable-site NAME[=INVENTORY]]...
/// RUN_FOLDER...: the merge of the run folders into OUT_FOLDER. Exit
/// status 0, or 2 for a usage error, a folder without a report, a folder
/// merged into itself or a bad unreachable site.
int MergeMain(int argc, char** argv);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_CLI_MERGE_COMMAND_H_
