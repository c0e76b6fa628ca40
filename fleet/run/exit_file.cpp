#include "fleet/run/exit_file.h"

#include <fstream>

namespace modflash::fleet {
namespace {

bool WriteWhole(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);  // text: CR LF on Windows, as before
  out << text;
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

bool WriteExitFile(const std::string& path, const process::ChildExit& exit) {
  return WriteWhole(path, exit.exited
                              ? std::to_string(exit.status) + "\n"
                              : "signal " + std::to_string(exit.signal) + "\n");
}

bool WriteNotStartedFile(const std::string& path, const std::string& error) {
  return WriteWhole(path, "not started: " + error + "\n");
}

}  // namespace modflash::fleet
