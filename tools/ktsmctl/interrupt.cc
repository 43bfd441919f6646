// The signal handlers of a changing command (see interrupt.h).
#include "interrupt.h"

#include <signal.h>

#include <atomic>

#include "ktfssnapcore/ktfssnapcore.h"

namespace ktsmctl {

namespace {

// Only lock-free atomics are touched in the handler.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void on_signal(int signal) {
  g_signal.store(signal, std::memory_order_relaxed);
  ktfssnapcore::request_stop();
}

}  // namespace

void catch_interrupts() {
  struct sigaction action = {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  // The second signal takes the default action: it ends the process.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() { return g_signal.load(std::memory_order_relaxed) != 0; }

std::string interrupted_words() {
  return g_signal.load(std::memory_order_relaxed) == SIGTERM ? "interrupted (SIGTERM)"
                                                             : "interrupted (SIGINT)";
}

int interrupted_status(int status) {
  int signal = g_signal.load(std::memory_order_relaxed);
  return status != 0 && signal != 0 ? 128 + signal : status;
}

}  // namespace ktsmctl
