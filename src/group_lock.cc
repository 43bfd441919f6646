// The group lock: what makes a change of a file group exclusive across
// processes and machines.  It is a write lock on the file ".snaps/.ktsm-lock"
// of the group, taken through the client, so the file system enforces it:
// locally across processes, on a GlusterFS volume across all its clients.
// The file is not a version (start-up skips it) and nothing copies it.
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "internal.h"

using ktfs::kNoAio;
using ktsm_internal::io;
using ktsm_internal::log;

typedef ktsm_filegroup_version_set vs;

namespace {

std::atomic<unsigned> g_lock_wait_seconds(30);
std::atomic<unsigned> g_command_timeout_seconds(300);

bool held_elsewhere(const std::error_code& ec) {
  return ec.value() == EAGAIN || ec.value() == EACCES;
}

}  // namespace

namespace ktsm_internal {

const char* const kLockFileName = ".ktsm-lock";

group_lock::~group_lock() {
  if (!m_file) return;
  // Closing the file releases the lock even when the release itself fails.
  vs::api_instance.lock(m_file, false, kNoAio);
  vs::api_instance.close(m_file, kNoAio);
}

std::error_code group_lock::take(const std::string& set_name) {
  return take(set_name, O_RDWR | O_CREAT, g_lock_wait_seconds.load(std::memory_order_relaxed));
}

std::error_code group_lock::try_take(const std::string& set_name) {
  return take(set_name, O_RDWR, 0);
}

std::error_code group_lock::take(const std::string& set_name, int flags, unsigned wait_seconds) {
  std::string path = snaps_dir(set_name) + "/" + kLockFileName;
  m_file = vs::api_instance.open(io(), path.c_str(), flags, 0600, kNoAio);
  if (!m_file) return std::error_code(errno != 0 ? errno : EIO, std::system_category());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
  auto pause = std::chrono::milliseconds(10);
  for (;;) {
    std::error_code ec = vs::api_instance.lock(m_file, true, kNoAio);
    if (!ec) return ec;
    if (!held_elsewhere(ec) || std::chrono::steady_clock::now() + pause > deadline) {
      vs::api_instance.close(m_file, kNoAio);
      m_file.reset();
      return ec;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(200));
  }
}

bool take_group_lock(const char* function, const std::string& set_name, group_lock* lock) {
  std::error_code ec = lock->take(set_name);
  if (!ec) return true;
  if (held_elsewhere(ec)) {
    log().debug(function, -1, "file group [%s] is locked by another process", set_name.c_str());
  } else {
    log().debug(function, -1, "file group [%s] lock failed: %s", set_name.c_str(),
                std::strerror(ec.value()));
  }
  return false;
}

int command_timeout() { return static_cast<int>(g_command_timeout_seconds.load()); }

bool is_directory(const std::string& path) {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  return !vs::api_instance.lstat(io(), path.c_str(), &st, kNoAio) && S_ISDIR(st.st_mode);
}

bool real_directories(const char* function, const std::string& set_name,
                      const std::string& version_path) {
  for (const std::string& path : {set_name, snaps_dir(set_name), version_path}) {
    if (path.empty() || is_directory(path)) continue;
    log().debug(function, -1, "path [%s] is not a directory", path.c_str());
    return false;
  }
  return true;
}

}  // namespace ktsm_internal

void ktsm_filegroup_version_set::set_lock_wait(unsigned seconds) {
  g_lock_wait_seconds.store(seconds);
}

void ktsm_filegroup_version_set::set_command_timeout(unsigned seconds) {
  g_command_timeout_seconds.store(seconds);
}
