// Holds on snapshot versions, kept on the volume so that every host sees
// them, and the look at a group's lock without waiting for it.
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

#include "internal.h"

using ktfs::kNoAio;
using ktsm_internal::FN_GET_ALL_HOLDS;
using ktsm_internal::FN_GET_HOLDS;
using ktsm_internal::FN_HOLD;
using ktsm_internal::FN_IS_LOCKED;
using ktsm_internal::FN_RELEASE;
using ktsm_internal::io;
using ktsm_internal::log;
using ktsm_internal::mutex_guard;

typedef ktsm_filegroup_version_set vs;

namespace {

const size_t kMaxTagBytes = 64;
const size_t kMaxTags = 32;
// Room for kMaxTags tags of kMaxTagBytes and their newlines.
const size_t kHoldBuffer = 4096;

// A version's name and an entry of the listing, in types of this file's
// own, so that the containers' code is this library's alone: an
// instantiation that other libraries also make would be exported, theirs
// would be bound to this library's, and this library would then stay
// loaded as long as they do.
struct known_name {
  std::string name;
  bool operator<(const known_name& other) const { return name < other.name; }
};
struct listed_version {
  std::string name;
  unsigned char type;
};

}  // namespace

bool vs::valid_hold_tag(const std::string& tag) {
  if (tag.empty() || tag.size() > kMaxTagBytes) return false;
  return std::none_of(tag.begin(), tag.end(), [](char c) {
    unsigned char b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7f;
  });
}

namespace ktsm_internal {

std::error_code read_holds(const attr_source& from, std::vector<std::string>* tags) {
  tags->clear();
  std::vector<char> buffer(kHoldBuffer, '\0');
  struct iovec iov = {buffer.data(), buffer.size()};
  int64_t n = from.get(vs::SNAP_HOLD_NAME.c_str(), &iov);
  if (n < 0) {
    if (errno == ENODATA) return {};
    return std::error_code(errno != 0 ? errno : EIO, std::system_category());
  }
  std::string text(buffer.data(), static_cast<size_t>(n));
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) tags->push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return {};
}

std::error_code write_holds(const std::string& path, const std::vector<std::string>& tags) {
  // Never an empty value: not every volume keeps one.
  std::string text = tags.empty() ? "\n" : "";
  for (const std::string& tag : tags) text += tag + "\n";
  struct iovec iov = {&text[0], text.size()};
  return vs::api_instance.setxattr(io(), path.c_str(), vs::SNAP_HOLD_NAME.c_str(), &iov, 0, kNoAio);
}

std::string join_holds(const std::vector<std::string>& tags) {
  std::string text;
  for (const std::string& tag : tags) text += (text.empty() ? "" : ", ") + tag;
  return text;
}

}  // namespace ktsm_internal

namespace {

// The work shared by hold and release: the checks, the lock, the holds read
// under it, the change (false: refused after its message), the write.
template <typename change_fn>
int32_t change_holds(const vs::version_ptr& version, const std::string& set_name,
                     const char* function, const std::string& name, const std::string& tag,
                     change_fn change) {
  ktfs::ktfs_debug& logger = log();
  const char* n = name.c_str();
  if (!vs::valid_hold_tag(tag)) {
    logger.debug(function, -1, "hold tag [%s] invalid", tag.c_str());
    return 1;
  }
  if (!version) return 1;
  std::string path = ktsm_internal::snapshot_path(set_name, name);
  ktsm_internal::group_lock lock;
  // A hold written while a brick of a distributed volume is down would
  // be lost when it comes back (see lock_version in export.cc): the volume
  // is asked before the write and after it.
  if (!ktsm_internal::real_directories(function, set_name, path) ||
      !ktsm_internal::take_group_lock(function, set_name, &lock) ||
      !ktsm_internal::whole_volume(function, set_name)) {
    return 1;
  }
  std::vector<std::string> tags;
  if (ktsm_internal::read_holds(path, &tags)) {
    logger.debug(function, -1, "file group [%s] getxattr failed", n);
    return 1;
  }
  const std::vector<std::string> before = tags;
  bool write = false;
  if (!change(&tags, &write)) return 1;
  if (!write) return 0;
  bool changed = ktsm_internal::write_on_every_brick(
      function, set_name,
      [&] {
        if (!ktsm_internal::write_holds(path, tags)) return true;
        logger.debug(function, -1, "file group [%s] setxattr failed", n);
        return false;
      },
      [&] { ktsm_internal::write_holds(path, before); });
  return changed ? 0 : 1;
}

// The holds of the versions of the set set_name (versions, its list) that
// its ".snaps" lists; 1 after one message.
int32_t read_all_holds(const std::string& set_name, const std::list<vs::version_ptr>& versions,
                       std::map<std::string, std::vector<std::string>>& holds) {
  ktfs::ktfs_debug& logger = log();
  std::vector<known_name> registered;
  for (const vs::version_ptr& v : versions) {
    if (!v->is_production_version()) registered.push_back({v->get_name()});
  }
  std::sort(registered.begin(), registered.end());
  if (!ktsm_internal::real_directories(FN_GET_ALL_HOLDS, set_name, "")) return 1;
  std::string snaps = ktsm_internal::snaps_dir(set_name);
  ktfs::file_ptr dir = vs::api_instance.opendir(io(), snaps.c_str(), kNoAio);
  if (!dir) {
    logger.debug(FN_GET_ALL_HOLDS, -1, "snap dir [%s] open failed", snaps.c_str());
    return 1;
  }
  // Only directories are read: a link or a file in a version's place has
  // no holds to show (get_holds names what it is).  An entry whose type the
  // listing does not give is read by its path.
  std::vector<listed_version> listed;
  errno = 0;
  while (struct dirent* entry = vs::api_instance.readdir(dir, kNoAio)) {
    known_name name{entry->d_name};
    if ((entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) &&
        std::binary_search(registered.begin(), registered.end(), name)) {
      listed.push_back({name.name, entry->d_type});
    }
  }
  if (errno != 0) {  // a listing cut short would hide holds
    logger.debug(FN_GET_ALL_HOLDS, -1, "snap dir [%s] read failed", snaps.c_str());
    return 1;
  }
  for (const auto& [name, type] : listed) {
    ktsm_internal::attr_source from = ktsm_internal::attr_source::listed(snaps, dir, name, type);
    // emplace, not operator[]: its piecewise construction brings a unique
    // symbol that would keep the library from being unloaded.
    std::vector<std::string>& tags = holds.emplace(name, std::vector<std::string>()).first->second;
    if (ktsm_internal::read_holds(from, &tags)) {
      logger.debug(FN_GET_ALL_HOLDS, -1, "file group [%s] getxattr failed", name.c_str());
      return 1;
    }
  }
  if (vs::api_instance.closedir(dir, kNoAio)) {
    logger.debug(FN_GET_ALL_HOLDS, -1, "snap dir [%s] close failed", snaps.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int32_t ktsm_filegroup_version_set::hold_version_internal(const std::string& name,
                                                          const std::string& tag) {
  return change_holds(find_snapshot_version(name, FN_HOLD), m_name, FN_HOLD, name, tag,
                      [&](std::vector<std::string>* tags, bool* write) {
                        if (std::find(tags->begin(), tags->end(), tag) != tags->end()) return true;
                        if (tags->size() >= kMaxTags) {
                          log().debug(FN_HOLD, -1, "file group version [%s] has %zu holds already",
                                      name.c_str(), tags->size());
                          return false;
                        }
                        tags->push_back(tag);
                        *write = true;
                        return true;
                      });
}

int32_t ktsm_filegroup_version_set::release_version_internal(const std::string& name,
                                                             const std::string& tag) {
  return change_holds(find_snapshot_version(name, FN_RELEASE), m_name, FN_RELEASE, name, tag,
                      [&](std::vector<std::string>* tags, bool* write) {
                        auto it = std::find(tags->begin(), tags->end(), tag);
                        if (it == tags->end()) {
                          log().debug(FN_RELEASE, -1, "file group version [%s] has no hold [%s]",
                                      name.c_str(), tag.c_str());
                          return false;
                        }
                        tags->erase(it);
                        *write = true;
                        return true;
                      });
}

int32_t ktsm_filegroup_version_set::get_all_holds_internal(
    std::map<std::string, std::vector<std::string>>& holds) {
  holds.clear();
  int32_t status = read_all_holds(m_name, m_filegroup_versions, holds);
  if (status != 0) holds.clear();  // never a part of the picture
  return status;
}

int32_t ktsm_filegroup_version_set::get_holds_internal(const std::string& name,
                                                       std::vector<std::string>& tags) {
  tags.clear();
  if (!find_snapshot_version(name, FN_GET_HOLDS)) return 1;
  std::string path = ktsm_internal::snapshot_path(m_name, name);
  if (!ktsm_internal::real_directories(FN_GET_HOLDS, m_name, path)) return 1;
  if (ktsm_internal::read_holds(path, &tags)) {
    log().debug(FN_GET_HOLDS, -1, "file group [%s] getxattr failed", name.c_str());
    return 1;
  }
  return 0;
}

int32_t ktsm_filegroup_version_set::is_group_locked_internal(bool& locked) {
  locked = false;
  ktsm_internal::group_lock lock;
  std::error_code ec = lock.try_take(m_name);
  if (!ec || ec.value() == ENOENT) return 0;
  if (ec.value() == EAGAIN || ec.value() == EACCES) {
    locked = true;
    return 0;
  }
  log().debug(FN_IS_LOCKED, -1, "file group [%s] lock failed: %s", m_name.c_str(),
              ec.message().c_str());
  return 1;
}

int32_t ktsm_filegroup_version_set::hold_version(const std::string& name, const std::string& tag) {
  mutex_guard guard(m_set_lock);
  return hold_version_internal(name, tag);
}

int32_t ktsm_filegroup_version_set::release_version(const std::string& name,
                                                    const std::string& tag) {
  mutex_guard guard(m_set_lock);
  return release_version_internal(name, tag);
}

int32_t ktsm_filegroup_version_set::get_holds(const std::string& name,
                                              std::vector<std::string>& tags) {
  mutex_guard guard(m_set_lock);
  return get_holds_internal(name, tags);
}

int32_t ktsm_filegroup_version_set::get_all_holds(
    std::map<std::string, std::vector<std::string>>& holds) {
  mutex_guard guard(m_set_lock);
  return get_all_holds_internal(holds);
}

int32_t ktsm_filegroup_version_set::is_group_locked(bool& locked) {
  mutex_guard guard(m_set_lock);
  return is_group_locked_internal(locked);
}
