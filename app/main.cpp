#include "app/entry.h"

int main(int argc, char* argv[]) {
#ifdef MODFLASH_EARLIER_REVISION
  constexpr modflash::Revision kRevision = modflash::Revision::kEarlier;
#else
  constexpr modflash::Revision kRevision = modflash::Revision::kCurrent;
#endif
  return modflash::ModflashMain(argc, argv, kRevision);
}
