#ifndef MODFLASH_FLEET_REPORT_FIELDS_H_
#define MODFLASH_FLEET_REPORT_FIELDS_H_

// The names of a report's fields (report.csv's columns, report.jsonl's
// keys) and of run.json's keys, in one list: a name that both hold is
// spelt once. Whatever writes or reads a report or run.json names its
// fields from here.

namespace modflash::fleet {

namespace field {

/// As the inventory names the reader, else "host:port".
inline constexpr char kName[] = "name";
inline constexpr char kHost[] = "host";
inline constexpr char kAddress[] = "address";
inline constexpr char kPort[] = "port";
inline constexpr char kOutcome[] = "outcome";
/// modflash's exit status, signed, and as the system reports it.
inline constexpr char kExitStatus[] = "exit_status";
inline constexpr char kExitStatusRaw[] = "exit_status_raw";
inline constexpr char kFileVersion[] = "file_version";
inline constexpr char kImageSha256[] = "image_sha256";
inline constexpr char kVersionBefore[] = "version_before";
inline constexpr char kVersionAfter[] = "version_after";
inline constexpr char kInitialBaud[] = "initial_baud";
inline constexpr char kRefusedTries[] = "refused_tries";
inline constexpr char kFailureLine[] = "failure_line";
inline constexpr char kFirstError[] = "first_error";
inline constexpr char kFailurePhase[] = "failure_phase";
inline constexpr char kFailureAddress[] = "failure_address";
inline constexpr char kModuleState[] = "module_state";
inline constexpr char kNextStep[] = "next_step";
inline constexpr char kCurrent[] = "current";
inline constexpr char kAnsweredAfterUpdate[] = "answered_after_update";
inline constexpr char kStartTime[] = "start_time";
inline constexpr char kEndTime[] = "end_time";
inline constexpr char kSeconds[] = "seconds";
inline constexpr char kLogFile[] = "log_file";
inline constexpr char kWave[] = "wave";
inline constexpr char kSite[] = "site";
/// The run folder a merged record came from.
inline constexpr char kRun[] = "run";
inline constexpr char kNote[] = "note";

/// Every plain field in column order.
inline constexpr const char* kColumns[] = {kName,
                                           kHost,
                                           kAddress,
                                           kPort,
                                           kOutcome,
                                           kExitStatus,
                                           kExitStatusRaw,
                                           kFileVersion,
                                           kImageSha256,
                                           kVersionBefore,
                                           kVersionAfter,
                                           kInitialBaud,
                                           kRefusedTries,
                                           kFailureLine,
                                           kFirstError,
                                           kFailurePhase,
                                           kFailureAddress,
                                           kModuleState,
                                           kNextStep,
                                           kCurrent,
                                           kAnsweredAfterUpdate,
                                           kStartTime,
                                           kEndTime,
                                           kSeconds,
                                           kLogFile,
                                           kWave,
                                           kSite,
                                           kRun,
                                           kNote};

/// report.jsonl only: the phases of the update (PhaseSpan) and a merged
/// reader's earlier records.
inline constexpr char kPhases[] = "phases";
inline constexpr char kPhase[] = "phase";
inline constexpr char kStart[] = "start";
inline constexpr char kEnd[] = "end";
inline constexpr char kAttempts[] = "attempts";

/// run.json's keys, in the order it holds them; kStartTime, kEndTime and
/// kSite as above.
inline constexpr char kTool[] = "tool";
/// This program's version.
inline constexpr char kToolVersion[] = "tool_version";
/// Null when the modflash it ran is not the one beside it.
inline constexpr char kModflashVersion[] = "modflash_version";
/// "program", "dryrun", "audit" or "merge".
inline constexpr char kKind[] = "kind";
inline constexpr char kCommandLine[] = "command_line";
/// An object of kFile, kVersion and kSha256, or null.
inline constexpr char kImage[] = "image";
/// A merge's: every image of its runs.
inline constexpr char kImages[] = "images";
inline constexpr char kFile[] = "file";
inline constexpr char kVersion[] = "version";
inline constexpr char kSha256[] = "sha256";
/// --retry's run folder, as given.
inline constexpr char kRetryOf[] = "retry_of";
/// The sizes of the waves that started; null for a run in one wave.
inline constexpr char kWaves[] = "waves";
/// Why new starts stopped; null when they did not.
inline constexpr char kStopped[] = "stopped";
/// Each pause and continue the run saw, in order: objects of kEvent (the
/// journal's entry, "pause" or "continue"), kTime and kBy.
inline constexpr char kHolds[] = "holds";
inline constexpr char kEvent[] = "event";
/// How many records have each outcome.
inline constexpr char kCounts[] = "counts";
/// A merge's: each site's kCounts and kReachable.
inline constexpr char kSites[] = "sites";
inline constexpr char kReachable[] = "reachable";
/// A merge's: the names of its run folders.
inline constexpr char kRuns[] = "runs";

/// While a run goes on, run.json holds its state and its plan: what a
/// resumed run takes up again. The plan's keys are kKind, kImage,
/// kImageSha256, kSite, kRetryOf, kWaves and these; each of its readers
/// has kName, kHost, kAddress, kPort and kLine.
inline constexpr char kState[] = "state";
inline constexpr char kPlan[] = "plan";
inline constexpr char kImageVersion[] = "image_version";
inline constexpr char kReaders[] = "readers";
/// A reader's line of the inventory.
inline constexpr char kLine[] = "line";
inline constexpr char kJobs[] = "jobs";
inline constexpr char kCanary[] = "canary";
inline constexpr char kMaxFailures[] = "max_failures";
inline constexpr char kMaxFailureRate[] = "max_failure_rate";
inline constexpr char kForce[] = "force";
inline constexpr char kModflash[] = "modflash";
inline constexpr char kAllowOlder[] = "allow_older";
inline constexpr char kMinFinished[] = "min_finished";
/// The --only and --skip patterns.
inline constexpr char kOnly[] = "only";
inline constexpr char kSkip[] = "skip";
/// The waves after which the run waits for a continue, how long (seconds;
/// 0: without end), and "stop" or "continue" when none came.
inline constexpr char kApproveAfter[] = "approve_after";
inline constexpr char kApproveTimeout[] = "approve_timeout_s";
inline constexpr char kWithoutApproval[] = "without_approval";
/// The maintenance windows as given, and "wait" or "stop" when none is open.
inline constexpr char kWindows[] = "windows";
inline constexpr char kWindowEnd[] = "window_end";

/// The keys of the journal's entries (journal.jsonl): kEntry names the
/// entry's kind; a start entry has kReader, kName, kStep, kPid, kLogFile,
/// kStartTime and kWave, an end entry kReader and kRecord.
inline constexpr char kEntry[] = "entry";
/// The reader's place in the plan, from 0.
inline constexpr char kReader[] = "reader";
inline constexpr char kStep[] = "step";
inline constexpr char kPid[] = "pid";
inline constexpr char kRecord[] = "record";
/// When an entry of the run's own (a window's wait, say) was written.
inline constexpr char kTime[] = "time";
/// Who paused or continued a run (a pause or continue entry).
inline constexpr char kBy[] = "by";
/// A window entry's time of the next opening.
inline constexpr char kUntil[] = "until";

}  // namespace field

/// run.json's keys, as the places that write or read run.json name them.
namespace run_key = field;

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_REPORT_FIELDS_H_
