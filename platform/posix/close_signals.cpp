#include "platform/posix/close_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>

namespace {

sigset_t CloseSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

UniqueFd OpenCloseSignals() {
  sigset_t set = CloseSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return UniqueFd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
}

int TakeCloseSignals(int fd) {
  int count = 0;
  signalfd_siginfo info;
  while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
    ++count;
  return count;
}
