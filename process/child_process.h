#ifndef MODFLASH_PROCESS_CHILD_PROCESS_H_
#define MODFLASH_PROCESS_CHILD_PROCESS_H_

// Child processes for modflash-fleet and the tests: started with arguments,
// no standard input, standard output on a pipe or in a file that is
// followed as it grows, standard error in a file or on a pipe; waited for,
// with a time-out, or killed.
//
// A child gets its three standard handles and nothing else of ours (on
// POSIX, with its output in a file, also descriptor 3: the write end of a
// pipe that nothing writes, which tells us of its end). On POSIX
// every descriptor this project opens is close-on-exec (the pipes here, the
// socket layer's sockets), so exec drops it. On Windows a child inherits
// every inheritable handle that exists while it is created, so one lock is
// held from the creation of a child's inheritable handles until the parent
// has closed its copies: a child started meanwhile by another thread cannot
// take them (and hold our pipes open past their writer's end). Every child
// of these programs is started here, so the lock covers them all.

#include <memory>
#include <string>
#include <vector>

namespace modflash::process {

/// How a child process ended.
struct ChildExit {
  bool exited = false;  ///< ended by returning or exit(); `status` is set
  int status = 0;       ///< as the system reports it (255 or -1 for -1)
  int signal = 0;       ///< POSIX: the signal that ended it, if any
};

/// Where a child's standard output and error go, and whether it is shielded
/// from the console's interruptions.
struct StartOptions {
  /// A file created anew for the standard output, which ReadOutput follows
  /// as it grows: the child writes it whether or not we are still there.
  /// Empty: a pipe.
  std::string outputFile;
  /// A file created anew for the standard error; empty: a pipe, read with
  /// ReadError.
  std::string errorFile;
  /// A process group of its own, so that a Ctrl-C at the console reaches
  /// only us.
  bool ownGroup = false;
  /// Out of reach of our terminal: on POSIX a session of its own (so a
  /// process group of its own too), on Windows no console of ours, so that
  /// neither a hang-up nor a closed console window ends it.
  bool detached = false;
};

/// One child process.
class ChildProcess {
 public:
  ChildProcess();
  ~ChildProcess();  ///< ends a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// Starts `program` with `args` (argv[0] is `program`). False with
  /// `error` set when it could not be started.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const StartOptions& options, std::string& error);
  /// Appends what the child has written to its standard output since the
  /// last call, without waiting. False once that output has ended and all
  /// of it was handed out; in a file, once the child has ended.
  bool ReadOutput(std::string& sink);
  /// The same for a standard error on a pipe; false at once without one.
  bool ReadError(std::string& sink);
  /// Waits for the child to end (after its output ended, or after Kill).
  ChildExit Wait();
  /// Ends the child at once.
  void Kill();
  /// The system's process id.
  long Id() const;

  /// Blocks until one of `children` has output on a pipe or has ended, or
  /// until `timeoutMs` passed. Output to a file wakes nobody: it is looked
  /// at when the time is up.
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

}  // namespace modflash::process

#endif  // MODFLASH_PROCESS_CHILD_PROCESS_H_
