#ifndef MODFLASH_TOOLS_READERSIM_POLLER_H_
#define MODFLASH_TOOLS_READERSIM_POLLER_H_

// Waits on many sockets at once, each for what it was last asked to wait
// for (level-triggered). epoll in poller_posix.cpp, WSAPoll through the
// socket layer in poller_win32.cpp.

#include <chrono>
#include <memory>
#include <vector>

#include "link/socket_layer.h"

namespace modflash::sim {

class Poller {
 public:
  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  bool ok() const;
  /// What `s` is watched for from now on; neither forgets it as far as
  /// waiting goes, but keeps it known, which makes the next change cheap.
  void Watch(net::SocketHandle s, bool readable, bool writable);
  /// Before `s` is closed.
  void Forget(net::SocketHandle s);
  /// Waits at most `timeout` (nanosecond precision where the system has
  /// it, else rounded up to a millisecond) for a watched socket to be ready;
  /// `ready` receives those that are (errors and hang-ups count as ready).
  void Wait(std::chrono::nanoseconds timeout,
            std::vector<net::SocketHandle>& ready);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_POLLER_H_
