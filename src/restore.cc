// Restoring a snapshot version: the whole live group after a safety version,
// or some of its entries, in place or into another directory of the volume.
// The entries are copied by the snapshot core's copy, so a restored entry
// keeps everything a snapshot keeps, and no copy follows a symbolic link.
#include <algorithm>
#include <cerrno>

#include "internal.h"
#include "ktfssnapcore/ktfssnapcore.h"

using ktfs::kNoAio;
using ktfssnapcore::ktfssnaputils;
using ktsm_internal::access;
using ktsm_internal::FN_RESTORE;
using ktsm_internal::FN_RESTORE_PATHS;
using ktsm_internal::io;
using ktsm_internal::log;
using ktsm_internal::mutex_guard;
using ktsm_internal::read_state;

typedef ktsm_filegroup_version_set vs;

namespace {

const char kSnapsName[] = ".snaps";
// How far free_name looks for a name of the safety version.
const unsigned kMaxSuffix = 100;

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> parts;
  for (size_t start = 0; start <= path.size();) {
    size_t end = std::min(path.find('/', start), path.size());
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// A directory of the volume to restore into: absolute, below the root, no
// component ".snaps" (nothing is ever written into a version).
bool valid_target(const std::string& dir) {
  std::vector<std::string> parts = split(dir);
  if (dir.empty() || dir.front() != '/' || parts.empty()) return false;
  return std::all_of(parts.begin(), parts.end(), [](const std::string& p) {
    return ktsm_internal::plain_component(p) && p != kSnapsName;
  });
}

// Leaves out every path that lies under another one of the list (the other
// copies it), and repeats.
std::vector<std::string> outermost(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> kept;
  for (const std::string& p : paths) {
    bool inside = std::any_of(kept.begin(), kept.end(), [&](const std::string& k) {
      return p == k || p.compare(0, k.size() + 1, k + "/") == 0;
    });
    if (!inside) kept.push_back(p);
  }
  return kept;
}

// Whether a version in this state holds a whole copy.
bool complete_copy(const std::string& state) {
  return state == vs::SNAP_STATE_ACTIVE || state == vs::SNAP_STATE_UNEXPORTED ||
         vs::may_be_exported(state);
}

enum class presence { missing, present, not_directory };

// What lies at path: nothing, a real directory (present), or another entry.
presence look(const std::string& path, std::error_code* ec) {
  struct stat st;
  *ec = vs::api_instance.lstat(io(), path.c_str(), &st, kNoAio);
  if (ec->value() == ENOENT) {
    ec->clear();
    return presence::missing;
  }
  if (*ec) return presence::missing;
  return S_ISDIR(st.st_mode) ? presence::present : presence::not_directory;
}

// The restore's checks and steps, each logging its one failure line.
class restorer {
 public:
  restorer(const char* function, const std::string& set_name, const std::string& name)
      : m_function(function),
        m_set_name(set_name),
        m_name(name),
        m_path(ktsm_internal::snapshot_path(set_name, name)) {}

  const std::string& version_path() const { return m_path; }

  bool fail(const char* format, const std::string& what) const {
    log().debug(m_function, -1, format, what.c_str());
    return false;
  }

  // The version's directories, the group lock, and a whole copy to read.
  bool lock_complete_version(ktsm_internal::group_lock* lock) const {
    if (!ktsm_internal::real_directories(m_function, m_set_name, m_path) ||
        !ktsm_internal::take_group_lock(m_function, m_set_name, lock)) {
      return false;
    }
    std::string state;
    if (read_state(m_path, &state) == -1) {
      return fail("file group [%s] getxattr failed", m_name);
    }
    if (!complete_copy(state)) {
      log().debug(m_function, -1, "file group version [%s] is not complete (state [%s])",
                  m_name.c_str(), state.c_str());
      return false;
    }
    return true;
  }

  // The entries of dir but ".snaps" (and the deleted-file list at the top
  // of a version taken before it moved there).
  bool top_entries(const std::string& dir, std::vector<std::string>* names) const {
    if (ktsm_internal::list_directory(dir, names)) return fail("dir [%s] list failed", dir);
    bool has_snaps = std::find(names->begin(), names->end(), kSnapsName) != names->end();
    names->erase(std::remove_if(names->begin(), names->end(),
                                [has_snaps](const std::string& n) {
                                  return ktfssnaputils::own_top_entry(n, has_snaps);
                                }),
                 names->end());
    return true;
  }

  // Every path must be a plain relative path of the group's files.
  bool valid_paths(const std::vector<std::string>& paths) const {
    for (const std::string& p : paths) {
      if (!vs::valid_entry_path(p)) return fail("path [%s] invalid", p);
    }
    return true;
  }

  // Every path must be in the version, reached through its real
  // directories only: a link on the way would lead the copy out of it.
  bool in_version(const std::vector<std::string>& paths) const {
    for (const std::string& p : paths) {
      struct stat st;
      std::string at;
      std::error_code ec = ktsm_internal::look_inside(m_path, p, &st, &at);
      if (ec.value() == ENOENT) return fail("path [%s] not in the version", p);
      if (ec.value() == ENOTDIR) return fail("path [%s] is not a directory", at);
      if (ec) return fail("path [%s] stat failed", at);
    }
    return true;
  }

  // The first of name, name-2, name-3, ... that neither the set's records
  // nor ".snaps" hold, looked at under the group lock: the host chose name
  // from what it listed before.
  bool free_name(const std::string& name, const std::list<vs::version_ptr>& versions,
                 std::string* out) const {
    for (unsigned n = 1; n <= kMaxSuffix; ++n) {
      *out = n == 1 ? name : name + "-" + std::to_string(n);
      if (std::any_of(versions.begin(), versions.end(),
                      [&](const vs::version_ptr& v) { return v->get_name() == *out; })) {
        continue;
      }
      std::error_code ec;
      std::string path = ktsm_internal::snapshot_path(m_set_name, *out);
      presence there = look(path, &ec);
      if (ec) return fail("path [%s] stat failed", path);
      if (there == presence::missing) return true;
    }
    return fail("file group version [%s] has no free name", name);
  }

  // Checks what lies at root + "/" + each path before anything changes:
  // every directory above it must be a real directory or missing; the entry
  // itself must be missing unless may_exist.  *present (when given)
  // receives the paths whose entry exists.
  bool check_destinations(const std::string& root, const std::vector<std::string>& paths,
                          bool may_exist, std::vector<std::string>* present) const {
    for (const std::string& p : paths) {
      std::vector<std::string> parts = split(p);
      std::string at = root;
      for (size_t i = 0; i < parts.size(); ++i) {
        at += "/" + parts[i];
        std::error_code ec;
        presence there = look(at, &ec);
        if (ec) return fail("path [%s] stat failed", at);
        if (there == presence::missing) break;
        if (i + 1 == parts.size()) {
          if (!may_exist) return fail("path [%s] exists already", at);
          if (present != nullptr) present->push_back(p);
        } else if (there == presence::not_directory) {
          return fail("path [%s] is not a directory", at);
        }
      }
    }
    return true;
  }

  // Checks that every component of the target directory is a real
  // directory or missing; with make, makes the missing ones (mode 0755).
  bool reach_target(const std::string& dir, bool make) const {
    std::string at;
    for (const std::string& part : split(dir)) {
      at += "/" + part;
      std::error_code ec;
      presence there = look(at, &ec);
      if (ec) return fail("path [%s] stat failed", at);
      if (there == presence::not_directory) return fail("path [%s] is not a directory", at);
      if (make && there == presence::missing &&
          vs::api_instance.mkdir(io(), at.c_str(), 0755, kNoAio)) {
        return fail("dir [%s] create failed", at);
      }
    }
    return true;
  }

  // Records this restore of the live group (done) before its first change,
  // unless another restore's record is there; *left receives that one.
  bool record(const ktsm_internal::restore_record& done,
              ktsm_internal::restore_record* left) const {
    if (ktsm_internal::read_restore_record(m_set_name, left)) {
      return fail("file group [%s] restore record read failed", m_set_name);
    }
    if (!left->version.empty()) return true;
    if (ktsm_internal::write_restore_record(m_set_name, done)) {
      return fail("file group [%s] restore record write failed", m_set_name);
    }
    *left = done;
    return true;
  }

  // The restore done finished: the record goes when done covers it.
  bool finished(const ktsm_internal::restore_record& done,
                const ktsm_internal::restore_record& left) const {
    if (left.covered_by(done) && ktsm_internal::clear_restore_record(m_set_name)) {
      return fail("file group [%s] restore record write failed", m_set_name);
    }
    return true;
  }

  // Every part of the volume answers for the group: checked before the
  // version's listings are trusted and when the copy is done.
  bool whole() const { return ktsm_internal::whole_volume(m_function, m_set_name); }

  // A removal or copy that failed names a brick lost meanwhile as its reason.
  bool remove(const std::string& root, const std::vector<std::string>& paths) const {
    for (const std::string& p : paths) {
      if (ktfssnaputils::rmdir_nonempty(&vs::api_instance, io(), root + "/" + p, log())) {
        return whole() && fail("path [%s] remove failed", root + "/" + p);
      }
    }
    return true;
  }

  bool copy(const std::string& root, const std::vector<std::string>& paths) const {
    std::string failed;
    if (ktfssnapcore::copy_entries(&vs::api_instance, io(), m_path, root, paths, &failed)) {
      return whole() && fail("file group version [%s] restore copy failed", m_name);
    }
    return whole();
  }

 private:
  const char* m_function;
  std::string m_set_name, m_name, m_path;
};

}  // namespace

int32_t ktsm_filegroup_version_set::restore_version_internal(const std::string& name,
                                                             const std::string& safety_name,
                                                             version_ptr& safety) {
  ktfs::ktfs_debug& logger = log();
  logger.debug(FN_RESTORE, -1, "restoring file group version [%s]", name.c_str());
  version_ptr version = find_snapshot_version(name, FN_RESTORE);
  if (!version) return 1;
  if (!valid_version_name(safety_name)) {
    logger.debug(FN_RESTORE, -1, "file group version [%s] invalid name", safety_name.c_str());
    return 1;
  }
  // Looked up before the group lock (m_lock is never taken under it).
  set_ptr registered;
  get_version_set(m_name, registered);
  restorer r(FN_RESTORE, m_name, name);
  ktsm_internal::group_lock lock;
  std::vector<std::string> saved, live;
  if (!r.lock_complete_version(&lock) || !r.whole() || !r.top_entries(r.version_path(), &saved) ||
      !r.top_entries(m_name, &live)) {
    return 1;
  }
  // What differs, read before anything changes: live entries the version
  // lacks go, entries already as in the version stay.
  ktsm_internal::merge_plan plan;
  for (const std::string& n : live) {
    if (std::find(saved.begin(), saved.end(), n) == saved.end()) {
      ktsm_internal::plan_extra(n, true, &plan);
    }
  }
  for (const std::string& p : saved) {
    if (!ktsm_internal::plan_merge(FN_RESTORE, r.version_path(), m_name, p, true, &plan)) return 1;
  }
  ktsm_internal::settle_links(&plan);
  ktsm_internal::restore_record done, left;
  done.version = name;
  done.whole = true;
  if (plan.remove.empty() && plan.copy.empty()) {
    // The live group is the version already: no safety version, and a
    // restore left half done before is finished by this one.
    return r.record(done, &left) && r.finished(done, left) ? 0 : 1;
  }
  // The live group as it is now, kept before anything changes.
  std::string named;
  if (!r.free_name(safety_name, m_filegroup_versions, &named) ||
      create_version_locked(named, registered, safety, false)) {
    return 1;
  }
  done.safety = safety->get_name();
  if (!r.record(done, &left) || !r.remove(m_name, plan.remove) || !r.copy(m_name, plan.copy) ||
      !r.finished(done, left)) {
    return 1;
  }
  return 0;
}

int32_t ktsm_filegroup_version_set::restore_paths_internal(const std::string& name,
                                                           const std::vector<std::string>& paths,
                                                           const std::string& target_dir,
                                                           bool check_only) {
  ktfs::ktfs_debug& logger = log();
  logger.debug(FN_RESTORE_PATHS, -1, "restoring from file group version [%s]", name.c_str());
  version_ptr version = find_snapshot_version(name, FN_RESTORE_PATHS);
  if (!version) return 1;
  restorer r(FN_RESTORE_PATHS, m_name, name);
  if (!r.valid_paths(paths)) return 1;
  bool in_place = target_dir.empty();
  if (!in_place && !valid_target(target_dir)) {
    r.fail("target dir [%s] invalid", target_dir);
    return 1;
  }
  ktsm_internal::group_lock lock;
  if (!r.lock_complete_version(&lock) || !r.whole()) return 1;
  std::vector<std::string> chosen = outermost(paths);
  if (chosen.empty() && !r.top_entries(r.version_path(), &chosen)) return 1;
  std::string root = in_place ? m_name : target_dir;
  std::vector<std::string> present;
  // Everything is checked before the first change.
  if (!r.in_version(chosen) || (!in_place && !r.reach_target(target_dir, false)) ||
      !r.check_destinations(root, chosen, in_place, &present)) {
    return 1;
  }
  if (check_only) return 0;
  ktsm_internal::restore_record done, left;
  done.version = name;
  done.paths = chosen;
  if ((in_place && !r.record(done, &left)) || (!in_place && !r.reach_target(target_dir, true)) ||
      !r.remove(root, present) || !r.copy(root, chosen) || (in_place && !r.finished(done, left))) {
    return 1;
  }
  return 0;
}

int32_t ktsm_filegroup_version_set::merge_paths_internal(const std::string& name,
                                                         const std::vector<std::string>& paths,
                                                         const restore_options& options,
                                                         bool plan_only, restore_counts& counts,
                                                         version_ptr& safety) {
  counts = restore_counts();
  log().debug(FN_RESTORE_PATHS, -1, "merging file group version [%s]", name.c_str());
  version_ptr version = find_snapshot_version(name, FN_RESTORE_PATHS);
  if (!version) return 1;
  restorer r(FN_RESTORE_PATHS, m_name, name);
  if (!r.valid_paths(paths)) return 1;
  if (!options.safety_name.empty() && !valid_version_name(options.safety_name)) {
    r.fail("file group version [%s] invalid name", options.safety_name);
    return 1;
  }
  set_ptr registered;
  get_version_set(m_name, registered);  // before the group lock, as restore_version
  ktsm_internal::group_lock lock;
  if (!r.lock_complete_version(&lock) || !r.whole()) return 1;
  std::vector<std::string> chosen = outermost(paths);
  ktsm_internal::merge_plan plan;
  if (chosen.empty()) {
    // The whole version: the live group's top entries it lacks too.
    std::vector<std::string> live;
    if (!r.top_entries(r.version_path(), &chosen) || !r.top_entries(m_name, &live)) return 1;
    for (const std::string& n : live) {
      if (std::find(chosen.begin(), chosen.end(), n) == chosen.end()) {
        ktsm_internal::plan_extra(n, options.remove_extra, &plan);
      }
    }
  }
  if (!r.in_version(chosen) || !r.check_destinations(m_name, chosen, true, nullptr)) return 1;
  for (const std::string& p : chosen) {
    if (!ktsm_internal::plan_merge(FN_RESTORE_PATHS, r.version_path(), m_name, p,
                                   options.remove_extra, &plan, !paths.empty())) {
      return 1;
    }
  }
  ktsm_internal::settle_links(&plan);
  counts = plan.counts;
  if (plan_only) return 0;
  std::string named;
  if (plan.counts.removed > 0 && !options.safety_name.empty() &&
      (!r.free_name(options.safety_name, m_filegroup_versions, &named) ||
       create_version_locked(named, registered, safety, false))) {
    return 1;
  }
  ktsm_internal::restore_record done, left;
  done.version = name;
  done.safety = safety ? safety->get_name() : "";
  // A merge of the whole version leaves the group equal to it only when it
  // removes what the version lacks.
  done.whole = paths.empty() && options.remove_extra;
  done.paths = chosen;
  if (!r.record(done, &left) || !r.remove(m_name, plan.remove) || !r.copy(m_name, plan.copy) ||
      !r.finished(done, left)) {
    return 1;
  }
  return 0;
}

int32_t ktsm_filegroup_version_set::check_restore_paths(const std::string& name,
                                                        const std::vector<std::string>& paths,
                                                        const std::string& target_dir) {
  mutex_guard guard(m_set_lock);
  return restore_paths_internal(name, paths, target_dir, true);
}

int32_t ktsm_filegroup_version_set::merge_paths(const std::string& name,
                                                const std::vector<std::string>& paths,
                                                const restore_options& options, bool plan_only,
                                                restore_counts& counts, version_ptr& safety) {
  mutex_guard guard(m_set_lock);
  return merge_paths_internal(name, paths, options, plan_only, counts, safety);
}

ktsm_filegroup_version_set::version_ptr ktsm_filegroup_version_set::find_snapshot_version(
    const std::string& name, const char* function) const {
  for (const version_ptr& v : m_filegroup_versions) {
    if (!access::has_name(*v, name)) continue;
    if (!v->is_production_version()) return v;
    log().debug(function, -1, "file group version [%s] is the production version", name.c_str());
    return version_ptr();
  }
  log().debug(function, -1, "file group version [%s] not found", name.c_str());
  return version_ptr();
}

int32_t ktsm_filegroup_version_set::restore_version(const std::string& name,
                                                    const std::string& safety_name,
                                                    version_ptr& safety) {
  mutex_guard guard(m_set_lock);
  return restore_version_internal(name, safety_name, safety);
}

int32_t ktsm_filegroup_version_set::restore_paths(const std::string& name,
                                                  const std::vector<std::string>& paths,
                                                  const std::string& target_dir) {
  mutex_guard guard(m_set_lock);
  return restore_paths_internal(name, paths, target_dir);
}
