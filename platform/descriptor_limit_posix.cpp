#include <sys/resource.h>

#include "platform/descriptor_limit.h"

namespace modflash {

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= limit.rlim_max) {
    return;
  }
  limit.rlim_cur = limit.rlim_max;
  // Refused by some systems for an unlimited hard limit; the soft limit
  // stays then, and a fleet too big for it is told so.
  setrlimit(RLIMIT_NOFILE, &limit);
}

uint64_t DescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
      limit.rlim_cur == RLIM_INFINITY) {
    return 0;
  }
  return static_cast<uint64_t>(limit.rlim_cur);
}

}  // namespace modflash
