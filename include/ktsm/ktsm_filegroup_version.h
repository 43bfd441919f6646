// ktsm_filegroup_version: one version of a file group.
//
// A version is either the production version, which stands for the live
// file group itself, or one snapshot directory under the group's ".snaps".
// Records are made only by allocate() and held only through
// boost::shared_ptr handles; a record lives as long as any handle to it.
//
// See ktsm_filegroup_version_set.h for the naming rule that relates a
// version's name to its directory.
#ifndef KTSM_KTSM_FILEGROUP_VERSION_H_
#define KTSM_KTSM_FILEGROUP_VERSION_H_

#include <pthread.h>

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>
#include <system_error>

#include "ktsm/ktfs_mem.h"
#include "ktsm/ktsm_export.h"
#include "ktsm/thread_annotations.h"

class ktsm_filegroup_version_set;
namespace ktsm_internal {
struct access;
}

class ktsm_filegroup_version {
 public:
  // When a snapshot version was made (nanoseconds since the epoch) and its
  // place among its set's versions (1 for the first).  Written on the volume
  // with the version's first state and never changed.  A version made
  // without the record (before the library kept it, or by another program)
  // carries its directory's modification time and sequence 0.
  struct creation_record {
    int64_t time_ns = 0;
    uint64_t sequence = 0;
  };

  ktsm_filegroup_version();
  ~ktsm_filegroup_version();
  ktsm_filegroup_version(const ktsm_filegroup_version&) = delete;
  ktsm_filegroup_version& operator=(const ktsm_filegroup_version&) = delete;

  // Read access for hosts (no lock: a version's fields change only under
  // its set's lock, so read them while no operation on the set runs, or
  // through a handle from a look-up made after it).
  std::string get_name() const { return m_name; }
  // The snapshot state as text ("1" to "12", or whatever the volume held at
  // start-up); empty for the production version.
  std::string get_state() const { return m_state; }
  bool is_production_version() const { return m_production_version; }
  // The version before this one in its set's list (the production version
  // for the oldest snapshot): linked at creation and at start-up, and
  // relinked when the version between them is deleted.  Empty for the
  // production version.
  boost::shared_ptr<ktsm_filegroup_version> get_older_version() const {
    return boost::atomic_load(&m_older_version);
  }
  creation_record get_creation() const { return m_creation; }
  // The set that owns the version, where its creator recorded it.
  boost::shared_ptr<ktsm_filegroup_version_set> get_fg_versionset() const {
    return m_fg_versionset;
  }

  // Whether the file file_name is the same file in this version and in its
  // older version: both carry the attribute "trusted.cloudsync.uuid" with
  // equal values, as file_identity reads it.  Answers false when there is no
  // older version (no volume access), and when either read fails or the path
  // is refused (one failure message).  Takes no lock.
  KTSM_API bool is_file_needed(const std::string& file_name);

  // Reads the identity of the file file_name of this version (its directory,
  // or the live group's for the production version) into uuid: the
  // attribute "trusted.cloudsync.uuid" of the entry itself, a symbolic
  // link's own.  file_name must be a valid_entry_path, and every directory
  // on the way a real directory of the version, never a symbolic link, so
  // that nothing outside the version is read or found.  Returns 0, or after
  // one failure message: EINVAL for a refused path or a snapshot version
  // whose set is unknown (no volume access),
  // ENOTDIR when a directory on the way is a link or no directory, ENOENT
  // when the file is missing, ENODATA when it carries no identity, else the
  // read's error.  Takes no lock.
  KTSM_API std::error_code file_identity(const std::string& file_name, std::string& uuid);

  // Appends the records of the deleted-file list at source_path to this
  // version's own list: "VERSION/.snaps/.ktsm-deleted-files" (for the
  // production version, the group's ".snaps"), or "VERSION/.ktsm-deleted-files"
  // in a version taken before the list moved.  Returns the error of finding
  // the list or of the append, 0 on success; the target is
  // closed whether or not the append failed.  Takes the version's own mutex
  // m_version_lock for the whole call.
  // REQUIRES: not called re-entrantly for the same version on one thread.
  KTSM_API std::error_code update_meta_data_file(std::string source_path);

 private:
  // The library's own files and its tests reach what follows through
  // ktsm_internal::access (src/internal.h); none of it takes a lock.
  friend struct ktsm_internal::access;
  friend class ktsm_filegroup_version_set;

  static boost::shared_ptr<ktsm_filegroup_version> allocate();
  // Whether the version is named name (look-ups compare without a copy).
  bool has_name(const std::string& name) const { return m_name == name; }
  void set_name(const std::string& name) { m_name = name; }
  void set_state(const std::string& state) { m_state = state; }
  void set_creation(const creation_record& record) { m_creation = record; }
  // The link is written and read atomically: is_file_needed reads it
  // without a lock.
  void set_older_version(boost::shared_ptr<ktsm_filegroup_version>& older) {
    boost::atomic_store(&m_older_version, older);
  }
  void reset_older_version() {
    boost::atomic_store(&m_older_version, boost::shared_ptr<ktsm_filegroup_version>());
  }
  void set_fg_versionset(boost::shared_ptr<ktsm_filegroup_version_set> set) {
    m_fg_versionset = set;
  }
  void set_production_version() { m_production_version = true; }

  // The version's directory under the naming rule: the set's name for the
  // production version, else the set's name + "/.snaps/" + the version's
  // name.  Empty when the owning-set link is empty for a snapshot version.
  std::string version_path() const;

  static ktfs::ktfs_mem::mempool<ktsm_filegroup_version> m_mempool;

  std::string m_name;
  std::string m_state;
  boost::shared_ptr<ktsm_filegroup_version> m_older_version;
  boost::shared_ptr<ktsm_filegroup_version_set> m_fg_versionset;
  ktsm_mutex m_version_lock;
  creation_record m_creation;
  bool m_production_version;
};

#endif  // KTSM_KTSM_FILEGROUP_VERSION_H_
