#ifndef MODFLASH_FLEET_CHILD_PROCESS_H_
#define MODFLASH_FLEET_CHILD_PROCESS_H_

#include <memory>
#include <string>
#include <vector>

namespace modflash::fleet {

/// How a child process ended.
struct ChildExit {
  bool exited = false;  ///< ended by returning or exit(); `status` is set
  int status = 0;       ///< as the system reports it (255 or -1 for -1)
  int signal = 0;       ///< POSIX: the signal that ended it, if any
};

/// A program started with its standard output on a pipe to us, no
/// standard input and its standard error in a file. The child runs in a
/// process group of its own, so a Ctrl-C at the console reaches only us.
class ChildProcess {
 public:
  ChildProcess();
  ~ChildProcess();  ///< ends a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// Starts `program` with `args` (argv[0] is `program`). False with
  /// `error` set when it could not be started.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::string& errorFile, std::string& error);
  /// Appends what the child has written since the last call, without
  /// waiting. False once its output has ended and all of it was handed out.
  bool ReadOutput(std::string& sink);
  /// After ReadOutput returned false: waits for the child to end.
  ChildExit Wait();
  /// Ends the child at once.
  void Kill();
  /// The system's process id.
  long Id() const;

  /// Blocks until one of `children` has output or has ended, or until
  /// `timeoutMs` passed.
  static void WaitForAny(const std::vector<ChildProcess*>& children,
                         int timeoutMs);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// The folder that holds the running program, or "" when unknown.
std::string OwnDirectory(const char* argv0);
/// The file name of a program on this system ("modflash" or
/// "modflash.exe").
std::string ProgramFileName(const std::string& base);

}  // namespace modflash::fleet

#endif  // MODFLASH_FLEET_CHILD_PROCESS_H_
