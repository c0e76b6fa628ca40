#ifndef MODFLASH_FLEET_RUN_JOURNAL_H_
#define MODFLASH_FLEET_RUN_JOURNAL_H_

#include <functional>
#include <string>
#include <vector>

#include "fleet/report/journal_read.h"
#include "fleet/run/fleet_run.h"

namespace modflash::fleet {

/// Keeps the run folder's journal as the run goes: each start and end an
/// entry on the disk before the run moves on, and the report files written
/// anew from the records at the end of each wave.
class Journal : public RunObserver {
 public:
  /// `folder`: the run folder; the image's facts and the site go into each
  /// record as the report has them.
  Journal(std::string folder, std::string imageSha256, std::string imageVersion,
          std::string site);

  bool Starting(size_t index, const ReaderRecord& record,
                const char* step) override;
  bool Running(size_t index, long pid) override;
  bool Ended(size_t index, const ReaderRecord& record) override;
  bool WaveEnded(const std::vector<ReaderRecord>& records) override;
  bool Waiting(const std::string& until) override;
  /// Notes a console-closed entry with the time.
  bool Ending() override;
  bool Held(const std::string& entry, const std::string& by) override;
  std::string Unwritten() const override { return unwritten_; }

  /// Writes the report page of the folder after the report; false with the
  /// error set when it cannot.
  /// Writes the page of `folder` from the records at a wave's end.
  using PageWriter = std::function<bool(
      const std::string&, const std::vector<ReaderRecord>&, std::string&)>;
  void SetPageWriter(PageWriter write) { page_ = std::move(write); }

  /// The record as the report has it: image, version and site filled in.
  ReaderRecord Completed(ReaderRecord record) const;

 private:
  bool Append(const Json& entry);

  std::string folder_;
  std::string imageSha256_;
  std::string imageVersion_;
  std::string site_;
  std::string unwritten_;
  PageWriter page_;
};

/// Takes the run folder's lock for this process. False with `error` set
/// when another process that runs holds it, or it cannot be written.
bool TakeRunLock(const std::string& folder, std::string& error);
void ReleaseRunLock(const std::string& folder);

/// Writes run.json as `info` with "state" and "plan" added, durably;
/// false when it cannot.
bool WriteRunJson(const std::string& folder, Json info, const char* state,
                  const Json& plan);

/// Rewrites run.json as written by the report (with its end and counts),
/// its state finished and `plan` kept. False with `error` set when it
/// cannot.
bool FinishRunJson(const std::string& folder, const Json& plan,
                   std::string& error);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_RUN_JOURNAL_H_
