// The two record classes: construction, pools, look-ups and the snapshot-state
// attribute in its 16-byte form.
#include <sys/uio.h>

#include <cstring>

#include "internal.h"

using ktfs::kNoAio;
using ktsm_internal::io;
using ktsm_internal::log;
using ktsm_internal::mutex_guard;

typedef ktsm_filegroup_version_set vs;

namespace {

// The snapshot state is stored as exactly this many bytes: the text, then
// zero bytes.
const size_t kStateBytes = 16;

}  // namespace

ktsm_filegroup_version::ktsm_filegroup_version() : m_production_version(false) {
  pthread_mutex_init(&m_version_lock, nullptr);
}

ktsm_filegroup_version::~ktsm_filegroup_version() {
  // Released in this order: the owning set, then the older version (whose
  // release may nest further releases into the pools).
  m_fg_versionset.reset();
  m_older_version.reset();
}

boost::shared_ptr<ktsm_filegroup_version> ktsm_filegroup_version::allocate() {
  return m_mempool.make_shared();
}

std::string ktsm_filegroup_version::version_path() const {
  if (m_production_version) return m_name;
  if (!m_fg_versionset) return std::string();
  return ktsm_internal::snapshot_path(m_fg_versionset->get_name(), m_name);
}

ktsm_filegroup_version_set::ktsm_filegroup_version_set() {
  pthread_mutex_init(&m_set_lock, nullptr);
}

ktsm_filegroup_version_set::~ktsm_filegroup_version_set() = default;

vs::set_ptr ktsm_filegroup_version_set::allocate() { return m_mempool.make_shared(); }

std::error_code ktsm_internal::write_state(const std::string& path, const std::string& state) {
  char buffer[kStateBytes];
  std::memset(buffer, 0, sizeof buffer);
  std::memcpy(buffer, state.data(), std::min(state.size(), sizeof buffer));
  struct iovec iov = {buffer, sizeof buffer};
  return vs::api_instance.setxattr(io(), path.c_str(), vs::SNAP_STATE_NAME.c_str(), &iov, 0,
                                   kNoAio);
}

int64_t ktsm_internal::attr_source::get(const char* name, struct iovec* iov) const {
  if (dir) return vs::api_instance.getxattrat(dir, entry.c_str(), name, iov, kNoAio);
  return vs::api_instance.getxattr(io(), path.c_str(), name, iov, kNoAio);
}

int64_t ktsm_internal::read_state(const attr_source& from, std::string* state) {
  char buffer[kStateBytes];
  std::memset(buffer, 0, sizeof buffer);
  struct iovec iov = {buffer, sizeof buffer};
  int64_t rc = from.get(vs::SNAP_STATE_NAME.c_str(), &iov);
  // The text before the first zero byte, never more than the buffer.
  state->assign(buffer, strnlen(buffer, sizeof buffer));
  return rc;
}

int32_t ktsm_filegroup_version_set::get_version_internal(const std::string& name,
                                                         version_ptr& version) {
  version.reset();
  for (const version_ptr& v : m_filegroup_versions) {
    if (v->has_name(name)) {
      version = v;
      log().debug(ktsm_internal::FN_GET_VERSION, -1, "got file group version [%s] ", name.c_str());
      break;
    }
  }
  return 0;
}

int32_t ktsm_filegroup_version_set::get_next_version_internal(const std::string& name,
                                                              version_ptr& version) {
  version.reset();
  for (auto it = m_filegroup_versions.begin(); it != m_filegroup_versions.end(); ++it) {
    if ((*it)->has_name(name)) {
      if (++it != m_filegroup_versions.end()) version = *it;
      break;
    }
  }
  return 0;
}

int32_t ktsm_filegroup_version_set::get_version(const std::string& name, version_ptr& version) {
  mutex_guard guard(m_set_lock);
  return get_version_internal(name, version);
}

int32_t ktsm_filegroup_version_set::get_next_version(const std::string& name,
                                                     version_ptr& version) {
  mutex_guard guard(m_set_lock);
  return get_next_version_internal(name, version);
}
