// Export and unexport of a version through the export service's command.
#include <cstring>

#include "internal.h"
#include "ktlib/KtProcess.h"

using ktsm_internal::FN_EXPORT;
using ktsm_internal::FN_UNEXPORT;
using ktsm_internal::mutex_guard;
using ktsm_internal::no_aio;

typedef ktsm_filegroup_version_set vs;

namespace {

// Quotes text for the POSIX shell when, and only when, it holds a character
// outside the plain set, so a plain name gives exactly the plain command line
// while no name can run another command.
std::string shell_word(const std::string& text) {
  static const char kPlain[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./+:@,=";
  if (!text.empty() && text.find_first_not_of(kPlain) == std::string::npos) return text;
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// The volume name, read under m_lock: init may replace it meanwhile.
std::string live_volume_name() {
  mutex_guard guard(vs::m_lock);
  return vs::m_live_vol_name;
}

}  // namespace

// Finds the first version named name and derives its directory: the set's
// own directory for the production version.
static bool find_version(const std::list<vs::version_ptr>& versions, const std::string& set_name,
                         const std::string& name, vs::version_ptr* found, std::string* path) {
  for (const vs::version_ptr& v : versions) {
    if (v->has_name(name)) {
      *found = v;
      *path = v->is_production_version() ? set_name : ktsm_internal::snapshot_path(set_name, name);
      return true;
    }
  }
  return false;
}

std::string ktsm_internal::export_command(const std::string& volume, const std::string& path) {
  return "storhaug exportdir /" + shell_word(volume) + "/" + shell_word(path);
}

int32_t ktsm_filegroup_version_set::export_version_internal(const std::string& version_name) {
  ktfs::ktfs_debug& logger = log();
  const char* n = version_name.c_str();
  version_ptr version;
  std::string path;
  if (!find_version(m_filegroup_versions, m_name, version_name, &version, &path)) {
    logger.debug(FN_EXPORT, -1, "version not found [%s]", n);
    return 1;
  }
  if (!version->is_production_version()) {
    struct stat st;
    std::memset(&st, 0, sizeof st);
    if (api_instance.stat(io(), path.c_str(), &st, no_aio())) {
      logger.debug(FN_EXPORT, -1, "file group version dir [%s] stat failed", n);
      return 1;
    }
    std::string state;
    if (read_state(path, &state) == -1) {
      logger.debug(FN_EXPORT, -1, "file group [%s] setxattr failed", n);
      return 1;
    }
    if (state != SNAP_STATE_ACTIVE) {
      logger.debug(FN_EXPORT, -1, "version [%s] not failed", state.c_str());
      return 1;
    }
  }
  if (write_state(path, SNAP_STATE_EXPORT_IN_PROGRESS)) {
    logger.debug(FN_EXPORT, -1, "file group [%s] setxattr failed", n);
    return 1;
  }
  std::string command = ktsm_internal::export_command(live_volume_name(), path);
  std::string out, err;
  if (KtProcess::system(command.c_str(), &out, &err, 0, false) != 0) {
    logger.debug(FN_EXPORT, -1, "file group [%s] storhaug export dir failed", path.c_str());
    return 1;
  }
  if (write_state(path, SNAP_STATE_EXPORTED)) {
    logger.debug(FN_EXPORT, -1, "file group [%s] setxattr failed", n);
    return 1;
  }
  version->set_state(SNAP_STATE_EXPORTED);
  return 0;
}

int32_t ktsm_filegroup_version_set::unexport_version_internal(const std::string& version_name) {
  ktfs::ktfs_debug& logger = log();
  const char* n = version_name.c_str();
  version_ptr version;
  std::string path;
  if (!find_version(m_filegroup_versions, m_name, version_name, &version, &path)) {
    logger.debug(FN_UNEXPORT, -1, "version not found [%s]", n);
    return 1;
  }
  struct stat st;
  std::memset(&st, 0, sizeof st);
  if (api_instance.stat(io(), path.c_str(), &st, no_aio())) {
    logger.debug(FN_UNEXPORT, -1, "file group version dir [%s] stat failed", n);
    return 1;
  }
  std::string state;
  if (read_state(path, &state) == -1) {
    logger.debug(FN_UNEXPORT, -1, "file group [%s] setxattr failed", n);
    return 1;
  }
  if (state != SNAP_STATE_EXPORTED) {
    logger.debug(FN_UNEXPORT, -1, "version [%s] not exported", state.c_str());
    return 0;
  }
  if (write_state(path, SNAP_STATE_UNEXPORT_IN_PROGRESS) || write_state(path, SNAP_STATE_ACTIVE)) {
    logger.debug(FN_UNEXPORT, -1, "file group [%s] setxattr failed", n);
    return 1;
  }
  version->set_state(SNAP_STATE_ACTIVE);
  return 0;
}

int32_t ktsm_filegroup_version_set::export_version(const std::string& version_name) {
  mutex_guard guard(m_set_lock);
  return export_version_internal(version_name);
}

int32_t ktsm_filegroup_version_set::unexport_version(const std::string& version_name) {
  mutex_guard guard(m_set_lock);
  return unexport_version_internal(version_name);
}
