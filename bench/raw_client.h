// The floors' clients: the bare system calls (a local directory) and the
// bare libgfapi calls (a GlusterFS volume), with no library around them.
//
// Both offer the same members so that one floor template runs on either.
// Paths given to them are volume paths ("/G/.snaps/v1"); at() turns one
// into the path the raw call takes, and the floors call at() once per
// path, as a host program would build its paths.
#ifndef KTSM_BENCH_RAW_CLIENT_H_
#define KTSM_BENCH_RAW_CLIENT_H_

#include <dirent.h>
#include <fcntl.h>
#include <glusterfs/api/glfs.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace ktsm_bench {

// System calls on the files under a host directory.
class posix_raw {
 public:
  typedef DIR* dir_t;
  typedef int file_t;

  explicit posix_raw(std::string root) : m_root(std::move(root)) {}
  std::string at(const std::string& vol_path) const { return m_root + vol_path; }

  int stat(const char* p, struct stat* st) { return ::stat(p, st); }
  int lstat(const char* p, struct stat* st) { return ::lstat(p, st); }
  int mkdir(const char* p, mode_t mode) { return ::mkdir(p, mode); }
  int rmdir(const char* p) { return ::rmdir(p); }
  int unlink(const char* p) { return ::unlink(p); }
  int chmod(const char* p, mode_t mode) { return ::chmod(p, mode); }

  dir_t opendir(const char* p) { return ::opendir(p); }
  struct dirent* readdir(dir_t d) {
    return ::readdir(d);
  }
  int closedir(dir_t d) { return ::closedir(d); }
  static bool valid(dir_t d) { return d != nullptr; }

  file_t open(const char* p, int flags, mode_t mode) { return ::open(p, flags | O_CLOEXEC, mode); }
  file_t creat(const char* p, int flags, mode_t mode) { return open(p, flags | O_CREAT, mode); }
  int close(file_t f) { return ::close(f); }
  static bool valid_file(file_t f) { return f >= 0; }
  ssize_t pread(file_t f, void* buf, size_t len, off_t offset) {
    return ::pread(f, buf, len, offset);
  }
  ssize_t pwrite(file_t f, const void* buf, size_t len, off_t offset) {
    return ::pwrite(f, buf, len, offset);
  }

  ssize_t getxattr(const char* p, const char* name, void* buf, size_t len) {
    return ::getxattr(p, name, buf, len);
  }
  int setxattr(const char* p, const char* name, const void* value, size_t len, int flags) {
    return ::setxattr(p, name, value, len, flags);
  }
  ssize_t llistxattr(const char* p, char* buf, size_t len) { return ::llistxattr(p, buf, len); }

 private:
  std::string m_root;
};

// libgfapi calls on one connection to a volume.
class gfapi_raw {
 public:
  typedef glfs_fd_t* dir_t;
  typedef glfs_fd_t* file_t;

  explicit gfapi_raw(glfs_t* fs) : m_fs(fs) {}
  std::string at(const std::string& vol_path) const { return vol_path.empty() ? "/" : vol_path; }

  int stat(const char* p, struct stat* st) { return glfs_stat(m_fs, p, st); }
  int lstat(const char* p, struct stat* st) { return glfs_lstat(m_fs, p, st); }
  int mkdir(const char* p, mode_t mode) { return glfs_mkdir(m_fs, p, mode); }
  int rmdir(const char* p) { return glfs_rmdir(m_fs, p); }
  int unlink(const char* p) { return glfs_unlink(m_fs, p); }
  int chmod(const char* p, mode_t mode) { return glfs_chmod(m_fs, p, mode); }

  dir_t opendir(const char* p) { return glfs_opendir(m_fs, p); }
  struct dirent* readdir(dir_t d) {
    return glfs_readdir(d);
  }
  int closedir(dir_t d) { return glfs_closedir(d); }
  static bool valid(dir_t d) { return d != nullptr; }

  file_t open(const char* p, int flags, mode_t) { return glfs_open(m_fs, p, flags); }
  file_t creat(const char* p, int flags, mode_t mode) { return glfs_creat(m_fs, p, flags, mode); }
  int close(file_t f) { return glfs_close(f); }
  static bool valid_file(file_t f) { return f != nullptr; }
  ssize_t pread(file_t f, void* buf, size_t len, off_t offset) {
    return glfs_pread(f, buf, len, offset, 0, nullptr);
  }
  ssize_t pwrite(file_t f, const void* buf, size_t len, off_t offset) {
    return glfs_pwrite(f, buf, len, offset, 0, nullptr, nullptr);
  }

  ssize_t getxattr(const char* p, const char* name, void* buf, size_t len) {
    return glfs_getxattr(m_fs, p, name, buf, len);
  }
  int setxattr(const char* p, const char* name, const void* value, size_t len, int flags) {
    return glfs_setxattr(m_fs, p, name, value, len, flags);
  }
  ssize_t llistxattr(const char* p, char* buf, size_t len) {
    return glfs_llistxattr(m_fs, p, buf, len);
  }

 private:
  glfs_t* m_fs;
};

// A libgfapi connection of the benchmark's own to volume at host:24007,
// never closed (libgfapi's teardown takes seconds; the process ends soon
// after).  Null on failure.
glfs_t* connect_gfapi(const std::string& host, const std::string& volume);

// Appends the names in dir but "." and ".." to *names, as the library's
// listings do.  False when the directory cannot be opened or closed.
template <class Raw>
bool read_names(Raw& raw, const std::string& dir, std::vector<std::string>* names) {
  typename Raw::dir_t d = raw.opendir(dir.c_str());
  if (!Raw::valid(d)) return false;
  while (struct dirent* e = raw.readdir(d)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    names->push_back(n);
  }
  return raw.closedir(d) == 0;
}

}  // namespace ktsm_bench

#endif  // KTSM_BENCH_RAW_CLIENT_H_
