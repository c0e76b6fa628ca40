#include "fleet/run/running.h"

#include <cstdio>
#include <ctime>

#include "contract/phases.h"
#include "fleet/report/journal_read.h"
#include "fleet/system/terminal.h"

namespace modflash::fleet {

const char* StepName(Step step) {
  return step == Step::kUpdate  ? kStepUpdate
         : step == Step::kAudit ? kStepAudit
                                : kStepVersionRead;
}

std::vector<std::string> ChildArguments(Step step, RunKind kind,
                                        const std::string& image,
                                        const Reader& reader) {
  std::vector<std::string> args = {reader.address, std::to_string(reader.port)};
  if (step == Step::kUpdate) {
    args.insert(args.begin(),
                {kind == RunKind::kDryRun ? "--dryrun" : "--program", image});
  }
  return args;
}

std::string IsoTimeNow() {
  const std::tm local = LocalTime(std::time(nullptr));
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

std::string FileStem(size_t index, const std::string& name) {
  char number[16];
  std::snprintf(number, sizeof number, "%03zu-", index + 1);
  std::string stem = number;
  for (const char c : name.substr(0, 40)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '-' ||
                       c == '_';
    stem.push_back(plain ? c : '_');
  }
  return stem;
}

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

void NotStarted(ReaderRecord& record) {
  const Reader reader = record.reader;
  record = ReaderRecord{};
  record.reader = reader;
  record.moduleState = output::kUntouched;
}

}  // namespace modflash::fleet
