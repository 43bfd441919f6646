// Copying a live file group into a version directory.
#include <fcntl.h>

#include <cerrno>

#include "internal.h"

namespace ktfssnapcore {
namespace detail {

namespace {

const ktfs::aio_ptr kNoAio;
const char kSnapsDir[] = ".snaps";
// Bytes asked of one copy_range call.
const size_t kCopyBlock = 4 * 1024 * 1024;

// Walks the source tree depth first and recreates it under the target.  The
// first failing call ends the walk; m_failed keeps the path it was made on.
class tree_copier {
 public:
  tree_copier(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, copy_progress& progress)
      : m_api(api), m_io(io), m_progress(progress) {}

  // Copies the entries of the group directory src into dst, leaving out the
  // version tree and the group's own deleted-file list.
  std::error_code copy_top(const std::string& src, const std::string& dst) {
    return copy_children(src, dst, true);
  }
  const std::string& failed() const { return m_failed; }

 private:
  std::error_code fail(std::error_code ec, const std::string& path) {
    m_failed = path;
    return ec;
  }

  static bool left_out_at_top(const std::string& name) {
    return name == kSnapsDir || "/" + name == ktfssnaputils::sdelfilelist;
  }

  std::error_code copy_children(const std::string& src, const std::string& dst, bool top) {
    std::vector<std::string> names;
    if (std::error_code ec = list_names(m_api, m_io, src, &names)) return fail(ec, src);
    for (const std::string& name : names) {
      if (top && left_out_at_top(name)) continue;
      if (std::error_code ec = copy_entry(src + "/" + name, dst + "/" + name)) return ec;
    }
    return {};
  }

  std::error_code copy_entry(const std::string& src, const std::string& dst) {
    struct stat st;
    if (std::error_code ec = m_api->lstat(m_io, src.c_str(), &st, kNoAio)) return fail(ec, src);
    if (S_ISDIR(st.st_mode)) return copy_dir(src, dst, st.st_mode & 07777);
    if (S_ISREG(st.st_mode)) return copy_file(src, dst, st.st_mode & 07777);
    if (S_ISLNK(st.st_mode)) return copy_link(src, dst);
    logger().debug("ktfssnapcore::snap_opcreate()", 1, "skipping [%s]: mode %o is not copied",
                   src.c_str(), static_cast<unsigned>(st.st_mode));
    return {};
  }

  // Made owner-only first so that it can be filled whatever the source's
  // mode; the source's mode is set once it is complete.
  std::error_code copy_dir(const std::string& src, const std::string& dst, unsigned int mode) {
    if (std::error_code ec = m_api->mkdir(m_io, dst.c_str(), 0700, kNoAio)) return fail(ec, dst);
    if (std::error_code ec = copy_children(src, dst, false)) return ec;
    if (std::error_code ec = copy_attrs(m_api, m_io, src, dst, &m_failed)) return ec;
    if (std::error_code ec = m_api->chmod(m_io, dst.c_str(), mode, kNoAio)) return fail(ec, dst);
    return {};
  }

  std::error_code copy_file(const std::string& src, const std::string& dst, unsigned int mode) {
    ktfs::file_ptr in = m_api->open(m_io, src.c_str(), O_RDONLY, kNoAio);
    if (!in) return fail(errno_code(errno), src);
    ktfs::file_ptr out = m_api->open(m_io, dst.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600, kNoAio);
    if (!out) return fail(errno_code(errno), dst);
    if (std::error_code ec = copy_data(in, out, src)) return ec;
    if (std::error_code ec = m_api->close(in, kNoAio)) return fail(ec, src);
    if (std::error_code ec = m_api->close(out, kNoAio)) return fail(ec, dst);
    m_progress.files.fetch_add(1, std::memory_order_relaxed);
    if (std::error_code ec = copy_attrs(m_api, m_io, src, dst, &m_failed)) return ec;
    if (std::error_code ec = m_api->chmod(m_io, dst.c_str(), mode, kNoAio)) return fail(ec, dst);
    return {};
  }

  std::error_code copy_data(const ktfs::file_ptr& in, const ktfs::file_ptr& out,
                            const std::string& src) {
    uint64_t in_offset = 0, out_offset = 0;
    for (;;) {
      size_t done = 0;
      std::error_code ec =
          m_api->copy_range(in, &in_offset, out, &out_offset, kCopyBlock, &done, kNoAio);
      if (ec) return fail(ec, src);
      if (done == 0) return {};
      m_progress.bytes.fetch_add(done, std::memory_order_relaxed);
    }
  }

  // The link itself, never what it points to.
  std::error_code copy_link(const std::string& src, const std::string& dst) {
    std::string target;
    if (std::error_code ec = m_api->readlink(m_io, src.c_str(), &target, kNoAio)) {
      return fail(ec, src);
    }
    if (std::error_code ec = m_api->symlink(m_io, target.c_str(), dst.c_str(), kNoAio)) {
      return fail(ec, dst);
    }
    return {};
  }

  ktfs::ktfs_api* m_api;
  const ktfs::iopx_ptr& m_io;
  copy_progress& m_progress;
  std::string m_failed;
};

}  // namespace

std::error_code copy_group(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& fg,
                           const std::string& ver, std::string* failed) {
  tree_copier copier(api, io, progress());
  std::error_code ec = copier.copy_top(fg, ver);
  if (ec) *failed = copier.failed();
  return ec;
}

}  // namespace detail
}  // namespace ktfssnapcore
