#include "progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "ktfssnapcore/ktfssnapcore.h"
#include "output.h"

namespace ktsmctl {

namespace {

const std::chrono::milliseconds kPollInterval(200);
const std::chrono::milliseconds kQuietStart(500);

}  // namespace

progress_line::progress_line() {
  if (::isatty(STDERR_FILENO)) m_thread = std::thread(&progress_line::poll, this);
}

progress_line::~progress_line() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_done = true;
  }
  m_wake.notify_one();
  m_thread.join();
  if (m_drawn) std::fprintf(stderr, "\r\033[K");
}

void progress_line::poll() {
  const ktfssnapcore::copy_progress& progress = ktfssnapcore::snap_progress();
  auto start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_wake.wait_for(lock, kPollInterval, [this] { return m_done; })) {
    if (std::chrono::steady_clock::now() - start < kQuietStart) continue;
    if (!progress.running.load(std::memory_order_relaxed)) continue;
    uint64_t files = progress.files.load(std::memory_order_relaxed);
    std::string bytes = human_bytes(progress.bytes.load(std::memory_order_relaxed));
    std::fprintf(stderr, "\r  copying: %llu files, %s\033[K",
                 static_cast<unsigned long long>(files), bytes.c_str());
    std::fflush(stderr);
    m_drawn = true;
  }
}

}  // namespace ktsmctl
