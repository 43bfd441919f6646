// Creating and deleting versions, and linking a version to the one before it.
#include <cerrno>
#include <cstring>

#include "internal.h"
#include "ktfssnapcore/ktfssnapcore.h"

using ktfs::kNoAio;
using ktfssnapcore::ktfssnapcore_opinfo;
using ktfssnapcore::ktfssnaputils;
using ktsm_internal::access;
using ktsm_internal::FN_CREATE_VERSION;
using ktsm_internal::FN_DELETE_VERSION;
using ktsm_internal::FN_SET_PREVIOUS;
using ktsm_internal::io;
using ktsm_internal::log;
using ktsm_internal::mutex_guard;
using ktsm_internal::read_state;
using ktsm_internal::write_state;

typedef ktsm_filegroup_version_set vs;

namespace {

// The first version named name, and the one before it in the list.
bool find_with_older(const std::list<vs::version_ptr>& versions, const std::string& name,
                     vs::version_ptr* found, vs::version_ptr* older) {
  vs::version_ptr previous;
  for (const vs::version_ptr& v : versions) {
    if (access::has_name(*v, name)) {
      *found = v;
      *older = previous;
      return true;
    }
    previous = v;
  }
  return false;
}

}  // namespace

bool ktsm_internal::creation_named(const std::string& name) {
  const char* n = name.c_str();
  if (!vs::valid_version_name(name)) {
    log().debug(FN_CREATE_VERSION, -1, "file group version [%s] invalid name", n);
    return false;
  }
  log().debug(FN_CREATE_VERSION, -1, "creating file group version [%s] ", n);
  return true;
}

int32_t ktsm_filegroup_version_set::create_version_internal(const std::string& name,
                                                            version_ptr& version) {
  return create_version_internal(name, version, false);
}

int32_t ktsm_filegroup_version_set::create_version_internal(const std::string& name,
                                                            version_ptr& version, bool full_copy) {
  if (!ktsm_internal::creation_named(name)) return 1;
  // The set as registered, looked up before the group lock is taken (m_lock
  // is never taken while a group lock is held).
  set_ptr registered;
  get_version_set(m_name, registered);  // takes m_lock; a miss leaves the link empty
  ktsm_internal::group_lock lock;
  if (!ktsm_internal::real_directories(FN_CREATE_VERSION, m_name, "") ||
      !ktsm_internal::take_group_lock(FN_CREATE_VERSION, m_name, &lock)) {
    return 1;
  }
  return create_version_locked(name, registered, version, full_copy);
}

int32_t ktsm_filegroup_version_set::create_version_locked(const std::string& name,
                                                          const set_ptr& registered,
                                                          version_ptr& version, bool full_copy) {
  ktfs::ktfs_debug& logger = log();
  const char* n = name.c_str();
  std::string path = ktsm_internal::snapshot_path(m_name, name);
  if (api_instance.mkdir(io(), path.c_str(), 0, kNoAio)) {
    logger.debug(FN_CREATE_VERSION, -1, "file group [%s] create failed", n);
    return 1;
  }
  logger.debug(FN_CREATE_VERSION, -1, "file group version [%s] setxattr [%s:%s]", n,
               SNAP_STATE_NAME.c_str(), SNAP_STATE_CREATE_IN_PROGRESS.c_str());
  if (write_state(path, SNAP_STATE_CREATE_IN_PROGRESS)) {
    logger.debug(FN_CREATE_VERSION, -1, "file group [%s] setxattr failed", n);
    return 1;
  }
  // The creation record goes with the first state: it orders the version
  // among its set's at every later start-up.
  ktsm_filegroup_version::creation_record created =
      ktsm_internal::next_creation(m_filegroup_versions);
  if (ktsm_internal::write_creation(path, created) ||
      ktsm_internal::write_unchanged_before(path, created.time_ns)) {
    logger.debug(FN_CREATE_VERSION, -1, "file group [%s] setxattr failed", n);
    return 1;
  }
  version = access::allocate_version();
  if (!version) {
    logger.debug(FN_CREATE_VERSION, -1, "file group version [%s] memory allocation failed", n);
    return 1;
  }
  access::set_name(*version, name);
  access::set_state(*version, SNAP_STATE_CREATE_IN_PROGRESS);
  access::set_creation(*version, created);
  if (!m_filegroup_versions.empty())
    access::set_older_version(*version, m_filegroup_versions.back());
  access::set_fg_versionset(*version, registered);
  m_filegroup_versions.push_back(version);
  logger.debug(FN_CREATE_VERSION, 0, "&version=[%p] name=[%s]", static_cast<void*>(version.get()),
               version->get_name().c_str());

  // The copy trusts the group's listings: every brick must answer before
  // it starts and still answer when it is done, or the version may lack
  // the entries of one (the listings leave them out without an error).
  if (!ktsm_internal::whole_volume(FN_CREATE_VERSION, m_name)) return 1;
  ktfssnapcore_opinfo info;
  info.nvme_api = &api_instance;
  info.nvme_iopx = io();
  info.fg_name = m_name;
  info.fgver_name = path;
  if (!full_copy && ktsm_internal::linking_on(m_linked.load()) &&
      ktsm_internal::find_link_source(m_name, m_filegroup_versions, version, &info.link_fgver_name,
                                      &info.unchanged_before_ns)) {
    logger.debug(FN_CREATE_VERSION, 0, "file group version [%s] links unchanged files to [%s]", n,
                 info.link_fgver_name.c_str());
  }
  std::error_code copied = ktfssnapcore::snap_opcreate(&info);
  // A brick lost during the copy is the reason, whether the copy failed on
  // it or listed around it.
  if (!ktsm_internal::whole_volume(FN_CREATE_VERSION, m_name)) return 1;
  if (copied) {
    logger.debug(FN_CREATE_VERSION, -1, "Snap create operation failed for filegroup_version [%s]",
                 n);
    return 1;
  }
  logger.debug(FN_CREATE_VERSION, -1, "file group version [%s] setxattr [%s:%s]", n,
               SNAP_STATE_NAME.c_str(), SNAP_STATE_ACTIVE.c_str());
  if (write_state(path, SNAP_STATE_ACTIVE)) {
    logger.debug(FN_CREATE_VERSION, -1, "file group [%s] setxattr failed", n);
    return 1;
  }
  access::set_state(*version, SNAP_STATE_ACTIVE);
  return 0;
}

int32_t ktsm_filegroup_version_set::delete_version_internal(const std::string& name) {
  return delete_version_steps(name, false);
}

int32_t ktsm_filegroup_version_set::delete_version_steps(const std::string& name, bool lock_held) {
  ktfs::ktfs_debug& logger = log();
  const char* n = name.c_str();
  logger.debug(FN_DELETE_VERSION, -1, "deleting file group version [%s] ", n);
  version_ptr version, older;
  if (!find_with_older(m_filegroup_versions, name, &version, &older)) {
    logger.debug(FN_DELETE_VERSION, -1, "file group version [%s] not found", n);
    return 1;
  }
  // The production version is the live file group itself: never removed.
  if (version->is_production_version()) {
    logger.debug(FN_DELETE_VERSION, -1, "file group version [%s] is the production version", n);
    return 1;
  }
  std::string path = ktsm_internal::snapshot_path(m_name, name);
  ktsm_internal::group_lock lock;
  if (!ktsm_internal::real_directories(FN_DELETE_VERSION, m_name, path) ||
      (!lock_held && !ktsm_internal::take_group_lock(FN_DELETE_VERSION, m_name, &lock))) {
    return 1;
  }
  // An exported version is withdrawn first: the export would outlive it.
  // The volume's state, read under the lock, counts (another process may
  // have exported it); a version whose state is missing can be deleted.
  std::string state;
  if (read_state(path, &state) == -1 && errno != ENODATA) {
    logger.debug(FN_DELETE_VERSION, -1, "file group [%s] getxattr failed", n);
    return 1;
  }
  if (may_be_exported(state)) {
    logger.debug(FN_DELETE_VERSION, -1, "file group version [%s] is exported", n);
    return 1;
  }
  // A held version stays; its holds are read under the lock, like its state.
  std::vector<std::string> holds;
  if (ktsm_internal::read_holds(path, &holds)) {
    logger.debug(FN_DELETE_VERSION, -1, "file group [%s] getxattr failed", n);
    return 1;
  }
  if (!holds.empty()) {
    logger.debug(FN_DELETE_VERSION, -1, "file group version [%s] is held (%s)", n,
                 ktsm_internal::join_holds(holds).c_str());
    return 1;
  }
  // The removal trusts the version's listings, as the copy does, and waits
  // for every brick of a replica set: one that missed it could bring the
  // version back when it returns.
  if (!ktsm_internal::every_brick(FN_DELETE_VERSION, m_name)) return 1;
  if (!older) logger.debug(FN_DELETE_VERSION, 0, "No older version found for file version [%s]", n);
  if (write_state(path, SNAP_STATE_DELETE_IN_PROGRESS)) {
    logger.debug(FN_DELETE_VERSION, -1, "file group [%s] setxattr failed", n);
    return 1;
  }
  access::set_older_version(*version, older);

  ktfssnapcore_opinfo info;
  info.nvme_api = &api_instance;
  info.nvme_iopx = io();
  info.sas_api = &sas_api_instance;
  info.sas_iopx = sas_file_io;
  info.fg_name = m_name;
  info.fgver_name = path;
  info.older_fgver_name = older ? older->get_name() : std::string();
  if (ktfssnapcore::snap_opdelete(&info)) {
    logger.debug(FN_DELETE_VERSION, -1, "Snap delete operation failed for filegroup_version [%s]",
                 n);
    return 1;
  }
  if (info.op_status == 0 && older &&
      !ktfssnaputils::is_file_empty(&api_instance, io(), info.delfilelist)) {
    if (older->update_meta_data_file(info.delfilelist)) {
      logger.error(FN_DELETE_VERSION, "Failed to update metadata file [%s]",
                   info.delfilelist.c_str());
      return 1;
    }
  }
  if (write_state(path, SNAP_STATE_DELETED)) {
    logger.debug(FN_DELETE_VERSION, -1, "file group [%s] setxattr failed", n);
    return 1;
  }
  // A removal that finished removed the directory from every brick (a
  // distributed volume removes a directory only where all answer); one that
  // failed names a brick lost meanwhile as its reason.  The removal counts
  // an entry that answers ENOENT as gone, and a replica set whose bricks
  // disagree after a removal cut short (a host killed in it) can answer so
  // for a directory it still holds: the version is deleted only when its
  // directory is no longer found.
  if (ktfssnaputils::rmdir_nonempty(&api_instance, io(), path, logger) ||
      ktsm_internal::is_directory(path)) {
    if (!ktsm_internal::every_brick(FN_DELETE_VERSION, m_name)) return 1;
    logger.debug(FN_DELETE_VERSION, -1, "file group version [%s]rmdir  failed", n);
    return 1;
  }
  for (auto it = m_filegroup_versions.begin(); it != m_filegroup_versions.end(); ++it) {
    if (*it == version) {
      // The version after it now follows its older version; the deleted
      // record, which a host may still hold, lets go of its own.
      auto next = m_filegroup_versions.erase(it);
      if (next != m_filegroup_versions.end()) access::set_older_version(*(*next), older);
      access::reset_older_version(*version);
      break;
    }
  }
  return 0;
}

int32_t ktsm_filegroup_version_set::set_previous_version_internal(const std::string& name) {
  ktfs::ktfs_debug& logger = log();
  const char* n = name.c_str();
  logger.debug(FN_SET_PREVIOUS, -1, "Finding previous version of version [%s] ", n);
  version_ptr version, older;
  if (!find_with_older(m_filegroup_versions, name, &version, &older)) {
    logger.debug(FN_SET_PREVIOUS, -1, "file group version [%s] not found", n);
    return 1;
  }
  if (!older) logger.debug(FN_SET_PREVIOUS, 0, "No older version found for file version [%s]", n);
  access::set_older_version(*version, older);
  return 0;
}

int32_t ktsm_filegroup_version_set::create_version(const std::string& name, version_ptr& version) {
  return create_version(name, version, false);
}

int32_t ktsm_filegroup_version_set::create_version(const std::string& name, version_ptr& version,
                                                   bool full_copy) {
  mutex_guard guard(m_set_lock);
  return create_version_internal(name, version, full_copy);
}

int32_t ktsm_filegroup_version_set::delete_version(const std::string& name) {
  version_ptr erased;
  int32_t status;
  {
    mutex_guard guard(m_set_lock);
    // Keep the record alive until the lock is released: its release may drop
    // the last handle of this set.
    version_ptr older;
    find_with_older(m_filegroup_versions, name, &erased, &older);
    status = delete_version_internal(name);
  }
  return status;
}

int32_t ktsm_filegroup_version_set::set_previous_version(const std::string& name) {
  mutex_guard guard(m_set_lock);
  return set_previous_version_internal(name);
}
