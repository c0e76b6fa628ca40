#ifndef MODFLASH_FLEET_DIAGNOSIS_H_
#define MODFLASH_FLEET_DIAGNOSIS_H_

#include <string>

#include "contract/phases.h"
#include "fleet/transcript/transcript_reader.h"

namespace modflash::fleet {

/// The advice for `phase`; "" for a phase not in output::kFailurePhases
/// (contract/phases.h, which docs/operator-guide.md gives word for word).
const char* NextStep(const std::string& phase);

/// How a failed or interrupted run left its module, from how far its
/// transcript got: untouched before update mode, may lack firmware from
/// there until the update was accepted, unknown after that (or "updated"
/// when only the final rate change failed and the version matched). A dry
/// run writes nothing and leaves every module untouched.
const char* ModuleStateAfterFailure(const TranscriptFacts& facts, bool dryRun,
                                    bool interrupted);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_DIAGNOSIS_H_
