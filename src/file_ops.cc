// Questions on files within a version, and the carrying-over of deleted-file
// lists.
#include <fcntl.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "internal.h"
#include "ktfssnapcore/ktfssnapcore.h"

using ktfs::kNoAio;
using ktsm_internal::access;
using ktsm_internal::FN_FILE_IDENTITY;
using ktsm_internal::FN_IS_FILE_NEEDED;
using ktsm_internal::FN_UPDATE_META;
using ktsm_internal::io;
using ktsm_internal::log;
using ktsm_internal::mutex_guard;

typedef ktsm_filegroup_version_set vs;

namespace {

const char kUuidAttribute[] = "trusted.cloudsync.uuid";
const size_t kUuidBytes = 512;

// The directory a version's files are read under.  A snapshot version whose
// owning set is unknown cannot be reached: its path is still formed (with an
// empty set name) so that the failure names what would have been read.
std::string reachable_path(const ktsm_filegroup_version& v, bool* reachable) {
  std::string path = access::version_path(v);
  *reachable = !path.empty() || v.is_production_version();
  if (!*reachable) path = ktsm_internal::snapshot_path("", v.get_name());
  return path;
}

// Reads the uuid attribute of path into *value; its error (after the
// failure message tagged function) when it cannot be read.  A value filling
// the whole buffer is taken over its full length, never read past the
// buffer.
std::error_code read_uuid(const char* function, const std::string& path, bool reachable,
                          std::string* value) {
  char buffer[kUuidBytes];
  std::memset(buffer, 0, sizeof buffer);
  struct iovec iov = {buffer, sizeof buffer};
  std::error_code ec(EINVAL, std::system_category());
  if (reachable &&
      vs::api_instance.lgetxattr(io(), path.c_str(), kUuidAttribute, &iov, kNoAio) != -1) {
    value->assign(buffer, strnlen(buffer, sizeof buffer));
    return {};
  }
  if (reachable) ec = std::error_code(errno != 0 ? errno : EIO, std::system_category());
  log().debug(function, -1, "file name  [%s] getattr uuid failed", path.c_str());
  return ec;
}

// Whether the version's group, ".snaps" and directory are real directories,
// none a symbolic link (after one message when not).  An unreachable
// version passes: its read fails with its own message.
bool real_version_directories(const char* function, const ktsm_filegroup_version& v,
                              bool reachable) {
  if (!reachable) return true;
  if (v.is_production_version()) {
    return ktsm_internal::real_directories(function, v.get_name(), "");
  }
  return ktsm_internal::real_directories(function, v.get_fg_versionset()->get_name(),
                                         access::version_path(v));
}

// The identity of file_name in v, its failures tagged function: the path
// checked before any volume access, the version's own directories, every
// directory on the way inside it, then the entry's own attribute.
std::error_code identity(const char* function, const ktsm_filegroup_version& v,
                         const std::string& file_name, std::string* uuid) {
  if (!vs::valid_entry_path(file_name)) {
    log().debug(function, -1, "file name  [%s] is not a path inside the version",
                file_name.c_str());
    return std::error_code(EINVAL, std::system_category());
  }
  bool reachable = false;
  std::string root = reachable_path(v, &reachable);
  if (!real_version_directories(function, v, reachable)) {
    return std::error_code(ENOTDIR, std::system_category());
  }
  std::string failed_at;
  std::error_code ec;
  if (reachable) ec = ktsm_internal::look_inside(root, file_name, nullptr, &failed_at);
  if (ec.value() == ENOTDIR) {
    log().debug(function, -1, "path [%s] is not a directory", failed_at.c_str());
    return ec;
  }
  // A directory on the way that is missing or cannot be read fails the
  // read of the file, as the read itself would.
  if (ec) {
    log().debug(function, -1, "file name  [%s] getattr uuid failed",
                (root + "/" + file_name).c_str());
    return ec;
  }
  return read_uuid(function, root + "/" + file_name, reachable, uuid);
}

}  // namespace

bool vs::valid_entry_path(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.back() == '/') return false;
  for (size_t start = 0; start < path.size();) {
    size_t end = std::min(path.find('/', start), path.size());
    std::string part = path.substr(start, end - start);
    if (!ktsm_internal::plain_component(part)) return false;
    // The group's own entries at its top are no files of a version.
    if (start == 0 && part == ".snaps") return false;
    start = end + 1;
  }
  return true;
}

std::error_code ktsm_internal::look_inside(const std::string& root, const std::string& path,
                                           struct stat* st, std::string* failed_at) {
  for (size_t slash = path.find('/');; slash = path.find('/', slash + 1)) {
    bool last = slash == std::string::npos;
    if (last && st == nullptr) return {};
    *failed_at = root + "/" + path.substr(0, last ? path.size() : slash);
    struct stat here;
    std::memset(&here, 0, sizeof here);
    std::error_code ec = vs::api_instance.lstat(io(), failed_at->c_str(), &here, kNoAio);
    if (ec) return ec;
    if (last) {
      *st = here;
      return {};
    }
    if (!S_ISDIR(here.st_mode)) return std::error_code(ENOTDIR, std::system_category());
  }
}

std::error_code ktsm_filegroup_version::file_identity(const std::string& file_name,
                                                      std::string& uuid) {
  uuid.clear();
  return identity(FN_FILE_IDENTITY, *this, file_name, &uuid);
}

bool ktsm_filegroup_version::is_file_needed(const std::string& file_name) {
  // Read once: set_previous_version may replace the link meanwhile.
  boost::shared_ptr<ktsm_filegroup_version> older = boost::atomic_load(&m_older_version);
  if (!older) {
    log().debug(FN_IS_FILE_NEEDED, 1, "No previous version - file not needed");
    return false;
  }
  std::string value_a, value_b;
  if (identity(FN_IS_FILE_NEEDED, *this, file_name, &value_a) ||
      identity(FN_IS_FILE_NEEDED, *older, file_name, &value_b)) {
    return false;
  }
  return value_a == value_b;
}

std::error_code ktsm_filegroup_version::update_meta_data_file(std::string source_path) {
  bool reachable = false;
  std::string dir = reachable_path(*this, &reachable);
  std::string target = dir + ktfssnapcore::ktfssnaputils::sdelfilelist;
  ktfs::ktfs_debug& logger = log();
  mutex_guard guard(m_version_lock);
  // A snapshot version without its set has no directory to append to.
  std::error_code ec =
      reachable ? ktfssnapcore::ktfssnaputils::delfilelist_of(&vs::api_instance, io(), dir, &target)
                : std::error_code(EINVAL, std::system_category());
  logger.debug(FN_UPDATE_META, -1,
               "Update metadata file for fgver [%s] from file [%s] to file [%s]", m_name.c_str(),
               source_path.c_str(), target.c_str());
  ktfs::file_ptr handle;
  if (!ec) {
    handle = vs::api_instance.open(io(), target.c_str(), O_WRONLY, kNoAio);
    // Nothing to append to: report the open's error, append and close nothing.
    if (!handle) ec = std::error_code(errno != 0 ? errno : EIO, std::system_category());
  }
  if (handle) {
    // The records go after those already there.  A size that cannot be read
    // fails the append: taken as 0, the write would cover the list's own
    // records.
    struct stat st;
    ec = handle->impl().fstat(&st);
    if (!ec) {
      ec = ktfssnapcore::ktfssnaputils::fileappend(&vs::api_instance, io(), source_path, handle,
                                                   static_cast<unsigned long>(st.st_size), logger);
    }
  }
  if (ec) {
    logger.error(FN_UPDATE_META,
                 "Failed to append delete filelist records from [%s] to file [%s] with error [%d]",
                 source_path.c_str(), target.c_str(), ec.value());
  }
  if (handle) vs::api_instance.close(handle, kNoAio);
  return ec;
}
