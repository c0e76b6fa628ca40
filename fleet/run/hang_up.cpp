#include "fleet/run/hang_up.h"

#include <fstream>
#include <iostream>

#include "fleet/system/terminal.h"

namespace modflash::fleet {

bool MoveConsoleToLog(const std::string& path) {
  // std::cout uses it until the program ends, and flushes it then: it is
  // never freed.
  auto* file = new std::filebuf;
  if (file->open(path, std::ios::out | std::ios::app | std::ios::binary) ==
      nullptr) {
    delete file;
    return false;
  }
  // What is still on its way to the terminal that has gone is lost.
  std::cout.flush();
  std::cout.rdbuf(file);
  std::cout.clear();
  std::cout << std::unitbuf;
  return true;
}

void FollowHangUp(Display& display, const std::string& folder, size_t updates) {
  display.Plain();
  const std::string log = folder + "/" + kFleetLog;
  const bool moved = MoveConsoleToLog(log);
  const std::string running = std::to_string(updates) + " running update(s)";
  if (HangUpEnds()) {
    display.Note(
        "The console was closed: modflash-fleet ends in a moment, and no "
        "further update starts. The " +
        running + " go on by themselves; their transcripts are in " + folder +
        ".");
  } else {
    display.Note(
        "Hang-up: the terminal has gone. The run goes on as planned "
        "(the " +
        running + " and the readers still to start); " +
        (moved ? "its lines go on in " + log
               : "cannot write " + log + ", its lines are lost") +
        ", and the report is written at the end.");
  }
  HangUpNoted();
}

}  // namespace modflash::fleet
