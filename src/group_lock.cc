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
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "internal.h"
#include "ktfssnapcore/ktfssnapcore.h"

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

// The threads of this process that want one group's lock queue on a mutex
// of the process first, and are woken when it is let go: polling the file's
// lock alone lets newcomers overtake a waiter for as long as the group stays
// busy (several set objects of one group, as after a restart).  Keyed by the
// group's name without its leading slashes ("//g" and "/g" are one group).
std::shared_ptr<std::timed_mutex> process_mutex(const std::string& set_name) {
  static std::mutex guard;
  static std::map<std::string, std::shared_ptr<std::timed_mutex>> mutexes;
  std::string key = set_name.substr(std::min(set_name.find_first_not_of('/'), set_name.size()));
  std::lock_guard<std::mutex> held(guard);
  // Neither make_shared nor the map's operator[]: both bring objects of
  // vague linkage that would keep the library from being unloaded.
  auto found = mutexes.find(key);
  if (found == mutexes.end()) {
    std::shared_ptr<std::timed_mutex> mutex(new std::timed_mutex);
    found = mutexes.insert(std::make_pair(key, mutex)).first;
  }
  return found->second;
}

}  // namespace

namespace ktsm_internal {

const char* const kLockFileName = ".ktsm-lock";
const char* const kListFileName = ".ktsm-deleted-files";

bool reserved_snaps_entry(const std::string& name) {
  return name == kLockFileName || name == kListFileName;
}

group_lock::~group_lock() {
  if (!m_file) return;
  // Closing the file releases the lock even when the release itself fails.
  vs::api_instance.lock(m_file, false, kNoAio);
  vs::api_instance.close(m_file, kNoAio);
  m_process->unlock();
}

std::error_code group_lock::take(const std::string& set_name) {
  return take(set_name, O_RDWR | O_CREAT, g_lock_wait_seconds.load(std::memory_order_relaxed));
}

std::error_code group_lock::try_take(const std::string& set_name) {
  return take(set_name, O_RDWR, 0);
}

std::error_code group_lock::take(const std::string& set_name, int flags, unsigned wait_seconds) {
  auto start = std::chrono::steady_clock::now();
  auto deadline = start + std::chrono::seconds(wait_seconds);
  m_waited_ms = 0;
  bool waited = false;  // someone else held it: the time is a wait, not slow calls
  m_process = process_mutex(set_name);
  // A wall-clock deadline: the mutex then waits with pthread_mutex_timedlock,
  // which every tool that checks locks knows.
  auto wall_deadline = std::chrono::system_clock::now() + std::chrono::seconds(wait_seconds);
  if (!m_process->try_lock()) {
    waited = true;
    if (wait_seconds == 0 || !m_process->try_lock_until(wall_deadline)) {
      m_process.reset();
      return ktfs::errno_code(EAGAIN);
    }
  }
  std::string path = snaps_dir(set_name) + "/" + kLockFileName;
  auto pause = std::chrono::milliseconds(10);
  std::error_code ec;
  for (;;) {
    if (!m_file) m_file = vs::api_instance.open(io(), path.c_str(), flags, 0600, kNoAio);
    if (!m_file) {
      ec = ktfs::errno_code(errno != 0 ? errno : EIO);
      break;
    }
    ec = vs::api_instance.lock(m_file, true, kNoAio);
    if (!ec) {
      // A group deletion unlinks the lock file while holding its lock: a
      // waiter then holds the lock of a file no longer there, which nobody
      // else will lock.  Only the file still at its path is the lock.
      bool current = false;
      ec = still_linked(path, &current);
      if (ec) break;
      if (current) {
        if (waited) {
          m_waited_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        }
        return ec;
      }
      vs::api_instance.close(m_file, kNoAio);
      m_file.reset();
      continue;
    }
    if (!held_elsewhere(ec) || std::chrono::steady_clock::now() + pause > deadline) break;
    waited = true;
    if (ktfssnapcore::stop_requested()) {  // the process is asked to stop
      ec = ktfs::errno_code(ECANCELED);
      break;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(200));
  }
  if (m_file) vs::api_instance.close(m_file, kNoAio);
  m_file.reset();
  m_process->unlock();
  m_process.reset();
  return ec;
}

std::error_code group_lock::still_linked(const std::string& path, bool* current) {
  struct stat open_st, path_st;
  std::memset(&open_st, 0, sizeof open_st);
  std::memset(&path_st, 0, sizeof path_st);
  if (std::error_code ec = vs::api_instance.fstat(m_file, &open_st, kNoAio)) return ec;
  std::error_code ec = vs::api_instance.lstat(io(), path.c_str(), &path_st, kNoAio);
  *current = !ec && open_st.st_ino == path_st.st_ino && open_st.st_dev == path_st.st_dev;
  // A lock file gone is no failure: opening it again makes it, or fails as
  // it would have with the group gone.
  return ec && ec.value() != ENOENT ? ec : std::error_code();
}

bool take_group_lock(const char* function, const std::string& set_name, group_lock* lock) {
  std::error_code ec = lock->take(set_name);
  if (!ec) {
    if (lock->waited_ms() >= 10) {
      log().debug(function, 0, "file group [%s] lock taken after %lld ms", set_name.c_str(),
                  static_cast<long long>(lock->waited_ms()));
    }
    return true;
  }
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
