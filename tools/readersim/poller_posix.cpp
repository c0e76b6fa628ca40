// The poller on epoll: each socket is added once, and changed only when
// what it is watched for changes.

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <unordered_map>

#include "tools/readersim/poller.h"

namespace modflash::sim {

struct Poller::State {
  int epoll = -1;
  /// The events each known socket is watched for.
  std::unordered_map<int, uint32_t> watched;
  std::vector<epoll_event> events = std::vector<epoll_event>(256);
  bool precise = true;  // epoll_pwait2 is there
};

Poller::Poller() : state_(std::make_unique<State>()) {
  state_->epoll = epoll_create1(EPOLL_CLOEXEC);
}

Poller::~Poller() {
  if (state_->epoll >= 0) close(state_->epoll);
}

bool Poller::ok() const { return state_->epoll >= 0; }

void Poller::Watch(net::SocketHandle s, bool readable, bool writable) {
  const int fd = static_cast<int>(s);
  const uint32_t want = (readable ? uint32_t{EPOLLIN} : 0u) |
                        (writable ? uint32_t{EPOLLOUT} : 0u);
  epoll_event event{};
  event.events = want;
  event.data.fd = fd;
  const auto known = state_->watched.find(fd);
  if (known == state_->watched.end()) {
    if (epoll_ctl(state_->epoll, EPOLL_CTL_ADD, fd, &event) == 0) {
      state_->watched.emplace(fd, want);
    }
    return;
  }
  if (known->second == want) return;
  if (epoll_ctl(state_->epoll, EPOLL_CTL_MOD, fd, &event) == 0) {
    known->second = want;
  }
}

void Poller::Forget(net::SocketHandle s) {
  const int fd = static_cast<int>(s);
  if (state_->watched.erase(fd) == 0) return;
  epoll_event event{};
  epoll_ctl(state_->epoll, EPOLL_CTL_DEL, fd, &event);
}

void Poller::Wait(std::chrono::nanoseconds timeout,
                  std::vector<net::SocketHandle>& ready) {
  ready.clear();
  if (timeout < std::chrono::nanoseconds::zero()) timeout = {};
  epoll_event* events = state_->events.data();
  const int capacity = static_cast<int>(state_->events.size());
  int got = -1;
  if (state_->precise) {
    timespec limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000000000);
    limit.tv_nsec = static_cast<long>(timeout.count() % 1000000000);
    got = epoll_pwait2(state_->epoll, events, capacity, &limit, nullptr);
    if (got < 0 && errno == ENOSYS) state_->precise = false;
  }
  if (!state_->precise) {
    const auto ms = (timeout.count() + 999999) / 1000000;
    got = epoll_wait(state_->epoll, events, capacity, static_cast<int>(ms));
  }
  for (int i = 0; i < got; ++i) {
    ready.push_back(static_cast<net::SocketHandle>(events[i].data.fd));
  }
}

}  // namespace modflash::sim
