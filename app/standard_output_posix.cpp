#include <unistd.h>

#include "app/standard_output.h"

namespace modflash {

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

}  // namespace modflash
