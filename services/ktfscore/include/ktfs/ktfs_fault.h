// fault_backend: a wrapper in front of any backend that makes chosen calls
// fail, and counts every call by kind.  Tests use it to drive each failure
// path of the code above the client:
//
//   auto faults = std::make_shared<ktfs::fault_backend>(real_backend);
//   faults->fail_nth(3, EIO);                 // the 3rd call from now fails once
//   faults->fail_nth(3, EIO, /*persistent=*/true);  // ... and every call after it
//   faults->fail_calls(ktfs::op::setxattr, "*/.snaps/*", ENOSPC);
//   faults->on_call(ktfs::op::opendir, "*/g/sub", [&] { swap_for_link(); });
//
// A failing call does not reach the wrapped backend: it answers the chosen
// errno (getxattr through ktfs_api answers -1 with errno set) and has no
// effect on the volume.  Calls on files opened through the wrapper (readdir,
// read, write, copy, fstat, seek, truncate, close) are counted and can fail
// too; a close that fails still releases the file.
//
// Call numbers count every call made after the last arm (fail_nth,
// fail_calls or clear), starting at 1.  All members are thread-safe.
//
// A hook (on_call) runs a test's own code at one chosen point of the code
// under test, for example to change the volume between two of its calls.
#ifndef KTFS_KTFS_FAULT_H_
#define KTFS_KTFS_FAULT_H_

#include <array>
#include <functional>
#include <mutex>
#include <optional>

#include "ktfs/ktfs_backend.h"

namespace ktfs {

// REQUIRES: held by a std::shared_ptr (files opened through it keep it alive).
class KTFSCORE_API fault_backend : public backend,
                                   public std::enable_shared_from_this<fault_backend> {
 public:
  explicit fault_backend(std::shared_ptr<backend> base);
  ~fault_backend() override;

  // The nth call from now (1-based) fails with err; with persistent, every
  // call from the nth on fails.  Replaces any earlier arming.
  void fail_nth(uint64_t n, int err, bool persistent = false);
  // Every call of this kind whose path matches the glob (fnmatch, "*"
  // matches "/" too) fails with err; without persistent, only the first
  // such call.  Replaces any earlier arming.
  void fail_calls(op kind, const std::string& glob, int err, bool persistent = true);
  // Runs fn once, just before the first later call of this kind whose path
  // matches the glob (as fail_calls matches) is answered, whether or not a
  // rule makes that call fail.  fn runs in the calling thread without the
  // wrapper's lock held; it must not call through this wrapper (use the
  // wrapped backend or the host).  Replaces an earlier hook; the failure
  // rules are left as they are.
  void on_call(op kind, const std::string& glob, std::function<void()> fn);
  // Disarms the rule and the hook, and restarts the call numbering; the
  // counters are kept.
  void clear();

  // Calls seen since construction or reset_counts(), by kind and in all.
  uint64_t count(op kind) const;
  uint64_t total() const;
  void reset_counts();
  // Calls since the last arm, and how many of them were made to fail.
  uint64_t calls_since_armed() const;
  uint64_t fired() const;
  // "kind path" of the calls since the last arm, in order (the first 10000;
  // for diagnostics).
  std::vector<std::string> trace() const;

  // Decides the fate of one call: 0 to let it through, else the errno to
  // answer.  Public so that files opened through the wrapper can use it.
  int intercept(op kind, const std::string& path);

  std::string describe() const override;
  std::error_code stat(const std::string& path, struct stat* buf) override;
  std::error_code lstat(const std::string& path, struct stat* buf) override;
  std::error_code mkdir(const std::string& path, unsigned int mode) override;
  std::error_code rmdir(const std::string& path) override;
  std::error_code unlink(const std::string& path) override;
  std::error_code rename(const std::string& from, const std::string& to) override;
  std::error_code chmod(const std::string& path, unsigned int mode) override;
  std::error_code lchmod(const std::string& path, unsigned int mode) override;
  std::error_code opendir(const std::string& path, std::unique_ptr<backend_file>* out) override;
  std::error_code open(const std::string& path, int flags, unsigned int mode,
                       std::unique_ptr<backend_file>* out) override;
  std::error_code getxattr(const std::string& path, const std::string& name, void* buf, size_t len,
                           size_t* size) override;
  std::error_code setxattr(const std::string& path, const std::string& name, const void* value,
                           size_t len, int flags) override;
  std::error_code listxattr(const std::string& path, bool follow,
                            std::vector<std::string>* names) override;
  std::error_code readlink(const std::string& path, std::string* target) override;
  std::error_code symlink(const std::string& target, const std::string& path) override;
  std::error_code lchown(const std::string& path, uid_t uid, gid_t gid) override;
  std::error_code lutimens(const std::string& path, const struct timespec times[2]) override;
  std::error_code mknod(const std::string& path, unsigned int mode, dev_t dev) override;
  // Selected and traced by its new name, "to".
  std::error_code link(const std::string& from, const std::string& to) override;
  std::error_code lgetxattr(const std::string& path, const std::string& name, void* buf, size_t len,
                            size_t* size) override;
  std::error_code lsetxattr(const std::string& path, const std::string& name, const void* value,
                            size_t len, int flags) override;
  std::error_code reachable(const std::string& path, bool every_copy) override;
  bool attribute_changes_move_ctime() const override;

 private:
  struct rule {
    std::optional<op> kind;  // empty: any kind
    std::string glob;        // empty: any path
    uint64_t nth = 0;        // 0: any call number
    int err = 0;
    bool persistent = false;
    bool spent = false;
  };

  struct hook {
    op kind;
    std::string glob;
    std::function<void()> fn;
  };

  void rearm(std::optional<rule> r);
  // Whether the armed rule answers this call with an error (0: no).
  // REQUIRES: m_mutex held.
  int decide(op kind, const std::string& path, uint64_t number);

  std::shared_ptr<backend> m_base;
  mutable std::mutex m_mutex;
  std::optional<rule> m_rule;
  std::optional<hook> m_hook;
  std::array<uint64_t, static_cast<size_t>(op::count_)> m_counts{};
  uint64_t m_since_armed = 0;
  uint64_t m_fired = 0;
  std::vector<std::string> m_trace;
};

}  // namespace ktfs

#endif  // KTFS_KTFS_FAULT_H_
