// The narrow file-system interface behind ktfs::ktfs_api.
//
// A backend is one volume connection: GlusterFS through libgfapi, a local
// directory standing in for a volume, or a wrapper in front of another
// backend (fault injection in tests).  ktfs_api turns the calls of its public
// surface into calls on the backend that its ktfs_iopx handle holds.
//
// Paths are volume paths: absolute from the volume's root, used as given
// ("//a/.snaps/v1" names the same object as "/a/.snaps/v1"); "." and ".."
// are resolved within the volume, never above its root.
//
// Symbolic links.  Each call below says whether it follows a final symbolic
// link (stat, chmod, opendir, open without O_NOFOLLOW, getxattr, setxattr,
// listxattr with follow) or acts on the link itself (lstat, unlink, rmdir,
// rename, readlink, lchown, lchmod, lutimens, link, lgetxattr, lsetxattr,
// listxattr without follow; mkdir, symlink, mknod and an O_CREAT open never create
// through a link).
//  - Local directory: no call goes through a symbolic link in a directory
//    component: such a path fails with ELOOP, whether the link leads inside
//    the root or out of it, and nothing is made or changed.  A following
//    call follows a final link only when its target is relative, has no
//    ".." and names, through no further link, an entry beneath the link's
//    own directory that is no link itself; any other final link (absolute,
//    climbing, a chain) fails with ELOOP.  So no call reaches outside the
//    root, nor out of the directory that holds a final link.  Paths are
//    resolved from a descriptor of the root (openat2 with RESOLVE_BENEATH
//    and RESOLVE_NO_SYMLINKS, or component by component with O_NOFOLLOW on
//    a kernel without openat2); the attribute calls reach the entry through
//    /proc/self/fd, which must be mounted.
//  - GlusterFS (libgfapi, as of 10.3): no call goes through a symbolic link
//    in a directory component either (ELOOP): calls are made relative to
//    an object of the entry's directory, reached without following links
//    (see README, "Trees users can write").  A following call follows a
//    final link within the volume: an absolute target starts at the
//    volume's root, and ".." stops there.
//
// Every call reports failure through a std::error_code of the system category
// that carries the errno of the failing operation; value 0 means success.
// Implementations must be safe to call from several threads at once.
#ifndef KTFS_KTFS_BACKEND_H_
#define KTFS_KTFS_BACKEND_H_

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "ktfs/ktfscore_export.h"

namespace ktfs {

// The error code of the POSIX error number err (by default errno): the one
// way the client and its users turn an errno into a std::error_code.
inline std::error_code errno_code(int err = errno) {
  return std::error_code(err, std::system_category());
}

// The kinds of client call, used by the fault-injecting wrapper to count and
// select calls.  One ktfs_api call is exactly one backend call of one kind.
enum class op : int {
  stat,
  lstat,
  mkdir,
  rmdir,
  unlink,
  rename,
  chmod,
  opendir,
  readdir,
  closedir,
  open,
  close,
  read,
  write,
  fstat,
  getxattr,
  setxattr,
  listxattr,
  readlink,
  symlink,
  copy_range,
  chown,      // lchown: never follows a final symbolic link
  utimens,    // access and modification times, never following
  mknod,      // FIFOs, devices and sockets
  link,       // a hard link
  lgetxattr,  // an attribute of the entry itself (a link's own)
  lsetxattr,
  seek,         // SEEK_DATA / SEEK_HOLE on an open file
  truncate,     // ftruncate of an open file
  lock,         // a whole-file write lock taken or released on an open file
  getxattrat,   // an attribute of an entry of an open directory, the entry itself
  readdirplus,  // the next entry of a directory with its lstat
  reachable,    // whether every part of the volume holding a directory answers
  lchmod,       // permission bits of the entry itself, never a link's target
  count_        // number of kinds; not a call
};

// Returns the lower-case name of a kind ("stat", "getxattr", ...).
KTFSCORE_API const char* op_name(op kind);

// An open file or directory of a backend.  Closing is explicit; a file that
// is destroyed while still open is closed without reporting.
class KTFSCORE_API backend_file {
 public:
  virtual ~backend_file();

  // The volume path the file was opened with.
  virtual const std::string& path() const = 0;

  // Directories: the next entry, or *entry = nullptr at the end of the
  // directory.  The entry stays valid until the next readdir or the close.
  virtual std::error_code readdir(struct dirent** entry) = 0;
  // Directories: as readdir, and *st receives the entry's lstat (the entry
  // itself, never a link's target) when *entry is not null.  On GlusterFS
  // the servers send both in one answer.
  virtual std::error_code readdirplus(struct dirent** entry, struct stat* st) = 0;

  // Files: read or write up to len bytes at offset; *done receives the
  // number of bytes moved (a short read means end of file).
  virtual std::error_code pread(void* buf, size_t len, uint64_t offset, size_t* done) = 0;
  virtual std::error_code pwrite(const void* buf, size_t len, uint64_t offset, size_t* done) = 0;
  virtual std::error_code fstat(struct stat* buf) = 0;

  // Copies up to len bytes from this file at *src_offset into dst at
  // *dst_offset, advancing both offsets; *done receives the bytes copied
  // (0 at the end of this file).  dst comes from the same backend.  Where
  // the copy is made in the kernel or on the servers, the file system may
  // share the extents (a reflink) instead of writing new ones.
  virtual std::error_code copy_to(backend_file& dst, uint64_t* src_offset, uint64_t* dst_offset,
                                  size_t len, size_t* done) = 0;

  // Files: the offset lseek(2) answers for offset and whence (SEEK_DATA,
  // SEEK_HOLE, SEEK_SET, SEEK_END); ENXIO when SEEK_DATA finds no data at
  // or after offset.
  virtual std::error_code seek(uint64_t offset, int whence, uint64_t* result) = 0;
  // Files: sets the size (ftruncate(2)); growing it leaves a hole.
  virtual std::error_code truncate(uint64_t length) = 0;
  // Files: takes (exclusive true) or releases a write lock on the whole
  // file without waiting; EAGAIN (or EACCES) while another holds it.  The
  // lock belongs to this open file, not to the process: two opens of one
  // file exclude each other even in one process, and on a GlusterFS volume
  // every client sees it.  Closing the file, or the end of the process,
  // releases it.
  virtual std::error_code lock(bool exclusive) = 0;
  // Directories: reads the attribute name of the entry called entry (one
  // component, as readdir gives it) of this directory into buf, as
  // backend::lgetxattr would for path() + "/" + entry: the entry itself,
  // never a symbolic link's target.  The directory is not looked up again,
  // so listing a directory and reading its entries' attributes costs one
  // resolution of the directory's path, not one per entry.
  virtual std::error_code getxattrat(const std::string& entry, const std::string& name, void* buf,
                                     size_t len, size_t* size) = 0;

  virtual std::error_code close() = 0;
};

class KTFSCORE_API backend {
 public:
  virtual ~backend();

  // A short description for logs and diagnostics ("local:/srv/vol",
  // "glusterfs:host:24007/vol").
  virtual std::string describe() const = 0;

  // Follows a final symbolic link (see above).
  virtual std::error_code stat(const std::string& path, struct stat* buf) = 0;
  // Like stat, but does not follow a final symbolic link.
  virtual std::error_code lstat(const std::string& path, struct stat* buf) = 0;
  // Makes a directory with exactly the given permission bits (no umask).
  virtual std::error_code mkdir(const std::string& path, unsigned int mode) = 0;
  // Removes an empty directory; fails with ENOTEMPTY otherwise.
  virtual std::error_code rmdir(const std::string& path) = 0;
  virtual std::error_code unlink(const std::string& path) = 0;
  virtual std::error_code rename(const std::string& from, const std::string& to) = 0;
  virtual std::error_code chmod(const std::string& path, unsigned int mode) = 0;
  // The permission bits of the entry itself, never following a final
  // symbolic link: a link there fails with ELOOP and nothing changes.  The
  // call to give an entry its mode in any tree that users can write, where
  // the entry may have been swapped for a link since it was made.
  virtual std::error_code lchmod(const std::string& path, unsigned int mode) = 0;

  virtual std::error_code opendir(const std::string& path, std::unique_ptr<backend_file>* out) = 0;
  // flags are POSIX open flags; mode is used when O_CREAT makes the file
  // and is applied exactly (no umask).  A final symbolic link is followed
  // unless flags hold O_NOFOLLOW (ELOOP then); on a local directory O_CREAT
  // never creates a link's missing target (ENOENT).
  virtual std::error_code open(const std::string& path, int flags, unsigned int mode,
                               std::unique_ptr<backend_file>* out) = 0;

  // getxattr, setxattr: the attributes of a final symbolic link's target.
  // Reads an extended attribute into buf; *size receives the value's length.
  // ERANGE when buf is too small, ENODATA when the attribute is missing.
  virtual std::error_code getxattr(const std::string& path, const std::string& name, void* buf,
                                   size_t len, size_t* size) = 0;
  // flags: 0 creates or replaces, XATTR_CREATE / XATTR_REPLACE as in POSIX.
  virtual std::error_code setxattr(const std::string& path, const std::string& name,
                                   const void* value, size_t len, int flags) = 0;
  // The names of the attributes of path (a symbolic link's own when
  // follow is false).
  virtual std::error_code listxattr(const std::string& path, bool follow,
                                    std::vector<std::string>* names) = 0;

  virtual std::error_code readlink(const std::string& path, std::string* target) = 0;
  virtual std::error_code symlink(const std::string& target, const std::string& path) = 0;

  // Owner and group of the entry itself, never following a final symbolic
  // link (lchown(2)); (uid_t)-1 or (gid_t)-1 leaves one unchanged.
  virtual std::error_code lchown(const std::string& path, uid_t uid, gid_t gid) = 0;
  // Access and modification times (times[0], times[1]) of the entry
  // itself, never following a final symbolic link.
  virtual std::error_code lutimens(const std::string& path, const struct timespec times[2]) = 0;
  // Makes a FIFO, character or block device or socket (mode carries the
  // type) with exactly the permission bits of mode.
  virtual std::error_code mknod(const std::string& path, unsigned int mode, dev_t dev) = 0;
  // Makes "to" a second name of the entry at "from" (never following it).
  virtual std::error_code link(const std::string& from, const std::string& to) = 0;
  // getxattr and setxattr on the entry itself: a symbolic link's own
  // attributes, never its target's.
  virtual std::error_code lgetxattr(const std::string& path, const std::string& name, void* buf,
                                    size_t len, size_t* size) = 0;
  virtual std::error_code lsetxattr(const std::string& path, const std::string& name,
                                    const void* value, size_t len, int flags) = 0;

  // Whether every part of the volume that can hold entries of the
  // directory at path answers now.  A distributed GlusterFS volume lists a
  // directory from the bricks that answer and silently leaves out the
  // entries of one that does not, so a caller that must see a whole tree
  // asks this before it trusts a listing and again after it has acted on
  // one.  ENOTCONN when a part does not answer; the errno of the lookup
  // when path cannot be looked up; EPROTO when the volume's answer cannot
  // be read.  A local directory is one part: the outcome of lstat(path).
  // On GlusterFS (see README, "A brick down"): the client's own view of
  // its connections to the subvolumes of each distribute translator, then
  // the answers of every brick to a lookup of path itself, counted against
  // the directory's layout.  A replica set answers while it keeps quorum,
  // unless every_copy: then only while every brick of it answers (a
  // removal made while a brick is down waits on the volume's self-heal to
  // reach that brick's copy when it returns), counted against the client's
  // own volume description.
  virtual std::error_code reachable(const std::string& path, bool every_copy) = 0;

  // Whether every change of an entry's extended attributes moves its
  // change time (ctime), as it does on a local file system.  GlusterFS
  // 10.3 keeps the change time when an attribute is set, so a caller that
  // tells changed files by their change time must compare attributes
  // there.  Answers no call and fails never.
  virtual bool attribute_changes_move_ctime() const { return false; }
};

}  // namespace ktfs

#endif  // KTFS_KTFS_BACKEND_H_
