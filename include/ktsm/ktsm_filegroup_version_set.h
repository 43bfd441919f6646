// ktsm_filegroup_version_set: the version sets of the file groups of one
// volume, and through its static members the whole state of the library.
//
// Layout on the volume.  A file group is a top-level directory G; its
// versions are the directories G/.snaps/NAME, each carrying its state in the
// extended attribute "trusted.norvafs.snapstate" as 16 bytes (the state's
// decimal text, then zero bytes).  The library keeps no store of its own:
// init() rebuilds every set from the volume.
//
// Naming rule.  A set is named by its directory's path exactly as stored;
// sets rebuilt at start-up from the root "/" are named "//G".  A version's
// record keeps a bare name: the name given to create_version, and after a
// restart the name of its entry in G/.snaps; the production version (the
// live group itself) keeps the set's name.  So a version is found under the
// same name before and after a restart.  A version's directory is derived,
// never stored: the set's name for the production version, else the set's
// name + "/.snaps/" + the version's name.  Version names must be one plain
// path component: not empty, not "." or "..", without "/" or zero bytes.
//
// Statuses: 0 for success, 1 for failure, unless a call says otherwise.
// Every failure logs exactly one message to the logger (m_logger) and
// returns; nothing already done is undone, so an interrupted operation
// leaves its in-progress state on the volume for the next start-up to see.
//
// Threads and locks.  The library starts no threads.  m_lock serialises
// init, stop and the set operations; each set's m_set_lock serialises the
// version operations on that set, so operations on different sets run in
// parallel.  No code path holds m_lock while it takes a set's m_set_lock.
//
// Lifetime.  Call init() once before anything else (calls made before it do
// not crash; they fail or find nothing).  Records live as long as a handle
// to them; drop every handle before the library is unloaded.
#ifndef KTSM_KTSM_FILEGROUP_VERSION_SET_H_
#define KTSM_KTSM_FILEGROUP_VERSION_SET_H_

#include <pthread.h>

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "ktfs/ktfs_api.h"
#include "ktfs/ktfs_debug.h"
#include "ktsm/ktfs_mem.h"
#include "ktsm/ktsm_filegroup_version.h"
#include "ktsm/thread_annotations.h"

class ktsm_filegroup_version_set {
 public:
  typedef boost::shared_ptr<ktsm_filegroup_version_set> set_ptr;
  typedef boost::shared_ptr<ktsm_filegroup_version> version_ptr;

  ktsm_filegroup_version_set();
  ~ktsm_filegroup_version_set();
  ktsm_filegroup_version_set(const ktsm_filegroup_version_set&) = delete;
  ktsm_filegroup_version_set& operator=(const ktsm_filegroup_version_set&) = delete;

  // ---- Start-up and shutdown -------------------------------------------

  // Installs a new logger (a default-constructed ktfs::ktfs_debug), starts
  // the file-system client for the GlusterFS volume volume_name and rebuilds
  // one version set per top-level entry of the volume, each with its
  // production version and one version per entry of its ".snaps" carrying
  // the state read from the volume.  second is not used.
  // Returns 0 when every listed file group was recovered (and for an empty
  // root), 1 when any failed (those sets are not registered; the others
  // are), or the listing's non-zero status when the root cannot be listed.
  // A second call without stop() registers the rebuilt sets again behind
  // those already registered.  Takes m_lock.
  KTSM_API static int32_t init(const std::string& volume_name, const std::string& second)
      LOCKS_EXCLUDED(m_lock);

  // Empties the registry and each registered set's list of versions, then
  // flushes the logger (records its sink held back are written).  The
  // logger, the client and the volume name stay.  Sets and versions that the
  // host still holds stay alive (with empty lists) until it drops them.
  // Takes m_lock to take the registry out, releases it, then each set's
  // m_set_lock in turn.
  KTSM_API static void stop() LOCKS_EXCLUDED(m_lock);

  // Empties this set's list of versions.  Takes m_set_lock.
  KTSM_API void cleanup() LOCKS_EXCLUDED(m_set_lock);

  // ---- Version sets (each takes m_lock) ----------------------------------

  // Makes the directories name and name + "/.snaps" (mode 0760) where
  // missing, and registers a new set for them holding its production
  // version.  out receives the set.  Does not look for an existing set of
  // that name.  Returns 1 when a directory cannot be made or memory is
  // exhausted (directories already made stay).
  KTSM_API static int32_t create_version_set(const std::string& name, set_ptr& out)
      LOCKS_EXCLUDED(m_lock);

  // Removes name + "/.snaps" and name (each only if it exists, each only if
  // empty) and takes the first set of that name out of the registry,
  // emptying its list of versions.  Returns 0 also when no set of that name
  // was registered; 1 when a directory cannot be removed.
  KTSM_API static int32_t delete_version_set(const std::string& name) LOCKS_EXCLUDED(m_lock);

  // out receives the first registered set whose name equals name exactly.
  // Returns 1 (out unchanged) when there is none.
  KTSM_API static int32_t get_version_set(const std::string& name, set_ptr& out)
      LOCKS_EXCLUDED(m_lock);

  // ---- Versions of this set (each takes m_set_lock) ----------------------

  // Makes the version's directory (mode 0) in state "1" (create in
  // progress), appends a record to the set, has the snapshot core copy the
  // live group into it (which gives the directory the group directory's
  // owner, mode and times once it is full), then writes state "2" (active).  version receives
  // the record.  On a failure after the record was appended, version holds
  // it in state "1" and the directory keeps "1".  Does not link the version
  // to an older one: call set_previous_version for that.
  KTSM_API int32_t create_version(const std::string& name, version_ptr& version)
      LOCKS_EXCLUDED(m_set_lock);
  // Linked snapshots.  While linking is on (see set_linked_snapshots), the
  // copy gives every regular file that is unchanged since the newest older
  // version whose copy is whole (active, or in an export state) was taken
  // one more name of that version's file instead of a copy (see README,
  // "Linked snapshots", for the rule).  With full_copy true, or with
  // linking off, every file is copied.  Otherwise as create_version.
  KTSM_API int32_t create_version(const std::string& name, version_ptr& version, bool full_copy)
      LOCKS_EXCLUDED(m_set_lock);
  // Whether this set's snapshots link unchanged files; until called, the
  // process's choice: set_default_linked_snapshots, else the environment
  // (KTSM_LINKED_SNAPSHOTS=0 turns linking off), else on.
  KTSM_API void set_linked_snapshots(bool linked);
  KTSM_API static void set_default_linked_snapshots(bool linked);
  // Whether a version in this state holds a whole copy of its group (the
  // settled states and the export states): only such a version is a
  // source of links.
  KTSM_API static bool holds_whole_copy(const std::string& state);

  // Deletes the version: state "4" (delete in progress), the snapshot core's
  // removal (merging the version's deleted-file list into the older version
  // when asked), state "5" (deleted), removal of the directory with its
  // contents, and the record leaves the set.  Refuses the production
  // version.  Returns 1 when no version has that name.
  KTSM_API int32_t delete_version(const std::string& name) LOCKS_EXCLUDED(m_set_lock);

  // Links the version to the one before it in the set's list (the first
  // version gets an empty link).  Touches nothing on the volume.
  KTSM_API int32_t set_previous_version(const std::string& name) LOCKS_EXCLUDED(m_set_lock);

  // Exports the version through the export command ("storhaug exportdir /"
  // followed by the volume name, "/" and the version's directory): requires
  // state "2" (except for the production version), writes "7", runs the
  // command, writes "8".  Holds m_set_lock while the command runs.
  KTSM_API int32_t export_version(const std::string& version_name) LOCKS_EXCLUDED(m_set_lock);

  // Takes an exported version (state "8") back to "2" through "10".  Runs no
  // command.  Answers 0 without change when the version is not exported.
  KTSM_API int32_t unexport_version(const std::string& version_name) LOCKS_EXCLUDED(m_set_lock);

  // version receives the first version named name, or is emptied when there
  // is none.  Always returns 0.
  KTSM_API int32_t get_version(const std::string& name, version_ptr& version)
      LOCKS_EXCLUDED(m_set_lock);

  // version receives the version after the first one named name, or is
  // emptied when there is none (or name is unknown).  Always returns 0.
  KTSM_API int32_t get_next_version(const std::string& name, version_ptr& version)
      LOCKS_EXCLUDED(m_set_lock);

  // ---- Holds (each takes m_set_lock) ---------------------------------------
  //
  // A hold keeps a snapshot version from being deleted: delete_version
  // refuses a held version.  Holds live on the volume, in the attribute
  // SNAP_HOLD_NAME of the version's directory (one tag per line), so every
  // process and host sees them.  A tag is 1 to 64 bytes without control
  // characters; a version carries at most 32.

  // Adds tag to the version's holds (0 without change when it holds it).
  // Refuses the production version and a version whose directory is not a
  // real directory.  Holds the group lock; a failure changes nothing.
  KTSM_API int32_t hold_version(const std::string& name, const std::string& tag)
      LOCKS_EXCLUDED(m_set_lock);
  // Removes tag from the version's holds; 1 when the version does not hold
  // it.  Holds the group lock; a failure changes nothing.
  KTSM_API int32_t release_version(const std::string& name, const std::string& tag)
      LOCKS_EXCLUDED(m_set_lock);
  // tags receives the version's holds as on the volume, in the order they
  // were added (empty: not held).  Reads without the group lock.
  KTSM_API int32_t get_holds(const std::string& name, std::vector<std::string>& tags)
      LOCKS_EXCLUDED(m_set_lock);
  // holds receives the holds of every snapshot version of the set whose
  // directory is listed in ".snaps", by name (no tags: not held), read in
  // one pass over ".snaps" for hosts that show them all.  A version whose
  // entry is missing or not a directory is left out.  Reads without the
  // group lock; 1 after one message, holds empty, when ".snaps" or a
  // version's holds cannot be read.
  KTSM_API int32_t get_all_holds(std::map<std::string, std::vector<std::string>>& holds)
      LOCKS_EXCLUDED(m_set_lock);

  // ---- Restore (each takes m_set_lock, and the group lock for the whole
  // call) -------------------------------------------------------------------

  // Makes the live group equal to the snapshot version name.  First finds
  // what differs, as merge_paths does with remove_extra: when nothing does,
  // changes nothing and takes no safety version (safety stays empty).
  // Otherwise takes the safety version of the live group as create_version
  // does (safety receives it): named safety_name, or when a version of that
  // name exists already (made elsewhere since the host looked),
  // safety_name + "-2", "-3", ..., the first that is free, chosen under the
  // group lock.  Then removes the live entries (but ".snaps" and the
  // group's own deleted-file list) that the version lacks or that differ,
  // and copies the version's back as the snapshot core copies (owners,
  // modes, times, attributes, hard links, holes); entries already as in the
  // version stay as they are.
  // REQUIRES: the version's copy is complete (state active, unexported, or
  // one of may_be_exported).
  // Fails with one message and nothing changed when the version is unknown,
  // the production version, incomplete, or the safety version cannot be
  // taken; a failure after the safety version leaves the live group partly
  // restored, and the safety version holds it as it was.
  KTSM_API int32_t restore_version(const std::string& name, const std::string& safety_name,
                                   version_ptr& safety) LOCKS_EXCLUDED(m_set_lock);
  // Copies the entries paths (each a valid_entry_path, reached through
  // real directories of the version only; the version's whole content when
  // empty) of the snapshot version name into the volume directory
  // target_dir, or back into the live group when target_dir is empty.  In
  // the live group each path's live entry is removed first; in target_dir
  // (made where missing; no component may be ".snaps" or a symbolic link)
  // an existing entry makes the call fail before anything changes.
  // Directories above a path that the destination lacks are made as copies
  // of the version's.
  // REQUIRES: as restore_version; every path exists in the version.
  KTSM_API int32_t restore_paths(const std::string& name, const std::vector<std::string>& paths,
                                 const std::string& target_dir) LOCKS_EXCLUDED(m_set_lock);
  // Makes every check restore_paths makes before its first change, under
  // the group lock, and changes nothing: 1 with the one message
  // restore_paths would give when it would be refused.
  KTSM_API int32_t check_restore_paths(const std::string& name,
                                       const std::vector<std::string>& paths,
                                       const std::string& target_dir) LOCKS_EXCLUDED(m_set_lock);

  // How restore_paths merges a version's entries into the live group.
  struct restore_options {
    // Live entries under the paths that the version lacks are removed;
    // otherwise they are kept, and counted.
    bool remove_extra = false;
    // With remove_extra, when the merge removes a live entry the version
    // lacks: a safety version of the live group taken first, as
    // restore_version takes one (safety_name or the first free
    // safety_name-2, -3, ...).  Empty: none.
    std::string safety_name;
  };
  // What a merge did (or, with plan_only, would do), entry by entry: an
  // entry is one name; a directory copied counts once with its contents.
  struct restore_counts {
    uint64_t copied = 0;     // the live group lacked it
    uint64_t replaced = 0;   // the live entry was removed, and the version's copied
    uint64_t removed = 0;    // not in the version (remove_extra)
    uint64_t kept = 0;       // not in the version, left as it is
    uint64_t unchanged = 0;  // already as in the version, left as it is
  };
  // Restores the entries paths (the version's whole content when empty) of
  // the snapshot version name into the live group, merging: an entry the
  // live group lacks is copied; a directory both hold is merged entry by
  // entry (made again whole when its own mode, owner or attributes
  // differ); a regular file already as in the version (the same size,
  // modification time, mode, owner and attributes, its identity attribute
  // among them: what diff compares, and more) is left as it is; any other
  // entry the
  // live group holds is replaced by the version's; a live entry the
  // version lacks is kept, or removed with options.remove_extra.  The group's lock is held from the
  // plan to the last change, and everything is checked before the first.  counts receives what was
  // (with plan_only: would be) done; safety receives the safety version when one was taken.  A
  // failure after the safety version leaves the live group partly restored, and the safety version
  // holds it as it was. REQUIRES: as restore_paths.
  KTSM_API int32_t merge_paths(const std::string& name, const std::vector<std::string>& paths,
                               const restore_options& options, bool plan_only,
                               restore_counts& counts, version_ptr& safety)
      LOCKS_EXCLUDED(m_set_lock);

  // The restore of the live group left half done, as the volume records it
  // for every host: version receives the version it was restoring (empty:
  // none), safety its safety version (empty: none), paths the paths it was
  // restoring (empty: the whole group, or too many paths to keep).  A
  // restore in place records itself before its first change of the live
  // group, unless a record is there already; a restore that finishes
  // clears the record when it covers it (a whole restore always, a restore
  // of paths when it restored the same version and paths).
  // Returns 1 with one message when the record cannot be read.
  KTSM_API int32_t partial_restore(std::string& version, std::string& safety,
                                   std::vector<std::string>& paths) LOCKS_EXCLUDED(m_set_lock);

  // Tries the group's lock once, without waiting, and lets it go: locked
  // receives whether another process (or another set object) holds it, so
  // that a host can tell an operation running elsewhere from what a crash
  // left.  Returns 1 when the lock file cannot be opened.
  KTSM_API int32_t is_group_locked(bool& locked) LOCKS_EXCLUDED(m_set_lock);

  // ---- The set as the volume holds it now ----------------------------------
  //
  // A set's records are what start-up (or this process's own operations)
  // found; other processes and hosts create and delete versions meanwhile.
  // A host that acts on a listing reads it again here.

  typedef std::map<std::string, std::vector<std::string>> holds_map;
  // A version whose state on the volume differed from its record's.
  struct state_change {
    std::string name;
    std::string was;  // the record's state before; it now carries the volume's
  };
  // What a refresh found that the records did not show.
  struct refresh_report {
    std::vector<std::string> vanished;  // directory gone: the record left the set
    std::vector<std::string> appeared;  // made elsewhere: a record joined the set
    std::vector<state_change> changed;
  };

  // Brings the set's list into line with ".snaps" as it is now, as start-up
  // would build it: a version whose entry is gone leaves the list (its
  // record lets go of its older link; handles to it stay valid), a version
  // made elsewhere joins it, every record takes the state (empty when it
  // has none) and creation record on the volume, and the list is put in
  // creation order and relinked.  holds receives every snapshot version's
  // holds, read in the same pass.  Takes m_set_lock; reads without the
  // group lock, so an operation running elsewhere shows as its state says.
  // 1 after one message, the set unchanged and holds empty, when the group
  // or ".snaps" is no real directory or cannot be listed, a version's state
  // or holds cannot be read, or a record cannot be allocated.
  KTSM_API int32_t refresh_versions(holds_map& holds, refresh_report& report)
      LOCKS_EXCLUDED(m_set_lock);

  // A host's choice of versions to delete, made from the picture it is
  // given (the set's list, production version first, and every snapshot
  // version's holds), in the order they are to be deleted.
  typedef std::function<std::vector<std::string>(const std::list<version_ptr>& versions,
                                                 const holds_map& holds)>
      deletion_plan;
  // What delete_by_plan found and did.
  struct plan_report {
    refresh_report refreshed;
    std::vector<std::string> deleted;  // named by the plan and deleted
    std::vector<std::string> failed;   // named by the plan and not deleted
    // Named by the plan and not tried: the process asked the library to
    // stop (ktfssnapcore::request_stop) before their turn.
    std::vector<std::string> not_tried;
  };

  // Deletes what plan chooses from the volume's picture, with no change by
  // another process between the reading and the last deletion.  Takes
  // m_set_lock, then the group lock, for the whole call: refreshes the set
  // as refresh_versions does, calls plan once with the result, and deletes
  // each version it names as delete_version does (state and holds read
  // again, an exported or held version refused), in its order, without
  // letting the group lock go between.  plan runs with both locks held: it
  // must not call into this set (reading the records given is fine) nor
  // take m_lock (get_version_set, list_version_sets, ...).
  // Returns 0 when every named version was deleted.  When the group lock
  // cannot be taken or the picture cannot be read: 1 after one message,
  // plan not called, nothing changed on the volume.  A named version that
  // cannot be deleted (unknown, the production version, refused, failed) is
  // listed in report.failed after its one message and left as
  // delete_version leaves it; the later ones are still deleted; 1.
  KTSM_API int32_t delete_by_plan(const deletion_plan& plan, plan_report& report)
      LOCKS_EXCLUDED(m_set_lock);

  // A host's choice of the version to create, made from the same picture a
  // deletion_plan gets: the name of the new version, or "" for none.
  typedef std::function<std::string(const std::list<version_ptr>& versions, const holds_map& holds)>
      creation_plan;

  // Creates the version plan names, if any, deciding from the volume's
  // picture with no change by another process between the reading and the
  // creation: a host that takes a snapshot only when none was taken
  // recently, or that chooses a name free at that moment, decides here, so
  // that two processes on any hosts never both take it.  Takes m_set_lock,
  // then the group lock, for the whole call: refreshes the set as
  // refresh_versions does into report, calls plan once, and creates the
  // version named as create_version does (full_copy as there), without
  // letting the group lock go between.  plan runs with both locks held
  // (see delete_by_plan).  version receives the new version, or null.
  // Returns 0 when plan named none or the version was created.  When the
  // group lock cannot be taken or the picture cannot be read: 1 after one
  // message, plan not called, nothing changed.  A creation that fails: 1,
  // left as create_version leaves it.
  KTSM_API int32_t create_by_plan(const creation_plan& plan, refresh_report& report,
                                  version_ptr& version, bool full_copy = false)
      LOCKS_EXCLUDED(m_set_lock);

  // ---- Enumeration for hosts -------------------------------------------

  // out receives the registered sets, in registry order.  Takes m_lock.
  KTSM_API static void list_version_sets(std::list<set_ptr>& out) LOCKS_EXCLUDED(m_lock);
  // out receives this set's versions, in list order (the production
  // version first).  Takes m_set_lock.
  KTSM_API void list_versions(std::list<version_ptr>& out) LOCKS_EXCLUDED(m_set_lock);

  // ---- Start-up recovery (called by init under m_lock; no lock of their own)

  // Appends dir + "/" + entry for every entry of dir except "." and "..",
  // in the order the volume returns them.  Returns 1 when dir cannot be
  // stat'ed, opened or closed (entries read before a failed close stay).
  KTSM_API static int32_t read_live_directory(const std::string& dir,
                                              std::list<std::string>& names);

  // Names set name, lists name + "/.snaps" and fills the set with the
  // production version and one version per entry, in listing order, each
  // carrying its state attribute.  Returns 1 on any failure; the set keeps
  // what was done before the failing step.
  KTSM_API static int32_t recover_version_set_internal(const std::string& name, set_ptr& set)
      EXCLUSIVE_LOCKS_REQUIRED(m_lock);

  // ---- Twins: each does the work of its entry point, under its lock ------
  KTSM_API static int32_t create_version_set_internal(const std::string& name, set_ptr& out)
      EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  KTSM_API static int32_t delete_version_set_internal(const std::string& name)
      EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  KTSM_API static int32_t get_version_set_internal(const std::string& name, set_ptr& out)
      EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  KTSM_API int32_t create_version_internal(const std::string& name, version_ptr& version)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t create_version_internal(const std::string& name, version_ptr& version,
                                           bool full_copy) EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t delete_version_internal(const std::string& name)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t set_previous_version_internal(const std::string& name)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t export_version_internal(const std::string& version_name)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t unexport_version_internal(const std::string& version_name)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t get_version_internal(const std::string& name, version_ptr& version)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t get_next_version_internal(const std::string& name, version_ptr& version)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t hold_version_internal(const std::string& name, const std::string& tag)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t release_version_internal(const std::string& name, const std::string& tag)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t get_all_holds_internal(std::map<std::string, std::vector<std::string>>& holds)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t get_holds_internal(const std::string& name, std::vector<std::string>& tags)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t restore_version_internal(const std::string& name, const std::string& safety_name,
                                            version_ptr& safety)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t restore_paths_internal(const std::string& name,
                                          const std::vector<std::string>& paths,
                                          const std::string& target_dir, bool check_only = false)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t merge_paths_internal(const std::string& name,
                                        const std::vector<std::string>& paths,
                                        const restore_options& options, bool plan_only,
                                        restore_counts& counts, version_ptr& safety)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t is_group_locked_internal(bool& locked) EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t refresh_versions_internal(holds_map& holds, refresh_report& report)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t delete_by_plan_internal(const deletion_plan& plan, plan_report& report)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  KTSM_API int32_t create_by_plan_internal(const creation_plan& plan, refresh_report& report,
                                           version_ptr& version, bool full_copy)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);

  // ---- Settings (any thread, any time; they apply to the next operation) ---

  // How long an operation waits for its group's lock while another process
  // (or another set of this one) holds it, before it answers 1.  Every
  // operation that changes a group or one of its versions holds the lock for
  // its whole duration.  Default 30 seconds; 0 tries once.
  KTSM_API static void set_lock_wait(unsigned seconds);
  // The time limit of the export and unexport commands; when it runs out
  // the command's whole process group is killed, the version's state is
  // written back and the operation answers 1.  Default 300 seconds; 0: none.
  KTSM_API static void set_command_timeout(unsigned seconds);

  // ---- The snapshot states, for hosts ---------------------------------------

  // One snapshot state: its text on the volume (one of the SNAP_STATE_*
  // constants below), its name for people, what leaves a snapshot version
  // in it, and the rules that depend on it.
  struct state_info {
    std::string text;      // "1" to "12"
    std::string name;      // "create in progress", "active", ...
    std::string meaning;   // what left the version there; empty when settled
    bool settled;          // a finished operation left it: nothing to resolve
    bool in_progress;      // an operation that runs (or ran until a crash) left it
    bool may_be_exported;  // an export may be in place (see may_be_exported)
  };
  // The twelve states, in the order of their numbers.  The one table of the
  // states: the library and its hosts read every rule on states from it.
  KTSM_API static const std::vector<state_info>& states();
  // The state whose text is text, or null for any other text.
  KTSM_API static const state_info* find_state(const std::string& text);

  // Whether a version in this state may have an export in place: exported,
  // or an export or unexport that was interrupted or failed.  Such a version
  // is refused by delete_version; unexport_version withdraws its export.
  KTSM_API static bool may_be_exported(const std::string& state);

  // ---- The name rules, for hosts ----------------------------------------------

  // A version name is one plain path component, so that its directory lies
  // inside ".snaps" and nothing else is ever reached through it: not empty,
  // not "." or "..", without "/" or zero bytes, and not the name of one of
  // the group's own files there: its lock (".ktsm-lock") and its
  // deleted-file list (".ktsm-deleted-files").
  KTSM_API static bool valid_version_name(const std::string& name);
  // A set name is a top-level directory of the volume: any number of leading
  // slashes, then one plain component that is not ".snaps".  So "/" and "//"
  // (the volume's root) and "a/b" (not a file group) are refused.
  KTSM_API static bool valid_set_name(const std::string& name);
  // A hold's tag: 1 to 64 bytes without control characters.
  KTSM_API static bool valid_hold_tag(const std::string& tag);
  // A path inside a version (or the live group): relative, plain components
  // joined by single slashes, so neither "..", nor an absolute path, nor
  // "." reaches out of it; and not ".snaps" at its top (a version's own
  // deleted-file list is in there).  The library refuses any other, and every entry point that
  // takes such a path also refuses one that goes through a symbolic link.
  KTSM_API static bool valid_entry_path(const std::string& path);
  // word as one word of a POSIX shell command line: unchanged when it holds
  // only plain characters (letters, digits and "_-./+:@,="), else in single
  // quotes, so a plain name gives exactly the plain command line while no
  // name can run another command.
  KTSM_API static std::string shell_word(const std::string& word);

  // ---- Read access for hosts ----------------------------------------------
  std::string get_name() const { return m_name; }

  // ---- Static state ---------------------------------------------------------
  KTSM_API static std::list<set_ptr> m_version_sets GUARDED_BY(m_lock);
  KTSM_API static ktsm_mutex m_lock;
  // The logger of every message.  Before init it points at a logger that
  // writes nowhere; init installs a new one and never destroys the old.
  KTSM_API static std::atomic<ktfs::ktfs_debug*> m_logger;
  KTSM_API static ktfs::iopx_ptr file_io;
  KTSM_API static ktfs::ktfs_api api_instance;
  KTSM_API static ktfs::iopx_ptr sas_file_io;
  KTSM_API static ktfs::ktfs_api sas_api_instance;
  KTSM_API static std::string m_live_vol_name GUARDED_BY(m_lock);

  KTSM_API static const std::string SNAP_STATE_NAME;                  // "trusted.norvafs.snapstate"
  KTSM_API static const std::string SNAP_HOLD_NAME;                   // "trusted.norvafs.snaphold"
  KTSM_API static const std::string SNAP_STATE_CREATE_IN_PROGRESS;    // "1"
  KTSM_API static const std::string SNAP_STATE_ACTIVE;                // "2"
  KTSM_API static const std::string SNAP_STATE_CREATE_FAILED;         // "3"
  KTSM_API static const std::string SNAP_STATE_DELETE_IN_PROGRESS;    // "4"
  KTSM_API static const std::string SNAP_STATE_DELETED;               // "5"
  KTSM_API static const std::string SNAP_STATE_DELETE_FAILED;         // "6"
  KTSM_API static const std::string SNAP_STATE_EXPORT_IN_PROGRESS;    // "7"
  KTSM_API static const std::string SNAP_STATE_EXPORTED;              // "8"
  KTSM_API static const std::string SNAP_STATE_EXPORT_FAILED;         // "9"
  KTSM_API static const std::string SNAP_STATE_UNEXPORT_IN_PROGRESS;  // "10"
  KTSM_API static const std::string SNAP_STATE_UNEXPORTED;            // "11"
  KTSM_API static const std::string SNAP_STATE_UNEXPORT_FAILED;       // "12"

 private:
  // The library's own files and its tests reach what follows through
  // ktsm_internal::access (src/internal.h); none of it takes a lock.
  friend struct ktsm_internal::access;
  friend class ktsm_filegroup_version;

  static set_ptr allocate();
  void set_name(const std::string& name) { m_name = name; }
  // Whether the set is named name (look-ups compare without a copy).
  bool has_name(const std::string& name) const { return m_name == name; }
  // REQUIRES: m_set_lock held, or the set not yet shared (start-up and
  // creation fill a new set before they register it).
  void add_filegroup_version(version_ptr& version) NO_THREAD_SAFETY_ANALYSIS {
    m_filegroup_versions.push_back(version);
  }

  // The snapshot version named name; empty after one message tagged
  // function when there is none or it is the production version.
  version_ptr find_snapshot_version(const std::string& name, const char* function) const
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  // create_version_internal's work once the group lock is held; registered
  // is this set as registered (the new version's owner link); full_copy
  // copies every file.
  int32_t create_version_locked(const std::string& name, const set_ptr& registered,
                                version_ptr& version, bool full_copy)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  // delete_version_internal's work; with lock_held, the caller holds the
  // group lock already (the lock is not re-entrant).
  int32_t delete_version_steps(const std::string& name, bool lock_held)
      EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);
  // refresh_versions_internal's work, its messages tagged function;
  // registered is this set as registered (the owner of records it adds).
  int32_t refresh_from_volume(const char* function, const set_ptr& registered, holds_map& holds,
                              refresh_report& report) EXCLUSIVE_LOCKS_REQUIRED(m_set_lock);

  static ktfs::ktfs_mem::mempool<ktsm_filegroup_version_set> m_mempool;
  std::list<version_ptr> m_filegroup_versions GUARDED_BY(m_set_lock);
  std::string m_name;
  ktsm_mutex m_set_lock;
  // set_linked_snapshots: 1 on, 0 off, -1 the process's choice.
  std::atomic<int> m_linked{-1};
};

#endif  // KTSM_KTSM_FILEGROUP_VERSION_SET_H_
