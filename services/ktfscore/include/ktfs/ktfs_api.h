// ktfs_api: the file-system client.
//
// A ktfs_api object is constructed empty; init() connects it to a volume and
// returns the I/O handle (ktfs_iopx) that every later call takes as its first
// argument.  Handle calls take a ktfs_file from opendir() or open() instead.
// The last argument of every call is an asynchronous-result handle; callers
// pass an empty one and every call completes before it returns.
//
// Outcomes:
//  - calls returning std::error_code: value 0 on success, else the errno of
//    the failing operation (system category);
//  - calls returning a handle: an empty handle on failure, with errno set;
//  - getxattr: the value's length on success, -1 on failure (errno set).
// Every call on an empty handle fails with EBADF; none crashes.
//
// Choosing the volume.  iopx_tree_cfg has four fields: the file-system type,
// the volume name, the volfile server and a local root directory.  init()
// picks the backend from the first source that names one:
//   1. the cfg's local_root (a local directory standing in for the volume)
//      or volfile_server ("HOST" or "HOST:PORT", GlusterFS via libgfapi);
//   2. the process-wide defaults set with set_client_defaults();
//   3. the environment: KTFS_LOCAL_ROOT, then KTFS_VOLFILE_SERVER;
//   4. GlusterFS at localhost:24007.
// A local root wins over a server named by the same source.  A connection
// that fails makes init() return an empty handle.
//
// Local backend: volume paths map under the root directory; "." and ".."
// components are resolved within the volume, so no path reaches outside the
// root (".." at the root stays at the root, as on a GlusterFS volume).  The
// "trusted." attribute namespace needs CAP_SYS_ADMIN; when the process is
// not root, attribute names beginning with "trusted." are stored as "user."
// attributes instead, and listed back under their "trusted." names.
//
// GlusterFS backend: KTFS_GFAPI_LOG names libgfapi's own log file (default:
// libgfapi's default location), KTFS_GFAPI_LOG_LEVEL its level (default 3,
// warnings).  KTFS_GFAPI_COPY_FILE_RANGE=1 makes copy_range copy on the
// servers (glfs_copy_file_range; a reflink on bricks that share extents);
// by default it reads and writes, because GlusterFS 10 keeps the space of a
// server-side copy's destination on the brick after the file is deleted
// (see README).  The variable is read when a connection is made.
#ifndef KTFS_KTFS_API_H_
#define KTFS_KTFS_API_H_

#include <dirent.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "ktfs/ktfs_backend.h"
#include "ktfs/ktfs_debug.h"

namespace ktfs {

struct iopx_tree_cfg {
  std::string fs_type;         // "glusterfs" (or "local")
  std::string volume_name;     // the GlusterFS volume
  std::string volfile_server;  // "HOST" or "HOST:PORT"; empty: see above
  std::string local_root;      // a local directory; empty: see above
};

// The result of an asynchronous call.  Every call of this client completes
// before it returns, so callers pass an empty handle.
class KTFSCORE_API ktfs_aio_result {
 public:
  std::error_code ec;
};

// One volume connection, returned by ktfs_api::init().
class KTFSCORE_API ktfs_iopx {
 public:
  explicit ktfs_iopx(std::shared_ptr<backend> impl) : m_backend(std::move(impl)) {}
  backend& get_backend() { return *m_backend; }
  std::string describe() const { return m_backend->describe(); }

 private:
  std::shared_ptr<backend> m_backend;
};

// An open file or directory.
class KTFSCORE_API ktfs_file {
 public:
  explicit ktfs_file(std::unique_ptr<backend_file> impl) : m_impl(std::move(impl)) {}
  // The file's size in bytes; 0 when it cannot be told.
  unsigned long get_file_size();
  const std::string& path() const { return m_impl->path(); }
  backend_file& impl() { return *m_impl; }
  bool closed() const { return m_closed; }
  void mark_closed() { m_closed = true; }

 private:
  std::unique_ptr<backend_file> m_impl;
  bool m_closed = false;
};

typedef boost::shared_ptr<ktfs_iopx> iopx_ptr;
typedef boost::shared_ptr<ktfs_file> file_ptr;
typedef boost::shared_ptr<ktfs_aio_result> aio_ptr;

// The empty asynchronous-result handle: a call given it completes before it
// returns (every caller of this client passes it).
inline const aio_ptr kNoAio;

// Process-wide defaults for init() (source 2 above).
struct client_defaults {
  std::string volfile_server;
  std::string local_root;
  // When set, every backend that init() makes is passed through it and the
  // result used instead: tests put a fault-injecting wrapper in front.
  std::function<std::shared_ptr<backend>(std::shared_ptr<backend>)> wrap;
};
KTFSCORE_API void set_client_defaults(const client_defaults& defaults);
KTFSCORE_API client_defaults get_client_defaults();

// Makes a backend directly, for tools and tests: a local directory (made if
// missing) or a GlusterFS connection.  Return null on failure with *ec set.
KTFSCORE_API std::shared_ptr<backend> make_local_backend(const std::string& root,
                                                         std::error_code* ec);
KTFSCORE_API std::shared_ptr<backend> make_gluster_backend(const std::string& server,
                                                           const std::string& volume,
                                                           std::error_code* ec);

class KTFSCORE_API ktfs_api {
 public:
  ktfs_api();
  ~ktfs_api();

  // Connects to the volume that cfg (and the defaults above) name.  Returns
  // the I/O handle, or an empty handle when the connection fails.
  iopx_ptr init(iopx_tree_cfg cfg);

  std::error_code stat(iopx_ptr io, const char* path, struct stat* buf, aio_ptr aio);
  std::error_code lstat(iopx_ptr io, const char* path, struct stat* buf, aio_ptr aio);
  // Makes a directory with exactly these permission bits.
  std::error_code mkdir(iopx_ptr io, const char* path, unsigned int mode, aio_ptr aio);
  // Fails with ENOTEMPTY on a directory that is not empty.
  std::error_code rmdir(iopx_ptr io, const char* path, aio_ptr aio);
  std::error_code unlink(iopx_ptr io, const char* path, aio_ptr aio);
  std::error_code rename(iopx_ptr io, const char* from, const char* to, aio_ptr aio);
  std::error_code chmod(iopx_ptr io, const char* path, unsigned int mode, aio_ptr aio);
  // The permission bits of the entry itself: ELOOP on a symbolic link,
  // which is never followed.
  std::error_code lchmod(iopx_ptr io, const char* path, unsigned int mode, aio_ptr aio);

  // Empty handle on failure.
  file_ptr opendir(iopx_ptr io, const char* path, aio_ptr aio);
  // The next entry ("." and ".." included), valid until the next readdir or
  // closedir of the handle; null at the end of the directory and on error
  // (errno tells them apart: 0 at the end).
  struct dirent* readdir(file_ptr dir, aio_ptr aio);
  // As readdir; *st receives the entry's lstat with it (one call on
  // GlusterFS, where the servers send both), or zeros (no file type) when
  // the listing cannot tell, as for an entry removed meanwhile.
  struct dirent* readdirplus(file_ptr dir, struct stat* st, aio_ptr aio);
  std::error_code closedir(file_ptr dir, aio_ptr aio);
  // Reads the attribute of the entry called entry (one name, as readdir
  // gives it) of the open directory dir, like lgetxattr of its path (the
  // entry itself, never a link's target), without resolving the
  // directory's path again.  Returns the value's length, or -1 (errno as
  // getxattr; EINVAL when entry is not a single name).
  int64_t getxattrat(file_ptr dir, const char* entry, const char* name, struct iovec* iov,
                     aio_ptr aio);

  // flags are POSIX open flags (1 is O_WRONLY).  Empty handle on failure.
  file_ptr open(iopx_ptr io, const char* path, int flags, aio_ptr aio);
  // With O_CREAT in flags, a new file gets exactly the permission bits mode.
  file_ptr open(iopx_ptr io, const char* path, int flags, unsigned int mode, aio_ptr aio);
  std::error_code close(file_ptr file, aio_ptr aio);
  // The open file's own metadata, wherever its names have gone since.
  std::error_code fstat(file_ptr file, struct stat* buf, aio_ptr aio);
  // Read or write up to len bytes at offset; *done receives the count.
  std::error_code read(file_ptr file, void* buf, size_t len, uint64_t offset, size_t* done,
                       aio_ptr aio);
  std::error_code write(file_ptr file, const void* buf, size_t len, uint64_t offset, size_t* done,
                        aio_ptr aio);
  // Copies up to len bytes between two open files of one volume (in the
  // kernel or the servers where the backend can); *done is 0 at the end of
  // src.  Offsets advance by *done.
  std::error_code copy_range(file_ptr src, uint64_t* src_offset, file_ptr dst, uint64_t* dst_offset,
                             size_t len, size_t* done, aio_ptr aio);

  // Reads the attribute into iov->iov_base (at most iov->iov_len bytes).
  // Returns the value's length, or -1 on failure (errno: ENODATA when the
  // attribute is missing, ERANGE when the buffer is too small).
  int64_t getxattr(iopx_ptr io, const char* path, const char* name, struct iovec* iov, aio_ptr aio);
  // Writes iov->iov_len bytes at iov->iov_base as the attribute's value.
  // flags 0 creates or replaces it.
  std::error_code setxattr(iopx_ptr io, const char* path, const char* name, struct iovec* iov,
                           unsigned long flags, aio_ptr aio);
  // Attribute names of path; follow = false lists a symbolic link's own.
  std::error_code listxattr(iopx_ptr io, const char* path, bool follow,
                            std::vector<std::string>* names, aio_ptr aio);

  std::error_code readlink(iopx_ptr io, const char* path, std::string* target, aio_ptr aio);
  std::error_code symlink(iopx_ptr io, const char* target, const char* path, aio_ptr aio);

  // Metadata of the entry itself, never following a final symbolic link:
  // owner and group (-1 keeps one), access and modification times.
  std::error_code lchown(iopx_ptr io, const char* path, uid_t uid, gid_t gid, aio_ptr aio);
  std::error_code lutimens(iopx_ptr io, const char* path, const struct timespec times[2],
                           aio_ptr aio);
  // Makes a FIFO, device or socket (mode holds the type and exactly these
  // permission bits); dev is used for devices.
  std::error_code mknod(iopx_ptr io, const char* path, unsigned int mode, dev_t dev, aio_ptr aio);
  // Makes "to" a hard link of "from".
  std::error_code link(iopx_ptr io, const char* from, const char* to, aio_ptr aio);
  // getxattr and setxattr on the entry itself (a symbolic link's own).
  int64_t lgetxattr(iopx_ptr io, const char* path, const char* name, struct iovec* iov,
                    aio_ptr aio);
  std::error_code lsetxattr(iopx_ptr io, const char* path, const char* name, struct iovec* iov,
                            unsigned long flags, aio_ptr aio);

  // Whether every part of the volume that can hold entries of the
  // directory at path answers now (backend::reachable): ENOTCONN when a
  // brick (or a whole replica set) of a distributed volume does not, so
  // that a listing of the directory may silently lack entries.
  std::error_code reachable(iopx_ptr io, const char* path, aio_ptr aio);
  // The same, and every brick of each replica set answers too
  // (backend::reachable with every_copy): what a removal asks, so that no
  // brick that missed it can bring the entry back when it returns.
  std::error_code every_copy_reachable(iopx_ptr io, const char* path, aio_ptr aio);
  // backend::attribute_changes_move_ctime; false without a volume.
  bool attribute_changes_move_ctime(iopx_ptr io);

  // lseek(2) on an open file: *result receives the offset for whence
  // (SEEK_DATA, SEEK_HOLE, ...); SEEK_DATA fails with ENXIO where no data
  // follows offset.
  std::error_code seek(file_ptr file, uint64_t offset, int whence, uint64_t* result, aio_ptr aio);
  // Sets an open file's size; growing it leaves a hole.
  std::error_code truncate(file_ptr file, uint64_t length, aio_ptr aio);
  // Takes (exclusive true) or releases a write lock on the whole open file,
  // without waiting: EAGAIN or EACCES while another open holds it.  The
  // lock is the open file's (see backend_file::lock); closing releases it.
  std::error_code lock(file_ptr file, bool exclusive, aio_ptr aio);
};

}  // namespace ktfs

#endif  // KTFS_KTFS_API_H_
