// A local directory standing in for a volume: real POSIX calls and real
// extended attributes on the files under a root directory.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "backends.h"

namespace ktfs {

namespace {

// Attribute names as stored: "trusted.X" becomes "user.trusted.X" when the
// process cannot write the trusted namespace.
const char kTrusted[] = "trusted.";
const char kMapped[] = "user.trusted.";

// The attribute name as stored: name itself, or *mapped holding the mapped
// name when the process cannot write the trusted namespace.
const std::string& stored_name(bool unprivileged, const std::string& name, std::string* mapped) {
  if (unprivileged && name.compare(0, sizeof kTrusted - 1, kTrusted) == 0) {
    *mapped = kMapped + name.substr(sizeof kTrusted - 1);
    return *mapped;
  }
  return name;
}

// getxattrat(2) (Linux 6.13): an attribute of a name relative to a
// directory descriptor, in one call.  Where the C library does not name it
// yet, its number (the same on every architecture listed) is spelled here.
#if !defined(SYS_getxattrat) && (defined(__x86_64__) || defined(__aarch64__))
#define SYS_getxattrat 464
#endif
struct xattr_args {
  uint64_t value;
  uint32_t size;
  uint32_t flags;
};

// Reads the attribute of entry (one component) of the directory dir, the
// entry itself; -1 with errno on failure.  *at_call says whether to try
// getxattrat; it is cleared when the kernel has none.
ssize_t entry_getxattr(int dir, const char* entry, const char* name, void* buf, size_t len,
                       bool* at_call) {
#ifdef SYS_getxattrat
  if (*at_call) {
    xattr_args args = {reinterpret_cast<uintptr_t>(buf), static_cast<uint32_t>(len), 0};
    long n = ::syscall(SYS_getxattrat, dir, entry, AT_SYMLINK_NOFOLLOW, name, &args, sizeof args);
    if (n >= 0 || errno != ENOSYS) return static_cast<ssize_t>(n);
    *at_call = false;
  }
#else
  *at_call = false;
#endif
  // The entry through a descriptor of its own and /proc/self/fd.
  int fd = ::openat(dir, entry, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t n = ::getxattr(("/proc/self/fd/" + std::to_string(fd)).c_str(), name, buf, len);
  int err = errno;
  ::close(fd);
  errno = err;
  return n;
}

class local_file : public backend_file {
 public:
  // recent: the kernel may have getxattrat (it has openat2).
  local_file(std::string path, int fd, DIR* dir, bool unprivileged, bool recent)
      : m_path(std::move(path)),
        m_fd(fd),
        m_dir(dir),
        m_unprivileged(unprivileged),
        m_getxattrat(recent) {}
  ~local_file() override { close(); }

  const std::string& path() const override { return m_path; }

  std::error_code readdir(struct dirent** entry) override {
    *entry = nullptr;
    if (m_dir == nullptr) return errno_code(ENOTDIR);
    errno = 0;
    *entry = ::readdir(m_dir);
    if (*entry == nullptr && errno != 0) return errno_code();
    return {};
  }

  std::error_code readdirplus(struct dirent** entry, struct stat* st) override {
    if (std::error_code ec = readdir(entry)) return ec;
    if (*entry != nullptr && ::fstatat(m_fd, (*entry)->d_name, st, AT_SYMLINK_NOFOLLOW) != 0) {
      // An entry removed since readdir saw it: a stat that tells nothing.
      if (errno == ENOENT) {
        std::memset(st, 0, sizeof *st);
        return {};
      }
      *entry = nullptr;
      return errno_code();
    }
    return {};
  }

  std::error_code pread(void* buf, size_t len, uint64_t offset, size_t* done) override {
    return transfer_all(len, done, [&](size_t at) {
      return ::pread(m_fd, static_cast<char*>(buf) + at, len - at, static_cast<off_t>(offset + at));
    });
  }

  std::error_code pwrite(const void* buf, size_t len, uint64_t offset, size_t* done) override {
    return transfer_all(len, done, [&](size_t at) {
      return ::pwrite(m_fd, static_cast<const char*>(buf) + at, len - at,
                      static_cast<off_t>(offset + at));
    });
  }

  std::error_code fstat(struct stat* buf) override {
    return ::fstat(m_fd, buf) == 0 ? std::error_code() : errno_code();
  }

  // In the kernel with copy_file_range (a reflink where the file system
  // offers one); by reading and writing when the kernel refuses.
  std::error_code copy_to(backend_file& dst, uint64_t* src_offset, uint64_t* dst_offset, size_t len,
                          size_t* done) override {
    *done = 0;
    local_file* target = dynamic_cast<local_file*>(&dst);
    if (target == nullptr) return errno_code(EXDEV);
    loff_t in = static_cast<loff_t>(*src_offset), out = static_cast<loff_t>(*dst_offset);
    ssize_t n = ::copy_file_range(m_fd, &in, target->m_fd, &out, len, 0);
    if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
      return copy_by_blocks(*target, src_offset, dst_offset, len, done);
    }
    if (n < 0) return errno_code();
    *done = static_cast<size_t>(n);
    *src_offset += *done;
    *dst_offset += *done;
    return {};
  }

  std::error_code seek(uint64_t offset, int whence, uint64_t* result) override {
    off_t at = ::lseek(m_fd, static_cast<off_t>(offset), whence);
    if (at < 0) return errno_code();
    *result = static_cast<uint64_t>(at);
    return {};
  }

  std::error_code truncate(uint64_t length) override {
    return ::ftruncate(m_fd, static_cast<off_t>(length)) == 0 ? std::error_code() : errno_code();
  }

  // An open file description lock: it belongs to this open, so two opens in
  // one process exclude each other, and closing another descriptor of the
  // file does not release it (as a classic POSIX lock would).
  std::error_code lock(bool exclusive) override {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = exclusive ? F_WRLCK : F_UNLCK;
    fl.l_whence = SEEK_SET;
    return ::fcntl(m_fd, F_OFD_SETLK, &fl) == 0 ? std::error_code() : errno_code();
  }

  std::error_code getxattrat(const std::string& entry, const std::string& name, void* buf,
                             size_t len, size_t* size) override {
    *size = 0;
    if (m_dir == nullptr) return errno_code(ENOTDIR);
    std::string mapped;
    ssize_t n =
        entry_getxattr(m_fd, entry.c_str(), stored_name(m_unprivileged, name, &mapped).c_str(), buf,
                       len, &m_getxattrat);
    if (n < 0) return errno_code();
    *size = static_cast<size_t>(n);
    return {};
  }

  std::error_code close() override {
    int rc = 0;
    if (m_dir != nullptr) {
      rc = ::closedir(m_dir);  // closes m_fd too
    } else if (m_fd >= 0) {
      rc = ::close(m_fd);
    }
    m_dir = nullptr;
    m_fd = -1;
    return rc == 0 ? std::error_code() : errno_code();
  }

 private:
  std::error_code copy_by_blocks(local_file& target, uint64_t* src_offset, uint64_t* dst_offset,
                                 size_t len, size_t* done) {
    std::vector<char> block(std::min<size_t>(len, 1 << 20));
    size_t got = 0, put = 0;
    if (std::error_code ec = pread(block.data(), block.size(), *src_offset, &got)) return ec;
    if (std::error_code ec = target.pwrite(block.data(), got, *dst_offset, &put)) return ec;
    *done = got;
    *src_offset += got;
    *dst_offset += got;
    return {};
  }

  std::string m_path;
  int m_fd;
  DIR* m_dir;
  bool m_unprivileged;  // attribute names are mapped
  bool m_getxattrat;    // directories: entries' attributes through getxattrat
};

// A descriptor that closes itself; "borrowed" ones (the root's) stay open.
class fd_guard {
 public:
  fd_guard() = default;
  fd_guard(const fd_guard&) = delete;
  fd_guard& operator=(const fd_guard&) = delete;
  ~fd_guard() {
    if (m_owned) ::close(m_fd);
  }
  void own(int fd) { reset(fd, true); }
  void borrow(int fd) { reset(fd, false); }
  // Hands the descriptor over: it is no longer closed here.
  int release() {
    m_owned = false;
    return m_fd;
  }
  int get() const { return m_fd; }
  // "/proc/self/fd/N": a path to the very file the descriptor holds, for the
  // calls that have no descriptor form usable with an O_PATH descriptor.
  std::string proc() const { return "/proc/self/fd/" + std::to_string(m_fd); }

 private:
  void reset(int fd, bool owned) {
    if (m_owned) ::close(m_fd);
    m_fd = fd;
    m_owned = owned;
  }

  int m_fd = -1;
  bool m_owned = false;
};

// A volume path ready for an *at() call: the directory of its final
// component and the final name ("." for the root itself).
struct at_path {
  fd_guard dir;
  std::string name;
};

// Opens name in dir without following a symbolic link there: ELOOP for a
// link, unless flags hold O_PATH | O_NOFOLLOW (then the link itself).
int open_nofollow(int dir, const char* name, int flags, unsigned int mode) {
  int fd = ::openat(dir, name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
  const bool want_link = (flags & (O_PATH | O_NOFOLLOW)) == (O_PATH | O_NOFOLLOW);
  if ((fd < 0 && errno != ENOTDIR) || (fd >= 0 && (want_link || !(flags & O_PATH)))) return fd;
  // ENOTDIR for a link asked as a directory; an O_PATH open of a link.
  int err = errno;
  struct stat st;
  bool link = fd < 0 ? ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)
                     : ::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode);
  if (!link) {
    errno = err;
    return fd;
  }
  if (fd >= 0) ::close(fd);
  errno = ELOOP;
  return -1;
}

class local_backend : public backend {
 public:
  local_backend(std::string root, int root_fd, bool unprivileged, bool openat2)
      : m_root(std::move(root)),
        m_root_fd(root_fd),
        m_unprivileged(unprivileged),
        m_openat2(openat2) {}
  ~local_backend() override { ::close(m_root_fd); }

  std::string describe() const override { return "local:" + m_root; }

  std::error_code stat(const std::string& path, struct stat* buf) override {
    fd_guard fd;
    if (std::error_code ec = open_entry(path, O_PATH, true, &fd)) return ec;
    return check(::fstat(fd.get(), buf));
  }
  std::error_code lstat(const std::string& path, struct stat* buf) override {
    fd_guard fd;
    if (std::error_code ec = open_entry(path, O_PATH | O_NOFOLLOW, false, &fd)) return ec;
    return check(::fstat(fd.get(), buf));
  }
  std::error_code mkdir(const std::string& path, unsigned int mode) override {
    at_path at;
    if (std::error_code ec = resolve(path, &at)) return ec;
    // Root ignores permission bits; an unprivileged owner cannot write
    // attributes or entries into a directory of mode 0 (a version's).  So
    // that the volume works the same for both, an unprivileged process keeps
    // its own access to the directories it makes.
    if (m_unprivileged) mode |= S_IRWXU;
    if (::mkdirat(at.dir.get(), at.name.c_str(), mode) != 0) return errno_code();
    // The process umask may have cleared bits: set the exact mode.
    return check(::fchmodat(at.dir.get(), at.name.c_str(), mode, AT_SYMLINK_NOFOLLOW));
  }
  std::error_code rmdir(const std::string& path) override {
    at_path at;
    if (std::error_code ec = resolve(path, &at)) return ec;
    return check(::unlinkat(at.dir.get(), at.name.c_str(), AT_REMOVEDIR));
  }
  std::error_code unlink(const std::string& path) override {
    at_path at;
    if (std::error_code ec = resolve(path, &at)) return ec;
    return check(::unlinkat(at.dir.get(), at.name.c_str(), 0));
  }
  std::error_code rename(const std::string& from, const std::string& to) override {
    at_path a, b;
    if (std::error_code ec = resolve(from, &a)) return ec;
    if (std::error_code ec = resolve(to, &b)) return ec;
    return check(::renameat(a.dir.get(), a.name.c_str(), b.dir.get(), b.name.c_str()));
  }
  std::error_code chmod(const std::string& path, unsigned int mode) override {
    fd_guard fd;
    if (std::error_code ec = open_entry(path, O_PATH, true, &fd)) return ec;
    return check(::chmod(fd.proc().c_str(), mode));
  }
  // The entry itself: a final link fails to open (ELOOP), so the mode goes
  // to the entry the descriptor holds and to nothing else.
  std::error_code lchmod(const std::string& path, unsigned int mode) override {
    fd_guard fd;
    if (std::error_code ec = open_entry(path, O_PATH, false, &fd)) return ec;
    return check(::chmod(fd.proc().c_str(), mode));
  }

  std::error_code opendir(const std::string& path, std::unique_ptr<backend_file>* out) override {
    fd_guard fd;
    if (std::error_code ec = open_entry(path, O_RDONLY | O_DIRECTORY, true, &fd)) return ec;
    DIR* dir = ::fdopendir(fd.get());
    if (dir == nullptr) return errno_code();
    out->reset(new local_file(path, fd.release(), dir, m_unprivileged,
                              recent()));  // closed with the stream
    return {};
  }

  std::error_code open(const std::string& path, int flags, unsigned int mode,
                       std::unique_ptr<backend_file>* out) override {
    fd_guard fd;
    std::error_code ec;
    const bool follow = !(flags & O_NOFOLLOW);
    if (flags & O_CREAT) {
      // Create exclusively first (never through a link), so that only a
      // file made here gets the exact mode; fall back to opening the
      // existing file.
      ec = open_entry(path, flags | O_EXCL, false, &fd, mode);
      if (!ec && ::fchmod(fd.get(), mode) != 0) return errno_code();
      if (ec.value() == EEXIST && !(flags & O_EXCL)) {
        ec = open_entry(path, flags & ~O_CREAT, follow, &fd);
      }
    } else {
      ec = open_entry(path, flags, follow, &fd);
    }
    if (ec) return ec;
    out->reset(new local_file(path, fd.release(), nullptr, m_unprivileged, false));
    return {};
  }

  std::error_code getxattr(const std::string& path, const std::string& name, void* buf, size_t len,
                           size_t* size) override {
    return get_attr(path, true, name, buf, len, size);
  }
  std::error_code setxattr(const std::string& path, const std::string& name, const void* value,
                           size_t len, int flags) override {
    return set_attr(path, true, name, value, len, flags);
  }

  std::error_code listxattr(const std::string& path, bool follow,
                            std::vector<std::string>* names) override {
    names->clear();
    fd_guard fd;
    if (std::error_code ec = open_entry(path, follow ? O_PATH : O_PATH | O_NOFOLLOW, follow, &fd)) {
      return ec;
    }
    const std::string p = fd.proc();
    for (;;) {
      ssize_t n = ::listxattr(p.c_str(), nullptr, 0);
      if (n < 0) return errno_code();
      std::vector<char> buf(static_cast<size_t>(n) + 1);
      n = ::listxattr(p.c_str(), buf.data(), buf.size());
      if (n < 0 && errno == ERANGE) continue;  // grew in between
      if (n < 0) return errno_code();
      for (size_t at = 0; at < static_cast<size_t>(n);) {
        std::string name(buf.data() + at);
        at += name.size() + 1;
        names->push_back(shown(name));
      }
      return {};
    }
  }

  std::error_code readlink(const std::string& path, std::string* target) override {
    at_path at;
    if (std::error_code ec = resolve(path, &at)) return ec;
    return read_link(at, target);
  }

  std::error_code symlink(const std::string& target, const std::string& path) override {
    at_path at;
    if (std::error_code ec = resolve(path, &at)) return ec;
    return check(::symlinkat(target.c_str(), at.dir.get(), at.name.c_str()));
  }

  std::error_code lchown(const std::string& path, uid_t uid, gid_t gid) override {
    at_path at;
    if (std::error_code ec = resolve(path, &at)) return ec;
    return check(::fchownat(at.dir.get(), at.name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW));
  }
  std::error_code lutimens(const std::string& path, const struct timespec times[2]) override {
    at_path at;
    if (std::error_code ec = resolve(path, &at)) return ec;
    return check(::utimensat(at.dir.get(), at.name.c_str(), times, AT_SYMLINK_NOFOLLOW));
  }
  std::error_code mknod(const std::string& path, unsigned int mode, dev_t dev) override {
    at_path at;
    if (std::error_code ec = resolve(path, &at)) return ec;
    if (::mknodat(at.dir.get(), at.name.c_str(), mode, dev) != 0) return errno_code();
    // The process umask may have cleared bits: set the exact mode.
    struct stat st;
    if (::fstatat(at.dir.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (st.st_mode & 07777) == (mode & 07777)) {
      return {};
    }
    return check(::fchmodat(at.dir.get(), at.name.c_str(), mode & 07777, AT_SYMLINK_NOFOLLOW));
  }
  std::error_code link(const std::string& from, const std::string& to) override {
    at_path a, b;
    if (std::error_code ec = resolve(from, &a)) return ec;
    if (std::error_code ec = resolve(to, &b)) return ec;
    return check(::linkat(a.dir.get(), a.name.c_str(), b.dir.get(), b.name.c_str(), 0));
  }
  std::error_code lgetxattr(const std::string& path, const std::string& name, void* buf, size_t len,
                            size_t* size) override {
    return get_attr(path, false, name, buf, len, size);
  }
  std::error_code lsetxattr(const std::string& path, const std::string& name, const void* value,
                            size_t len, int flags) override {
    return set_attr(path, false, name, value, len, flags);
  }
  // The kernel moves the change time for every attribute change.
  bool attribute_changes_move_ctime() const override { return true; }

  // One directory tree, one part: reachable when the entry is there.
  std::error_code reachable(const std::string& path, bool) override {
    struct stat st;
    return lstat(path, &st);
  }

 private:
  static std::error_code check(int rc) { return rc == 0 ? std::error_code() : errno_code(); }

  // Opens rel (components without "." or "..") beneath dir, following no
  // symbolic link: ELOOP for a link met on the way, or in the final
  // component unless flags hold O_PATH | O_NOFOLLOW (then the link itself).
  // The one place a path is resolved: openat2, or component by component
  // where the kernel has no openat2.
  int open_beneath(int dir, const char* rel, int flags, unsigned int mode) {
    if (m_openat2.load(std::memory_order_relaxed)) {
      struct open_how how;
      std::memset(&how, 0, sizeof how);
      how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
      how.mode = (flags & O_CREAT) ? mode : 0;
      how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
      long fd = ::syscall(SYS_openat2, dir, rel, &how, sizeof how);
      if (fd >= 0 || errno != ENOSYS) {
        if (fd < 0 && errno == EXDEV) errno = ELOOP;  // one errno for "not beneath"
        return static_cast<int>(fd);
      }
      m_openat2.store(false, std::memory_order_relaxed);
    }
    fd_guard at;
    at.borrow(dir);
    for (const char* name = rel;;) {
      const char* slash = std::strchr(name, '/');
      if (slash == nullptr) return open_nofollow(at.get(), name, flags, mode);
      int next = open_nofollow(at.get(), std::string(name, slash).c_str(), O_PATH | O_DIRECTORY, 0);
      if (next < 0) return -1;
      at.own(next);
      name = slash + 1;
    }
  }

  // The directory of path's final component, reached from the root without
  // following any symbolic link, and the final name.
  std::error_code resolve(const std::string& path, at_path* at) {
    std::string rel = confine_path(path);
    size_t slash = rel.rfind('/');
    at->name = slash == std::string::npos ? "." : rel.substr(slash + 1);
    if (slash == std::string::npos || slash == 0) {
      at->dir.borrow(m_root_fd);
      return {};
    }
    rel.resize(slash);
    int fd = open_beneath(m_root_fd, rel.c_str() + 1, O_PATH | O_DIRECTORY, 0);
    if (fd < 0) return errno_code();
    at->dir.own(fd);
    return {};
  }

  // Opens the entry at path with flags; with follow, a final symbolic link
  // is followed as open_link_target says.
  std::error_code open_entry(const std::string& path, int flags, bool follow, fd_guard* out,
                             unsigned int mode = 0) {
    std::string rel = confine_path(path);
    int fd = open_beneath(m_root_fd, rel.empty() ? "." : rel.c_str() + 1, flags, mode);
    if (fd < 0 && errno == ELOOP && follow) fd = open_link_target(path, flags, mode);
    if (fd < 0) return errno_code();
    out->own(fd);
    return {};
  }

  // Opens the target of the symbolic link at path.  The target must name
  // an entry beneath the link's own directory (relative, without "..")
  // that is no link itself, reached through no link: ELOOP otherwise.
  int open_link_target(const std::string& path, int flags, unsigned int mode) {
    at_path at;
    std::string target;
    std::error_code ec = resolve(path, &at);
    if (!ec) ec = read_link(at, &target);
    if (!ec && (target.empty() || target[0] == '/' ||
                ("/" + target + "/").find("/../") != std::string::npos)) {
      ec = errno_code(ELOOP);
    }
    if (ec) {
      errno = ec.value() == EINVAL ? ELOOP : ec.value();  // EINVAL: swapped for a non-link
      return -1;
    }
    std::string rel = confine_path(target);
    return open_beneath(at.dir.get(), rel.empty() ? "." : rel.c_str() + 1, flags, mode);
  }

  static std::error_code read_link(const at_path& at, std::string* target) {
    std::vector<char> buf(256);
    for (;;) {
      ssize_t n = ::readlinkat(at.dir.get(), at.name.c_str(), buf.data(), buf.size());
      if (n < 0) return errno_code();
      if (static_cast<size_t>(n) < buf.size()) {
        target->assign(buf.data(), static_cast<size_t>(n));
        return {};
      }
      buf.resize(buf.size() * 2);
    }
  }

  // Attributes through the entry's own descriptor: the entry itself, or
  // with follow the target of a final link (beneath its directory).
  std::error_code get_attr(const std::string& path, bool follow, const std::string& name, void* buf,
                           size_t len, size_t* size) {
    *size = 0;
    fd_guard fd;
    if (std::error_code ec = open_entry(path, follow ? O_PATH : O_PATH | O_NOFOLLOW, follow, &fd)) {
      return ec;
    }
    std::string mapped;
    ssize_t n = ::getxattr(fd.proc().c_str(), stored(name, &mapped).c_str(), buf, len);
    if (n < 0) return errno_code();
    *size = static_cast<size_t>(n);
    return {};
  }
  std::error_code set_attr(const std::string& path, bool follow, const std::string& name,
                           const void* value, size_t len, int flags) {
    fd_guard fd;
    if (std::error_code ec = open_entry(path, follow ? O_PATH : O_PATH | O_NOFOLLOW, follow, &fd)) {
      return ec;
    }
    std::string mapped;
    return check(::setxattr(fd.proc().c_str(), stored(name, &mapped).c_str(), value, len, flags));
  }

  bool recent() const { return m_openat2.load(std::memory_order_relaxed); }

  const std::string& stored(const std::string& name, std::string* mapped) const {
    return stored_name(m_unprivileged, name, mapped);
  }

  std::string shown(const std::string& name) const {
    if (m_unprivileged && name.compare(0, sizeof kMapped - 1, kMapped) == 0) {
      return kTrusted + name.substr(sizeof kMapped - 1);
    }
    return name;
  }

  std::string m_root;  // for describe() only: every call resolves from m_root_fd
  int m_root_fd;
  bool m_unprivileged;
  std::atomic<bool> m_openat2;  // cleared when the kernel has no openat2
};

}  // namespace

std::shared_ptr<backend> make_local_backend(const std::string& root, std::error_code* ec) {
  *ec = std::error_code();
  if (root.empty()) {
    *ec = errno_code(EINVAL);
    return nullptr;
  }
  if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
    *ec = errno_code();
    return nullptr;
  }
  char* real = ::realpath(root.c_str(), nullptr);
  if (real == nullptr) {
    *ec = errno_code();
    return nullptr;
  }
  std::string resolved(real);
  std::free(real);
  int root_fd = ::open(resolved.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root_fd < 0) {
    *ec = errno_code();
    return nullptr;
  }
  // KTFS_LOCAL_RESOLVE=walk resolves component by component, as on a
  // kernel without openat2 (tests run both).
  const char* walk = std::getenv("KTFS_LOCAL_RESOLVE");
  bool openat2 = walk == nullptr || std::strcmp(walk, "walk") != 0;
  return std::make_shared<local_backend>(resolved, root_fd, ::geteuid() != 0, openat2);
}

}  // namespace ktfs
