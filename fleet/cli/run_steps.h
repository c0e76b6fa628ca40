#ifndef MODFLASH_FLEET_CLI_RUN_STEPS_H_
#define MODFLASH_FLEET_CLI_RUN_STEPS_H_

#include <string>
#include <vector>

#include "fleet/cli/options.h"
#include "fleet/run/fleet_run.h"
#include "fleet/run/journal.h"

namespace modflash::fleet {

struct ImageFacts {
  std::string version;
  std::string sha256;
};

/// How many run folders of one second NewRunFolder tries.
inline constexpr int kMostRunFolders = 99;

/// Makes a new run folder named `stem`, or `stem`-2, -3 ... when that is
/// taken, each with one mkdir so that two runs never take the same; its
/// name, or "" with `error` told.
std::string NewRunFolder(const std::string& stem, std::string& error);

/// The steps of a run that a new run and a resumed one share.
bool CheckImage(const std::string& path, ImageFacts& image);
bool FindPrograms(const Options& o, const char* argv0, FleetSettings& settings);
void Configure(const Options& o, const ImageFacts& image, size_t readers,
               FleetSettings& settings);
/// Runs the fleet with `journal` and writes its report and run.json (with
/// `plan`); the exit status. The folder's lock is this process's.
/// What the run does, as its first lines say (and as --check shows it).
void PrintPlan(const Options& o, const FleetSettings& settings, size_t readers);
/// --check: the plan, the readers one a line, the programs that would
/// run and `warning` (of --last-audit) when there is one.
void PrintCheck(const Options& o, const FleetSettings& settings,
                const std::vector<Reader>& readers, const std::string& warning);
/// --last-audit: `warning` names the readers that the audit of its folder
/// saw at a newer version than the image's (empty when it saw none). The
/// folder is read as one from elsewhere (ReadRunFolder). False, with the
/// reason printed, when it is no audit's or cannot be read.
bool LastAuditWarning(const Options& o, const FleetSettings& settings,
                      const std::vector<Reader>& readers, std::string& warning);
int RunAndReport(const Options& o, int argc, char** argv,
                 FleetSettings settings, const std::vector<Reader>& readers,
                 Journal& journal, const Json& plan);

/// run.json's plan of a run: everything --resume needs to run it on.
Json PlanJson(const Options& o, const FleetSettings& settings,
              const std::vector<Reader>& readers);

/// --resume FOLDER and --status FOLDER; the exit status.
/// The page of a run folder at a wave's end: its run.json as written at the
/// start, with the records so far.
bool WriteWavePage(const std::string& folder,
                   const std::vector<ReaderRecord>& records,
                   std::string& error);

int ResumeMain(Options o, int argc, char** argv, const char* argv0);
int StatusMain(const std::string& folder);
/// --pause FOLDER (`pause`) and --continue FOLDER.
int HoldMain(const std::string& folder, bool pause);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_CLI_RUN_STEPS_H_
