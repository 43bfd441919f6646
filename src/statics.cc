// The library's static state, defined in the order it comes into being when
// the library is loaded.
#include <memory>
#include <mutex>
#include <vector>

#include "internal.h"

namespace ktsm_internal {

const char* const FN_INIT = "ktsm_filegroup_versionset_init()";
const char* const FN_READ_LIVE_DIRECTORY = "ktsm_filegroup_version::read_live_directory()";
const char* const FN_RECOVER = "ktsm_filegroup_versionset::recover_version_set_internal()";
const char* const FN_GET_SET = "ktsm_filegroup_versionset::get_version_set_internal()";
const char* const FN_CREATE_SET = "ktsm_filegroup_versionset::create_version_set_internal()";
const char* const FN_DELETE_SET = "ktsm_filegroup_versionset::delete_version_set_internal()";
const char* const FN_GET_VERSION = "ktsm_filegroup_versionset::get_version_internal()";
const char* const FN_CREATE_VERSION = "ktsm_filegroup_versionset::create_version_internal()";
const char* const FN_DELETE_VERSION = "ktsm_filegroup_versionset::delete_version_internal()";
const char* const FN_SET_PREVIOUS = "ktsm_filegroup_versionset::set_previous_version_internal()";
const char* const FN_EXPORT = "ktsm_filegroup_versionset::export_version_internal()";
const char* const FN_UNEXPORT = "ktsm_filegroup_versionset::unexport_version_internal()";
const char* const FN_IS_FILE_NEEDED = "ktsm_filegroup_version::is_file_needed()";
const char* const FN_UPDATE_META = "ktsm_filegroup_version::update_meta_data_file()";
const char* const FN_HOLD = "ktsm_filegroup_versionset::hold_version_internal()";
const char* const FN_RELEASE = "ktsm_filegroup_versionset::release_version_internal()";
const char* const FN_GET_HOLDS = "ktsm_filegroup_versionset::get_holds_internal()";
const char* const FN_RESTORE = "ktsm_filegroup_versionset::restore_version_internal()";
const char* const FN_RESTORE_PATHS = "ktsm_filegroup_versionset::restore_paths_internal()";
const char* const FN_IS_LOCKED = "ktsm_filegroup_versionset::is_group_locked_internal()";

namespace {

// The logger in force before init: it writes nowhere.
ktfs::ktfs_debug* quiet_logger() {
  static ktfs::ktfs_debug quiet(std::make_shared<ktfs::null_sink>(), -100);
  return &quiet;
}

}  // namespace

}  // namespace ktsm_internal

typedef ktsm_filegroup_version_set vs;

std::list<vs::set_ptr> vs::m_version_sets;
pthread_mutex_t vs::m_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<ktfs::ktfs_debug*> vs::m_logger(ktsm_internal::quiet_logger());
ktfs::iopx_ptr vs::file_io;
ktfs::ktfs_api vs::api_instance;
ktfs::iopx_ptr vs::sas_file_io;
ktfs::ktfs_api vs::sas_api_instance;
ktfs::ktfs_mem::mempool<ktsm_filegroup_version_set> vs::m_mempool;
ktfs::ktfs_mem::mempool<ktsm_filegroup_version> ktsm_filegroup_version::m_mempool;
std::string vs::m_live_vol_name;

const std::string vs::SNAP_STATE_NAME = "trusted.norvafs.snapstate";
const std::string vs::SNAP_HOLD_NAME = "trusted.norvafs.snaphold";
const std::string vs::SNAP_STATE_CREATE_IN_PROGRESS = "1";
const std::string vs::SNAP_STATE_ACTIVE = "2";
const std::string vs::SNAP_STATE_CREATE_FAILED = "3";
const std::string vs::SNAP_STATE_DELETE_IN_PROGRESS = "4";
const std::string vs::SNAP_STATE_DELETED = "5";
const std::string vs::SNAP_STATE_DELETE_FAILED = "6";
const std::string vs::SNAP_STATE_EXPORT_IN_PROGRESS = "7";
const std::string vs::SNAP_STATE_EXPORTED = "8";
const std::string vs::SNAP_STATE_EXPORT_FAILED = "9";
const std::string vs::SNAP_STATE_UNEXPORT_IN_PROGRESS = "10";
const std::string vs::SNAP_STATE_UNEXPORTED = "11";
const std::string vs::SNAP_STATE_UNEXPORT_FAILED = "12";

namespace {

// Constructed after the pools, so destroyed before them: when the library is
// unloaded without stop(), every record the library still holds goes back
// to its pool while the pools exist.
struct unload_guard {
  ~unload_guard() {
    std::list<vs::set_ptr> sets;
    {
      ktsm_internal::mutex_guard guard(vs::m_lock);
      sets.swap(vs::m_version_sets);
    }
    for (vs::set_ptr& set : sets) set->cleanup();
  }
} the_unload_guard;

// Loggers installed by init are never destroyed while the library is loaded
// (another thread may still be writing through one); they are kept here.
std::mutex g_loggers_mutex;
std::vector<std::unique_ptr<ktfs::ktfs_debug>> g_loggers;

}  // namespace

ktfs::ktfs_debug* ktsm_internal::install_logger() {
  std::unique_ptr<ktfs::ktfs_debug> logger(new ktfs::ktfs_debug());
  ktfs::ktfs_debug* raw = logger.get();
  {
    std::lock_guard<std::mutex> guard(g_loggers_mutex);
    g_loggers.push_back(std::move(logger));
  }
  vs::m_logger.store(raw, std::memory_order_release);
  return raw;
}

ktfs::ktfs_debug& vs::log() { return *m_logger.load(std::memory_order_acquire); }

ktfs::iopx_ptr vs::io() { return boost::atomic_load(&file_io); }
