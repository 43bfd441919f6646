#include "tree.h"

#include <map>
#include <set>
#include <utility>

namespace ktsmctl {

namespace {

const char kUuid[] = "trusted.cloudsync.uuid";
const char kSnaps[] = ".snaps";
const char kDeletedList[] = ".ktsm-deleted-files";

std::error_code read_dir(volume_client& client, const std::string& root, const std::string& rel,
                         bool contents, tree* out, std::string* failed) {
  std::string dir = rel.empty() ? root : root + "/" + rel;
  std::vector<std::pair<std::string, struct stat>> entries;
  if (std::error_code ec = client.list_stats(dir, &entries)) {
    *failed = dir;
    return ec;
  }
  for (const auto& [name, st] : entries) {
    if (rel.empty() && (name == kSnaps || name == kDeletedList)) continue;
    std::string child = rel.empty() ? name : rel + "/" + name;
    std::string path = root + "/" + child;
    tree_entry e;
    e.st = st;
    std::error_code ec;
    if (contents && S_ISLNK(e.st.st_mode)) ec = client.readlink(path, &e.link);
    if (!ec && contents && S_ISREG(e.st.st_mode)) {
      e.has_uuid = client.read_own_attribute(path, kUuid, &e.uuid);
    }
    if (!ec && S_ISDIR(e.st.st_mode)) ec = read_dir(client, root, child, contents, out, failed);
    if (ec) {
      if (failed->empty()) *failed = path;
      return ec;
    }
    out->emplace(child, std::move(e));
  }
  return {};
}

std::string shown(const std::string& path, const tree_entry& e) {
  return S_ISDIR(e.st.st_mode) ? path + "/" : path;
}

bool same_time(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether a and b, of one kind, differ (see compare_trees).
std::error_code differs(volume_client& client, const std::string& path_a, const tree_entry& a,
                        const std::string& path_b, const tree_entry& b, bool* changed) {
  *changed = false;
  switch (a.st.st_mode & S_IFMT) {
    case S_IFREG: {
      if (a.has_uuid && b.has_uuid) {
        *changed = a.uuid != b.uuid;
      } else if (a.st.st_size != b.st.st_size) {
        *changed = true;
      } else if (!same_time(a.st.st_mtim, b.st.st_mtim)) {
        bool same = false;
        if (std::error_code ec = client.same_bytes(path_a, path_b, &same)) return ec;
        *changed = !same;
      }
      return {};
    }
    case S_IFLNK:
      *changed = a.link != b.link;
      return {};
    case S_IFCHR:
    case S_IFBLK:
      *changed = a.st.st_rdev != b.st.st_rdev;
      return {};
    default:
      return {};
  }
}

}  // namespace

std::error_code read_tree(volume_client& client, const std::string& root, tree* out,
                          std::string* failed, bool contents) {
  failed->clear();
  return read_dir(client, root, "", contents, out, failed);
}

std::error_code compare_trees(volume_client& client, const std::string& root_a, const tree& a,
                              const std::string& root_b, const tree& b, tree_diff* out,
                              std::string* failed) {
  for (const auto& [path, entry] : a) {
    auto other = b.find(path);
    if (other == b.end()) {
      out->removed.push_back(shown(path, entry));
      continue;
    }
    const tree_entry& then = other->second;
    bool changed = (entry.st.st_mode & S_IFMT) != (then.st.st_mode & S_IFMT);
    if (!changed) {
      std::string path_a = root_a + "/" + path, path_b = root_b + "/" + path;
      if (std::error_code ec = differs(client, path_a, entry, path_b, then, &changed)) {
        *failed = path_a + " or " + path_b;
        return ec;
      }
    }
    if (changed) out->changed.push_back(shown(path, then));
  }
  for (const auto& [path, entry] : b) {
    if (a.count(path) == 0) out->added.push_back(shown(path, entry));
  }
  return {};
}

uint64_t tree_bytes(const tree& t) {
  std::set<std::pair<dev_t, ino_t>> counted;
  uint64_t bytes = 0;
  for (const auto& [path, e] : t) {
    if (!S_ISREG(e.st.st_mode)) continue;
    if (e.st.st_nlink > 1 && !counted.insert({e.st.st_dev, e.st.st_ino}).second) continue;
    bytes += static_cast<uint64_t>(e.st.st_size);
  }
  return bytes;
}

uint64_t tree_frees(const tree& t) {
  // Per shared file: its names seen here, its links and its size.
  std::map<std::pair<dev_t, ino_t>, std::pair<nlink_t, const struct stat*>> shared;
  uint64_t bytes = 0;
  for (const auto& [path, e] : t) {
    if (!S_ISREG(e.st.st_mode)) continue;
    if (e.st.st_nlink <= 1) {
      bytes += static_cast<uint64_t>(e.st.st_size);
      continue;
    }
    auto& seen = shared[{e.st.st_dev, e.st.st_ino}];
    ++seen.first;
    seen.second = &e.st;
  }
  for (const auto& [key, seen] : shared) {
    if (seen.first >= seen.second->st_nlink) bytes += static_cast<uint64_t>(seen.second->st_size);
  }
  return bytes;
}

}  // namespace ktsmctl
