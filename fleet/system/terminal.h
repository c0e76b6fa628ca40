#ifndef MODFLASH_FLEET_SYSTEM_TERMINAL_H_
#define MODFLASH_FLEET_SYSTEM_TERMINAL_H_

#include <ctime>
#include <string>

namespace modflash::fleet {

/// Counts Ctrl-C presses from now on: SIGINT and SIGTERM on POSIX, Ctrl-C
/// and Ctrl-Break on Windows. Notes a hang-up (HungUp), and on POSIX takes
/// away SIGPIPE: a write to a terminal or pipe that has gone fails instead.
void InstallInterruptHandler();
/// How many interruptions arrived since InstallInterruptHandler().
int Interruptions();

/// Whether the terminal has gone since InstallInterruptHandler(): a SIGHUP
/// on POSIX (a dropped SSH session, a closed terminal window), which is no
/// interruption: the run goes on. On Windows the console window was closed
/// or the user logs off, and the system ends this program a few seconds
/// later (see HangUpEnds).
bool HungUp();
/// Whether the system ends this program soon after a hang-up.
bool HangUpEnds();
/// Tells that the hang-up has been noted: on Windows the system may then
/// end this program at once.
void HangUpNoted();

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
