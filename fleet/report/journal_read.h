#ifndef MODFLASH_FLEET_REPORT_JOURNAL_READ_H_
#define MODFLASH_FLEET_REPORT_JOURNAL_READ_H_

#include <cstdint>
#include <string>
#include <vector>

#include "fleet/report/record.h"
#include "fleet/report/run_info.h"

namespace modflash::fleet {

/// The run folder's journal: one JSON object a line, appended as the run
/// goes: an entry "start" before a reader's program starts, "running" with
/// its process id once it runs, "end" with the reader's report record as
/// it ends.
inline constexpr char kJournalFile[] = "journal.jsonl";
inline constexpr char kEntryStart[] = "start";
inline constexpr char kEntryRunning[] = "running";
inline constexpr char kEntryEnd[] = "end";
/// Windows: the console was closed (or the user logged off) and the fleet
/// ended, its running programs left to finish on their own.
inline constexpr char kEntryConsoleClosed[] = "console-closed";
/// The process id of the fleet that runs the folder's run.
inline constexpr char kLockFile[] = "run.lock";
/// run.json's "state" while the run goes on, and once it has ended.
inline constexpr char kStateRunning[] = "running";
inline constexpr char kStateFinished[] = "finished";
/// The entry that says no maintenance window is open, and until when
/// (kUntil; "" once one is open again).
inline constexpr char kEntryWindow[] = "window";
/// The run folder's pause file: while it is there no update starts. Its
/// first line says who paused ("--pause", "approval after wave 1").
inline constexpr char kPauseFile[] = "pause";
/// The entries of a pause and a continue ("by": who or what).
inline constexpr char kEntryPause[] = "pause";
inline constexpr char kEntryContinue[] = "continue";
/// Who paused or continued: a key on the fleet's own terminal, the
/// commands of another process.
inline constexpr char kByKey[] = "key";
inline constexpr char kByPause[] = "--pause";
inline constexpr char kByContinue[] = "--continue";
/// The steps a start entry names.
inline constexpr char kStepUpdate[] = "update";
inline constexpr char kStepVersionRead[] = "version-read";
inline constexpr char kStepAudit[] = "audit";

/// Limits on what is read back: a line, the journal, run.json, and how
/// deep a line's objects and lists may nest.
inline constexpr size_t kMaxJournalLine = 1u << 20;
inline constexpr uintmax_t kMaxJournalBytes = 256u << 20;
inline constexpr uintmax_t kMaxRunJsonBytes = 64u << 20;
inline constexpr int kMaxJournalNesting = 16;

/// What the journal tells of one reader of the plan.
struct ReaderTrace {
  bool started = false;  ///< a start entry was written
  std::string step;      ///< the last start's kStep...
  /// The last start's process id; 0 while no "running" entry followed it
  /// (its program may never have run).
  long pid = 0;
  std::string logFile;    ///< the last start's transcript
  std::string startTime;  ///< the first start's time
  int wave = 0;
  bool ended = false;  ///< an end entry was written
  Json record;         ///< the end entry's record
};

/// The journal read back.
struct JournalRead {
  std::vector<ReaderTrace> readers;  ///< in plan order
  size_t entries = 0;
  /// The last window entry's kUntil: while no maintenance window was
  /// open, when the next opens; "" when one was open (or none was given).
  std::string waitingUntil;
  /// The time of a console-closed entry; empty without one.
  std::string consoleClosed;
  /// The last pause's "by" while no continue followed it; otherwise "".
  std::string pausedBy;
  /// Every pause and continue, in order (the first kMaxHoldEvents).
  std::vector<HoldEvent> holds;
  /// The last line was cut off (a power loss mid-write): it is left out,
  /// and `wholeBytes` is where the whole lines end.
  bool torn = false;
  uintmax_t wholeBytes = 0;
};

/// Reads `name` of `folder` whole into `text`, as ReadFolderFile opens
/// it (no link followed, a regular file of at most `limit` bytes). False
/// with `error` set, naming the file, when it cannot.
bool ReadRunFile(const std::string& folder, const std::string& name,
                 uintmax_t limit, std::string& text, std::string& error);

/// Reads the journal of `folder` for a plan of `readers` readers (absent:
/// nothing started yet). False with `error` set, naming the line, for a
/// line that is too long, too deep, not a JSON object or names no reader
/// of the plan.
bool ReadJournal(const std::string& folder, size_t readers, JournalRead& out,
                 std::string& error);

/// The plan's readers (run.json's plan.readers) as the inventory had them.
/// False with `error` set when one is malformed.
bool PlanReaders(const Json& run, std::vector<Reader>& readers,
                 std::string& error);
Json ReaderJson(const Reader& reader);

/// The record of a reader whose update was in flight when the run ended
/// and whose transcript does not tell how it ended: unknown, its module
/// may lack firmware.
ReaderRecord InFlightRecord(const Reader& reader, const ReaderTrace& trace);

/// The report of a run that did not finish, from its journal: each
/// reader's end record, in flight ones unknown, the rest not started.
std::vector<Json> JournalRecords(const std::vector<Reader>& readers,
                                 const JournalRead& journal);

/// The process id that the lock file of `folder` names; 0 without one.
long LockHolder(const std::string& folder);

/// Whether the run of `folder` is alive in another process (its lock file
/// names a process that runs and is not this one).
bool RunAliveElsewhere(const std::string& folder);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_REPORT_JOURNAL_READ_H_
