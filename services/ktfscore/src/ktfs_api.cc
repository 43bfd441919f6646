#include "ktfs/ktfs_api.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include "backends.h"

namespace ktfs {

namespace {

const std::error_code kBadHandle = errno_code(EBADF);

struct defaults_store {
  std::mutex mutex;
  client_defaults value;
};

defaults_store& store() {
  static defaults_store* s = new defaults_store();  // never destroyed: usable at exit
  return *s;
}

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Fills the empty location fields of cfg from the first source that names a
// volume location: process defaults, then the environment, then localhost.
void resolve_location(iopx_tree_cfg* cfg, const client_defaults& d) {
  if (!cfg->local_root.empty() || !cfg->volfile_server.empty()) return;
  if (!d.local_root.empty() || !d.volfile_server.empty()) {
    cfg->local_root = d.local_root;
    cfg->volfile_server = d.volfile_server;
    return;
  }
  cfg->local_root = env("KTFS_LOCAL_ROOT");
  if (cfg->local_root.empty()) cfg->volfile_server = env("KTFS_VOLFILE_SERVER");
  if (cfg->local_root.empty() && cfg->volfile_server.empty()) cfg->volfile_server = "localhost";
}

// The result of an attribute read: the value's length, or -1 with the
// error in errno.
int64_t attribute_result(std::error_code ec, size_t size) {
  if (ec) {
    errno = ec.value();
    return -1;
  }
  return static_cast<int64_t>(size);
}

// Records the outcome of a handle-returning call in errno.
file_ptr wrap_file(std::error_code ec, std::unique_ptr<backend_file> impl) {
  if (ec) {
    errno = ec.value();
    return file_ptr();
  }
  return file_ptr(new ktfs_file(std::move(impl)));
}

bool usable(const file_ptr& file) { return file && !file->closed(); }

}  // namespace

void set_client_defaults(const client_defaults& defaults) {
  std::lock_guard<std::mutex> guard(store().mutex);
  store().value = defaults;
}

client_defaults get_client_defaults() {
  std::lock_guard<std::mutex> guard(store().mutex);
  return store().value;
}

unsigned long ktfs_file::get_file_size() {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  if (m_closed || m_impl->fstat(&st)) return 0;
  return static_cast<unsigned long>(st.st_size);
}

ktfs_api::ktfs_api() = default;
ktfs_api::~ktfs_api() = default;

iopx_ptr ktfs_api::init(iopx_tree_cfg cfg) {
  client_defaults d = get_client_defaults();
  resolve_location(&cfg, d);
  std::error_code ec;
  std::shared_ptr<backend> impl =
      !cfg.local_root.empty() ? make_local_backend(cfg.local_root, &ec)
                              : make_gluster_backend(cfg.volfile_server, cfg.volume_name, &ec);
  if (!impl) {
    errno = ec.value();
    return iopx_ptr();
  }
  if (d.wrap) impl = d.wrap(impl);
  return iopx_ptr(new ktfs_iopx(std::move(impl)));
}

std::error_code ktfs_api::stat(iopx_ptr io, const char* path, struct stat* buf, aio_ptr) {
  if (!io || path == nullptr || buf == nullptr) return kBadHandle;
  return io->get_backend().stat(path, buf);
}

std::error_code ktfs_api::lstat(iopx_ptr io, const char* path, struct stat* buf, aio_ptr) {
  if (!io || path == nullptr || buf == nullptr) return kBadHandle;
  return io->get_backend().lstat(path, buf);
}

std::error_code ktfs_api::mkdir(iopx_ptr io, const char* path, unsigned int mode, aio_ptr) {
  if (!io || path == nullptr) return kBadHandle;
  return io->get_backend().mkdir(path, mode);
}

std::error_code ktfs_api::rmdir(iopx_ptr io, const char* path, aio_ptr) {
  if (!io || path == nullptr) return kBadHandle;
  return io->get_backend().rmdir(path);
}

std::error_code ktfs_api::unlink(iopx_ptr io, const char* path, aio_ptr) {
  if (!io || path == nullptr) return kBadHandle;
  return io->get_backend().unlink(path);
}

std::error_code ktfs_api::rename(iopx_ptr io, const char* from, const char* to, aio_ptr) {
  if (!io || from == nullptr || to == nullptr) return kBadHandle;
  return io->get_backend().rename(from, to);
}

std::error_code ktfs_api::chmod(iopx_ptr io, const char* path, unsigned int mode, aio_ptr) {
  if (!io || path == nullptr) return kBadHandle;
  return io->get_backend().chmod(path, mode);
}

std::error_code ktfs_api::lchmod(iopx_ptr io, const char* path, unsigned int mode, aio_ptr) {
  if (!io || path == nullptr) return kBadHandle;
  return io->get_backend().lchmod(path, mode);
}

file_ptr ktfs_api::opendir(iopx_ptr io, const char* path, aio_ptr) {
  if (!io || path == nullptr) return wrap_file(kBadHandle, nullptr);
  std::unique_ptr<backend_file> impl;
  std::error_code ec = io->get_backend().opendir(path, &impl);
  return wrap_file(ec, std::move(impl));
}

struct dirent* ktfs_api::readdir(file_ptr dir, aio_ptr) {
  if (!usable(dir)) {
    errno = EBADF;
    return nullptr;
  }
  struct dirent* entry = nullptr;
  std::error_code ec = dir->impl().readdir(&entry);
  errno = ec.value();
  return ec ? nullptr : entry;
}

int64_t ktfs_api::getxattrat(file_ptr dir, const char* entry, const char* name, struct iovec* iov,
                             aio_ptr) {
  if (!usable(dir) || entry == nullptr || name == nullptr || iov == nullptr) {
    errno = EBADF;
    return -1;
  }
  // One entry of the directory, never a path through it.
  if (!*entry || std::strchr(entry, '/') || !std::strcmp(entry, ".") || !std::strcmp(entry, "..")) {
    errno = EINVAL;
    return -1;
  }
  size_t size = 0;
  std::error_code ec = dir->impl().getxattrat(entry, name, iov->iov_base, iov->iov_len, &size);
  return attribute_result(ec, size);
}

struct dirent* ktfs_api::readdirplus(file_ptr dir, struct stat* st, aio_ptr) {
  if (!usable(dir) || st == nullptr) {
    errno = EBADF;
    return nullptr;
  }
  struct dirent* entry = nullptr;
  std::error_code ec = dir->impl().readdirplus(&entry, st);
  errno = ec.value();
  return ec ? nullptr : entry;
}

std::error_code ktfs_api::closedir(file_ptr dir, aio_ptr) {
  if (!usable(dir)) return kBadHandle;
  dir->mark_closed();
  return dir->impl().close();
}

file_ptr ktfs_api::open(iopx_ptr io, const char* path, int flags, aio_ptr aio) {
  return open(io, path, flags, 0, aio);
}

file_ptr ktfs_api::open(iopx_ptr io, const char* path, int flags, unsigned int mode, aio_ptr) {
  if (!io || path == nullptr) return wrap_file(kBadHandle, nullptr);
  std::unique_ptr<backend_file> impl;
  std::error_code ec = io->get_backend().open(path, flags, mode, &impl);
  return wrap_file(ec, std::move(impl));
}

std::error_code ktfs_api::close(file_ptr file, aio_ptr) {
  if (!usable(file)) return kBadHandle;
  file->mark_closed();
  return file->impl().close();
}

std::error_code ktfs_api::fstat(file_ptr file, struct stat* buf, aio_ptr) {
  if (!usable(file) || buf == nullptr) return kBadHandle;
  return file->impl().fstat(buf);
}

std::error_code ktfs_api::read(file_ptr file, void* buf, size_t len, uint64_t offset, size_t* done,
                               aio_ptr) {
  if (done != nullptr) *done = 0;
  if (!usable(file) || buf == nullptr || done == nullptr) return kBadHandle;
  return file->impl().pread(buf, len, offset, done);
}

std::error_code ktfs_api::write(file_ptr file, const void* buf, size_t len, uint64_t offset,
                                size_t* done, aio_ptr) {
  if (done != nullptr) *done = 0;
  if (!usable(file) || buf == nullptr || done == nullptr) return kBadHandle;
  return file->impl().pwrite(buf, len, offset, done);
}

std::error_code ktfs_api::copy_range(file_ptr src, uint64_t* src_offset, file_ptr dst,
                                     uint64_t* dst_offset, size_t len, size_t* done, aio_ptr) {
  if (done != nullptr) *done = 0;
  if (!usable(src) || !usable(dst) || !src_offset || !dst_offset || !done) return kBadHandle;
  return src->impl().copy_to(dst->impl(), src_offset, dst_offset, len, done);
}

int64_t ktfs_api::getxattr(iopx_ptr io, const char* path, const char* name, struct iovec* iov,
                           aio_ptr) {
  if (!io || path == nullptr || name == nullptr || iov == nullptr) {
    errno = EBADF;
    return -1;
  }
  size_t size = 0;
  std::error_code ec = io->get_backend().getxattr(path, name, iov->iov_base, iov->iov_len, &size);
  return attribute_result(ec, size);
}

std::error_code ktfs_api::setxattr(iopx_ptr io, const char* path, const char* name,
                                   struct iovec* iov, unsigned long flags, aio_ptr) {
  if (!io || path == nullptr || name == nullptr || iov == nullptr) return kBadHandle;
  return io->get_backend().setxattr(path, name, iov->iov_base, iov->iov_len,
                                    static_cast<int>(flags));
}

std::error_code ktfs_api::listxattr(iopx_ptr io, const char* path, bool follow,
                                    std::vector<std::string>* names, aio_ptr) {
  if (!io || path == nullptr || names == nullptr) return kBadHandle;
  return io->get_backend().listxattr(path, follow, names);
}

std::error_code ktfs_api::readlink(iopx_ptr io, const char* path, std::string* target, aio_ptr) {
  if (!io || path == nullptr || target == nullptr) return kBadHandle;
  return io->get_backend().readlink(path, target);
}

std::error_code ktfs_api::symlink(iopx_ptr io, const char* target, const char* path, aio_ptr) {
  if (!io || target == nullptr || path == nullptr) return kBadHandle;
  return io->get_backend().symlink(target, path);
}

std::error_code ktfs_api::lchown(iopx_ptr io, const char* path, uid_t uid, gid_t gid, aio_ptr) {
  if (!io || path == nullptr) return kBadHandle;
  return io->get_backend().lchown(path, uid, gid);
}

std::error_code ktfs_api::lutimens(iopx_ptr io, const char* path, const struct timespec times[2],
                                   aio_ptr) {
  if (!io || path == nullptr || times == nullptr) return kBadHandle;
  return io->get_backend().lutimens(path, times);
}

std::error_code ktfs_api::mknod(iopx_ptr io, const char* path, unsigned int mode, dev_t dev,
                                aio_ptr) {
  if (!io || path == nullptr) return kBadHandle;
  return io->get_backend().mknod(path, mode, dev);
}

std::error_code ktfs_api::link(iopx_ptr io, const char* from, const char* to, aio_ptr) {
  if (!io || from == nullptr || to == nullptr) return kBadHandle;
  return io->get_backend().link(from, to);
}

int64_t ktfs_api::lgetxattr(iopx_ptr io, const char* path, const char* name, struct iovec* iov,
                            aio_ptr) {
  if (!io || path == nullptr || name == nullptr || iov == nullptr) {
    errno = EBADF;
    return -1;
  }
  size_t size = 0;
  std::error_code ec = io->get_backend().lgetxattr(path, name, iov->iov_base, iov->iov_len, &size);
  return attribute_result(ec, size);
}

std::error_code ktfs_api::lsetxattr(iopx_ptr io, const char* path, const char* name,
                                    struct iovec* iov, unsigned long flags, aio_ptr) {
  if (!io || path == nullptr || name == nullptr || iov == nullptr) return kBadHandle;
  return io->get_backend().lsetxattr(path, name, iov->iov_base, iov->iov_len,
                                     static_cast<int>(flags));
}

bool ktfs_api::attribute_changes_move_ctime(iopx_ptr io) {
  return io && io->get_backend().attribute_changes_move_ctime();
}

std::error_code ktfs_api::reachable(iopx_ptr io, const char* path, aio_ptr) {
  if (!io || path == nullptr) return kBadHandle;
  return io->get_backend().reachable(path, false);
}

std::error_code ktfs_api::every_copy_reachable(iopx_ptr io, const char* path, aio_ptr) {
  if (!io || path == nullptr) return kBadHandle;
  return io->get_backend().reachable(path, true);
}

std::error_code ktfs_api::seek(file_ptr file, uint64_t offset, int whence, uint64_t* result,
                               aio_ptr) {
  if (!usable(file) || result == nullptr) return kBadHandle;
  return file->impl().seek(offset, whence, result);
}

std::error_code ktfs_api::truncate(file_ptr file, uint64_t length, aio_ptr) {
  if (!usable(file)) return kBadHandle;
  return file->impl().truncate(length);
}

std::error_code ktfs_api::lock(file_ptr file, bool exclusive, aio_ptr) {
  if (!usable(file)) return kBadHandle;
  return file->impl().lock(exclusive);
}

}  // namespace ktfs
