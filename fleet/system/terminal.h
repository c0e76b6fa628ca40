#ifndef MODFLASH_FLEET_SYSTEM_TERMINAL_H_
#define MODFLASH_FLEET_SYSTEM_TERMINAL_H_

#include <ctime>
#include <string>

namespace modflash::fleet {

/// Counts Ctrl-C presses from now on: SIGINT and SIGTERM on POSIX, the
/// console control events on Windows.
void InstallInterruptHandler();
/// How many interruptions arrived since InstallInterruptHandler().
int Interruptions();

/// True when standard output is a terminal that takes cursor movements:
/// on POSIX a terminal whose TERM is set and not "dumb"; on Windows a
/// console that takes virtual-terminal processing (switched on here), but
/// not Wine's, which prints the sequences' text.
bool PrepareTerminal();

/// The visible rows and columns of the terminal on standard output; false
/// when it tells none.
bool TerminalSize(int& rows, int& columns);

/// The local time of `t`, broken down.
std::tm LocalTime(std::time_t t);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_SYSTEM_TERMINAL_H_
