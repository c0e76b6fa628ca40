#ifndef MODFLASH_FLEET_PHASE_LOG_H_
#define MODFLASH_FLEET_PHASE_LOG_H_

#include <string>
#include <vector>

#include "contract/phases.h"
#include "fleet/report/record.h"
#include "fleet/transcript/line_splitter.h"

namespace modflash::fleet {

/// Times the phases of a running transcript (output::kTimeline) as its
/// output arrives: each phase begins when the line that opens it is read. The
/// first phase begins at 0; a phase whose line never comes is left out.
class PhaseLog {
 public:
  PhaseLog();
  /// `chunk` arrived `seconds` after the start.
  void Consume(const std::string& chunk, double seconds);
  /// The phases so far, the last one ending at `endSeconds` (a failed run's
  /// last phase is the one it failed in).
  std::vector<PhaseSpan> Finish(double endSeconds) const;

 private:
  void LineDone(const std::string& line, double seconds);

  LineSplitter lines_;
  std::vector<PhaseSpan> spans_;
  size_t next_ = 1;  // index of the next phase in output::kTimeline
};

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_PHASE_LOG_H_
