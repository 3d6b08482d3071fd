#include "app/interrupt.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace vexil::app {
namespace {

std::atomic<bool> g_requested{false};
std::atomic<int> g_signal{0};

extern "C" void on_interrupt(int sig) {
  if (g_requested.exchange(true)) {
    // Second signal: the user insists; stop now with the default action.
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  g_signal.store(sig);
}

}  // namespace

void install_interrupt_handlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction old {};
      if (sigaction(sig, nullptr, &old) != 0) continue;
      if (old.sa_flags & SA_SIGINFO || old.sa_handler != SIG_DFL) continue;
      struct sigaction sa {};
      sa.sa_handler = on_interrupt;
      sigemptyset(&sa.sa_mask);
      sigaction(sig, &sa, nullptr);
    }
  });
}

const std::atomic<bool>& interrupt_requested() { return g_requested; }

int interrupt_signal() { return g_signal.load(); }

void die_by_interrupt_signal() {
  const int sig = g_signal.load();
  if (sig != 0) {
    signal(sig, SIG_DFL);
    raise(sig);
  }
  std::_Exit(128 + (sig ? sig : SIGINT));
}

}  // namespace vexil::app
