// A set brought into line with the volume, and deletions a host chooses
// from that picture under one group lock.  Other processes and hosts
// create and delete versions while a set's records stand as start-up found
// them: a host that acted on those records would keep versions that are
// gone and delete by a count that no longer holds.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "internal.h"
#include "ktfssnapcore/ktfssnapcore.h"

using ktfs::kNoAio;
using ktsm_internal::access;
using ktsm_internal::FN_CREATE_BY_PLAN;
using ktsm_internal::FN_DELETE_BY_PLAN;
using ktsm_internal::FN_REFRESH;
using ktsm_internal::io;
using ktsm_internal::log;
using ktsm_internal::mutex_guard;

typedef ktsm_filegroup_version_set vs;

namespace {

// What ".snaps" holds for one version now.  The containers below hold types
// of this file's own, for the reason given in holds.cc.
struct fresh_version {
  std::string name;
  unsigned char type;
  std::string state;
  ktsm_filegroup_version::creation_record creation;
  std::vector<std::string> holds;
};

// A snapshot record of the set, found by its name.
struct named_record {
  std::string name;
  vs::version_ptr record;
  bool found;
  bool operator<(const named_record& other) const { return name < other.name; }
};

// Reads the state, creation record and holds of the entry v of the open
// ".snaps" directory dir (see attr_source::listed); false after one message
// tagged function.  A version without a state (none written yet, another
// program's directory) stands with an empty one, as at start-up.
bool read_entry(const char* function, const std::string& snaps, const ktfs::file_ptr& dir,
                fresh_version* v) {
  ktsm_internal::attr_source from =
      ktsm_internal::attr_source::listed(snaps, dir, v->name, v->type);
  if (ktsm_internal::read_state(from, &v->state) == -1) {
    if (errno != ENODATA) {
      log().debug(function, -1, "file group [%s] getxattr failed", v->name.c_str());
      return false;
    }
    v->state.clear();
  }
  v->creation = ktsm_internal::creation_or_mtime(from);
  if (ktsm_internal::read_holds(from, &v->holds)) {
    log().debug(function, -1, "file group [%s] getxattr failed", v->name.c_str());
    return false;
  }
  return true;
}

// Reads every version of the group's ".snaps" (every entry but the group
// lock's file) in one pass; false after one message tagged function.
bool read_snaps(const char* function, const std::string& set_name,
                std::vector<fresh_version>* out) {
  std::string snaps = ktsm_internal::snaps_dir(set_name);
  ktfs::file_ptr dir = vs::api_instance.opendir(io(), snaps.c_str(), kNoAio);
  if (!dir) {
    log().debug(function, -1, "snap dir [%s] open failed", snaps.c_str());
    return false;
  }
  errno = 0;
  while (struct dirent* entry = vs::api_instance.readdir(dir, kNoAio)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 &&
        !ktsm_internal::reserved_snaps_entry(entry->d_name)) {
      out->push_back({entry->d_name, entry->d_type, {}, {}, {}});
    }
    errno = 0;
  }
  if (errno != 0) {  // a listing cut short would hide versions
    log().debug(function, -1, "snap dir [%s] read failed", snaps.c_str());
    return false;
  }
  for (fresh_version& v : *out) {
    if (!read_entry(function, snaps, dir, &v)) return false;
  }
  if (vs::api_instance.closedir(dir, kNoAio)) {
    log().debug(function, -1, "snap dir [%s] close failed", snaps.c_str());
    return false;
  }
  return true;
}

}  // namespace

int32_t ktsm_filegroup_version_set::refresh_from_volume(const char* function,
                                                        const set_ptr& registered, holds_map& holds,
                                                        refresh_report& report) {
  std::vector<fresh_version> fresh;
  if (!read_snaps(function, m_name, &fresh)) return 1;
  version_ptr production;
  std::vector<named_record> known;
  for (const version_ptr& v : m_filegroup_versions) {
    if (!v->is_production_version()) {
      known.push_back({v->get_name(), v, false});
    } else if (!production) {
      production = v;
    }
  }
  std::stable_sort(known.begin(), known.end());
  // Every record is had before the first one changes, so that a failure
  // leaves the set as it was.
  refresh_report found;
  std::vector<version_ptr> records;
  for (const fresh_version& f : fresh) {
    auto at = std::lower_bound(known.begin(), known.end(), named_record{f.name, {}, false});
    if (at != known.end() && at->name == f.name && !at->found) {
      at->found = true;
      if (at->record->get_state() != f.state)
        found.changed.push_back({f.name, at->record->get_state()});
      records.push_back(at->record);
      continue;
    }
    version_ptr v = access::allocate_version();
    if (!v) {
      log().debug(function, -1, "memory allocation failure");
      return 1;
    }
    access::set_name(*v, f.name);
    access::set_fg_versionset(*v, registered);
    found.appeared.push_back(f.name);
    records.push_back(v);
  }
  holds.clear();
  for (size_t i = 0; i < fresh.size(); ++i) {
    access::set_state(*records[i], fresh[i].state);
    access::set_creation(*records[i], fresh[i].creation);
    // emplace, not operator[] (see get_all_holds).
    holds.emplace(fresh[i].name, std::move(fresh[i].holds));
  }
  for (const named_record& k : known) {
    if (k.found) continue;
    found.vanished.push_back(k.name);
    access::reset_older_version(*k.record);
  }
  std::stable_sort(records.begin(), records.end(), ktsm_internal::created_before);
  m_filegroup_versions.clear();
  if (production) m_filegroup_versions.push_back(production);
  m_filegroup_versions.insert(m_filegroup_versions.end(), records.begin(), records.end());
  ktsm_internal::link_chain(m_filegroup_versions);
  report = found;
  return 0;
}

int32_t ktsm_filegroup_version_set::refresh_versions_internal(holds_map& holds,
                                                              refresh_report& report) {
  holds.clear();
  report = refresh_report();
  // Looked up first: a record that joins the set is owned by it as registered.
  set_ptr registered;
  get_version_set(m_name, registered);
  if (!ktsm_internal::real_directories(FN_REFRESH, m_name, "")) return 1;
  return refresh_from_volume(FN_REFRESH, registered, holds, report);
}

int32_t ktsm_filegroup_version_set::delete_by_plan_internal(const deletion_plan& plan,
                                                            plan_report& report) {
  report = plan_report();
  // Looked up before the group lock (m_lock is never taken under it).
  set_ptr registered;
  get_version_set(m_name, registered);
  ktsm_internal::group_lock lock;
  if (!ktsm_internal::real_directories(FN_DELETE_BY_PLAN, m_name, "") ||
      !ktsm_internal::take_group_lock(FN_DELETE_BY_PLAN, m_name, &lock)) {
    return 1;
  }
  holds_map holds;
  if (refresh_from_volume(FN_DELETE_BY_PLAN, registered, holds, report.refreshed)) return 1;
  std::list<version_ptr> picture(m_filegroup_versions);
  int32_t status = 0;
  for (const std::string& name : plan(picture, holds)) {
    if (ktfssnapcore::stop_requested()) {
      report.not_tried.push_back(name);
      status = 1;
      continue;
    }
    bool deleted = delete_version_steps(name, true) == 0;
    (deleted ? report.deleted : report.failed).push_back(name);
    if (!deleted) status = 1;
  }
  return status;
}

int32_t ktsm_filegroup_version_set::create_by_plan_internal(const creation_plan& plan,
                                                            refresh_report& report,
                                                            version_ptr& version, bool full_copy) {
  report = refresh_report();
  version.reset();
  set_ptr registered;  // as in delete_by_plan_internal
  get_version_set(m_name, registered);
  ktsm_internal::group_lock lock;
  if (!ktsm_internal::real_directories(FN_CREATE_BY_PLAN, m_name, "") ||
      !ktsm_internal::take_group_lock(FN_CREATE_BY_PLAN, m_name, &lock)) {
    return 1;
  }
  holds_map holds;
  if (refresh_from_volume(FN_CREATE_BY_PLAN, registered, holds, report)) return 1;
  std::string name = plan(std::list<version_ptr>(m_filegroup_versions), holds);
  if (name.empty()) return 0;
  if (!ktsm_internal::creation_named(name)) return 1;
  return create_version_locked(name, registered, version, full_copy);
}

int32_t ktsm_filegroup_version_set::refresh_versions(holds_map& holds, refresh_report& report) {
  // The records are let go after m_set_lock: one that leaves the set may
  // hold the last handle of this set.
  std::list<version_ptr> kept;
  mutex_guard guard(m_set_lock);
  kept = m_filegroup_versions;
  return refresh_versions_internal(holds, report);
}

int32_t ktsm_filegroup_version_set::create_by_plan(const creation_plan& plan,
                                                   refresh_report& report, version_ptr& version,
                                                   bool full_copy) {
  std::list<version_ptr> kept;  // as in refresh_versions
  mutex_guard guard(m_set_lock);
  kept = m_filegroup_versions;
  return create_by_plan_internal(plan, report, version, full_copy);
}

int32_t ktsm_filegroup_version_set::delete_by_plan(const deletion_plan& plan, plan_report& report) {
  std::list<version_ptr> kept;  // as in refresh_versions
  mutex_guard guard(m_set_lock);
  kept = m_filegroup_versions;
  return delete_by_plan_internal(plan, report);
}
