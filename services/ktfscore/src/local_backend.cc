// A local directory standing in for a volume: real POSIX calls and real
// extended attributes on the files under a root directory.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "backends.h"

namespace ktfs {

namespace {

std::error_code errno_code() { return std::error_code(errno, std::system_category()); }
std::error_code errno_code(int err) { return std::error_code(err, std::system_category()); }

// Attribute names as stored: "trusted.X" becomes "user.trusted.X" when the
// process cannot write the trusted namespace.
const char kTrusted[] = "trusted.";
const char kMapped[] = "user.trusted.";

class local_file : public backend_file {
 public:
  local_file(std::string path, int fd, DIR* dir) : m_path(std::move(path)), m_fd(fd), m_dir(dir) {}
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

  std::error_code pread(void* buf, size_t len, uint64_t offset, size_t* done) override {
    *done = 0;
    while (*done < len) {
      ssize_t n = ::pread(m_fd, static_cast<char*>(buf) + *done, len - *done,
                          static_cast<off_t>(offset + *done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno_code();
      if (n == 0) break;
      *done += static_cast<size_t>(n);
    }
    return {};
  }

  std::error_code pwrite(const void* buf, size_t len, uint64_t offset, size_t* done) override {
    *done = 0;
    while (*done < len) {
      ssize_t n = ::pwrite(m_fd, static_cast<const char*>(buf) + *done, len - *done,
                           static_cast<off_t>(offset + *done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno_code();
      *done += static_cast<size_t>(n);
    }
    return {};
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
};

class local_backend : public backend {
 public:
  local_backend(std::string root, bool unprivileged)
      : m_root(std::move(root)), m_unprivileged(unprivileged) {}

  std::string describe() const override { return "local:" + m_root; }

  std::error_code stat(const std::string& path, struct stat* buf) override {
    return check(::stat(host(path).c_str(), buf));
  }
  std::error_code lstat(const std::string& path, struct stat* buf) override {
    return check(::lstat(host(path).c_str(), buf));
  }
  std::error_code mkdir(const std::string& path, unsigned int mode) override {
    std::string p = host(path);
    // Root ignores permission bits; an unprivileged owner cannot write
    // attributes or entries into a directory of mode 0 (a version's).  So
    // that the volume works the same for both, an unprivileged process keeps
    // its own access to the directories it makes.
    if (m_unprivileged) mode |= S_IRWXU;
    if (::mkdir(p.c_str(), mode) != 0) return errno_code();
    // The process umask may have cleared bits: set the exact mode.
    return check(::chmod(p.c_str(), mode));
  }
  std::error_code rmdir(const std::string& path) override {
    return check(::rmdir(host(path).c_str()));
  }
  std::error_code unlink(const std::string& path) override {
    return check(::unlink(host(path).c_str()));
  }
  std::error_code rename(const std::string& from, const std::string& to) override {
    return check(::rename(host(from).c_str(), host(to).c_str()));
  }
  std::error_code chmod(const std::string& path, unsigned int mode) override {
    return check(::chmod(host(path).c_str(), mode));
  }

  std::error_code opendir(const std::string& path, std::unique_ptr<backend_file>* out) override {
    int fd = ::open(host(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno_code();
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
      int err = errno;
      ::close(fd);
      return errno_code(err);
    }
    out->reset(new local_file(path, fd, dir));
    return {};
  }

  std::error_code open(const std::string& path, int flags, unsigned int mode,
                       std::unique_ptr<backend_file>* out) override {
    std::string p = host(path);
    int fd = -1;
    if (flags & O_CREAT) {
      // Create exclusively first, so that only a file made here gets the
      // exact mode; fall back to opening the existing file.
      fd = ::open(p.c_str(), flags | O_EXCL | O_CLOEXEC, mode);
      if (fd >= 0 && ::fchmod(fd, mode) != 0) {
        int err = errno;
        ::close(fd);
        return errno_code(err);
      }
      if (fd < 0 && errno == EEXIST && !(flags & O_EXCL)) {
        fd = ::open(p.c_str(), (flags & ~O_CREAT) | O_CLOEXEC);
      }
    } else {
      fd = ::open(p.c_str(), flags | O_CLOEXEC);
    }
    if (fd < 0) return errno_code();
    out->reset(new local_file(path, fd, nullptr));
    return {};
  }

  std::error_code getxattr(const std::string& path, const std::string& name, void* buf, size_t len,
                           size_t* size) override {
    *size = 0;
    std::string mapped;
    ssize_t n = ::getxattr(host(path).c_str(), stored(name, &mapped).c_str(), buf, len);
    if (n < 0) return errno_code();
    *size = static_cast<size_t>(n);
    return {};
  }

  std::error_code setxattr(const std::string& path, const std::string& name, const void* value,
                           size_t len, int flags) override {
    std::string mapped;
    return check(::setxattr(host(path).c_str(), stored(name, &mapped).c_str(), value, len, flags));
  }

  std::error_code listxattr(const std::string& path, bool follow,
                            std::vector<std::string>* names) override {
    names->clear();
    std::string p = host(path);
    for (;;) {
      ssize_t n = follow ? ::listxattr(p.c_str(), nullptr, 0) : ::llistxattr(p.c_str(), nullptr, 0);
      if (n < 0) return errno_code();
      std::vector<char> buf(static_cast<size_t>(n) + 1);
      n = follow ? ::listxattr(p.c_str(), buf.data(), buf.size())
                 : ::llistxattr(p.c_str(), buf.data(), buf.size());
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
    std::vector<char> buf(256);
    for (;;) {
      ssize_t n = ::readlink(host(path).c_str(), buf.data(), buf.size());
      if (n < 0) return errno_code();
      if (static_cast<size_t>(n) < buf.size()) {
        target->assign(buf.data(), static_cast<size_t>(n));
        return {};
      }
      buf.resize(buf.size() * 2);
    }
  }

  std::error_code symlink(const std::string& target, const std::string& path) override {
    return check(::symlink(target.c_str(), host(path).c_str()));
  }

  std::error_code lchown(const std::string& path, uid_t uid, gid_t gid) override {
    return check(::lchown(host(path).c_str(), uid, gid));
  }
  std::error_code lutimens(const std::string& path, const struct timespec times[2]) override {
    return check(::utimensat(AT_FDCWD, host(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
  }
  std::error_code mknod(const std::string& path, unsigned int mode, dev_t dev) override {
    std::string p = host(path);
    if (::mknod(p.c_str(), mode, dev) != 0) return errno_code();
    // The process umask may have cleared bits: set the exact mode (the new
    // node is no symbolic link, so chmod reaches the node itself).
    struct stat st;
    if (::lstat(p.c_str(), &st) == 0 && (st.st_mode & 07777) == (mode & 07777)) return {};
    return check(::chmod(p.c_str(), mode & 07777));
  }
  std::error_code link(const std::string& from, const std::string& to) override {
    return check(::link(host(from).c_str(), host(to).c_str()));  // never follows from
  }
  std::error_code lgetxattr(const std::string& path, const std::string& name, void* buf,
                            size_t len, size_t* size) override {
    *size = 0;
    std::string mapped;
    ssize_t n = ::lgetxattr(host(path).c_str(), stored(name, &mapped).c_str(), buf, len);
    if (n < 0) return errno_code();
    *size = static_cast<size_t>(n);
    return {};
  }
  std::error_code lsetxattr(const std::string& path, const std::string& name, const void* value,
                            size_t len, int flags) override {
    std::string mapped;
    return check(
        ::lsetxattr(host(path).c_str(), stored(name, &mapped).c_str(), value, len, flags));
  }

 private:
  static std::error_code check(int rc) { return rc == 0 ? std::error_code() : errno_code(); }

  std::string host(const std::string& path) const {
    std::string out;
    out.reserve(m_root.size() + path.size() + 1);
    out = m_root;
    append_confined(path, &out);
    return out;
  }

  // The attribute name as stored: name itself, or *mapped holding the
  // mapped name.
  const std::string& stored(const std::string& name, std::string* mapped) const {
    if (m_unprivileged && name.compare(0, sizeof kTrusted - 1, kTrusted) == 0) {
      *mapped = kMapped + name.substr(sizeof kTrusted - 1);
      return *mapped;
    }
    return name;
  }

  std::string shown(const std::string& name) const {
    if (m_unprivileged && name.compare(0, sizeof kMapped - 1, kMapped) == 0) {
      return kTrusted + name.substr(sizeof kMapped - 1);
    }
    return name;
  }

  std::string m_root;
  bool m_unprivileged;
};

}  // namespace

void append_confined(const std::string& path, std::string* out) {
  const size_t base = out->size();  // ".." never climbs above this
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    size_t len = end - at;
    if (len == 2 && path[at] == '.' && path[at + 1] == '.') {
      if (out->size() > base) out->resize(out->rfind('/'));
    } else if (len > 1 || (len == 1 && path[at] != '.')) {
      out->push_back('/');
      out->append(path, at, len);
    }
    at = end + 1;
  }
}

std::string confine_path(const std::string& path) {
  std::string out;
  out.reserve(path.size() + 1);
  append_confined(path, &out);
  return out;
}

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
  struct stat st;
  if (::stat(resolved.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *ec = errno_code(ENOTDIR);
    return nullptr;
  }
  if (resolved == "/") resolved.clear();  // paths already begin with "/"
  return std::make_shared<local_backend>(resolved, ::geteuid() != 0);
}

}  // namespace ktfs
