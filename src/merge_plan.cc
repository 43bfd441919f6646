// The plan of a merge of a version's entries into the live group: which
// live entries go and which of the version's are copied.  It only reads;
// the restore carries it out under the same group lock.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "internal.h"
#include "ktfssnapcore/ktfssnapcore.h"

using ktfs::kNoAio;

namespace ktsm_internal {

namespace {

std::string joined(const std::string& root, const std::string& rel) { return root + "/" + rel; }

bool same_time(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the live entry (at to, lstat live) already is what the version's
// (at from, lstat saved) would make of it: for a regular file the same
// size and modification time (diff's rule for content without an identity
// attribute; with one, the attributes compare it too), and for a file or a
// directory the same mode, owner and attributes (a directory's entries are
// looked at one by one).  Other kinds are always made again; attributes
// that cannot be read count as different.
bool same_entry(const std::string& from, const struct stat& saved, const std::string& to,
                const struct stat& live) {
  if ((saved.st_mode & S_IFMT) != (live.st_mode & S_IFMT)) return false;
  if (!S_ISREG(saved.st_mode) && !S_ISDIR(saved.st_mode)) return false;
  if ((saved.st_mode & 07777) != (live.st_mode & 07777) || saved.st_uid != live.st_uid ||
      saved.st_gid != live.st_gid) {
    return false;
  }
  if (S_ISREG(saved.st_mode) &&
      (saved.st_size != live.st_size || !same_time(saved.st_mtim, live.st_mtim))) {
    return false;
  }
  std::map<std::string, std::string> saved_attrs, live_attrs;
  ktfs::ktfs_api* api = &ktsm_filegroup_version_set::api_instance;
  return !ktfssnapcore::copied_attributes(api, io(), from, &saved_attrs) &&
         !ktfssnapcore::copied_attributes(api, io(), to, &live_attrs) && saved_attrs == live_attrs;
}

}  // namespace

void plan_extra(const std::string& rel, bool remove_extra, merge_plan* plan) {
  if (!remove_extra) {
    ++plan->counts.kept;
    return;
  }
  plan->remove.push_back(rel);
  ++plan->counts.removed;
}

void settle_links(merge_plan* plan) {
  for (const auto& file : plan->linked) {
    const std::vector<std::pair<std::string, ino_t>>& names = file.second;
    if (names.size() < 2) continue;  // its other names are in other versions
    const ino_t first = names.front().second;
    bool one_live_file = std::all_of(names.begin(), names.end(), [first](const auto& n) {
      return n.second != 0 && n.second == first;
    });
    if (one_live_file) continue;
    for (const auto& [rel, live_inode] : names) {
      if (live_inode == 0) continue;  // copied already
      plan->remove.push_back(rel);
      plan->copy.push_back(rel);
      --plan->counts.unchanged;
      ++plan->counts.replaced;
    }
  }
  plan->linked.clear();
}

bool plan_merge(const char* function, const std::string& version_dir, const std::string& live_root,
                const std::string& rel, bool remove_extra, merge_plan* plan, bool named) {
  struct stat saved, live;
  std::memset(&saved, 0, sizeof saved);
  std::memset(&live, 0, sizeof live);
  std::string from = joined(version_dir, rel), to = joined(live_root, rel);
  if (ktsm_filegroup_version_set::api_instance.lstat(io(), from.c_str(), &saved, kNoAio)) {
    log().debug(function, -1, "path [%s] stat failed", from.c_str());
    return false;
  }
  std::error_code ec =
      ktsm_filegroup_version_set::api_instance.lstat(io(), to.c_str(), &live, kNoAio);
  if (ec.value() == ENOENT) {
    if (S_ISREG(saved.st_mode) && saved.st_nlink > 1) {
      plan->linked[{saved.st_dev, saved.st_ino}].push_back({rel, 0});
    }
    plan->copy.push_back(rel);
    ++plan->counts.copied;
    return true;
  }
  if (ec) {
    log().debug(function, -1, "path [%s] stat failed", to.c_str());
    return false;
  }
  // A file named by the caller is made again even when it looks the same:
  // the rule cannot see an edit that kept the size and put the time back.
  bool same = !(named && !S_ISDIR(saved.st_mode)) && same_entry(from, saved, to, live);
  if (S_ISREG(saved.st_mode) && saved.st_nlink > 1) {
    plan->linked[{saved.st_dev, saved.st_ino}].push_back({rel, same ? live.st_ino : 0});
  }
  if (same && !S_ISDIR(saved.st_mode)) {
    ++plan->counts.unchanged;
    return true;
  }
  if (!same) {
    // A directory whose own metadata differs is made again whole.
    plan->remove.push_back(rel);
    plan->copy.push_back(rel);
    ++plan->counts.replaced;
    return true;
  }
  std::vector<std::string> in_version, in_live;
  if (list_directory(from, &in_version)) {
    log().debug(function, -1, "dir [%s] list failed", from.c_str());
    return false;
  }
  if (list_directory(to, &in_live)) {
    log().debug(function, -1, "dir [%s] list failed", to.c_str());
    return false;
  }
  for (const std::string& name : in_version) {
    if (!plan_merge(function, version_dir, live_root, rel + "/" + name, remove_extra, plan)) {
      return false;
    }
  }
  std::set<std::string> known(in_version.begin(), in_version.end());
  for (const std::string& name : in_live) {
    if (known.count(name) == 0) plan_extra(rel + "/" + name, remove_extra, plan);
  }
  return true;
}

}  // namespace ktsm_internal
