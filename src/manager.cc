// Start-up, shutdown and the enumeration for hosts.  The other entry points
// stand next to their twins: each takes its lock, calls its twin and returns
// the twin's status unchanged.
#include "internal.h"

using ktsm_internal::FN_INIT;
using ktsm_internal::mutex_guard;

typedef ktsm_filegroup_version_set vs;

int32_t ktsm_filegroup_version_set::init(const std::string& volume_name, const std::string&) {
  int32_t status = 0;
  std::list<set_ptr> failed;
  ktfs::ktfs_debug& logger = *ktsm_internal::install_logger();
  {
    mutex_guard guard(m_lock);
    ktfs::iopx_tree_cfg cfg;
    cfg.fs_type = "glusterfs";
    cfg.volume_name = volume_name;
    boost::atomic_store(&file_io, api_instance.init(cfg));
    m_live_vol_name = volume_name;
    logger.debug(FN_INIT, 1, "&nvme_api_instance=[%p] &nvme_file_io=[%p]",
                 static_cast<void*>(&api_instance), static_cast<void*>(&file_io));
    if (ktsm_internal::rebuild(&status, &failed)) {
      logger.debug(FN_INIT, 1, "&sas_api_instance=[%p] &sas_file_io=[%p]",
                   static_cast<void*>(&sas_api_instance), static_cast<void*>(&sas_file_io));
    }
  }
  // The sets that failed to recover were never registered: their records
  // (which hold their set) are let go here, after m_lock, since emptying a
  // set takes its m_set_lock and m_lock is never held while one is taken.
  for (set_ptr& set : failed) set->cleanup();
  return status;
}

void ktsm_filegroup_version_set::stop() {
  std::list<set_ptr> sets;
  {
    mutex_guard guard(m_lock);
    sets.swap(m_version_sets);
  }
  // m_lock is released before any set's lock is taken: version creation
  // takes them in the other order.
  for (set_ptr& set : sets) set->cleanup();
  m_logger.load()->flush();  // the records the sink still holds back
}

void ktsm_filegroup_version_set::cleanup() {
  std::list<version_ptr> versions;
  {
    mutex_guard guard(m_set_lock);
    versions.swap(m_filegroup_versions);
  }
  // The records are released outside the lock: a version's destructor may
  // drop the last handle of this very set.
}

void ktsm_filegroup_version_set::list_version_sets(std::list<set_ptr>& out) {
  mutex_guard guard(m_lock);
  out = m_version_sets;
}

void ktsm_filegroup_version_set::list_versions(std::list<version_ptr>& out) {
  mutex_guard guard(m_set_lock);
  out = m_filegroup_versions;
}
