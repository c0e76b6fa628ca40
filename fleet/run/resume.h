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

/// Whether the program `trace` names has ended: waits for it while it
/// runs and its transcript in `folder` grows, telling `out` once.
/// False when it still runs after kOrphanWaitSeconds of a silent
/// transcript.
bool WaitForOrphan(const std::string& folder, const std::string& name,
                   const ReaderTrace& trace, std::ostream& out);

/// For --resume: the records of the readers that ended before (their
/// end entries, and the in-flight ones judged now, each noted in the
/// journal). In-flight version reads and audits start again. Prints what
/// it does to `out`; false (with the unwritten file in `journal`) when an
/// end entry could not be written.
bool KeptRecords(const std::string& folder, const std::vector<Reader>& readers,
                 const JournalRead& read, bool dryRun, Journal& journal,
                 std::vector<std::optional<ReaderRecord>>& kept,
                 std::ostream& out);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_RUN_RESUME_H_
