// Pieces shared by the files of libktfssnapcore; not installed.
#ifndef KTFSSNAPCORE_SRC_INTERNAL_H_
#define KTFSSNAPCORE_SRC_INTERNAL_H_

#include <sys/stat.h>

#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "ktfssnapcore/ktfssnapcore.h"

namespace ktfssnapcore {
namespace detail {

using ktfs::errno_code;

// The logger that set_logger chose, or the default one.
ktfs::ktfs_debug& logger();

// The progress counters that snap_progress() shows.
copy_progress& progress();

// The names in the directory at path, without "." and "..".  The directory
// is read whole and closed before the names are used, so callers may change
// it while they go through them.  What is read is the directory that lstat
// finds at path: a symbolic link there fails with ELOOP, another entry that
// is not a directory with ENOTDIR (see list_dir).
std::error_code list_names(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                           std::vector<std::string>* names);

// As list_names, for a path that lstat has just found to be seen.  The open
// directory's own identity (device and inode) must be seen's: an entry
// swapped between that lstat and the opening (for a symbolic link, or
// another directory) fails with ELOOP, so that a walk never reads a
// directory it did not choose.
std::error_code list_dir(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                         const struct stat& seen, std::vector<std::string>* names);

// An entry of a directory and its lstat as the listing gave it; st_mode
// without a type when the listing could not tell (the caller looks).
struct listed_entry {
  std::string name;
  struct stat st;
};

// As list_dir, with each entry's lstat from the listing itself
// (readdirplus: one call for a batch of entries on GlusterFS).
std::error_code list_dir_plus(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io,
                              const std::string& path, const struct stat& seen,
                              std::vector<listed_entry>* entries);

// Whether path still names the directory seen (lstat, never following),
// or with seen null any real directory: ELOOP when a symbolic link or
// another directory is there now, ENOTDIR for another kind of entry.
// Walks that go on by path call it before they work under a directory,
// since a client that resolves paths on its servers may follow a link met
// in a directory component.
std::error_code same_dir(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                         const struct stat* seen);

// Whether the open file or directory is the entry that lstat found (seen):
// ELOOP when its device or inode differ (the entry was swapped before it
// was opened), else the error of fstat.  With opened, also what fstat
// told of the open entry (its size and times may be newer than seen's).
std::error_code opened_as_seen(const ktfs::file_ptr& file, const struct stat& seen,
                               struct stat* opened = nullptr);

// Which extended attributes copy_attrs copies.
enum class attr_scope {
  all,         // every one but the volume's own bookkeeping
  posix_acls,  // system.posix_acl_access and system.posix_acl_default only
};

// Copies the extended attributes of src in scope onto dst (the entries
// themselves, never following links; POSIX ACLs included), except the
// volume's own bookkeeping attributes.  On failure *failed names the path
// of the call that failed.
std::error_code copy_attrs(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& src,
                           const std::string& dst, std::string* failed,
                           attr_scope scope = attr_scope::all);

// Whether the entries a and b carry the same extended attributes (their
// own, names and values) but for the volume's bookkeeping; false when
// either cannot be read.  A change of an attribute does not move a file's
// change time on every volume (GlusterFS 10.3 keeps it), so the rule for
// unchanged files compares them.
bool same_attrs(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& a,
                const std::string& b);

// Removes path and what lies under it; *failed receives the path of the
// first failing call.
std::error_code remove_tree(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                            std::string* failed);

// True for attribute names that the volume keeps for itself and that must
// not be copied from one file to another.
bool is_volume_internal_attr(const std::string& name);

// What a caller adds to a version's directory itself once the group's
// entries are copied; the error of its failing call, with *failed set.
typedef std::function<std::error_code(std::string* failed)> version_filler;

// An older version whose files stand in for unchanged live files (see
// snap_opcreate); dir empty: none.
struct link_source {
  std::string dir;
  int64_t unchanged_before_ns;
};

// Whether the live file (its lstat) is unchanged since the older version
// whose file at the same path older is was taken: the rule of
// snap_opcreate.
bool unchanged_since(const struct stat& live, const struct stat& older,
                     int64_t unchanged_before_ns);

// Copies the file group fg into the existing directory ver (see
// snap_opcreate): the group's entries (unchanged files linked to older's),
// then what fill adds, then ver's own metadata, which nothing changes
// afterwards.  On failure *failed names the path of the call that failed.
std::error_code copy_group(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& fg,
                           const std::string& ver, const link_source& older,
                           const version_filler& fill, std::string* failed);

}  // namespace detail
}  // namespace ktfssnapcore

#endif  // KTFSSNAPCORE_SRC_INTERNAL_H_
