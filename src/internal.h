// Helpers shared by the library's source files.
#ifndef KTSM_SRC_INTERNAL_H_
#define KTSM_SRC_INTERNAL_H_

#include <pthread.h>

#include <string>

#include "ktsm/ktsm_filegroup_version.h"
#include "ktsm/ktsm_filegroup_version_set.h"

namespace ktsm_internal {

// Holds a POSIX mutex for a scope, so that no return path, and no exception
// passing through (out of memory), leaves it held.
class mutex_guard {
 public:
  explicit mutex_guard(pthread_mutex_t& mutex) : m_mutex(mutex) { pthread_mutex_lock(&m_mutex); }
  ~mutex_guard() { pthread_mutex_unlock(&m_mutex); }
  mutex_guard(const mutex_guard&) = delete;
  mutex_guard& operator=(const mutex_guard&) = delete;

 private:
  pthread_mutex_t& m_mutex;
};

// Function-name strings that tag the library's messages.
extern const char* const FN_INIT;
extern const char* const FN_READ_LIVE_DIRECTORY;
extern const char* const FN_RECOVER;
extern const char* const FN_GET_SET;
extern const char* const FN_CREATE_SET;
extern const char* const FN_DELETE_SET;
extern const char* const FN_GET_VERSION;
extern const char* const FN_CREATE_VERSION;
extern const char* const FN_DELETE_VERSION;
extern const char* const FN_SET_PREVIOUS;
extern const char* const FN_EXPORT;
extern const char* const FN_UNEXPORT;
extern const char* const FN_IS_FILE_NEEDED;
extern const char* const FN_UPDATE_META;

// Installs a new default-constructed logger as m_logger and returns it.
// Loggers installed earlier stay alive until the library is unloaded.
ktfs::ktfs_debug* install_logger();

// The rebuild of init (recovery.cc), run under m_lock.  Returns false when it
// stopped early (the root cannot be listed, or no set can be allocated), with
// *status set; else *status is 1 when any file group failed to recover.
// Sets that failed to recover are not registered; they are appended to
// *failed, for the caller to empty once m_lock is released (emptying a set
// takes its m_set_lock).
bool rebuild(int32_t* status, std::list<ktsm_filegroup_version_set::set_ptr>* failed);

// The snapshot directory of a set: name + "/.snaps".
inline std::string snaps_dir(const std::string& set_name) { return set_name + "/.snaps"; }

// The directory of the snapshot version version_name of the set set_name.
inline std::string snapshot_path(const std::string& set_name, const std::string& version_name) {
  return set_name + "/.snaps/" + version_name;
}

// The export command line for the directory path of the volume volume;
// each part is quoted for the shell only when it is not plain.
std::string export_command(const std::string& volume, const std::string& path);

// An empty asynchronous-result handle: every client call completes before
// it returns.
inline ktfs::aio_ptr no_aio() { return ktfs::aio_ptr(); }

}  // namespace ktsm_internal

#endif  // KTSM_SRC_INTERNAL_H_
