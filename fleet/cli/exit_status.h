#ifndef MODFLASH_FLEET_CLI_EXIT_STATUS_H_
#define MODFLASH_FLEET_CLI_EXIT_STATUS_H_

namespace modflash::fleet {

/// Exit statuses of modflash-fleet.
inline constexpr int kAllSucceeded = 0;
inline constexpr int kSomeNotUpdated = 1;  ///< failed or not started
inline constexpr int kBadInput = 2;        ///< usage, inventory or image
/// The report, run.json or an exit file could not be written in the run
/// folder (a full disk, say): what the report says is not known.
inline constexpr int kNotWritten = 3;
/// --status: the run has not finished (it runs, or ended early).
inline constexpr int kNotFinished = 4;

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_CLI_EXIT_STATUS_H_
