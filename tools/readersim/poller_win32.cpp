// The poller on WSAPoll: the sockets watched for something are handed over
// whole on each wait.

#include <winsock2.h>

#include <algorithm>
#include <unordered_map>

#include "tools/readersim/poller.h"

namespace modflash::sim {

struct Poller::State {
  std::unordered_map<SOCKET, SHORT> watched;
  std::vector<WSAPOLLFD> fds;
};

Poller::Poller() : state_(std::make_unique<State>()) {}

Poller::~Poller() = default;

bool Poller::ok() const { return true; }

void Poller::Watch(net::SocketHandle s, bool readable, bool writable) {
  const SHORT want = static_cast<SHORT>((readable ? POLLRDNORM : 0) |
                                        (writable ? POLLWRNORM : 0));
  state_->watched[static_cast<SOCKET>(s)] = want;
}

void Poller::Forget(net::SocketHandle s) {
  state_->watched.erase(static_cast<SOCKET>(s));
}

void Poller::Wait(std::chrono::nanoseconds timeout,
                  std::vector<net::SocketHandle>& ready) {
  ready.clear();
  state_->fds.clear();
  for (const auto& [socket, want] : state_->watched) {
    if (want == 0) continue;
    WSAPOLLFD fd{};
    fd.fd = socket;
    fd.events = want;
    state_->fds.push_back(fd);
  }
  const auto ms = std::max<long long>(0, (timeout.count() + 999999) / 1000000);
  if (state_->fds.empty()) {
    Sleep(static_cast<DWORD>(ms));
    return;
  }
  const int got =
      WSAPoll(state_->fds.data(), static_cast<ULONG>(state_->fds.size()),
              static_cast<INT>(ms));
  if (got <= 0) return;
  for (const WSAPOLLFD& fd : state_->fds) {
    if (fd.revents != 0) ready.push_back(static_cast<net::SocketHandle>(fd.fd));
  }
}

}  // namespace modflash::sim
