// Export and unexport of a version through the export service's command.
#include <cstring>

#include "internal.h"
#include "ktlib/KtProcess.h"

using ktfs::kNoAio;
using ktsm_internal::access;
using ktsm_internal::FN_EXPORT;
using ktsm_internal::FN_UNEXPORT;
using ktsm_internal::io;
using ktsm_internal::log;
using ktsm_internal::mutex_guard;
using ktsm_internal::read_state;
using ktsm_internal::write_state;

typedef ktsm_filegroup_version_set vs;

namespace {

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
    if (access::has_name(*v, name)) {
      *found = v;
      *path = v->is_production_version() ? set_name : ktsm_internal::snapshot_path(set_name, name);
      return true;
    }
  }
  return false;
}

std::string vs::shell_word(const std::string& word) {
  static const char kPlain[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./+:@,=";
  if (!word.empty() && word.find_first_not_of(kPlain) == std::string::npos) return word;
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string ktsm_internal::export_command(const std::string& volume, const std::string& path) {
  return "storhaug exportdir /" + vs::shell_word(volume) + "/" + vs::shell_word(path);
}

std::string ktsm_internal::unexport_command(const std::string& volume, const std::string& path) {
  return "storhaug unexportdir /" + vs::shell_word(volume) + "/" + vs::shell_word(path);
}

namespace {

// Export is possible from the settled states that are not exported (active,
// unexported) and from every interrupted or failed export or unexport: the
// export command is idempotent, so running it again settles the version as
// exported.  An exported version (and any other state) is refused.
bool export_allowed(const std::string& state) {
  return state == vs::SNAP_STATE_ACTIVE || state == vs::SNAP_STATE_UNEXPORTED ||
         (vs::may_be_exported(state) && state != vs::SNAP_STATE_EXPORTED);
}

// Runs the export service's command line for the version at path, with the
// state in_progress written before it and done after it, each write checked
// by write_on_every_brick (a brick lost meanwhile: the state the write
// replaced goes back, so after the command the version reads in_progress
// everywhere, an unfinished step that doctor names).  When the command
// fails, the state it had before (before) is written back, so that a failed
// command changes nothing.  Returns false after the step's one message.
bool run_export_step(const char* function, const std::string& set_name, const char* name,
                     const std::string& path, const std::string& command, const std::string& before,
                     const std::string& in_progress, const std::string& done) {
  ktfs::ktfs_debug& logger = log();
  auto write = [&](const std::string& state) {
    if (!write_state(path, state)) return true;
    logger.debug(function, -1, "file group [%s] setxattr failed", name);
    return false;
  };
  if (!ktsm_internal::write_on_every_brick(
          function, set_name, [&] { return write(in_progress); },
          [&] { write_state(path, before); })) {
    return false;
  }
  std::string out, err;
  if (KtProcess::system(command.c_str(), &out, &err, ktsm_internal::command_timeout(), false) !=
      0) {
    // A command that failed or ran out of time (its process group killed)
    // changed nothing the library knows of: the state goes back.
    write_state(path, before);
    if (!err.empty()) {
      logger.debug(function, 0, "command [%s] said: %s", command.c_str(), err.c_str());
    }
    if (function == FN_EXPORT) {
      logger.debug(function, -1, "file group [%s] storhaug export dir failed", path.c_str());
    } else {
      logger.debug(function, -1, "file group [%s] storhaug unexport dir failed", path.c_str());
    }
    return false;
  }
  return ktsm_internal::write_on_every_brick(
      function, set_name, [&] { return write(done); }, [&] { write_state(path, in_progress); });
}

// Checks that the version's directories are real ones, takes the group's
// lock, then checks that every brick answers; false after one message.
// A version's state is an attribute of its directory, which a distributed
// volume keeps on every brick: written while one is down, the others take
// it, and once the brick is back, reads may answer from its old copy (a
// version reported exported reads active again, its export block
// orphaned).  So nothing is read or written then, and each write is
// checked again after it (run_export_step).
bool lock_version(const char* function, const std::string& set_name,
                  const ktsm_filegroup_version& version, const std::string& path,
                  ktsm_internal::group_lock* lock) {
  return ktsm_internal::real_directories(function, set_name,
                                         version.is_production_version() ? "" : path) &&
         ktsm_internal::take_group_lock(function, set_name, lock) &&
         ktsm_internal::whole_volume(function, set_name);
}

}  // namespace

int32_t ktsm_filegroup_version_set::export_version_internal(const std::string& version_name) {
  ktfs::ktfs_debug& logger = log();
  const char* n = version_name.c_str();
  version_ptr version;
  std::string path;
  if (!find_version(m_filegroup_versions, m_name, version_name, &version, &path)) {
    logger.debug(FN_EXPORT, -1, "version not found [%s]", n);
    return 1;
  }
  std::string command = ktsm_internal::export_command(live_volume_name(), path);
  ktsm_internal::group_lock lock;
  if (!lock_version(FN_EXPORT, m_name, *version, path, &lock)) return 1;
  // The production version is the live group: exported whatever its state,
  // and back to active when the command fails.
  std::string state = SNAP_STATE_ACTIVE;
  if (!version->is_production_version()) {
    struct stat st;
    std::memset(&st, 0, sizeof st);
    if (api_instance.stat(io(), path.c_str(), &st, kNoAio)) {
      logger.debug(FN_EXPORT, -1, "file group version dir [%s] stat failed", n);
      return 1;
    }
    if (read_state(path, &state) == -1) {
      logger.debug(FN_EXPORT, -1, "file group [%s] setxattr failed", n);
      return 1;
    }
    if (!export_allowed(state)) {
      logger.debug(FN_EXPORT, -1, "version [%s] not failed", state.c_str());
      return 1;
    }
  }
  if (!run_export_step(FN_EXPORT, m_name, n, path, command, state, SNAP_STATE_EXPORT_IN_PROGRESS,
                       SNAP_STATE_EXPORTED)) {
    return 1;
  }
  access::set_state(*version, SNAP_STATE_EXPORTED);
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
  std::string command = ktsm_internal::unexport_command(live_volume_name(), path);
  ktsm_internal::group_lock lock;
  if (!lock_version(FN_UNEXPORT, m_name, *version, path, &lock)) return 1;
  struct stat st;
  std::memset(&st, 0, sizeof st);
  if (api_instance.stat(io(), path.c_str(), &st, kNoAio)) {
    logger.debug(FN_UNEXPORT, -1, "file group version dir [%s] stat failed", n);
    return 1;
  }
  std::string state;
  if (read_state(path, &state) == -1) {
    logger.debug(FN_UNEXPORT, -1, "file group [%s] setxattr failed", n);
    return 1;
  }
  // Exported, or an export or unexport that was interrupted or failed: the
  // export may be in place, and withdrawing it is idempotent.
  if (!may_be_exported(state)) {
    logger.debug(FN_UNEXPORT, -1, "version [%s] not exported", state.c_str());
    return 0;
  }
  if (!run_export_step(FN_UNEXPORT, m_name, n, path, command, state,
                       SNAP_STATE_UNEXPORT_IN_PROGRESS, SNAP_STATE_ACTIVE)) {
    return 1;
  }
  access::set_state(*version, SNAP_STATE_ACTIVE);
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
