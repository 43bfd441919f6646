// The plan of a merge of a version's entries into the live group: which
// live entries go and which of the version's are copied.  It only reads;
// the restore carries it out under the same group lock.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "internal.h"

using ktfs::kNoAio;

namespace ktsm_internal {

namespace {

std::string joined(const std::string& root, const std::string& rel) { return root + "/" + rel; }

}  // namespace

void plan_extra(const std::string& rel, bool remove_extra, merge_plan* plan) {
  if (!remove_extra) {
    ++plan->counts.kept;
    return;
  }
  plan->remove.push_back(rel);
  ++plan->counts.removed;
}

bool plan_merge(const char* function, const std::string& version_dir, const std::string& live_root,
                const std::string& rel, bool remove_extra, merge_plan* plan) {
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
    plan->copy.push_back(rel);
    ++plan->counts.copied;
    return true;
  }
  if (ec) {
    log().debug(function, -1, "path [%s] stat failed", to.c_str());
    return false;
  }
  if (!S_ISDIR(saved.st_mode) || !S_ISDIR(live.st_mode)) {
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
