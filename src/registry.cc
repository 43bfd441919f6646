// The registry of version sets: look-up, creation and deletion.
#include <cerrno>
#include <cstring>

#include "internal.h"

using ktsm_internal::FN_CREATE_SET;
using ktsm_internal::FN_DELETE_SET;
using ktsm_internal::FN_GET_SET;
using ktsm_internal::mutex_guard;
using ktsm_internal::no_aio;

typedef ktsm_filegroup_version_set vs;

namespace {

// Makes the directory path with mode 0760 unless a stat finds it.
bool ensure_directory(const std::string& path, struct stat* st) {
  if (!vs::api_instance.stat(vs::io(), path.c_str(), st, no_aio())) return true;
  return !vs::api_instance.mkdir(vs::io(), path.c_str(), 0760, no_aio());
}

// Removes the directory path unless a stat finds it missing.  Only ENOENT
// tells that it is missing: after any other failure of the stat the
// directory may still be there, so it is reported as not removed.
bool remove_if_present(const std::string& path, struct stat* st) {
  std::error_code ec = vs::api_instance.stat(vs::io(), path.c_str(), st, no_aio());
  if (ec) return ec.value() == ENOENT;
  vs::log().debug(FN_DELETE_SET, 1, "Remove directory [%s]", path.c_str());
  return !vs::api_instance.rmdir(vs::io(), path.c_str(), no_aio());
}

}  // namespace

int32_t ktsm_filegroup_version_set::get_version_set_internal(const std::string& name,
                                                             set_ptr& out) {
  for (const set_ptr& set : m_version_sets) {
    if (set->has_name(name)) {
      out = set;
      log().debug(FN_GET_SET, -1, "version set [%p] found filegroup [%s]",
                  static_cast<void*>(set.get()), name.c_str());
      return 0;
    }
  }
  log().debug(FN_GET_SET, -1, "version set not found filegroup [%s]", name.c_str());
  return 1;
}

int32_t ktsm_filegroup_version_set::create_version_set_internal(const std::string& name,
                                                                set_ptr& out) {
  ktfs::ktfs_debug& logger = log();
  logger.error(FN_CREATE_SET, "&api_instance=[%p] &file_io=[%p]",
               static_cast<void*>(&api_instance), static_cast<void*>(&file_io));
  struct stat st;
  std::memset(&st, 0, sizeof st);
  if (!ensure_directory(name, &st)) {
    logger.debug(FN_CREATE_SET, -1, "file group dir [%s] create failed", name.c_str());
    return 1;
  }
  std::string snaps = ktsm_internal::snaps_dir(name);
  if (!ensure_directory(snaps, &st)) {
    logger.debug(FN_CREATE_SET, -1, "snap dir [%s] create failed", snaps.c_str());
    return 1;
  }
  out = allocate();
  if (!out) {
    logger.debug(FN_CREATE_SET, -1, "memory allocation failure");
    return 1;
  }
  out->set_name(name);
  version_ptr production = ktsm_filegroup_version::allocate();
  if (!production) {
    logger.debug(FN_CREATE_SET, -1, "memory allocation failure");
    return 1;
  }
  production->set_name(name);
  production->set_production_version();
  out->add_filegroup_version(production);
  m_version_sets.push_back(out);
  logger.error(FN_CREATE_SET, "&m_version_sets=[%p]", static_cast<void*>(&m_version_sets));
  logger.error(FN_CREATE_SET, "&version_set=[%p] name=[%s]", static_cast<void*>(out.get()),
               out->get_name().c_str());
  return 0;
}

int32_t ktsm_filegroup_version_set::delete_version_set_internal(const std::string& name) {
  ktfs::ktfs_debug& logger = log();
  struct stat st;
  std::memset(&st, 0, sizeof st);
  std::string snaps = ktsm_internal::snaps_dir(name);
  logger.debug(FN_DELETE_SET, 1, "Stat directory [%s]", snaps.c_str());
  if (!remove_if_present(snaps, &st)) {
    logger.debug(FN_DELETE_SET, -1, "snap dir [%s] remove failed", snaps.c_str());
    return 1;
  }
  if (!remove_if_present(name, &st)) {
    logger.debug(FN_DELETE_SET, -1, "file group [%s] remove failed", name.c_str());
    return 1;
  }
  for (auto it = m_version_sets.begin(); it != m_version_sets.end(); ++it) {
    if ((*it)->has_name(name)) {
      m_version_sets.erase(it);
      return 0;
    }
  }
  logger.debug(FN_DELETE_SET, -1, "version set not found filegroup [%s]", name.c_str());
  return 0;
}

int32_t ktsm_filegroup_version_set::get_version_set(const std::string& name, set_ptr& out) {
  mutex_guard guard(m_lock);
  return get_version_set_internal(name, out);
}

int32_t ktsm_filegroup_version_set::create_version_set(const std::string& name, set_ptr& out) {
  mutex_guard guard(m_lock);
  return create_version_set_internal(name, out);
}

int32_t ktsm_filegroup_version_set::delete_version_set(const std::string& name) {
  set_ptr removed;
  int32_t status;
  {
    mutex_guard guard(m_lock);
    // The set the twin will take out of the registry, if any: its list is
    // emptied below, after m_lock is released, so that a deleted set and its
    // versions do not keep each other alive.
    for (const set_ptr& set : m_version_sets) {
      if (set->has_name(name)) {
        removed = set;
        break;
      }
    }
    status = delete_version_set_internal(name);
  }
  if (status == 0 && removed) removed->cleanup();
  return status;
}
