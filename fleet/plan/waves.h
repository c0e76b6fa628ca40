#ifndef MODFLASH_FLEET_WAVES_H_
#define MODFLASH_FLEET_WAVES_H_

#include <cstddef>
#include <string>
#include <vector>

namespace modflash::fleet {

/// One item of --waves: a count of readers, or a share of the inventory.
struct WaveSize {
  double value = 0;
  bool percent = false;
};

/// Reads "1,5,10%,25%": counts of 1 or more, shares above 0 and at most
/// 100%. False with `error` set for anything else.
bool ParseWaves(const std::string& text, std::vector<WaveSize>& sizes,
                std::string& error);

/// The sizes of the waves for `readers` readers: each item in turn (a share
/// rounded up, at least 1), the last repeated, the last wave cut to what is
/// left. Empty `sizes`: one wave of all.
std::vector<size_t> WavePlan(const std::vector<WaveSize>& sizes,
                             size_t readers);

/// Reads --max-failure-rate: "10%" or "10", from 0 up to but not including
/// 100 (a share of failures above 100% can never be reached). False with
/// `error` set otherwise.
bool ParseFailureRate(const std::string& text, double& percent,
                      std::string& error);

/// "1, 2, 2, 3"
std::string WaveList(const std::vector<size_t>& waves);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_WAVES_H_
