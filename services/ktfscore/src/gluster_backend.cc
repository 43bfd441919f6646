// A GlusterFS volume through libgfapi.
#include <fcntl.h>
#include <glusterfs/api/glfs-handles.h>
#include <glusterfs/api/glfs.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "backends.h"

namespace ktfs {

namespace {

std::error_code check(int rc) { return rc == 0 ? std::error_code() : errno_code(); }

// Copies move data in blocks of this size.
const size_t kBlock = 4 << 20;
// A server-side copy is one call for the whole file, up to this size.
const uint64_t kServerMax = 1ull << 30;

class gluster_file : public backend_file {
 public:
  // owner: the connection that opened a directory (it outlives its files,
  // as the descriptor's connection must).
  gluster_file(std::string path, glfs_fd_t* fd, backend* owner,
               std::shared_ptr<std::atomic<bool>> server_copy = nullptr)
      : m_path(std::move(path)),
        m_fd(fd),
        m_is_dir(owner != nullptr),
        m_owner(owner),
        m_server_copy(std::move(server_copy)) {}
  ~gluster_file() override { close(); }

  const std::string& path() const override { return m_path; }

  std::error_code readdir(struct dirent** entry) override {
    *entry = nullptr;
    if (!m_is_dir || m_fd == nullptr) return errno_code(ENOTDIR);
    errno = 0;
    *entry = glfs_readdir(m_fd);
    if (*entry == nullptr && errno != 0) return errno_code();
    return {};
  }

  std::error_code readdirplus(struct dirent** entry, struct stat* st) override {
    *entry = nullptr;
    if (!m_is_dir || m_fd == nullptr) return errno_code(ENOTDIR);
    errno = 0;
    *entry = glfs_readdirplus(m_fd, st);
    if (*entry == nullptr && errno != 0) return errno_code();
    return {};
  }

  std::error_code pread(void* buf, size_t len, uint64_t offset, size_t* done) override {
    return transfer_all(len, done, [&](size_t at) {
      return glfs_pread(m_fd, static_cast<char*>(buf) + at, len - at,
                        static_cast<off_t>(offset + at), 0, nullptr);
    });
  }

  std::error_code pwrite(const void* buf, size_t len, uint64_t offset, size_t* done) override {
    return transfer_all(len, done, [&](size_t at) {
      return glfs_pwrite(m_fd, static_cast<const char*>(buf) + at, len - at,
                         static_cast<off_t>(offset + at), 0, nullptr, nullptr);
    });
  }

  std::error_code fstat(struct stat* buf) override { return check(glfs_fstat(m_fd, buf)); }

  // On the servers with glfs_copy_file_range when the connection allows it
  // (KTFS_GFAPI_COPY_FILE_RANGE=1), the volume supports it and the call can
  // copy the whole file at once; else large-block reads and writes.
  //
  // glfs_copy_file_range as GlusterFS 10.3 has it is right only in that
  // case.  Measured here: it reads the source from offset 0 whatever offset
  // it is given (a copy in two calls writes the first part twice); it never
  // reports the end of the source (asked beyond it, it answers the length
  // asked and extends the destination, so a loop waiting for 0 never ends
  // and fills the brick); the client keeps the destination's old size in
  // its cache; and the brick keeps the destination's space after the file
  // is deleted (in .glusterfs/unlink) until the brick restarts.
  //
  // Reads and writes: one read per call; a short read is copied as it is
  // (the caller calls again until a read finds the end), so a small file
  // costs one read that returns data and one that finds the end, as with
  // plain reads.  The block is not zeroed: only what was read is written.
  std::error_code copy_to(backend_file& dst, uint64_t* src_offset, uint64_t* dst_offset, size_t len,
                          size_t* done) override {
    *done = 0;
    gluster_file* target = dynamic_cast<gluster_file*>(&dst);
    if (target == nullptr) return errno_code(EXDEV);
    if (*src_offset == 0 && *dst_offset == 0 && m_server_copy &&
        m_server_copy->load(std::memory_order_relaxed)) {
      struct stat st;
      if (glfs_fstat(m_fd, &st) != 0) return errno_code();
      uint64_t size = static_cast<uint64_t>(st.st_size);
      if (size == 0) return {};
      if (len >= size && size <= kServerMax) {
        off64_t in = 0, out = 0;
        ssize_t n = glfs_copy_file_range(m_fd, &in, target->m_fd, &out, static_cast<size_t>(size),
                                         0, nullptr, nullptr, nullptr);
        if (n >= 0) {
          advance(static_cast<size_t>(n), src_offset, dst_offset, done);
          return {};
        }
        // A distributed volume refuses a copy between files on different
        // bricks (EPERM, or EXDEV): that file is read and written, the next
        // one may still be copied on its brick.
        bool other_brick = errno == EPERM || errno == EXDEV;
        if (!other_brick && errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
          return errno_code();
        }
        if (!other_brick) m_server_copy->store(false, std::memory_order_relaxed);
      }
    }
    size_t size = std::min(len, kBlock);
    // One block per thread, kept: a fresh 4 MiB block per call costs its
    // page faults every time.
    thread_local std::unique_ptr<char[]> block(new char[kBlock]);
    ssize_t got;
    do {
      got = glfs_pread(m_fd, block.get(), size, static_cast<off_t>(*src_offset), 0, nullptr);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno_code();
    size_t read = static_cast<size_t>(got), put = 0;
    if (std::error_code ec = target->pwrite(block.get(), read, *dst_offset, &put)) return ec;
    advance(read, src_offset, dst_offset, done);
    return {};
  }

  std::error_code seek(uint64_t offset, int whence, uint64_t* result) override {
    off_t at = glfs_lseek(m_fd, static_cast<off_t>(offset), whence);
    if (at < 0) return errno_code();
    *result = static_cast<uint64_t>(at);
    return {};
  }

  std::error_code truncate(uint64_t length) override {
    return check(glfs_ftruncate(m_fd, static_cast<off_t>(length), nullptr, nullptr));
  }

  // A POSIX lock on the bricks, owned by this open file (its own lock
  // owner), so that two opens exclude each other even in one process and
  // every client of the volume sees it.
  std::error_code lock(bool exclusive) override {
    if (glfs_fd_set_lkowner(m_fd, &m_fd, sizeof m_fd) != 0) return errno_code();
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = exclusive ? F_WRLCK : F_UNLCK;
    fl.l_whence = SEEK_SET;
    return check(glfs_posix_lock(m_fd, F_SETLK, &fl));
  }

  // libgfapi has no call relative to an open directory: the entry's path,
  // whose directory the client has just listed and so has in its cache.
  std::error_code getxattrat(const std::string& entry, const std::string& name, void* buf,
                             size_t len, size_t* size) override {
    *size = 0;
    if (!m_is_dir || m_fd == nullptr) return errno_code(ENOTDIR);
    return m_owner->lgetxattr(m_path + "/" + entry, name, buf, len, size);
  }

  std::error_code close() override {
    if (m_fd == nullptr) return {};
    int rc = m_is_dir ? glfs_closedir(m_fd) : glfs_close(m_fd);
    m_fd = nullptr;
    return check(rc);
  }

 private:
  static void advance(size_t n, uint64_t* src_offset, uint64_t* dst_offset, size_t* done) {
    *done = n;
    *src_offset += n;
    *dst_offset += n;
  }

  std::string m_path;
  glfs_fd_t* m_fd;
  bool m_is_dir;
  backend* m_owner;
  // Shared by the files of one connection: whether copies go to the servers.
  std::shared_ptr<std::atomic<bool>> m_server_copy;
};

// An object of an entry, closed when the last holder lets go (a directory's
// is shared by the calls that use it at once and the table of directories
// walked).
typedef std::shared_ptr<glfs_object_t> object_ptr;
object_ptr own(glfs_object_t* o) {
  return object_ptr(o, [](glfs_object_t* x) {
    if (x != nullptr) glfs_h_close(x);
  });
}

// A GlusterFS identity (gfid).
using identity = std::array<unsigned char, GFAPI_HANDLE_LENGTH>;

// The directories a walk without following links found, by volume path:
// one table per connection, shared by its backends, so that what one of
// them removes or renames the others forget.
struct walked_table {
  struct dir {
    identity id;
    object_ptr object;
    int64_t checked_ns;  // CLOCK_MONOTONIC
  };
  std::mutex mutex;
  std::map<std::string, dir> dirs;  // guarded by mutex
};

class gluster_backend : public backend {
 public:
  gluster_backend(glfs_t* fs, std::string label, bool server_copy,
                  std::shared_ptr<walked_table> walked)
      : m_fs(fs),
        m_label(std::move(label)),
        m_server_copy(std::make_shared<std::atomic<bool>>(server_copy)),
        m_walked(std::move(walked)) {}

  std::string describe() const override { return "glusterfs:" + m_label; }

  // Reads the parent directory of p with readdirp, which links every entry's
  // current inode to its name: after another client replaced an entry, this
  // client's cached inode answers ESTALE until the name is looked up again.
  void refresh_parent(const std::string& p) {
    std::string parent = p.substr(0, p.rfind('/'));
    glfs_fd_t* dir = glfs_opendir(m_fs, parent.empty() ? "/" : parent.c_str());
    if (dir == nullptr) return;
    struct stat st;
    while (glfs_readdirplus(dir, &st) != nullptr) {
    }
    glfs_closedir(dir);
  }

  // Runs call, a call on the volume path p; when it fails with ESTALE (an
  // entry another client replaced), refreshes p's directory and runs it once
  // more.
  template <class Call>
  auto fresh(const std::string& p, Call call) -> decltype(call()) {
    auto result = call();
    if (failed(result) && errno == ESTALE) {
      refresh_parent(p);
      result = call();
    }
    return result;
  }
  static bool failed(int rc) { return rc != 0; }
  static bool failed(ssize_t n) { return n < 0; }

  std::error_code stat(const std::string& path, struct stat* buf) override {
    return entry_call(path, true, [&](glfs_object_t*, const struct stat& st) {
      *buf = st;
      return 0;
    });
  }
  std::error_code lstat(const std::string& path, struct stat* buf) override {
    return entry_call(path, false, [&](glfs_object_t*, const struct stat& st) {
      *buf = st;
      return 0;
    });
  }
  std::error_code mkdir(const std::string& path, unsigned int mode) override {
    return dir_call(path, [&](glfs_object_t* dir, const char* leaf) {
      struct stat st;
      return made_exact(glfs_h_mkdir(m_fs, dir, leaf, mode, &st), st, mode);
    });
  }
  std::error_code rmdir(const std::string& path) override { return remove(path, true); }
  std::error_code unlink(const std::string& path) override { return remove(path, false); }
  std::error_code rename(const std::string& from, const std::string& to) override {
    forget_tree(vol(from));
    forget_tree(vol(to));
    return dir_call(from, [&](glfs_object_t* from_dir, const char* from_leaf) {
      std::error_code ec = dir_call(to, [&](glfs_object_t* to_dir, const char* to_leaf) {
        return glfs_h_rename(m_fs, from_dir, from_leaf, to_dir, to_leaf);
      });
      errno = ec.value();
      return ec ? -1 : 0;
    });
  }
  std::error_code chmod(const std::string& path, unsigned int mode) override {
    return set_mode(path, mode, true);
  }
  // glfs_chmod follows a final link: the entry is looked up without
  // following (an object of the entry itself) and its mode set on that
  // object, so a link swapped in since the entry was made leads nowhere.
  std::error_code lchmod(const std::string& path, unsigned int mode) override {
    return set_mode(path, mode, false);
  }

  std::error_code opendir(const std::string& path, std::unique_ptr<backend_file>* out) override {
    glfs_fd_t* fd = nullptr;
    std::error_code ec = entry_call(path, true, [&](glfs_object_t* entry, const struct stat& st) {
      if (!S_ISDIR(st.st_mode)) return refuse(ENOTDIR);
      fd = glfs_h_opendir(m_fs, entry);
      return fd != nullptr ? 0 : -1;
    });
    if (ec) return ec;
    out->reset(new gluster_file(path, fd, this));
    return {};
  }

  std::error_code open(const std::string& path, int flags, unsigned int mode,
                       std::unique_ptr<backend_file>* out) override {
    glfs_fd_t* fd = nullptr;
    std::error_code ec;
    if (flags & O_CREAT) {
      ec = dir_call(path, [&](glfs_object_t* dir, const char* leaf) {
        struct stat st;
        glfs_object_t* made = glfs_h_creat_open(m_fs, dir, leaf, flags | O_EXCL, mode, &st, &fd);
        if (made == nullptr) return -1;
        glfs_h_close(made);
        if ((st.st_mode & 07777) == mode || glfs_fchmod(fd, mode) == 0) return 0;
        int err = errno;
        glfs_close(fd);
        fd = nullptr;
        return refuse(err);
      });
      if (ec.value() != EEXIST || (flags & O_EXCL)) {
        if (ec) return ec;
        out->reset(new gluster_file(path, fd, nullptr, m_server_copy));
        return {};
      }
    }
    bool follow = !(flags & O_NOFOLLOW);
    int open_flags = flags & ~(O_CREAT | O_EXCL | O_NOFOLLOW | O_TRUNC);
    ec = entry_call(path, follow, [&](glfs_object_t* entry, const struct stat& st) {
      if (S_ISLNK(st.st_mode)) return refuse(ELOOP);
      if (S_ISDIR(st.st_mode)) return refuse(EISDIR);
      fd = glfs_h_open(m_fs, entry, open_flags);
      if (fd == nullptr) return -1;
      if (!(flags & O_TRUNC) || glfs_ftruncate(fd, 0, nullptr, nullptr) == 0) return 0;
      int err = errno;
      glfs_close(fd);
      fd = nullptr;
      return refuse(err);
    });
    if (ec) return ec;
    out->reset(new gluster_file(path, fd, nullptr, m_server_copy));
    return {};
  }

  std::error_code getxattr(const std::string& path, const std::string& name, void* buf, size_t len,
                           size_t* size) override {
    return get_attribute(path, true, name, buf, len, size);
  }
  std::error_code setxattr(const std::string& path, const std::string& name, const void* value,
                           size_t len, int flags) override {
    return set_attribute(path, true, name, value, len, flags);
  }
  std::error_code lgetxattr(const std::string& path, const std::string& name, void* buf, size_t len,
                            size_t* size) override {
    return get_attribute(path, false, name, buf, len, size);
  }
  std::error_code lsetxattr(const std::string& path, const std::string& name, const void* value,
                            size_t len, int flags) override {
    return set_attribute(path, false, name, value, len, flags);
  }

  // The names come as getxattr gives them for no name: one after another,
  // each ended by a zero byte.
  std::error_code listxattr(const std::string& path, bool follow,
                            std::vector<std::string>* names) override {
    names->clear();
    return entry_call(path, follow, [&](glfs_object_t* entry, const struct stat&) {
      for (;;) {
        int n = glfs_h_getxattrs(m_fs, entry, nullptr, nullptr, 0);
        if (n < 0) return -1;
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        n = glfs_h_getxattrs(m_fs, entry, nullptr, buf.data(), buf.size());
        if (n < 0 && errno == ERANGE) continue;
        if (n < 0) return -1;
        for (size_t at = 0; at < static_cast<size_t>(n);) {
          std::string name(buf.data() + at);
          at += name.size() + 1;
          names->push_back(name);
        }
        return 0;
      }
    });
  }

  std::error_code readlink(const std::string& path, std::string* target) override {
    return entry_call(path, false, [&](glfs_object_t* entry, const struct stat& st) {
      if (!S_ISLNK(st.st_mode)) return refuse(EINVAL);
      std::vector<char> buf(static_cast<size_t>(st.st_size) + 256);
      int n = glfs_h_readlink(m_fs, entry, buf.data(), buf.size());
      if (n < 0) return -1;
      target->assign(buf.data(), std::min(static_cast<size_t>(n), buf.size()));
      return 0;
    });
  }

  std::error_code symlink(const std::string& target, const std::string& path) override {
    return dir_call(path, [&](glfs_object_t* dir, const char* leaf) {
      struct stat st;
      return closed(glfs_h_symlink(m_fs, dir, leaf, target.c_str(), &st));
    });
  }

  std::error_code lchown(const std::string& path, uid_t uid, gid_t gid) override {
    return entry_call(path, false, [&](glfs_object_t* entry, const struct stat& now) {
      struct stat st = now;
      int valid = 0;
      if (uid != static_cast<uid_t>(-1)) st.st_uid = uid, valid |= GFAPI_SET_ATTR_UID;
      if (gid != static_cast<gid_t>(-1)) st.st_gid = gid, valid |= GFAPI_SET_ATTR_GID;
      return valid == 0 ? 0 : glfs_h_setattrs(m_fs, entry, &st, valid);
    });
  }
  std::error_code lutimens(const std::string& path, const struct timespec times[2]) override {
    return entry_call(path, false, [&](glfs_object_t* entry, const struct stat& now) {
      struct stat st = now;
      int valid = 0;
      struct timespec clock;
      clock_gettime(CLOCK_REALTIME, &clock);
      struct timespec* slot[2] = {&st.st_atim, &st.st_mtim};
      const int bit[2] = {GFAPI_SET_ATTR_ATIME, GFAPI_SET_ATTR_MTIME};
      for (int i = 0; i < 2; ++i) {
        if (times[i].tv_nsec == UTIME_OMIT) continue;
        *slot[i] = times[i].tv_nsec == UTIME_NOW ? clock : times[i];
        valid |= bit[i];
      }
      return valid == 0 ? 0 : glfs_h_setattrs(m_fs, entry, &st, valid);
    });
  }
  std::error_code mknod(const std::string& path, unsigned int mode, dev_t dev) override {
    return dir_call(path, [&](glfs_object_t* dir, const char* leaf) {
      struct stat st;
      return made_exact(glfs_h_mknod(m_fs, dir, leaf, mode, dev, &st), st, mode & 07777);
    });
  }
  std::error_code link(const std::string& from, const std::string& to) override {
    return entry_call(from, false, [&](glfs_object_t* entry, const struct stat& st) {
      if (S_ISDIR(st.st_mode)) return refuse(EPERM);
      std::error_code ec = dir_call(to, [&](glfs_object_t* dir, const char* leaf) {
        return glfs_h_link(m_fs, entry, dir, leaf);
      });
      return refuse(ec.value());
    });
  }

  // Two answers, each of which a brick down changes (measured on
  // GlusterFS 10.3): the distribute translator's own view of its
  // subvolumes' connections ("dht.subvol.status", answered by the client
  // without a round trip: "0" while one is down), then a lookup of the
  // directory on every brick (its path information, counted against its
  // layout), which also catches a brick that is connected but does not
  // answer for this directory.  For every_copy, each replica set's answers
  // are counted against its bricks in the client's volume description.
  std::error_code reachable(const std::string& path, bool every_copy) override {
    std::string p = vol(path);
    char status[8];
    ssize_t n = fresh(p, [&] {
      return glfs_getxattr(m_fs, p.c_str(), "dht.subvol.status", status, sizeof status);
    });
    // A volume without a distribute translator has no such attribute.
    if (n < 0 && errno != ENODATA && errno != EOPNOTSUPP) return errno_code();
    if (n > 0 && status[0] == '0') return errno_code(ENOTCONN);
    std::string info;
    if (std::error_code ec = read_value(p, "trusted.glusterfs.pathinfo", &info)) return ec;
    if (!every_copy) return pathinfo_answered(info, nullptr);
    std::string volfile;
    if (std::error_code ec = read_volfile(&volfile)) return ec;
    std::map<std::string, size_t> replicas = replica_sets(volfile);
    return pathinfo_answered(info, &replicas);
  }

 private:
  // Sets errno to err and answers as a failed libgfapi call does (0 when
  // err is 0).
  static int refuse(int err) {
    errno = err;
    return err == 0 ? 0 : -1;
  }
  // Closes an object just made; the answer of the call that made it.
  static int closed(glfs_object_t* made) {
    if (made == nullptr) return -1;
    glfs_h_close(made);
    return 0;
  }
  // Gives an entry just made exactly the permission bits asked for.  The
  // creation returned its attributes, so the mode is set only when a
  // umask cleared bits.
  int made_exact(glfs_object_t* made, struct stat& st, unsigned int mode) {
    if (made == nullptr) return -1;
    int rc = 0;
    if ((st.st_mode & 07777) != mode) {
      st.st_mode = (st.st_mode & S_IFMT) | mode;
      rc = glfs_h_setattrs(m_fs, made, &st, GFAPI_SET_ATTR_MODE);
    }
    int err = errno;
    glfs_h_close(made);
    errno = err;
    return rc;
  }

  // The directory of volume path p ("/" for the root) that holds its last
  // component leaf, reached through no symbolic link: a component that is
  // a link fails with ELOOP, one that is no directory with ENOTDIR.
  //
  // libgfapi follows links in the components of a path, so the path is
  // first resolved as libgfapi does (one lookup: the client keeps the
  // directories above in its cache) and the directory it reaches compared,
  // by its GlusterFS identity, with the one a walk without following found
  // at that path before.  Only a directory not seen there yet, or another
  // directory than before (or a path libgfapi cannot resolve), costs the
  // walk: a lookup of each component without following.  A link swapped in
  // for a component since then leads to another directory and so to the
  // walk, which refuses it.  A directory checked less than kTrustNs ago is
  // used as it was found, without a lookup, as libgfapi itself uses the
  // directories above a path from its cache: a call then reaches the
  // directory that was checked, wherever it is now.
  std::error_code parent_of(const std::string& p, object_ptr* dir, std::string* leaf) {
    size_t slash = p.rfind('/');
    std::string path = slash == 0 ? "/" : p.substr(0, slash);
    *leaf = p.substr(slash + 1);
    int64_t now = monotonic_ns();
    identity id{};
    {
      std::lock_guard<std::mutex> guard(m_walked->mutex);
      auto found = m_walked->dirs.find(path);
      if (found != m_walked->dirs.end()) {
        if (now - found->second.checked_ns < kTrustNs) {
          *dir = found->second.object;
          return {};
        }
        id = found->second.id;
      }
    }
    struct stat st;
    object_ptr resolved = own(glfs_h_lookupat(m_fs, nullptr, path.c_str(), &st, 0));
    identity now_id;
    if (resolved && S_ISDIR(st.st_mode) && identity_of(resolved.get(), &now_id) && now_id == id) {
      remember(path, resolved, now);
      *dir = resolved;
      return {};
    }
    if (std::error_code ec = walk(path, dir)) return ec;
    remember(path, *dir, now);
    return {};
  }

  // The directory at path, looked up component by component from the
  // root without following a link.
  std::error_code walk(const std::string& path, object_ptr* dir) {
    struct stat st;
    *dir = own(glfs_h_lookupat(m_fs, nullptr, "/", &st, 0));
    if (!*dir) return errno_code();
    for (size_t at = 1; at < path.size();) {
      size_t end = std::min(path.find('/', at), path.size());
      std::string component = path.substr(at, end - at);
      at = end + 1;
      *dir = own(glfs_h_lookupat(m_fs, dir->get(), component.c_str(), &st, 0));
      if (!*dir) return errno_code();
      if (S_ISLNK(st.st_mode)) return errno_code(ELOOP);
      if (!S_ISDIR(st.st_mode)) return errno_code(ENOTDIR);
    }
    return {};
  }

  static bool identity_of(glfs_object_t* o, identity* id) {
    return glfs_h_extract_handle(o, id->data(), GFAPI_HANDLE_LENGTH) == GFAPI_HANDLE_LENGTH;
  }
  static int64_t monotonic_ns() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
  }
  void remember(const std::string& path, const object_ptr& dir, int64_t checked_ns) {
    identity id;
    if (!identity_of(dir.get(), &id)) return;
    std::lock_guard<std::mutex> guard(m_walked->mutex);
    // Bounded: a tree of more directories than this walks again.
    if (m_walked->dirs.size() >= kWalkedMax) m_walked->dirs.clear();
    m_walked->dirs[path] = walked_table::dir{id, dir, checked_ns};
  }
  // Forgets the directory at path and every one below it (this client
  // removed or renamed it).
  void forget_tree(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_walked->mutex);
    auto it = m_walked->dirs.lower_bound(path);
    while (it != m_walked->dirs.end() && it->first.compare(0, path.size(), path) == 0) {
      const std::string& key = it->first;
      if (key.size() == path.size() || key[path.size()] == '/') {
        it = m_walked->dirs.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Runs call(dir, leaf) on the directory holding path's last component
  // (see parent_of); once more after refreshing that directory when it
  // fails with ESTALE (an entry another client replaced).
  template <class Call>
  std::error_code dir_call(const std::string& path, Call call) {
    std::string p = vol(path);
    if (p == "/") return errno_code(EEXIST);
    std::error_code ec;
    for (int attempt = 0; attempt < 2; ++attempt) {
      object_ptr dir;
      std::string leaf;
      ec = parent_of(p, &dir, &leaf);
      if (!ec) ec = check(call(dir.get(), leaf.c_str()));
      if (ec.value() != ESTALE) break;
      forget_tree(p.substr(0, std::max<size_t>(p.rfind('/'), 1)));
      refresh_parent(p);
    }
    return ec;
  }

  // Runs call(entry, its stat) on the entry at path: its target when
  // follow is true and it is a symbolic link (libgfapi resolves the link
  // within the volume), else the entry itself.
  template <class Call>
  std::error_code entry_call(const std::string& path, bool follow, Call call) {
    std::string p = vol(path);
    if (p == "/") {
      struct stat st;
      object_ptr root = own(glfs_h_lookupat(m_fs, nullptr, "/", &st, 0));
      if (!root) return errno_code();
      return check(call(root.get(), st));
    }
    return dir_call(path, [&](glfs_object_t* dir, const char* leaf) {
      struct stat st;
      object_ptr entry = own(glfs_h_lookupat(m_fs, dir, leaf, &st, follow ? 1 : 0));
      if (!entry) return -1;
      return call(entry.get(), st);
    });
  }

  // rmdir (directory true) or unlink of the entry itself.
  std::error_code remove(const std::string& path, bool directory) {
    return dir_call(path, [&](glfs_object_t* dir, const char* leaf) {
      struct stat st;
      object_ptr entry = own(glfs_h_lookupat(m_fs, dir, leaf, &st, 0));
      if (!entry) return -1;
      if (directory && !S_ISDIR(st.st_mode)) return refuse(ENOTDIR);
      if (!directory && S_ISDIR(st.st_mode)) return refuse(EISDIR);
      if (directory) forget_tree(vol(path));
      return glfs_h_unlink(m_fs, dir, leaf);
    });
  }

  std::error_code set_mode(const std::string& path, unsigned int mode, bool follow) {
    return entry_call(path, follow, [&](glfs_object_t* entry, const struct stat& now) {
      if (S_ISLNK(now.st_mode)) return refuse(ELOOP);
      struct stat st = now;
      st.st_mode = (st.st_mode & S_IFMT) | (mode & 07777);
      return glfs_h_setattrs(m_fs, entry, &st, GFAPI_SET_ATTR_MODE);
    });
  }

  std::error_code get_attribute(const std::string& path, bool follow, const std::string& name,
                                void* buf, size_t len, size_t* size) {
    *size = 0;
    return entry_call(path, follow, [&](glfs_object_t* entry, const struct stat&) {
      int n = glfs_h_getxattrs(m_fs, entry, name.c_str(), buf, len);
      if (n < 0) return -1;
      *size = static_cast<size_t>(n);
      return 0;
    });
  }
  std::error_code set_attribute(const std::string& path, bool follow, const std::string& name,
                                const void* value, size_t len, int flags) {
    return entry_call(path, follow, [&](glfs_object_t* entry, const struct stat&) {
      return glfs_h_setxattrs(m_fs, entry, name.c_str(), value, len, flags);
    });
  }

  // The whole value of a (virtual) attribute, however long.
  std::error_code read_value(const std::string& p, const char* name, std::string* value) {
    std::vector<char> buf(1024);
    for (;;) {
      ssize_t n = glfs_getxattr(m_fs, p.c_str(), name, buf.data(), buf.size());
      if (n >= 0 && static_cast<size_t>(n) < buf.size()) {
        value->assign(buf.data(), static_cast<size_t>(n));
        return {};
      }
      if (n < 0 && errno != ERANGE) return errno_code();
      if (buf.size() >= (1u << 24)) return errno_code(E2BIG);
      buf.resize(buf.size() * 4);
    }
  }

  // The volume description this client's graph was built from.
  // glfs_get_volfile copies as many bytes as the buffer holds whenever the
  // description fits (GlusterFS 10.3 reads past its end otherwise), so the
  // length is asked first (a buffer of none answers minus the length) and
  // exactly that many bytes are copied.
  std::error_code read_volfile(std::string* text) {
    for (int attempt = 0; attempt < 4; ++attempt) {
      ssize_t n = glfs_get_volfile(m_fs, nullptr, 0);
      if (n >= 0) return errno_code(EPROTO);  // no description
      std::vector<char> buf(static_cast<size_t>(-n));
      ssize_t copied = glfs_get_volfile(m_fs, buf.data(), buf.size());
      if (copied == static_cast<ssize_t>(buf.size())) {
        text->assign(buf.data(), buf.size());
        return {};
      }
      // The graph changed between the two calls: ask again.
    }
    return errno_code(EPROTO);
  }

  static std::string vol(const std::string& path) {
    std::string p = confine_path(path);
    return p.empty() ? "/" : p;
  }

  // How many directories the walk's answers are kept for, and how long one
  // is used without a lookup of its path.
  static constexpr size_t kWalkedMax = 4096;
  static constexpr int64_t kTrustNs = 1000000000;

  glfs_t* m_fs;
  std::string m_label;
  std::shared_ptr<std::atomic<bool>> m_server_copy;
  // Directories found by a walk without following links (the connection's).
  std::shared_ptr<walked_table> m_walked;
};

// Splits "HOST[:PORT]"; the port defaults to glusterd's 24007.
bool parse_server(const std::string& server, std::string* host, int* port) {
  *port = 24007;
  size_t colon = server.rfind(':');
  size_t bracket = server.rfind(']');
  if (colon == std::string::npos || (bracket != std::string::npos && bracket > colon)) {
    *host = server;
  } else {
    *host = server.substr(0, colon);
    char* end = nullptr;
    long value = std::strtol(server.c_str() + colon + 1, &end, 10);
    if (end == server.c_str() + colon + 1 || *end != '\0' || value <= 0 || value > 65535)
      return false;
    *port = static_cast<int>(value);
  }
  if (host->size() > 1 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  return !host->empty();
}

// libgfapi's teardown (glfs_fini) blocks for about ten seconds, so a
// connection is made once per server and volume and kept, shared by every
// backend that names them, until the process ends; the operating system
// closes it then.
struct connection_table {
  struct connection {
    glfs_t* fs;
    std::shared_ptr<walked_table> walked;
  };
  std::mutex mutex;
  std::map<std::string, connection> live;
};

connection_table& connections() {
  static connection_table* table = new connection_table();  // never destroyed
  return *table;
}

glfs_t* connect(const std::string& host, int port, const std::string& volume, std::error_code* ec) {
  glfs_t* fs = glfs_new(volume.c_str());
  if (fs == nullptr) {
    *ec = errno_code(errno != 0 ? errno : ENOMEM);
    return nullptr;
  }
  const char* log = std::getenv("KTFS_GFAPI_LOG");
  const char* level = std::getenv("KTFS_GFAPI_LOG_LEVEL");
  int rc = glfs_set_volfile_server(fs, "tcp", host.c_str(), port);
  if (rc == 0) rc = glfs_set_logging(fs, log, level != nullptr ? std::atoi(level) : 3);
  if (rc == 0) rc = glfs_init(fs);
  if (rc != 0) {
    int err = errno != 0 ? errno : ENOTCONN;
    glfs_fini(fs);  // slow, but only on the failure path
    *ec = errno_code(err);
    return nullptr;
  }
  return fs;
}

}  // namespace

std::shared_ptr<backend> make_gluster_backend(const std::string& server, const std::string& volume,
                                              std::error_code* ec) {
  *ec = std::error_code();
  std::string host;
  int port = 0;
  if (volume.empty() || !parse_server(server, &host, &port)) {
    *ec = errno_code(EINVAL);
    return nullptr;
  }
  std::string label = host + ":" + std::to_string(port) + "/" + volume;
  connection_table& table = connections();
  std::lock_guard<std::mutex> guard(table.mutex);
  auto found = table.live.find(label);
  if (found == table.live.end()) {
    glfs_t* fs = connect(host, port, volume, ec);
    if (fs == nullptr) return nullptr;
    found = table.live
                .emplace(label, connection_table::connection{fs, std::make_shared<walked_table>()})
                .first;
  }
  const char* server_copy = std::getenv("KTFS_GFAPI_COPY_FILE_RANGE");
  bool use_server_copy = server_copy != nullptr && std::strcmp(server_copy, "1") == 0;
  return std::make_shared<gluster_backend>(found->second.fs, label, use_server_copy,
                                           found->second.walked);
}

}  // namespace ktfs
