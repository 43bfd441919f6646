// The library's static state, defined in the order it comes into being when
// the library is loaded.
#include <memory>
#include <mutex>
#include <vector>

#include "internal.h"

namespace ktsm_internal {

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
ktsm_mutex vs::m_lock = PTHREAD_MUTEX_INITIALIZER;
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

const std::vector<vs::state_info>& vs::states() {
  // text, name, meaning, settled, in progress, may be exported
  static const std::vector<state_info> table = {
      {SNAP_STATE_CREATE_IN_PROGRESS, "create in progress",
       "taking this snapshot started and did not finish, so its copy may be incomplete", false,
       true, false},
      {SNAP_STATE_ACTIVE, "active", "", true, false, false},
      {SNAP_STATE_CREATE_FAILED, "create failed",
       "taking this snapshot failed, so its copy is incomplete", false, false, false},
      {SNAP_STATE_DELETE_IN_PROGRESS, "delete in progress",
       "deleting it started and did not finish", false, true, false},
      {SNAP_STATE_DELETED, "deleted", "it was deleted, but its directory was not removed", false,
       false, false},
      {SNAP_STATE_DELETE_FAILED, "delete failed", "deleting it failed", false, false, false},
      {SNAP_STATE_EXPORT_IN_PROGRESS, "export in progress",
       "exporting it started and did not finish, so the export may or may not be in place", false,
       true, true},
      {SNAP_STATE_EXPORTED, "exported", "", true, false, true},
      {SNAP_STATE_EXPORT_FAILED, "export failed",
       "exporting it failed, so the export may or may not be in place", false, false, true},
      {SNAP_STATE_UNEXPORT_IN_PROGRESS, "unexport in progress",
       "unexporting it started and did not finish, so the export may still be in place", false,
       true, true},
      {SNAP_STATE_UNEXPORTED, "unexported", "", true, false, false},
      {SNAP_STATE_UNEXPORT_FAILED, "unexport failed",
       "unexporting it failed, so the export may still be in place", false, false, true}};
  return table;
}

const vs::state_info* vs::find_state(const std::string& text) {
  for (const state_info& state : states()) {
    if (state.text == text) return &state;
  }
  return nullptr;
}

bool vs::may_be_exported(const std::string& state) {
  const state_info* info = find_state(state);
  return info != nullptr && info->may_be_exported;
}

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

ktfs::ktfs_debug& ktsm_internal::log() { return *vs::m_logger.load(std::memory_order_acquire); }

ktfs::iopx_ptr ktsm_internal::io() { return boost::atomic_load(&vs::file_io); }
