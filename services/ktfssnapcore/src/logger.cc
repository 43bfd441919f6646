// The logger that the snapshot operations write to.
#include <atomic>

#include "internal.h"

namespace ktfssnapcore {

namespace {

// The logger chosen with set_logger; null means the default one.
std::atomic<ktfs::ktfs_debug*> g_logger{nullptr};

ktfs::ktfs_debug& default_logger() {
  // Constructed on first use, so it takes the process-wide default sink as it
  // stands then.
  static ktfs::ktfs_debug logger;
  return logger;
}

}  // namespace

void set_logger(ktfs::ktfs_debug* logger) { g_logger.store(logger, std::memory_order_release); }

namespace detail {

ktfs::ktfs_debug& logger() {
  ktfs::ktfs_debug* chosen = g_logger.load(std::memory_order_acquire);
  return chosen != nullptr ? *chosen : default_logger();
}

}  // namespace detail
}  // namespace ktfssnapcore
