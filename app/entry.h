#ifndef MODFLASH_APP_ENTRY_H_
#define MODFLASH_APP_ENTRY_H_

#include "app/revision.h"

namespace modflash {

/// The whole program: parses the command line, prints the run header, loads
/// the image and runs the update. Returns the exit status, 0 or -1.
int ModflashMain(int argc, const char* const* argv, Revision revision);

}  // namespace modflash

#endif  // MODFLASH_APP_ENTRY_H_
