// --check --last-audit FOLDER: the readers that an earlier audit saw at a
// newer version than the image's, told before anything would start.

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "fleet/cli/run_steps.h"
#include "fleet/report/fields.h"
#include "fleet/report/record.h"
#include "fleet/report/run_info.h"
#include "fleet/text/text.h"
#include "fleet/transcript/judgement.h"

namespace modflash::fleet {
namespace {

// Readers named in the warning; the rest are counted.
constexpr size_t kNamesShown = 5;

// A reader as a merge matches them: its address (else its host) and port.
std::string Where(const std::string& address, long long port) {
  return address + ":" + std::to_string(port);
}

// The versions that the audit of `folder` read, by where the reader is;
// false with `error` set when the folder is no audit's or cannot be read.
bool AuditVersions(const std::string& folder,
                   std::map<std::string, std::string>& versions,
                   std::string& error) {
  RunFolder audit;
  if (!ReadRunFolder(folder, audit, error)) return false;
  if (!audit.run.is_object() ||
      Text(audit.run, run_key::kKind) != RunKindName(RunKind::kAudit)) {
    error = folder +
            " is not the run folder of an audit (its run.json does not "
            "say \"kind\": \"audit\")";
    return false;
  }
  for (const Json& r : audit.records) {
    const std::optional<long long> port = Whole(r, field::kPort);
    if (!port || Text(r, field::kOutcome) != OutcomeName(Outcome::kAnswered))
      continue;
    const std::string version = Text(r, field::kVersionBefore);
    const std::string address = Text(r, field::kAddress);
    // A later record of the same reader stands.
    if (!address.empty()) versions[Where(address, *port)] = version;
    const std::string host = Text(r, field::kHost);
    if (!host.empty()) versions["host " + Where(host, *port)] = version;
  }
  return true;
}

// What the run kind does with the readers named.
std::string Consequence(const Options& o) {
  if (o.kind == RunKind::kProgram && o.allowOlder) {
    return "--allow-older downgrades them.";
  }
  return std::string(o.kind == RunKind::kProgram ? "--program leaves"
                                                 : "--program would leave") +
         " them as they are (newer-than-image) unless --allow-older is "
         "given.";
}

}  // namespace

bool LastAuditWarning(const Options& o, const FleetSettings& settings,
                      const std::vector<Reader>& readers,
                      std::string& warning) {
  std::map<std::string, std::string> versions;
  std::string error;
  if (!AuditVersions(o.lastAudit, versions, error)) {
    std::cout << "modflash-fleet: --last-audit: " << Shown(error)
              << "; nothing was started\n";
    return false;
  }
  size_t newer = 0;
  std::string named;
  for (const Reader& r : readers) {
    auto it = versions.find(Where(r.address, r.port));
    if (it == versions.end())
      it = versions.find("host " + Where(r.host, r.port));
    if (it == versions.end() ||
        !NewerThanImage(it->second, settings.imageVersion)) {
      continue;
    }
    if (++newer > kNamesShown) continue;
    named += (newer > 1 ? ", " : "") + Shown(r.name) + " (" +
             Shown(it->second) + ")";
  }
  if (newer == 0) return true;
  if (newer > kNamesShown) {
    named += " and " + std::to_string(newer - kNamesShown) + " more";
  }
  warning = "warning: the image (" + settings.imageVersion +
            ") is older than what the audit in " + Shown(o.lastAudit) +
            " saw on " + std::to_string(newer) + " reader(s): " + named + "; " +
            Consequence(o);
  return true;
}

}  // namespace modflash::fleet
