#ifndef MODFLASH_FLEET_RUN_RESUME_H_
#define MODFLASH_FLEET_RUN_RESUME_H_

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fleet/report/journal_read.h"
#include "fleet/run/journal.h"

namespace modflash::fleet {

/// How long a program left running by an earlier run is waited for at
/// most: longer than any update takes. A transcript that has not grown for
/// this long belongs to no running program.
inline constexpr int kOrphanWaitSeconds = 15 * 60;

/// The record of a reader whose update ran on when its fleet ended, from
/// its transcript alone (no exit status is known): updated when the
/// transcript ends with the verdict of success, failed when it tells a
/// failure, and unknown (its module may lack firmware) when it ends
/// without either.
ReaderRecord JudgeOrphan(const Reader& reader, const ReaderTrace& trace,
                         const std::string& transcript, bool dryRun);

/// How long --resume waits on a program that an earlier run left: a
/// running one whose transcript is silent (`silentSeconds`), and a start
/// entry without a process id whose transcript is empty (`emptySeconds`:
/// its program did not start, or had not yet begun to write).
/// Without a process id, a transcript silent for `unknownSilentSeconds`
/// that tells no end is taken to have ended.
struct OrphanWaits {
  double silentSeconds = kOrphanWaitSeconds;
  double emptySeconds = 10;
  double unknownSilentSeconds = 60;
};

/// What became of the program of a start entry that has no end entry.
enum class Orphan {
  kNeverRan,   ///< no transcript, or an empty one and no process
  kEnded,      ///< it ran and has ended (or fell silent: see OrphanWaits)
  kStillRuns,  ///< its process still runs, its transcript silent too long
};

/// Waits for the program `trace` names while it runs and its transcript in
/// `folder` grows, telling `out` once. Without a process id (the fleet
/// ended between the start entry and the program's start) the transcript
/// alone tells: absent or empty, the program never ran; else it is waited
/// for until it tells how it ended or falls silent.
Orphan AwaitOrphan(const std::string& folder, const std::string& name,
                   const ReaderTrace& trace, std::ostream& out,
                   const OrphanWaits& waits = {});

/// For --resume: the records of the readers that ended before (their
/// end entries, and the in-flight ones judged now, each noted in the
/// journal). In-flight version reads and audits start again, as do the
/// readers whose program never ran. Prints what it does to `out`; false
/// (with the unwritten file in `journal`) when an end entry could not be
/// written.
bool KeptRecords(const std::string& folder, const std::vector<Reader>& readers,
                 const JournalRead& read, bool dryRun, Journal& journal,
                 std::vector<std::optional<ReaderRecord>>& kept,
                 std::ostream& out, const OrphanWaits& waits = {});

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_RUN_RESUME_H_
