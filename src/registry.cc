// The registry of version sets: look-up, creation and deletion.
#include <cerrno>
#include <cstring>
#include <vector>

#include "internal.h"

using ktfs::kNoAio;
using ktsm_internal::access;
using ktsm_internal::FN_CREATE_SET;
using ktsm_internal::FN_DELETE_SET;
using ktsm_internal::FN_GET_SET;
using ktsm_internal::io;
using ktsm_internal::log;
using ktsm_internal::mutex_guard;

typedef ktsm_filegroup_version_set vs;

namespace {

// Makes the directory path with mode 0760 unless it is there; false when
// it cannot be made, or is there but is no directory (a file, or a symbolic
// link, which is never followed).
bool ensure_directory(const std::string& path, struct stat* st) {
  if (!vs::api_instance.lstat(io(), path.c_str(), st, kNoAio)) return S_ISDIR(st->st_mode);
  return !vs::api_instance.mkdir(io(), path.c_str(), 0760, kNoAio);
}

// Whether the snapshot directory holds versions (anything but the group's
// own files); false with *failed set when it cannot be listed.
bool holds_versions(const std::string& snaps, bool* failed) {
  std::vector<std::string> names;
  *failed = static_cast<bool>(ktsm_internal::list_directory(snaps, &names));
  for (const std::string& n : names) {
    if (!ktsm_internal::reserved_snaps_entry(n)) return true;
  }
  return false;
}

// Looks at the directory path before a deletion: true when it is missing or
// holds nothing but entries allowed.  *present tells whether it is there;
// *failed is set when that cannot be told (only ENOENT says that it is
// missing: after any other failure it may still be there).
bool removable(const std::string& path, bool (*allowed)(const std::string&), bool* present,
               bool* failed) {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  std::error_code ec = vs::api_instance.stat(io(), path.c_str(), &st, kNoAio);
  *present = !ec;
  if (ec) {
    *failed = ec.value() != ENOENT;
    return true;
  }
  std::vector<std::string> names;
  if (ktsm_internal::list_directory(path, &names)) {
    *failed = true;
    return false;
  }
  for (const std::string& n : names) {
    if (!allowed(n)) return false;
  }
  return true;
}

bool only_snaps(const std::string& name) { return name == ".snaps"; }

// Removes the directory path when it is there.
bool remove_present(const std::string& path, bool present) {
  if (!present) return true;
  log().debug(FN_DELETE_SET, 1, "Remove directory [%s]", path.c_str());
  return !vs::api_instance.rmdir(io(), path.c_str(), kNoAio);
}

// Fills out with the versions of the group name as start-up recovery does,
// under the group's lock, and registers it.  REQUIRES: m_lock held.
int32_t register_existing(const std::string& name, vs::set_ptr& out)
    EXCLUSIVE_LOCKS_REQUIRED(vs::m_lock) {
  ktsm_internal::group_lock lock;
  bool incomplete = false;
  if (!ktsm_internal::take_group_lock(FN_CREATE_SET, name, &lock) ||
      ktsm_internal::recover_set(name, out, &incomplete) != 0) {
    out->cleanup();  // the set is not shared yet: nobody else holds its lock
    out.reset();
    return 1;
  }
  vs::m_version_sets.push_back(out);
  return 0;
}

// Logs the one failure line of a refused set name.
int32_t refuse_set_name(const char* function, const std::string& name) {
  log().debug(function, -1, "file group [%s] invalid name", name.c_str());
  return 1;
}

}  // namespace

vs::set_ptr ktsm_internal::find_set(const std::string& name) {
  for (const vs::set_ptr& set : vs::m_version_sets) {
    if (access::has_name(*set, name)) return set;
  }
  return vs::set_ptr();
}

int32_t ktsm_filegroup_version_set::get_version_set_internal(const std::string& name,
                                                             set_ptr& out) {
  for (const set_ptr& set : m_version_sets) {
    if (access::has_name(*set, name)) {
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
  if (!valid_set_name(name)) return refuse_set_name(FN_CREATE_SET, name);
  // A set is registered once: its directories are there already.
  if (set_ptr registered = ktsm_internal::find_set(name)) {
    out = registered;
    return 0;
  }
  logger.debug(FN_CREATE_SET, 1, "&api_instance=[%p] &file_io=[%p]",
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
  bool failed = false;
  bool versions = holds_versions(snaps, &failed);
  if (failed) {
    logger.debug(FN_CREATE_SET, -1, "snap dir [%s] open failed", snaps.c_str());
    return 1;
  }
  out = allocate();
  if (!out) {
    logger.debug(FN_CREATE_SET, -1, "memory allocation failure");
    return 1;
  }
  // Versions already there (a group start-up could not register) are taken
  // in as start-up would, under the group's lock.
  if (versions) return register_existing(name, out);
  access::set_name(*out, name);
  version_ptr production = access::allocate_version();
  if (!production) {
    logger.debug(FN_CREATE_SET, -1, "memory allocation failure");
    return 1;
  }
  access::set_name(*production, name);
  access::set_production_version(*production);
  access::set_fg_versionset(*production, out);
  access::add_version(*out, production);
  m_version_sets.push_back(out);
  logger.debug(FN_CREATE_SET, 1, "&m_version_sets=[%p]", static_cast<void*>(&m_version_sets));
  logger.debug(FN_CREATE_SET, 1, "&version_set=[%p] name=[%s]", static_cast<void*>(out.get()),
               out->get_name().c_str());
  return 0;
}

int32_t ktsm_filegroup_version_set::delete_version_set_internal(const std::string& name) {
  ktfs::ktfs_debug& logger = log();
  if (!valid_set_name(name)) return refuse_set_name(FN_DELETE_SET, name);
  std::string snaps = ktsm_internal::snaps_dir(name);
  logger.debug(FN_DELETE_SET, 1, "Stat directory [%s]", snaps.c_str());
  // Everything is checked before anything is removed, under the group's
  // lock: a group that holds files or versions stays whole, registered and
  // rebuilt at start-up.  Neither directory may be a symbolic link.
  // Only a missing ".snaps" goes without the lock (nothing can hold it);
  // after any other failure to look, it may be there and held.
  bool snaps_there = false, group_there = false;
  for (const std::string& path : {name, snaps}) {
    struct stat st;
    std::error_code ec = api_instance.lstat(io(), path.c_str(), &st, kNoAio);
    if (ec && ec.value() != ENOENT) {
      logger.debug(FN_DELETE_SET, -1, "path [%s] lstat failed", path.c_str());
      return 1;
    }
    if (!ec && !S_ISDIR(st.st_mode)) {
      logger.debug(FN_DELETE_SET, -1, "path [%s] is not a directory", path.c_str());
      return 1;
    }
    group_there = group_there || !ec;
    snaps_there = !ec;
  }
  ktsm_internal::group_lock lock;
  if (snaps_there && !ktsm_internal::take_group_lock(FN_DELETE_SET, name, &lock)) return 1;
  // Its emptiness is read from listings, and a brick that missed the
  // removal could bring the group back.
  if (group_there && !ktsm_internal::every_brick(FN_DELETE_SET, name)) return 1;
  bool snaps_present = false, group_present = false, failed = false;
  bool snaps_empty = removable(snaps, ktsm_internal::reserved_snaps_entry, &snaps_present, &failed);
  if (failed) {
    logger.debug(FN_DELETE_SET, -1, "snap dir [%s] remove failed", snaps.c_str());
    return 1;
  }
  bool group_empty = removable(name, only_snaps, &group_present, &failed);
  if (failed) {
    logger.debug(FN_DELETE_SET, -1, "file group [%s] remove failed", name.c_str());
    return 1;
  }
  if (!snaps_empty || !group_empty) {
    logger.debug(FN_DELETE_SET, -1, "file group [%s] not empty", name.c_str());
    return 1;
  }
  std::error_code unlinked;
  for (const char* own : {ktsm_internal::kListFileName, ktsm_internal::kLockFileName}) {
    std::string file = snaps + "/" + own;
    std::error_code ec = api_instance.unlink(io(), file.c_str(), kNoAio);
    if (ec && ec.value() != ENOENT) unlinked = ec;
  }
  if (unlinked || !remove_present(snaps, snaps_present)) {
    logger.debug(FN_DELETE_SET, -1, "snap dir [%s] remove failed", snaps.c_str());
    return 1;
  }
  if (!remove_present(name, group_present)) {
    logger.debug(FN_DELETE_SET, -1, "file group [%s] remove failed", name.c_str());
    return 1;
  }
  for (auto it = m_version_sets.begin(); it != m_version_sets.end(); ++it) {
    if (access::has_name(*(*it), name)) {
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
      if (access::has_name(*set, name)) {
        removed = set;
        break;
      }
    }
    status = delete_version_set_internal(name);
  }
  if (status == 0 && removed) removed->cleanup();
  return status;
}
