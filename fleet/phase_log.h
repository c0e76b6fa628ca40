#ifndef MODFLASH_FLEET_PHASE_LOG_H_
#define MODFLASH_FLEET_PHASE_LOG_H_

#include <string>
#include <vector>

namespace modflash::fleet {

/// One phase of an update, in seconds from the start of its modflash.
struct PhaseSpan {
  const char* phase = "";  ///< one of the names below
  double start = 0;
  double end = 0;
};

/// The phases in the order an update goes through them.
inline constexpr const char* kPhaseNames[] = {"connect-probe",    "baud-rate",
                                              "restart-wait",     "transfer",
                                              "post-update-wait", "verify"};

/// Times the phases of a running transcript as its output arrives: each
/// phase begins when the line that opens it is read. The first phase begins
/// at 0; a phase whose line never comes is left out.
class PhaseLog {
 public:
  PhaseLog();
  /// `chunk` arrived `seconds` after the start.
  void Consume(const std::string& chunk, double seconds);
  /// The phases so far, the last one ending at `endSeconds` (a failed run's
  /// last phase is the one it failed in).
  std::vector<PhaseSpan> Finish(double endSeconds) const;

 private:
  void LineDone(double seconds);

  std::string line_;
  std::vector<PhaseSpan> spans_;
  size_t next_ = 1;  // index of the next phase in kPhaseNames
};

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_PHASE_LOG_H_
