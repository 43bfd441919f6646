// Start-up recovery: the volume is the only record, so init lists its root
// and rebuilds one version set per entry from the entry's ".snaps".
#include <algorithm>
#include <cstring>
#include <vector>

#include "internal.h"

using ktfs::kNoAio;
using ktsm_internal::access;
using ktsm_internal::FN_INIT;
using ktsm_internal::FN_READ_LIVE_DIRECTORY;
using ktsm_internal::FN_RECOVER;
using ktsm_internal::io;
using ktsm_internal::log;
using ktsm_internal::read_state;

typedef ktsm_filegroup_version_set vs;

namespace {

// Appends dir + "/" + name for every entry but "." and ".."; a failed read
// ends the listing like the end of the directory does.
void read_entries(const ktfs::file_ptr& handle, const std::string& dir,
                  std::list<std::string>& names) {
  while (struct dirent* entry = vs::api_instance.readdir(handle, kNoAio)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.push_back(dir + "/" + entry->d_name);
  }
}

// Appends the production version of set, named like it.
bool add_production_version(const vs::set_ptr& set, const std::string& name) {
  vs::version_ptr production = access::allocate_version();
  if (!production) return false;
  access::set_name(*production, name);
  access::set_production_version(*production);
  access::set_fg_versionset(*production, set);
  access::add_version(*set, production);
  return true;
}

// One entry of a ".snaps" listing: its name and the type readdir gave.
struct listed_entry {
  std::string name;
  unsigned char type;
};

// Reads the entries of the open directory dir but ".", ".." and the
// group's own files (its lock, its deleted-file list); a failed read ends
// the listing like the end of the directory does.
std::vector<listed_entry> list_versions(const ktfs::file_ptr& dir) {
  std::vector<listed_entry> found;
  while (struct dirent* entry = vs::api_instance.readdir(dir, kNoAio)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0 ||
        ktsm_internal::reserved_snaps_entry(entry->d_name)) {
      continue;
    }
    found.push_back({entry->d_name, entry->d_type});
  }
  return found;
}

// Reads the state and the creation record of the version listed as entry
// in the open ".snaps" directory dir.  A directory's attributes are read
// through dir; any other entry (a link, or a type the listing did not
// give) by its path, as every other call reads a version.  A state that
// cannot be read is left empty (the version stays visible, so that a host
// can delete it) and reported; false then.  A version without a creation
// record stands by its directory's modification time.
bool read_version(const ktfs::file_ptr& dir, const std::string& snaps, const listed_entry& entry,
                  ktsm_filegroup_version& version) {
  ktsm_internal::attr_source from =
      ktsm_internal::attr_source::listed(snaps, dir, entry.name, entry.type);
  const std::string& path = from.path;
  std::string state;
  bool readable = read_state(from, &state) != -1;
  if (!readable) {
    state.clear();
    log().debug(FN_RECOVER, -1, "snap dir [%s] getattr failed", snaps.c_str());
  }
  access::set_state(version, state);
  log().debug(FN_RECOVER, -1, "version [%s] state [%s]", path.c_str(), state.c_str());
  access::set_creation(version, ktsm_internal::creation_or_mtime(from));
  return readable;
}

// Reads every version listed in the open ".snaps" directory dir of set
// into *found, in the listing's order.  false when a record could not be
// allocated; *incomplete is set when a state could not be read.
bool read_versions(const ktfs::file_ptr& dir, const std::string& snaps, const vs::set_ptr& set,
                   std::vector<vs::version_ptr>* found, bool* incomplete) {
  for (const listed_entry& entry : list_versions(dir)) {
    vs::version_ptr version = access::allocate_version();
    if (!version) {
      log().debug(FN_RECOVER, -1, "memory allocation failure");
      return false;
    }
    // The record keeps the bare name of its entry; its path is derived.
    access::set_name(*version, entry.name);
    if (!read_version(dir, snaps, entry, *version)) *incomplete = true;
    access::set_fg_versionset(*version, set);
    found->push_back(version);
    log().debug(FN_RECOVER, 1, "&filegroup_version [%p]", static_cast<void*>(version.get()));
  }
  return true;
}

}  // namespace

int32_t ktsm_filegroup_version_set::read_live_directory(const std::string& dir,
                                                        std::list<std::string>& names) {
  ktfs::ktfs_debug& logger = log();
  struct stat st;
  std::memset(&st, 0, sizeof st);
  if (api_instance.stat(io(), dir.c_str(), &st, kNoAio)) {
    logger.debug(FN_READ_LIVE_DIRECTORY, -1, "dir [%s] stat failed", dir.c_str());
    return 1;
  }
  ktfs::file_ptr handle = api_instance.opendir(io(), dir.c_str(), kNoAio);
  if (!handle) {
    logger.debug(FN_READ_LIVE_DIRECTORY, -1, "dir [%s] open failed", dir.c_str());
    return 1;
  }
  read_entries(handle, dir, names);
  if (api_instance.closedir(handle, kNoAio)) {
    logger.debug(FN_READ_LIVE_DIRECTORY, -1, "dir [%s] close failed", dir.c_str());
    return 1;
  }
  return 0;
}

int32_t ktsm_filegroup_version_set::recover_version_set_internal(const std::string& name,
                                                                 set_ptr& set) {
  bool incomplete = false;
  int32_t status = ktsm_internal::recover_set(name, set, &incomplete);
  return status != 0 || incomplete ? 1 : 0;
}

int32_t ktsm_internal::recover_set(const std::string& name, vs::set_ptr& set, bool* incomplete) {
  ktfs::ktfs_debug& logger = log();
  access::set_name(*set, name);
  std::string snaps = ktsm_internal::snaps_dir(name);
  struct stat st;
  std::memset(&st, 0, sizeof st);
  if (vs::api_instance.stat(io(), snaps.c_str(), &st, kNoAio)) {
    logger.debug(FN_RECOVER, -1, "snap dir [%s] stat failed", snaps.c_str());
    return 1;
  }
  ktfs::file_ptr handle = vs::api_instance.opendir(io(), snaps.c_str(), kNoAio);
  if (!handle) {
    logger.debug(FN_RECOVER, -1, "snap dir [%s] open failed", snaps.c_str());
    return 1;
  }
  if (!add_production_version(set, name)) {
    logger.debug(FN_RECOVER, -1, "memory allocation failure");
    return 1;
  }
  // The versions' attributes are read while the listing is open, through
  // its handle.
  std::vector<vs::version_ptr> found;
  bool allocated = read_versions(handle, snaps, set, &found, incomplete);
  if (vs::api_instance.closedir(handle, kNoAio)) {
    logger.debug(FN_RECOVER, -1, "snap dir [%s] close failed", snaps.c_str());
    return 1;
  }
  if (!allocated) return 1;
  // The listing's order is the volume's (hash order on most file systems):
  // the set takes its versions in creation order, each linked to the one
  // before it.
  std::stable_sort(found.begin(), found.end(), ktsm_internal::created_before);
  for (vs::version_ptr& version : found) access::add_version(*set, version);
  ktsm_internal::link_chain(access::versions(*set));
  return 0;
}

bool ktsm_internal::rebuild(int32_t* status, std::list<vs::set_ptr>* failed) {
  ktfs::ktfs_debug& logger = log();
  std::list<std::string> names;
  *status = vs::read_live_directory("/", names);
  if (*status != 0) {
    logger.error(FN_INIT, "read file groups failed");
    return false;
  }
  for (const std::string& name : names) {
    // A second init without stop keeps the sets already registered (hosts
    // may hold them) and adds only the groups that are new.
    if (ktsm_internal::find_set(name)) continue;
    vs::set_ptr set = access::allocate_set();
    if (!set) {
      logger.debug(FN_INIT, -1, "memory allocation failure");
      *status = 1;
      return false;
    }
    bool incomplete = false;
    if (ktsm_internal::recover_set(name, set, &incomplete) != 0) {
      // A set that did not recover is not registered: its file group is
      // reported through the status instead of being hidden half-built.
      logger.debug(FN_INIT, -1, "failed to recover version set filegroup [%s]", name.c_str());
      failed->push_back(set);
      *status = 1;
      continue;
    }
    // A version whose state could not be read is registered with an empty
    // state: the group stays visible, and init reports the problem.
    if (incomplete) *status = 1;
    vs::m_version_sets.push_back(set);
    logger.debug(FN_INIT, 1, "&version_set=[%p] name=[%s]", static_cast<void*>(set.get()),
                 set->get_name().c_str());
  }
  return true;
}
