// Questions on files within a version, and the carrying-over of deleted-file
// lists.
#include <fcntl.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "internal.h"
#include "ktfssnapcore/ktfssnapcore.h"

using ktfs::kNoAio;
using ktsm_internal::access;
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

// Reads the uuid attribute of path into *value; false (after the failure
// message) when it cannot be read.  A value filling the whole buffer is
// taken over its full length, never read past the buffer.
bool read_uuid(const std::string& path, bool reachable, std::string* value) {
  char buffer[kUuidBytes];
  std::memset(buffer, 0, sizeof buffer);
  struct iovec iov = {buffer, sizeof buffer};
  if (!reachable ||
      vs::api_instance.lgetxattr(io(), path.c_str(), kUuidAttribute, &iov, kNoAio) == -1) {
    log().debug(FN_IS_FILE_NEEDED, -1, "file name  [%s] getattr uuid failed", path.c_str());
    return false;
  }
  value->assign(buffer, strnlen(buffer, sizeof buffer));
  return true;
}

// Whether the version's group, ".snaps" and directory are real directories,
// none a symbolic link (after one message when not).  An unreachable
// version passes: its read fails with its own message.
bool real_version_directories(const ktsm_filegroup_version& v, bool reachable) {
  if (!reachable) return true;
  if (v.is_production_version()) {
    return ktsm_internal::real_directories(FN_IS_FILE_NEEDED, v.get_name(), "");
  }
  return ktsm_internal::real_directories(FN_IS_FILE_NEEDED, v.get_fg_versionset()->get_name(),
                                         access::version_path(v));
}

}  // namespace

bool ktsm_filegroup_version::is_file_needed(const std::string& file_name) {
  // Read once: set_previous_version may replace the link meanwhile.
  boost::shared_ptr<ktsm_filegroup_version> older = boost::atomic_load(&m_older_version);
  if (!older) {
    log().debug(FN_IS_FILE_NEEDED, 1, "No previous version - file not needed");
    return false;
  }
  bool reachable = false;
  std::string value_a, value_b;
  std::string path_a = reachable_path(*this, &reachable) + "/" + file_name;
  if (!real_version_directories(*this, reachable) || !read_uuid(path_a, reachable, &value_a)) {
    return false;
  }
  std::string path_b = reachable_path(*older, &reachable) + "/" + file_name;
  if (!real_version_directories(*older, reachable) || !read_uuid(path_b, reachable, &value_b)) {
    return false;
  }
  return value_a == value_b;
}

std::error_code ktsm_filegroup_version::update_meta_data_file(std::string source_path) {
  bool reachable = false;
  std::string target =
      reachable_path(*this, &reachable) + ktfssnapcore::ktfssnaputils::sdelfilelist;
  ktfs::ktfs_debug& logger = log();
  mutex_guard guard(m_version_lock);
  logger.debug(FN_UPDATE_META, -1,
               "Update metadata file for fgver [%s] from file [%s] to file [%s]", m_name.c_str(),
               source_path.c_str(), target.c_str());
  // A snapshot version without its set has no directory to append to.
  ktfs::file_ptr handle;
  if (reachable) handle = vs::api_instance.open(io(), target.c_str(), O_WRONLY, kNoAio);
  std::error_code ec;
  if (!reachable) {
    ec = std::error_code(EINVAL, std::system_category());
  } else if (!handle) {
    // Nothing to append to: report the open's error, append and close nothing.
    ec = std::error_code(errno != 0 ? errno : EIO, std::system_category());
  } else {
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
