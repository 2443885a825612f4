#include "stream/stop_signal.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace ze::stream {
namespace {

int g_event_fd = -1;
std::atomic<int> g_signal{0};
std::atomic<bool> g_stopped{false};

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void install_stop_signal() {
  sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  g_event_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // A write to a pipe whose reader has gone must be an error, not a death.
  ::signal(SIGPIPE, SIG_IGN);
  std::thread([set] {
    int number = 0;
    if (sigwait(&set, &number) == 0) g_signal.store(number);
    request_stop();
  }).detach();
}

int stop_fd() { return g_event_fd; }

bool stop_requested() { return g_stopped.load(); }

int stop_signal_number() { return g_signal.load(); }

void request_stop() {
  if (g_stopped.exchange(true)) return;
  uint64_t one = 1;
  if (g_event_fd >= 0) (void)!::write(g_event_fd, &one, sizeof one);
}

}  // namespace ze::stream
