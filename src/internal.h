// Helpers shared by the library's source files.
#ifndef KTSM_SRC_INTERNAL_H_
#define KTSM_SRC_INTERNAL_H_

#include <dirent.h>
#include <pthread.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "ktsm/ktsm_filegroup_version.h"
#include "ktsm/ktsm_filegroup_version_set.h"

namespace ktsm_internal {

// Holds a POSIX mutex for a scope, so that no return path, and no exception
// passing through (out of memory), leaves it held.
class SCOPED_LOCKABLE mutex_guard {
 public:
  explicit mutex_guard(ktsm_mutex& mutex) EXCLUSIVE_LOCK_FUNCTION(mutex) : m_mutex(mutex) {
    pthread_mutex_lock(&m_mutex);
  }
  ~mutex_guard() UNLOCK_FUNCTION() { pthread_mutex_unlock(&m_mutex); }
  mutex_guard(const mutex_guard&) = delete;
  mutex_guard& operator=(const mutex_guard&) = delete;

 private:
  ktsm_mutex& m_mutex;
};

// The one way into the records' private members, for the library's own
// files and its tests.  None of the functions takes a lock: the caller holds
// what the record's documentation asks for (a set's m_set_lock for its list
// and its versions' fields, or the record not yet shared).
// The analysis is off for its functions: the lock each needs belongs to
// the record it is given.
struct access {
  typedef ktsm_filegroup_version_set vs;
  typedef ktsm_filegroup_version version;

  // Records from the pools; an empty handle when memory is exhausted.
  static vs::set_ptr allocate_set() { return vs::allocate(); }
  static vs::version_ptr allocate_version() { return version::allocate(); }
  static ktfs::ktfs_mem::mempool<vs>& set_pool() { return vs::m_mempool; }
  static ktfs::ktfs_mem::mempool<version>& version_pool() { return version::m_mempool; }

  static void set_name(vs& set, const std::string& name) { set.set_name(name); }
  static bool has_name(const vs& set, const std::string& name) { return set.has_name(name); }
  static void add_version(vs& set, vs::version_ptr& v) NO_THREAD_SAFETY_ANALYSIS {
    set.add_filegroup_version(v);
  }
  static std::list<vs::version_ptr>& versions(vs& set) NO_THREAD_SAFETY_ANALYSIS {
    return set.m_filegroup_versions;
  }
  static const std::list<vs::version_ptr>& versions(const vs& set) NO_THREAD_SAFETY_ANALYSIS {
    return set.m_filegroup_versions;
  }

  static void set_name(version& v, const std::string& name) { v.set_name(name); }
  static bool has_name(const version& v, const std::string& name) { return v.has_name(name); }
  static void set_state(version& v, const std::string& state) { v.set_state(state); }
  static void set_creation(version& v, const version::creation_record& record) {
    v.set_creation(record);
  }
  static void set_older_version(version& v, vs::version_ptr& older) { v.set_older_version(older); }
  static void reset_older_version(version& v) { v.reset_older_version(); }
  static void set_fg_versionset(version& v, vs::set_ptr set) { v.set_fg_versionset(set); }
  static void set_production_version(version& v) { v.set_production_version(); }
  static std::string version_path(const version& v) { return v.version_path(); }
};

// Fixed interface text.  The function-name strings that tag the library's
// messages, and the messages themselves, are read word for word by hosts
// and log readers: they keep their spelling ("versionset", "getattr",
// double blanks and all) and are never corrected.  Tests compare them
// through these names, never through copies.
inline constexpr const char* FN_INIT = "ktsm_filegroup_versionset_init()";
inline constexpr const char* FN_READ_LIVE_DIRECTORY =
    "ktsm_filegroup_version::read_live_directory()";
inline constexpr const char* FN_RECOVER =
    "ktsm_filegroup_versionset::recover_version_set_internal()";
inline constexpr const char* FN_GET_SET = "ktsm_filegroup_versionset::get_version_set_internal()";
inline constexpr const char* FN_CREATE_SET =
    "ktsm_filegroup_versionset::create_version_set_internal()";
inline constexpr const char* FN_DELETE_SET =
    "ktsm_filegroup_versionset::delete_version_set_internal()";
inline constexpr const char* FN_GET_VERSION = "ktsm_filegroup_versionset::get_version_internal()";
inline constexpr const char* FN_CREATE_VERSION =
    "ktsm_filegroup_versionset::create_version_internal()";
inline constexpr const char* FN_DELETE_VERSION =
    "ktsm_filegroup_versionset::delete_version_internal()";
inline constexpr const char* FN_SET_PREVIOUS =
    "ktsm_filegroup_versionset::set_previous_version_internal()";
inline constexpr const char* FN_EXPORT = "ktsm_filegroup_versionset::export_version_internal()";
inline constexpr const char* FN_UNEXPORT = "ktsm_filegroup_versionset::unexport_version_internal()";
inline constexpr const char* FN_IS_FILE_NEEDED = "ktsm_filegroup_version::is_file_needed()";
inline constexpr const char* FN_UPDATE_META = "ktsm_filegroup_version::update_meta_data_file()";
inline constexpr const char* FN_HOLD = "ktsm_filegroup_versionset::hold_version_internal()";
inline constexpr const char* FN_RELEASE = "ktsm_filegroup_versionset::release_version_internal()";
inline constexpr const char* FN_GET_HOLDS = "ktsm_filegroup_versionset::get_holds_internal()";
inline constexpr const char* FN_GET_ALL_HOLDS =
    "ktsm_filegroup_versionset::get_all_holds_internal()";
inline constexpr const char* FN_RESTORE = "ktsm_filegroup_versionset::restore_version_internal()";
inline constexpr const char* FN_RESTORE_PATHS =
    "ktsm_filegroup_versionset::restore_paths_internal()";
inline constexpr const char* FN_IS_LOCKED = "ktsm_filegroup_versionset::is_group_locked_internal()";
inline constexpr const char* FN_REFRESH = "ktsm_filegroup_versionset::refresh_versions_internal()";
inline constexpr const char* FN_DELETE_BY_PLAN =
    "ktsm_filegroup_versionset::delete_by_plan_internal()";
inline constexpr const char* FN_CREATE_BY_PLAN =
    "ktsm_filegroup_versionset::create_by_plan_internal()";
inline constexpr const char* FN_FILE_IDENTITY = "ktsm_filegroup_version::file_identity()";

// The current logger and I/O handle (safe against a concurrent init).
ktfs::ktfs_debug& log();
ktfs::iopx_ptr io();

// Where a version's attributes are read: by its path, or (with dir set)
// as the entry called entry of the open directory dir that lists it, which
// costs no second resolution of the directory.  The entry form never
// follows a symbolic link, so it is used for directories only.
struct attr_source {
  attr_source(const std::string& p) : path(p) {}  // NOLINT: a path is a source
  attr_source(const std::string& p, ktfs::file_ptr d, const std::string& e)
      : path(p), dir(std::move(d)), entry(e) {}
  // The entry name of the open directory dir (at dir_path), of the type
  // readdir gave: read through dir when it is a directory, else by path.
  static attr_source listed(const std::string& dir_path, const ktfs::file_ptr& dir,
                            const std::string& name, unsigned char type) {
    std::string p = dir_path + "/" + name;
    return type == DT_DIR ? attr_source(p, dir, name) : attr_source(p);
  }
  // The client's result: the value's length, or -1 (errno set).
  int64_t get(const char* name, struct iovec* iov) const;

  std::string path;
  ktfs::file_ptr dir;
  std::string entry;
};

// Writes state into the snapshot-state attribute of path as 16 bytes.
std::error_code write_state(const std::string& path, const std::string& state);
// Reads the snapshot-state attribute into *state; returns the client's
// result (-1 on failure).
int64_t read_state(const attr_source& from, std::string* state);

// Installs a new default-constructed logger as m_logger and returns it.
// Loggers installed earlier stay alive until the library is unloaded.
ktfs::ktfs_debug* install_logger();

// The rebuild of init (recovery.cc), run under m_lock.  Returns false when it
// stopped early (the root cannot be listed, or no set can be allocated), with
// *status set; else *status is 1 when any file group failed to recover.
// Sets that failed to recover are not registered; they are appended to
// *failed, for the caller to empty once m_lock is released (emptying a set
// takes its m_set_lock).
bool rebuild(int32_t* status, std::list<ktsm_filegroup_version_set::set_ptr>* failed)
    EXCLUSIVE_LOCKS_REQUIRED(ktsm_filegroup_version_set::m_lock);

// Recovers the set of the file group name from its ".snaps": the production
// version, then one version per entry in creation order, each linked to the
// one before it.  Returns 1 (after its message) when the group cannot be
// read; the set keeps what was done.  *incomplete is set when a version's
// state could not be read (it is in the set with an empty state).
int32_t recover_set(const std::string& name, ktsm_filegroup_version_set::set_ptr& set,
                    bool* incomplete);

// The first registered set named name, or an empty handle.
// REQUIRES: m_lock held.
ktsm_filegroup_version_set::set_ptr find_set(const std::string& name)
    EXCLUSIVE_LOCKS_REQUIRED(ktsm_filegroup_version_set::m_lock);

// The snapshot directory of a set: name + "/.snaps".
inline std::string snaps_dir(const std::string& set_name) { return set_name + "/.snaps"; }

// The directory of the snapshot version version_name of the set set_name.
inline std::string snapshot_path(const std::string& set_name, const std::string& version_name) {
  return set_name + "/.snaps/" + version_name;
}

// The export command line for the directory path of the volume volume;
// each part is quoted for the shell only when it is not plain.
std::string export_command(const std::string& volume, const std::string& path);
// Its counterpart that withdraws the export.
std::string unexport_command(const std::string& volume, const std::string& path);

// ---- Name rules --------------------------------------------------------

// A version name is one plain path component, so that its directory lies
// inside ".snaps" and nothing else is ever reached through it: not empty,
// not "." or "..", without "/" or zero bytes.
bool plain_component(const std::string& name);

// ---- Creation order ----------------------------------------------------

// When a version was made and its place in its set, written once next to its
// first state and never changed afterwards, so that start-up rebuilds each
// set in creation order whatever order the directory listing gives.  Stored
// in kCreationAttribute as the text "SECONDS.NANOSECONDS SEQUENCE".
extern const char* const kCreationAttribute;

// The record for a new version appended behind versions: now, but later than
// every version already there (so a clock stepping back cannot reorder the
// set), and a sequence one past theirs.
ktsm_filegroup_version::creation_record next_creation(
    const std::list<ktsm_filegroup_version_set::version_ptr>& versions);
std::error_code write_creation(const std::string& path,
                               const ktsm_filegroup_version::creation_record& record);
// Reads the record; false when it is missing or malformed.
bool read_creation(const attr_source& from, ktsm_filegroup_version::creation_record* record);
// Where a version stands: its record, or without one its directory's
// modification time (sequence 0; time 0 when that cannot be read either).
ktsm_filegroup_version::creation_record creation_or_mtime(const attr_source& from);
std::string format_creation(const ktsm_filegroup_version::creation_record& record);
bool parse_creation(const std::string& text, ktsm_filegroup_version::creation_record* record);

// Orders snapshot versions by creation (time, then sequence, then name).
bool created_before(const ktsm_filegroup_version_set::version_ptr& a,
                    const ktsm_filegroup_version_set::version_ptr& b);

// Links every version of the list to the one before it (the first keeps an
// empty link).  REQUIRES: the set's m_set_lock, or the set not yet shared.
void link_chain(const std::list<ktsm_filegroup_version_set::version_ptr>& versions);

// Reads every entry name of dir but "." and ".." into *names.
std::error_code list_directory(const std::string& dir, std::vector<std::string>* names);

// ---- The record of a restore under way (see restore_record.cc) -------------

struct restore_record {
  std::string version;  // empty: no restore left half done
  std::string safety;   // the safety version it took, if any
  bool whole = false;   // the whole group, else paths
  std::vector<std::string> paths;
  bool paths_left_out = false;  // too many to keep: paths is empty
  // Whether a restore done that finished leaves nothing of this one to
  // finish: a whole restore, or one of the same version and paths.
  bool covered_by(const restore_record& done) const;
};
std::error_code write_restore_record(const std::string& set_name, const restore_record& r);
std::error_code clear_restore_record(const std::string& set_name);
// ENODATA is no failure: *out is then empty.
std::error_code read_restore_record(const std::string& set_name, restore_record* out);

// ---- Merging a version into the live group ---------------------------------

// What merging entries of a version into the live group takes: the live
// entries to remove, then the version's entries to copy (paths relative to
// both roots), and what that does entry by entry.
struct merge_plan {
  std::vector<std::string> remove, copy;
  ktsm_filegroup_version_set::restore_counts counts;
  // The version's files with more than one name, by inode: each name the
  // plan met, and the inode of the live file it left as it is (0: copied).
  std::map<std::pair<dev_t, ino_t>, std::vector<std::pair<std::string, ino_t>>> linked;
};

// Plans the merge of the entry rel of the version at version_dir into the
// live group at live_root (see merge_paths): reads both, changes nothing.
// named: rel is a path the caller named, made again when it is a file.
// False after one message tagged function.
bool plan_merge(const char* function, const std::string& version_dir, const std::string& live_root,
                const std::string& rel, bool remove_extra, merge_plan* plan, bool named = false);

// A live entry the version lacks: removed or kept.
void plan_extra(const std::string& rel, bool remove_extra, merge_plan* plan);

// Ends a plan: the names of one file of the version that the live group
// does not hold as one file are all made again, in one copy, which links
// them.  (A name inside a directory copied whole is not looked at.)
void settle_links(merge_plan* plan);

// ---- Linked snapshots -------------------------------------------------------

// The time, in nanoseconds since the epoch, before which a live file's last
// change must lie for the next version to take it from this one unchanged
// (a hard link instead of a copy).  Written once, before the copy begins,
// as decimal text; a version without it is no source of links.
extern const char* const kUnchangedBeforeAttribute;
// How far the clocks of the hosts and bricks that stamp change times may
// disagree with the volume's clock as the version's directory shows it:
// KTSM_LINK_CLOCK_MARGIN_MS milliseconds when set, else 2 seconds.
int64_t link_clock_margin_ns();
// Writes kUnchangedBeforeAttribute on the version directory path, just
// made: the earlier of created_ns and the directory's change time, less
// the margin.
std::error_code write_unchanged_before(const std::string& path, int64_t created_ns);
bool read_unchanged_before(const std::string& path, int64_t* before);
// Whether snapshots link: the set's choice (1 on, 0 off, -1 none), else
// the process's (set_default_linked_snapshots, else KTSM_LINKED_SNAPSHOTS).
bool linking_on(int set_choice);
// The newest version of versions but self whose copy the volume shows
// whole now and that carries its time (*before); false when none.
// REQUIRES: the group lock, so that no other process deletes it meanwhile.
bool find_link_source(const std::string& set_name,
                      const std::list<ktsm_filegroup_version_set::version_ptr>& versions,
                      const ktsm_filegroup_version_set::version_ptr& self, std::string* dir,
                      int64_t* before);

// ---- Holds ----------------------------------------------------------------

// Reads the holds of the version directory path (SNAP_HOLD_NAME, one tag per
// line; empty lines are no tag, so that a version whose last hold went
// carries an attribute with none).  A missing attribute is no hold.
std::error_code read_holds(const attr_source& from, std::vector<std::string>* tags);
std::error_code write_holds(const std::string& path, const std::vector<std::string>& tags);
// "a, b": the tags for a message.
std::string join_holds(const std::vector<std::string>& tags);

// ---- The group lock ------------------------------------------------------

// Starts a creation of the version name: false after the one message when
// the name is no valid version name, else true after the creation's first
// line.
bool creation_named(const std::string& name);

// The lock file of a group, in its ".snaps": never a version.
extern const char* const kLockFileName;
// The group's own deleted-file list, in its ".snaps" (the production
// version's; ktfssnaputils::sdelfilelist): never a version either.
extern const char* const kListFileName;
// Whether name, in a group's ".snaps", is one of the group's own files
// above: no version, and no name a version may take.
bool reserved_snaps_entry(const std::string& name);

// Holds a group's lock (see group_lock.cc) until it is destroyed, in the
// thread that took it.
// Lock order: a set's m_set_lock, then the group lock; m_lock is never
// taken while a group lock is held (it may be held while one is taken).
class group_lock {
 public:
  group_lock() = default;
  ~group_lock();
  group_lock(const group_lock&) = delete;
  group_lock& operator=(const group_lock&) = delete;
  // Opens (making it when missing) the group's lock file and takes its lock,
  // waiting up to the host-set time while another holds it.
  std::error_code take(const std::string& set_name);
  // Takes the lock once, without waiting and without making the lock file
  // (ENOENT when there is none: no one holds it).
  std::error_code try_take(const std::string& set_name);
  // How long the last take waited while another thread or process held
  // the lock, in milliseconds (0 when nobody else held it).
  int64_t waited_ms() const { return m_waited_ms; }

 private:
  std::error_code take(const std::string& set_name, int flags, unsigned wait_seconds);
  // *current: whether the locked file is still the one at path.
  std::error_code still_linked(const std::string& path, bool* current);

  ktfs::file_ptr m_file;
  // This process's mutex of the group, held with the file's lock.
  std::shared_ptr<std::timed_mutex> m_process;
  int64_t m_waited_ms = 0;
};

// Takes the lock of the group set_name into *lock; false after one message
// tagged function ("is locked by another process" when the wait ran out).
// A take that waited 10 ms or more for another holder says how long, at
// level 0 ("file group [G] lock taken after N ms"), so that logs show who
// waited how long.
bool take_group_lock(const char* function, const std::string& set_name, group_lock* lock);

// The export command's time limit in seconds (0: none).
int command_timeout();

// Whether path is a directory, not following a final symbolic link.
bool is_directory(const std::string& path);

// Whether the group, its ".snaps" and the version's directory (unless
// version_path is empty) are real directories, none of them a symbolic
// link; false after one message tagged function naming the first that is
// not.
bool real_directories(const char* function, const std::string& set_name,
                      const std::string& version_path);

// Looks at root + "/" + path (path a valid_entry_path) without following a
// symbolic link below root: an lstat of each directory on the way, which
// must be a real directory, then (unless st is null) of the entry itself
// into *st.  ENOTDIR when a directory on the way is a link or no directory;
// else the first failed lstat's error.  *failed_at names the path looked at
// last.
std::error_code look_inside(const std::string& root, const std::string& path, struct stat* st,
                            std::string* failed_at);

// Whether every part of the volume that can hold the group's entries
// answers now (ktfs_api::reachable of the group's directory); false after
// one message tagged function ("part of the volume is unreachable" when a
// brick or a whole replica set does not answer).
bool whole_volume(const char* function, const std::string& set_name);
// whole_volume, and every brick of each replica set answers too: what a
// removal of versions or of the group asks, since a brick that missed a
// removal may bring the entry back when it returns (the same message).
bool every_brick(const char* function, const std::string& set_name);
// Makes a change of a version directory's attributes (write: false after
// its own message) and then asks whole_volume again.  A distributed volume
// keeps a directory's attributes on every brick; a brick lost before the
// write keeps its old value, and once it is back a reader may be answered
// from it.  So when a brick went away, undo writes the old value back on
// the bricks that answer (best effort, no message), every brick holds the
// value from before the change, and the change fails with the volume's
// message.  REQUIRES: the group's lock held.
bool write_on_every_brick(const char* function, const std::string& set_name,
                          const std::function<bool()>& write, const std::function<void()>& undo);

}  // namespace ktsm_internal

#endif  // KTSM_SRC_INTERNAL_H_
