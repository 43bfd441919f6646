// libktfssnapcore: takes and removes the snapshots of file-group versions,
// and the file utilities that go with them.  Every call is synchronous and
// goes through the file-system client it is given, so it works on every
// client backend.
//
// Layout it works on: a file group is the directory fg_name; a version is
// the directory fgver_name (normally fg_name + "/.snaps/" + version name);
// a version's deleted-file list is the file fgver_name + sdelfilelist, in
// the version's own ".snaps" directory, a name the copied tree never holds
// (the group's ".snaps" is never copied), so that any live file, whatever
// its name, is copied.  The live group's own list is fg_name +
// sdelfilelist, in the group's ".snaps".  Versions taken before keep their
// list at fgver_name + slegacydelfilelist (delfilelist_of finds either).
//
// Deleted-file list records: one line per file, the file's
// "trusted.cloudsync.uuid" value, a tab, the file's path relative to the
// version, a newline.
#ifndef KTFSSNAPCORE_KTFSSNAPCORE_H_
#define KTFSSNAPCORE_KTFSSNAPCORE_H_

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "ktfs/ktfs_api.h"
#include "ktfs/ktfs_debug.h"
#include "ktfssnapcore/ktfssnapcore_export.h"

namespace ktfssnapcore {

// One snapshot operation.  Construction empties the strings and handles,
// nulls the pointers and sets op_status to -1; the caller sets the rest.
struct KTFSSNAPCORE_API ktfssnapcore_opinfo {
  ktfssnapcore_opinfo();

  ktfs::ktfs_api* nvme_api;
  boost::shared_ptr<ktfs::ktfs_iopx> nvme_iopx;
  ktfs::ktfs_api* sas_api;
  boost::shared_ptr<ktfs::ktfs_iopx> sas_iopx;
  std::string fg_name;           // the file group's directory
  std::string fgver_name;        // the version's directory
  std::string older_fgver_name;  // the older version's name; empty if none
  // snap_opcreate: a whole older version of the group (its directory)
  // whose files stand in for unchanged live files, and the time, in
  // nanoseconds since the epoch, before which a live file's last change
  // must lie for it to count as unchanged.  Empty: every file is copied.
  std::string link_fgver_name;
  int64_t unchanged_before_ns;
  std::string delfilelist;  // set by snap_opdelete: the version's list
  int32_t op_status;        // set by snap_opdelete: 0 = merge the list
};

// Copies the live file group fg_name (everything in it except ".snaps" and
// the group's own deleted-file list) into the existing directory fgver_name,
// then creates the version's empty deleted-file list.  Every entry is made
// again as what it is: directories, regular files (only their data extents:
// holes stay holes), symbolic links as links, FIFOs, devices and sockets;
// names of one file within the group stay links of one file.  Each gets its
// owner and group (never following links, before the mode), its extended
// attributes (POSIX ACLs included; a link's own), its mode (not for links)
// and its access and modification times (a directory's after its
// contents).  Last, after the deleted-file list, the version directory
// itself takes the group directory's owner, POSIX ACLs, mode and times (as
// the copy found them), so that a finished version reads like its group;
// its other attributes (the caller's records) stay its own.  The caller
// makes it closed (mode 0), so that nobody reads a version being filled;
// a copy that fails leaves it so.
//
// Linked snapshots: with link_fgver_name set, a regular file of the group
// that is unchanged since that older version was taken becomes one more
// name (a hard link) of the older version's file at the same path instead
// of a copy.  Unchanged means, all of: its change time (ctime) lies before
// unchanged_before_ns; the older version has a regular file at the same
// path; both have the same size, modification time (to the nanosecond),
// permission bits, owner and group, and, on a volume whose change times do
// not tell attribute changes (GlusterFS 10.3), the same extended attributes
// (names and values).  A change of data, size, mode, owner or name moves a
// file's change time, so a file written and given its old size and
// modification time back is still copied.  A link the volume refuses (a brick's limit of names or
// attribute space, any error) is logged once per snapshot at level -1 and
// the file copied instead, which starts a new chain for later versions.
// Further names of a file linked in the group are links of that file.
//
// copy_workers() entries are copied at once; the walk keeps directory
// order.  Messages at level -1 name each entry that
//  - disappeared between the listing and its copy: left out;
//  - changed (size or modification time) while it was copied: its copy
//    may mix old and new data (a copy is no point-in-time image);
//  - could not be given its owner (EPERM): its set-user-id and
//    set-group-id bits are dropped.
// The copy never leaves the group or the version: a directory is read only
// when its open handle is the directory lstat found, the walk goes on under
// it only while its path still leads there (and to a real directory of the
// version), and a file is copied only from the file lstat found; a
// directory or file swapped for a symbolic link or another entry while the
// copy runs fails it with ELOOP (one swapped before the walk reaches it is
// copied as the link it now is).
// Returns 0 on success; on failure (an entry that cannot be copied, such as
// an unknown file type, fails with EOPNOTSUPP) the errno of the failing
// call, after logging the path that failed, once: of the failures of the
// entries being copied at once, the first in walk order.  What was copied
// before the failure stays.
// REQUIRES: info->nvme_api and info->nvme_iopx set; fgver_name exists.
KTFSSNAPCORE_API std::error_code snap_opcreate(ktfssnapcore_opinfo* info);

// Copies the entries rels of the directory src_root to the same relative
// paths under dst_root, each with everything under it, exactly as
// snap_opcreate copies a group's entries (kinds, hard links among the
// entries copied, holes, owners, attributes, modes, times), with the same
// guards against symbolic links: neither root nor any directory the copy
// goes through may be a link.  Each rel is a relative path of plain
// components ("a", "dir/b.txt").  A directory above an entry that dst_root
// lacks is made as a copy of its counterpart in src_root (its metadata, not
// its other entries); one that dst_root has must be a real directory
// (ELOOP for a symbolic link, ENOTDIR for another entry).  An entry's
// destination must not exist (EEXIST).  An entry missing from src_root is
// left out with a level -1 message.  The progress counters restart at 0.
// Returns 0, or the errno of the first failure in walk order, logged once
// with the path that failed (*failed receives it); what was copied before
// the failure stays.
KTFSSNAPCORE_API std::error_code copy_entries(ktfs::ktfs_api* api, ktfs::iopx_ptr io,
                                              const std::string& src_root,
                                              const std::string& dst_root,
                                              const std::vector<std::string>& rels,
                                              std::string* failed);

// Prepares the removal of the version fgver_name (the caller removes the
// directory).  Always sets op_status: 0 when the version's deleted-file
// list should be merged into the older version, which is the case only when
// older_fgver_name names a snapshot version (not empty and not fg_name);
// 1 otherwise.  Sets delfilelist to the version's list (delfilelist_of).
// Returns 0 on success; the stat's error when fgver_name cannot be looked
// at (ENOENT when it does not exist; op_status and delfilelist, the new
// layout's path, are set all the same); the error of delfilelist_of.
KTFSSNAPCORE_API std::error_code snap_opdelete(ktfssnapcore_opinfo* info);

// The number of entries snap_opcreate copies at once (a bounded pool of
// threads sharing the client; 1 copies in the calling thread).  Chosen by
// the first of: set_copy_workers(n) with n > 0; the environment variable
// KTFS_COPY_WORKERS; kDefaultCopyWorkers.  At most 64.  0 restores the
// default; set it before a snapshot starts.
const unsigned kDefaultCopyWorkers = 8;
KTFSSNAPCORE_API void set_copy_workers(unsigned workers);
KTFSSNAPCORE_API unsigned copy_workers();

// The extended attributes of the entry at path itself (a symbolic link's
// own) that a snapshot copies: names and values, the volume's own
// bookkeeping left out.
KTFSSNAPCORE_API std::error_code copied_attributes(ktfs::ktfs_api* api, ktfs::iopx_ptr io,
                                                   const std::string& path,
                                                   std::map<std::string, std::string>* out);

// Asks every copy and removal of this process to stop at its next entry:
// it then fails with ECANCELED (logged as its other failures are), leaving
// what it made or removed so far.  Safe to call from a signal handler.
// The request holds until clear_stop().
KTFSSNAPCORE_API void request_stop();
KTFSSNAPCORE_API void clear_stop();
KTFSSNAPCORE_API bool stop_requested();

// Files and bytes copied by the snap_opcreate calls running or last run in
// this process; readable from any thread while a copy runs.
// files counts regular files (every name of a hard-linked one), bytes the
// data copied (holes are not).
struct KTFSSNAPCORE_API copy_progress {
  std::atomic<uint64_t> files{0};
  std::atomic<uint64_t> bytes{0};
  std::atomic<uint64_t> linked{0};  // of files: linked to an older version, not copied
  std::atomic<bool> running{false};
};
KTFSSNAPCORE_API const copy_progress& snap_progress();

// Messages of snap_opcreate and snap_opdelete go to this logger (by default
// a default-constructed ktfs_debug).  Null restores the default.
// REQUIRES: the logger outlives its use.
KTFSSNAPCORE_API void set_logger(ktfs::ktfs_debug* logger);

class KTFSSNAPCORE_API ktfssnaputils {
 public:
  // The suffix that, appended to a version's path (or the group's), names
  // its deleted-file list: "/.snaps/.ktsm-deleted-files".
  static const std::string sdelfilelist;
  // The suffix of the list of a version taken before: "/.ktsm-deleted-files",
  // at the top of the version's copied tree.
  static const std::string slegacydelfilelist;
  // Sets *path to the list of the version (or group) directory dir:
  // dir + sdelfilelist when dir holds a ".snaps" directory, else
  // dir + slegacydelfilelist when that exists, else dir + sdelfilelist.
  // Returns 0, or the error of a look that failed other than with ENOENT
  // (*path is then left as it was): which list it is is never guessed.
  static std::error_code delfilelist_of(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io,
                                        const std::string& dir, std::string* path);
  // Whether name, an entry at the top of a version's (or the group's)
  // directory, is none of the group's files: ".snaps" (the group's versions,
  // or a version's own list) and, at a top without ".snaps" (a version
  // taken before the list moved), the list there.
  static bool own_top_entry(const std::string& name, bool top_has_snaps);

  // True when the file at path is empty or does not exist.  Any other
  // failure to tell answers false, so that a list is never taken as empty
  // because of an I/O error.
  static bool is_file_empty(ktfs::ktfs_api* api, boost::shared_ptr<ktfs::ktfs_iopx> io,
                            std::string path);

  // Removes path and everything under it, without following symbolic
  // links: a link is removed as a link.  A directory is read only when its
  // open handle is the directory lstat found, and its entries are removed
  // only while its path still leads there (checked every 16 entries and
  // after each subdirectory); one swapped for a link or another entry
  // during the removal fails it with ELOOP.  An entry already gone when it
  // is reached, the path itself included (another client removed or renamed
  // it meanwhile), counts as removed.  Returns 0, or the errno of the first
  // failing call (logged); what was removed before the failure stays
  // removed.
  static std::error_code rmdir_nonempty(ktfs::ktfs_api* api, boost::shared_ptr<ktfs::ktfs_iopx> io,
                                        std::string path, ktfs::ktfs_debug& log);

  // Appends the records of the list at source_path to the open file target,
  // writing from offset (the target's current size).  A source whose last
  // record lacks its newline gets one, so records never run together.
  // Records that the target already holds in its first offset bytes are not
  // appended again, so a merge retried after a failure or a crash leaves
  // each record in the target once.
  // Returns 0, or the errno of the failing call (logged).
  static std::error_code fileappend(ktfs::ktfs_api* api, boost::shared_ptr<ktfs::ktfs_iopx> io,
                                    std::string source_path,
                                    boost::shared_ptr<ktfs::ktfs_file> target, unsigned long offset,
                                    ktfs::ktfs_debug& log);
};

}  // namespace ktfssnapcore

#endif  // KTFSSNAPCORE_KTFSSNAPCORE_H_
