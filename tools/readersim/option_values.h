#ifndef MODFLASH_TOOLS_READERSIM_OPTION_VALUES_H_
#define MODFLASH_TOOLS_READERSIM_OPTION_VALUES_H_

// The syntaxes of readersim's option values. Each Parse... function takes
// the text given to an option and stores what it means; it returns "" when
// the value was taken, otherwise what is wrong with it, worded to follow
// "option NAME: 'VALUE' ", e.g. "is not N:MS with MS from 0 to 15000".
// Numbers may be decimal or 0x hexadecimal.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/readersim/sim_options.h"

namespace modflash::sim {

/// Splits "A[:B[:C...]]" at `separator`.
std::vector<std::string> Split(const std::string& text, char separator);
/// True with `value` set when `text` is a whole number from 0 to `max`.
bool TakeNumberField(const std::string& text, uint32_t max, uint32_t& value);
/// A whole number from 0 to `max`.
std::string ParseNumber(const std::string& text, uint32_t max, uint32_t& value);
/// X.Y.Z, each from 0 to 255.
std::string ParseVersion(const std::string& text, Version& version);
/// One of the four serial rates.
std::string ParseRate(const std::string& text, int32_t& rate);
/// A byte, 0 to 255.
std::string ParseByte(const std::string& text, uint8_t& value);

// The faults' values: each sets the fields of its fault in `o`.
std::string ParseRefuseSlice(const std::string& text, SimOptions& o);
std::string ParseShortStatus(const std::string& text, SimOptions& o);
std::string ParseLowLength(const std::string& text, SimOptions& o);
std::string ParseOversize(const std::string& text, SimOptions& o);
std::string ParseDelayAnswer(const std::string& text, SimOptions& o);
std::string ParseCorruptAnswer(const std::string& text, SimOptions& o);
std::string ParseDrip(const std::string& text, SimOptions& o);
std::string ParseJunkBefore(const std::string& text, SimOptions& o);
/// N[:GAP] of --duplicate-answer and --extra-status; `gap` keeps its value
/// when none is given.
std::string ParseFrameAndGap(const std::string& text, uint32_t& frame,
                             uint32_t& gap);

/// --noise-after N[:COUNT[:GAP]], COUNT from 1 to 64.
std::string ParseNoiseAfter(const std::string& text, SimOptions& o);
/// --resend-in-pieces N[:FIRST[:GAP]], FIRST from 1 to 64.
std::string ParseResendInPieces(const std::string& text, SimOptions& o);
/// --latency-schedule N:MS[,N:MS...], N rising, MS from 0 to 1000.
std::string ParseLatencySchedule(const std::string& text, SimOptions& o);
/// --no-address-echo zeros|constant|random.
std::string ParseNoAddressEcho(const std::string& text, SimOptions& o);

/// --readers: 1 to kMaxReaders.
inline constexpr uint32_t kMaxReaders = 4096;
std::string ParseReaderCount(const std::string& text, uint32_t& readers);
/// --faulty K[,K...]: readers from 1 (whether the fleet has them is
/// checked once --readers is known).
std::string ParseFaulty(const std::string& text, FleetSimOptions& fleet);
/// --versions X.Y.Z[:N][,X.Y.Z[:N]...]: N from 1 to kMaxReaders; only the
/// last may leave out :N (the readers left).
std::string ParseVersions(const std::string& text, FleetSimOptions& fleet);

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_OPTION_VALUES_H_
