#ifndef MODFLASH_APP_STANDARD_OUTPUT_H_
#define MODFLASH_APP_STANDARD_OUTPUT_H_

namespace modflash {

/// True when standard output is a terminal (a console on Windows), where
/// every progress mark is shown as it is printed.
bool StandardOutputIsTerminal();

}  // namespace modflash

#endif  // MODFLASH_APP_STANDARD_OUTPUT_H_
