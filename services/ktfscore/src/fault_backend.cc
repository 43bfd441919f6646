#include <fnmatch.h>

#include "ktfs/ktfs_fault.h"

namespace ktfs {

namespace {

const char* const kOpNames[] = {
    "stat",     "lstat",    "mkdir",      "rmdir",       "unlink",    "rename",    "chmod",
    "opendir",  "readdir",  "closedir",   "open",        "close",     "read",      "write",
    "fstat",    "getxattr", "setxattr",   "listxattr",   "readlink",  "symlink",   "copy_range",
    "chown",    "utimens",  "mknod",      "link",        "lgetxattr", "lsetxattr", "seek",
    "truncate", "lock",     "getxattrat", "readdirplus", "reachable", "lchmod"};
static_assert(sizeof kOpNames / sizeof kOpNames[0] == static_cast<size_t>(op::count_),
              "one name per kind of call");

// A file opened through the wrapper: its calls pass the same interception.
class fault_file : public backend_file {
 public:
  fault_file(std::shared_ptr<fault_backend> owner, std::unique_ptr<backend_file> base, bool is_dir)
      : m_owner(owner), m_base(std::move(base)), m_is_dir(is_dir) {}

  const std::string& path() const override { return m_base->path(); }

  std::error_code readdir(struct dirent** entry) override {
    *entry = nullptr;
    if (int err = m_owner->intercept(op::readdir, path())) return errno_code(err);
    return m_base->readdir(entry);
  }
  std::error_code readdirplus(struct dirent** entry, struct stat* st) override {
    *entry = nullptr;
    if (int err = m_owner->intercept(op::readdirplus, path())) return errno_code(err);
    return m_base->readdirplus(entry, st);
  }
  std::error_code pread(void* buf, size_t len, uint64_t offset, size_t* done) override {
    *done = 0;
    if (int err = m_owner->intercept(op::read, path())) return errno_code(err);
    return m_base->pread(buf, len, offset, done);
  }
  std::error_code pwrite(const void* buf, size_t len, uint64_t offset, size_t* done) override {
    *done = 0;
    if (int err = m_owner->intercept(op::write, path())) return errno_code(err);
    return m_base->pwrite(buf, len, offset, done);
  }
  std::error_code fstat(struct stat* buf) override {
    if (int err = m_owner->intercept(op::fstat, path())) return errno_code(err);
    return m_base->fstat(buf);
  }
  std::error_code copy_to(backend_file& dst, uint64_t* src_offset, uint64_t* dst_offset, size_t len,
                          size_t* done) override {
    *done = 0;
    fault_file* target = dynamic_cast<fault_file*>(&dst);
    if (target == nullptr) return errno_code(EXDEV);
    if (int err = m_owner->intercept(op::copy_range, path())) return errno_code(err);
    return m_base->copy_to(*target->m_base, src_offset, dst_offset, len, done);
  }
  std::error_code seek(uint64_t offset, int whence, uint64_t* result) override {
    if (int err = m_owner->intercept(op::seek, path())) return errno_code(err);
    return m_base->seek(offset, whence, result);
  }
  std::error_code truncate(uint64_t length) override {
    if (int err = m_owner->intercept(op::truncate, path())) return errno_code(err);
    return m_base->truncate(length);
  }
  std::error_code lock(bool exclusive) override {
    if (int err = m_owner->intercept(op::lock, path())) return errno_code(err);
    return m_base->lock(exclusive);
  }
  // Counted and selected by the entry's path.
  std::error_code getxattrat(const std::string& entry, const std::string& name, void* buf,
                             size_t len, size_t* size) override {
    *size = 0;
    if (int err = m_owner->intercept(op::getxattrat, path() + "/" + entry)) return errno_code(err);
    return m_base->getxattrat(entry, name, buf, len, size);
  }
  std::error_code close() override {
    int err = m_owner->intercept(m_is_dir ? op::closedir : op::close, path());
    std::error_code ec = m_base->close();  // released even when the call fails
    return err != 0 ? errno_code(err) : ec;
  }

 private:
  std::shared_ptr<fault_backend> m_owner;
  std::unique_ptr<backend_file> m_base;
  bool m_is_dir;
};

}  // namespace

const char* op_name(op kind) {
  size_t i = static_cast<size_t>(kind);
  return i < static_cast<size_t>(op::count_) ? kOpNames[i] : "?";
}

backend::~backend() = default;
backend_file::~backend_file() = default;

fault_backend::fault_backend(std::shared_ptr<backend> base) : m_base(std::move(base)) {}
fault_backend::~fault_backend() = default;

void fault_backend::rearm(std::optional<rule> r) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_rule = std::move(r);
  m_since_armed = 0;
  m_fired = 0;
  m_trace.clear();
}

void fault_backend::fail_nth(uint64_t n, int err, bool persistent) {
  rule r;
  r.nth = n;
  r.err = err;
  r.persistent = persistent;
  rearm(r);
}

void fault_backend::fail_calls(op kind, const std::string& glob, int err, bool persistent) {
  rule r;
  r.kind = kind;
  r.glob = glob;
  r.err = err;
  r.persistent = persistent;
  rearm(r);
}

void fault_backend::on_call(op kind, const std::string& glob, std::function<void()> fn) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_hook = hook{kind, glob, std::move(fn)};
}

void fault_backend::clear() {
  rearm(std::nullopt);
  std::lock_guard<std::mutex> guard(m_mutex);
  m_hook.reset();
}

uint64_t fault_backend::count(op kind) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_counts[static_cast<size_t>(kind)];
}

uint64_t fault_backend::total() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  uint64_t sum = 0;
  for (uint64_t c : m_counts) sum += c;
  return sum;
}

void fault_backend::reset_counts() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_counts.fill(0);
}

uint64_t fault_backend::calls_since_armed() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_since_armed;
}

uint64_t fault_backend::fired() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_fired;
}

std::vector<std::string> fault_backend::trace() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_trace;
}

namespace {

bool matches(const std::string& glob, const std::string& path) {
  return glob.empty() || ::fnmatch(glob.c_str(), path.c_str(), 0) == 0;
}

}  // namespace

int fault_backend::decide(op kind, const std::string& path, uint64_t number) {
  if (!m_rule || m_rule->spent) return 0;
  rule& r = *m_rule;
  bool hit;
  if (r.nth != 0) {
    hit = r.persistent ? number >= r.nth : number == r.nth;
  } else {
    hit = (!r.kind || *r.kind == kind) && matches(r.glob, path);
  }
  if (!hit) return 0;
  if (!r.persistent) r.spent = true;
  m_fired++;
  return r.err;
}

int fault_backend::intercept(op kind, const std::string& path) {
  std::function<void()> fn;
  int err;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_counts[static_cast<size_t>(kind)]++;
    uint64_t number = ++m_since_armed;
    if (m_trace.size() < 10000) m_trace.push_back(std::string(op_name(kind)) + " " + path);
    err = decide(kind, path, number);
    if (m_hook && m_hook->kind == kind && matches(m_hook->glob, path)) {
      fn = std::move(m_hook->fn);
      m_hook.reset();
    }
  }
  if (fn) fn();
  return err;
}

std::string fault_backend::describe() const { return "faults(" + m_base->describe() + ")"; }

#define KTFS_FAULT_PATH_CALL(kind, path, call)                   \
  do {                                                           \
    if (int err = intercept(kind, path)) return errno_code(err); \
    return call;                                                 \
  } while (0)

std::error_code fault_backend::stat(const std::string& path, struct stat* buf) {
  KTFS_FAULT_PATH_CALL(op::stat, path, m_base->stat(path, buf));
}
std::error_code fault_backend::lstat(const std::string& path, struct stat* buf) {
  KTFS_FAULT_PATH_CALL(op::lstat, path, m_base->lstat(path, buf));
}
std::error_code fault_backend::mkdir(const std::string& path, unsigned int mode) {
  KTFS_FAULT_PATH_CALL(op::mkdir, path, m_base->mkdir(path, mode));
}
std::error_code fault_backend::rmdir(const std::string& path) {
  KTFS_FAULT_PATH_CALL(op::rmdir, path, m_base->rmdir(path));
}
std::error_code fault_backend::unlink(const std::string& path) {
  KTFS_FAULT_PATH_CALL(op::unlink, path, m_base->unlink(path));
}
std::error_code fault_backend::rename(const std::string& from, const std::string& to) {
  KTFS_FAULT_PATH_CALL(op::rename, from, m_base->rename(from, to));
}
std::error_code fault_backend::chmod(const std::string& path, unsigned int mode) {
  KTFS_FAULT_PATH_CALL(op::chmod, path, m_base->chmod(path, mode));
}
std::error_code fault_backend::lchmod(const std::string& path, unsigned int mode) {
  KTFS_FAULT_PATH_CALL(op::lchmod, path, m_base->lchmod(path, mode));
}
std::error_code fault_backend::getxattr(const std::string& path, const std::string& name, void* buf,
                                        size_t len, size_t* size) {
  *size = 0;
  KTFS_FAULT_PATH_CALL(op::getxattr, path, m_base->getxattr(path, name, buf, len, size));
}
std::error_code fault_backend::setxattr(const std::string& path, const std::string& name,
                                        const void* value, size_t len, int flags) {
  KTFS_FAULT_PATH_CALL(op::setxattr, path, m_base->setxattr(path, name, value, len, flags));
}
std::error_code fault_backend::listxattr(const std::string& path, bool follow,
                                         std::vector<std::string>* names) {
  KTFS_FAULT_PATH_CALL(op::listxattr, path, m_base->listxattr(path, follow, names));
}
std::error_code fault_backend::readlink(const std::string& path, std::string* target) {
  KTFS_FAULT_PATH_CALL(op::readlink, path, m_base->readlink(path, target));
}
std::error_code fault_backend::symlink(const std::string& target, const std::string& path) {
  KTFS_FAULT_PATH_CALL(op::symlink, path, m_base->symlink(target, path));
}

std::error_code fault_backend::lchown(const std::string& path, uid_t uid, gid_t gid) {
  KTFS_FAULT_PATH_CALL(op::chown, path, m_base->lchown(path, uid, gid));
}
std::error_code fault_backend::lutimens(const std::string& path, const struct timespec times[2]) {
  KTFS_FAULT_PATH_CALL(op::utimens, path, m_base->lutimens(path, times));
}
std::error_code fault_backend::mknod(const std::string& path, unsigned int mode, dev_t dev) {
  KTFS_FAULT_PATH_CALL(op::mknod, path, m_base->mknod(path, mode, dev));
}
std::error_code fault_backend::link(const std::string& from, const std::string& to) {
  KTFS_FAULT_PATH_CALL(op::link, to, m_base->link(from, to));
}
std::error_code fault_backend::lgetxattr(const std::string& path, const std::string& name,
                                         void* buf, size_t len, size_t* size) {
  *size = 0;
  KTFS_FAULT_PATH_CALL(op::lgetxattr, path, m_base->lgetxattr(path, name, buf, len, size));
}
std::error_code fault_backend::lsetxattr(const std::string& path, const std::string& name,
                                         const void* value, size_t len, int flags) {
  KTFS_FAULT_PATH_CALL(op::lsetxattr, path, m_base->lsetxattr(path, name, value, len, flags));
}

bool fault_backend::attribute_changes_move_ctime() const {
  return m_base->attribute_changes_move_ctime();
}

std::error_code fault_backend::reachable(const std::string& path, bool every_copy) {
  KTFS_FAULT_PATH_CALL(op::reachable, path, m_base->reachable(path, every_copy));
}

std::error_code fault_backend::opendir(const std::string& path,
                                       std::unique_ptr<backend_file>* out) {
  if (int err = intercept(op::opendir, path)) return errno_code(err);
  std::unique_ptr<backend_file> base;
  if (std::error_code ec = m_base->opendir(path, &base)) return ec;
  out->reset(new fault_file(shared_from_this(), std::move(base), true));
  return {};
}

std::error_code fault_backend::open(const std::string& path, int flags, unsigned int mode,
                                    std::unique_ptr<backend_file>* out) {
  if (int err = intercept(op::open, path)) return errno_code(err);
  std::unique_ptr<backend_file> base;
  if (std::error_code ec = m_base->open(path, flags, mode, &base)) return ec;
  out->reset(new fault_file(shared_from_this(), std::move(base), false));
  return {};
}

}  // namespace ktfs
