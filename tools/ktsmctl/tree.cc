#include "tree.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "ktfssnapcore/ktfssnapcore.h"

namespace ktsmctl {

namespace {

const char kUuid[] = "trusted.cloudsync.uuid";
const char kSnaps[] = ".snaps";

std::error_code read_dir(volume_client& client, const std::string& root, const std::string& rel,
                         bool contents, tree* out, std::string* failed) {
  std::string dir = rel.empty() ? root : root + "/" + rel;
  std::vector<std::pair<std::string, struct stat>> entries;
  if (std::error_code ec = client.list_stats(dir, &entries)) {
    *failed = dir;
    return ec;
  }
  bool has_snaps = rel.empty() && std::any_of(entries.begin(), entries.end(),
                                              [](const auto& e) { return e.first == kSnaps; });
  for (const auto& [name, st] : entries) {
    if (rel.empty() && ktfssnapcore::ktfssnaputils::own_top_entry(name, has_snaps)) continue;
    std::string child = rel.empty() ? name : rel + "/" + name;
    std::string path = root + "/" + child;
    tree_entry e;
    e.st = st;
    std::error_code ec;
    if (contents && S_ISLNK(e.st.st_mode)) ec = client.readlink(path, &e.link);
    if (!ec && contents) ec = client.own_attributes(path, &e.attrs);
    if (!ec && contents && S_ISREG(e.st.st_mode)) {
      auto uuid = e.attrs.find(kUuid);
      e.has_uuid = uuid != e.attrs.end();
      if (e.has_uuid) e.uuid = uuid->second;
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
                        const std::string& path_b, const tree_entry& b, bool checksum,
                        bool* changed) {
  *changed = false;
  switch (a.st.st_mode & S_IFMT) {
    case S_IFREG: {
      if (a.has_uuid && b.has_uuid && !checksum) {
        *changed = a.uuid != b.uuid;
      } else if (a.st.st_size != b.st.st_size) {
        *changed = true;
      } else if (checksum || !same_time(a.st.st_mtim, b.st.st_mtim)) {
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

// Which other paths of t are the same file as each path with more than
// one link: path -> its fellow names, sorted.
std::map<std::string, std::vector<std::string>> fellow_names(const tree& t) {
  std::map<std::pair<dev_t, ino_t>, std::vector<std::string>> by_inode;
  for (const auto& [path, e] : t) {
    if (!S_ISDIR(e.st.st_mode) && e.st.st_nlink > 1)
      by_inode[{e.st.st_dev, e.st.st_ino}].push_back(path);
  }
  std::map<std::string, std::vector<std::string>> fellows;
  for (const auto& [inode, names] : by_inode) {
    for (const std::string& name : names) {
      for (const std::string& other : names) {
        if (other != name) fellows[name].push_back(other);
      }
    }
  }
  return fellows;
}

// What of the metadata differs between a and b, of one kind and content.
std::vector<std::string> metadata_differences(const tree_entry& a, const tree_entry& b,
                                              const std::vector<std::string>& fellows_a,
                                              const std::vector<std::string>& fellows_b) {
  std::vector<std::string> what;
  if ((a.st.st_mode & 07777) != (b.st.st_mode & 07777)) what.push_back("mode");
  if (a.st.st_uid != b.st.st_uid || a.st.st_gid != b.st.st_gid) what.push_back("owner");
  if (!S_ISDIR(a.st.st_mode) && !same_time(a.st.st_mtim, b.st.st_mtim)) what.push_back("times");
  if (a.attrs != b.attrs) what.push_back("attributes");
  if (fellows_a != fellows_b) what.push_back("hard links");
  return what;
}

const std::vector<std::string>& fellows_of(
    const std::map<std::string, std::vector<std::string>>& fellows, const std::string& path) {
  static const std::vector<std::string> kNone;
  auto found = fellows.find(path);
  return found == fellows.end() ? kNone : found->second;
}

}  // namespace

std::error_code read_tree(volume_client& client, const std::string& root, tree* out,
                          std::string* failed, bool contents) {
  failed->clear();
  return read_dir(client, root, "", contents, out, failed);
}

std::error_code compare_trees(volume_client& client, const std::string& root_a, const tree& a,
                              const std::string& root_b, const tree& b, tree_diff* out,
                              std::string* failed, bool checksum) {
  const auto fellows_a = fellow_names(a), fellows_b = fellow_names(b);
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
      if (std::error_code ec = differs(client, path_a, entry, path_b, then, checksum, &changed)) {
        *failed = path_a + " or " + path_b;
        return ec;
      }
    }
    if (changed) {
      out->changed.push_back(shown(path, then));
      continue;
    }
    std::vector<std::string> what =
        metadata_differences(entry, then, fellows_of(fellows_a, path), fellows_of(fellows_b, path));
    if (!what.empty()) out->metadata.push_back({shown(path, then), what});
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
