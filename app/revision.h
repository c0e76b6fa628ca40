#ifndef MODFLASH_APP_REVISION_H_
#define MODFLASH_APP_REVISION_H_

namespace modflash {

/// Which front end runs: the current one, or the earlier revision that the
/// 64-bit program ships.
enum class Revision { kCurrent, kEarlier };

}  // namespace modflash

#endif  // MODFLASH_APP_REVISION_H_
