// A GlusterFS volume through libgfapi.
#include <fcntl.h>
#include <glusterfs/api/glfs-handles.h>
#include <glusterfs/api/glfs.h>

#include <algorithm>
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

// Gives a file just created exactly the permission bits asked for.  The
// client keeps the attributes the creation returned, so reading the mode
// back costs no round trip; the chmod goes to the server only when a umask
// cleared bits.
int exact_mode(glfs_fd_t* fd, unsigned int mode) {
  struct stat st;
  if (glfs_fstat(fd, &st) == 0 && (st.st_mode & 07777) == mode) return 0;
  return glfs_fchmod(fd, mode);
}

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

class gluster_backend : public backend {
 public:
  gluster_backend(glfs_t* fs, std::string label, bool server_copy)
      : m_fs(fs),
        m_label(std::move(label)),
        m_server_copy(std::make_shared<std::atomic<bool>>(server_copy)) {}

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
  static bool failed(const glfs_fd_t* fd) { return fd == nullptr; }
  static bool failed(const glfs_object_t* object) { return object == nullptr; }

  std::error_code stat(const std::string& path, struct stat* buf) override {
    std::string p = vol(path);
    return check(fresh(p, [&] { return glfs_stat(m_fs, p.c_str(), buf); }));
  }
  std::error_code lstat(const std::string& path, struct stat* buf) override {
    std::string p = vol(path);
    return check(fresh(p, [&] { return glfs_lstat(m_fs, p.c_str(), buf); }));
  }
  std::error_code mkdir(const std::string& path, unsigned int mode) override {
    std::string p = vol(path);
    if (glfs_mkdir(m_fs, p.c_str(), mode) != 0) return errno_code();
    // A umask may have cleared bits: set the exact mode.  The client keeps
    // the attributes the creation returned, so reading them back costs no
    // round trip, and the chmod goes to the server only when needed.
    struct stat st;
    if (glfs_lstat(m_fs, p.c_str(), &st) == 0 && (st.st_mode & 07777) == mode) return {};
    return lchmod(path, mode);
  }
  std::error_code rmdir(const std::string& path) override {
    std::string p = vol(path);
    return check(fresh(p, [&] { return glfs_rmdir(m_fs, p.c_str()); }));
  }
  std::error_code unlink(const std::string& path) override {
    std::string p = vol(path);
    return check(fresh(p, [&] { return glfs_unlink(m_fs, p.c_str()); }));
  }
  std::error_code rename(const std::string& from, const std::string& to) override {
    return check(glfs_rename(m_fs, vol(from).c_str(), vol(to).c_str()));
  }
  std::error_code chmod(const std::string& path, unsigned int mode) override {
    std::string p = vol(path);
    return check(fresh(p, [&] { return glfs_chmod(m_fs, p.c_str(), mode); }));
  }

  // glfs_chmod follows a final link: the entry is looked up without
  // following (an object of the entry itself) and its mode set on that
  // object, so a link swapped in since the entry was made leads nowhere.
  std::error_code lchmod(const std::string& path, unsigned int mode) override {
    std::string p = vol(path);
    struct stat st;
    glfs_object_t* entry =
        fresh(p, [&] { return glfs_h_lookupat(m_fs, nullptr, p.c_str(), &st, 0); });
    if (entry == nullptr) return errno_code();
    std::error_code ec;
    if (S_ISLNK(st.st_mode)) {
      ec = errno_code(ELOOP);
    } else {
      st.st_mode = (st.st_mode & S_IFMT) | (mode & 07777);
      ec = check(glfs_h_setattrs(m_fs, entry, &st, GFAPI_SET_ATTR_MODE));
    }
    glfs_h_close(entry);
    return ec;
  }

  std::error_code opendir(const std::string& path, std::unique_ptr<backend_file>* out) override {
    std::string p = vol(path);
    glfs_fd_t* fd = fresh(p, [&] { return glfs_opendir(m_fs, p.c_str()); });
    if (fd == nullptr) return errno_code();
    out->reset(new gluster_file(path, fd, this));
    return {};
  }

  std::error_code open(const std::string& path, int flags, unsigned int mode,
                       std::unique_ptr<backend_file>* out) override {
    std::string p = vol(path);
    glfs_fd_t* fd = nullptr;
    if (flags & O_CREAT) {
      fd = glfs_creat(m_fs, p.c_str(), flags | O_EXCL, mode);
      if (fd != nullptr && exact_mode(fd, mode) != 0) {
        int err = errno;
        glfs_close(fd);
        return errno_code(err);
      }
      if (fd == nullptr && errno == EEXIST && !(flags & O_EXCL)) {
        fd = glfs_open(m_fs, p.c_str(), flags & ~O_CREAT);
      }
    } else {
      fd = fresh(p, [&] { return glfs_open(m_fs, p.c_str(), flags); });
    }
    if (fd == nullptr) return errno_code();
    out->reset(new gluster_file(path, fd, nullptr, m_server_copy));
    return {};
  }

  std::error_code getxattr(const std::string& path, const std::string& name, void* buf, size_t len,
                           size_t* size) override {
    *size = 0;
    std::string p = vol(path);
    ssize_t n = fresh(p, [&] { return glfs_getxattr(m_fs, p.c_str(), name.c_str(), buf, len); });
    if (n < 0) return errno_code();
    *size = static_cast<size_t>(n);
    return {};
  }

  std::error_code setxattr(const std::string& path, const std::string& name, const void* value,
                           size_t len, int flags) override {
    std::string p = vol(path);
    return check(
        fresh(p, [&] { return glfs_setxattr(m_fs, p.c_str(), name.c_str(), value, len, flags); }));
  }

  std::error_code listxattr(const std::string& path, bool follow,
                            std::vector<std::string>* names) override {
    names->clear();
    std::string p = vol(path);
    for (;;) {
      ssize_t n = follow ? glfs_listxattr(m_fs, p.c_str(), nullptr, 0)
                         : glfs_llistxattr(m_fs, p.c_str(), nullptr, 0);
      if (n < 0) return errno_code();
      std::vector<char> buf(static_cast<size_t>(n) + 1);
      n = follow ? glfs_listxattr(m_fs, p.c_str(), buf.data(), buf.size())
                 : glfs_llistxattr(m_fs, p.c_str(), buf.data(), buf.size());
      if (n < 0 && errno == ERANGE) continue;
      if (n < 0) return errno_code();
      for (size_t at = 0; at < static_cast<size_t>(n);) {
        std::string name(buf.data() + at);
        at += name.size() + 1;
        names->push_back(name);
      }
      return {};
    }
  }

  std::error_code readlink(const std::string& path, std::string* target) override {
    std::vector<char> buf(256);
    for (;;) {
      ssize_t n = glfs_readlink(m_fs, vol(path).c_str(), buf.data(), buf.size());
      if (n < 0) return errno_code();
      if (static_cast<size_t>(n) < buf.size()) {
        target->assign(buf.data(), static_cast<size_t>(n));
        return {};
      }
      buf.resize(buf.size() * 2);
    }
  }

  std::error_code symlink(const std::string& target, const std::string& path) override {
    return check(glfs_symlink(m_fs, target.c_str(), vol(path).c_str()));
  }

  std::error_code lchown(const std::string& path, uid_t uid, gid_t gid) override {
    std::string p = vol(path);
    return check(fresh(p, [&] { return glfs_lchown(m_fs, p.c_str(), uid, gid); }));
  }
  std::error_code lutimens(const std::string& path, const struct timespec times[2]) override {
    std::string p = vol(path);
    return check(fresh(p, [&] { return glfs_lutimens(m_fs, p.c_str(), times); }));
  }
  std::error_code mknod(const std::string& path, unsigned int mode, dev_t dev) override {
    std::string p = vol(path);
    if (glfs_mknod(m_fs, p.c_str(), mode, dev) != 0) return errno_code();
    // As for mkdir: the exact mode, from the attributes the client keeps.
    struct stat st;
    if (glfs_lstat(m_fs, p.c_str(), &st) == 0 && (st.st_mode & 07777) == (mode & 07777)) return {};
    return lchmod(path, mode & 07777);
  }
  std::error_code link(const std::string& from, const std::string& to) override {
    return check(glfs_link(m_fs, vol(from).c_str(), vol(to).c_str()));
  }
  std::error_code lgetxattr(const std::string& path, const std::string& name, void* buf, size_t len,
                            size_t* size) override {
    *size = 0;
    std::string p = vol(path);
    ssize_t n = fresh(p, [&] { return glfs_lgetxattr(m_fs, p.c_str(), name.c_str(), buf, len); });
    if (n < 0) return errno_code();
    *size = static_cast<size_t>(n);
    return {};
  }
  std::error_code lsetxattr(const std::string& path, const std::string& name, const void* value,
                            size_t len, int flags) override {
    std::string p = vol(path);
    return check(
        fresh(p, [&] { return glfs_lsetxattr(m_fs, p.c_str(), name.c_str(), value, len, flags); }));
  }

  // Two answers, each of which a brick down changes (measured on
  // GlusterFS 10.3): the distribute translator's own view of its
  // subvolumes' connections ("dht.subvol.status", answered by the client
  // without a round trip: "0" while one is down), then a lookup of the
  // directory on every brick (its path information, counted against its
  // layout), which also catches a brick that is connected but does not
  // answer for this directory.
  std::error_code reachable(const std::string& path) override {
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
    return pathinfo_answered(info);
  }

 private:
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

  static std::string vol(const std::string& path) {
    std::string p = confine_path(path);
    return p.empty() ? "/" : p;
  }

  glfs_t* m_fs;
  std::string m_label;
  std::shared_ptr<std::atomic<bool>> m_server_copy;
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
  std::mutex mutex;
  std::map<std::string, glfs_t*> live;
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
    found = table.live.emplace(label, fs).first;
  }
  const char* server_copy = std::getenv("KTFS_GFAPI_COPY_FILE_RANGE");
  bool use_server_copy = server_copy != nullptr && std::strcmp(server_copy, "1") == 0;
  return std::make_shared<gluster_backend>(found->second, label, use_server_copy);
}

}  // namespace ktfs
