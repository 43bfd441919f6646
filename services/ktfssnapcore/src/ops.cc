// The snapshot operations: taking a version and preparing its removal.
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "internal.h"

using ktfs::kNoAio;

namespace ktfssnapcore {

namespace {

// Makes the version's deleted-file list, empty, in the version's own
// ".snaps" directory (made owner-only).
std::error_code create_empty_list(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io,
                                  const std::string& path, std::string* failed) {
  *failed = path.substr(0, path.rfind('/'));
  if (std::error_code ec = api->mkdir(io, failed->c_str(), 0700, kNoAio)) return ec;
  *failed = path;
  ktfs::file_ptr list = api->open(io, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600, kNoAio);
  if (!list) return ktfs::errno_code(errno);
  return api->close(list, kNoAio);
}

// The group's entries, then the version's empty list, then the version
// directory's own metadata (after the list, which would change its times).
std::error_code copy_version(ktfssnapcore_opinfo* info, std::string* failed) {
  std::string list = info->fgver_name + ktfssnaputils::sdelfilelist;
  auto make_list = [info, &list](std::string* list_failed) {
    return create_empty_list(info->nvme_api, info->nvme_iopx, list, list_failed);
  };
  detail::link_source older{info->link_fgver_name, info->unchanged_before_ns};
  return detail::copy_group(info->nvme_api, info->nvme_iopx, info->fg_name, info->fgver_name, older,
                            make_list, failed);
}

}  // namespace

ktfssnapcore_opinfo::ktfssnapcore_opinfo()
    : nvme_api(nullptr), sas_api(nullptr), unchanged_before_ns(0), op_status(-1) {}

namespace detail {

copy_progress& progress() {
  static copy_progress counters;
  return counters;
}

}  // namespace detail

const copy_progress& snap_progress() { return detail::progress(); }

namespace {
// Lock-free, so that a signal handler may set it.
std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);
}  // namespace

void request_stop() { g_stop_requested.store(true, std::memory_order_relaxed); }
void clear_stop() { g_stop_requested.store(false, std::memory_order_relaxed); }
bool stop_requested() { return g_stop_requested.load(std::memory_order_relaxed); }

std::error_code snap_opcreate(ktfssnapcore_opinfo* info) {
  if (info == nullptr) return ktfs::errno_code(EINVAL);
  if (info->nvme_api == nullptr || !info->nvme_iopx) return ktfs::errno_code(EBADF);
  copy_progress& progress = detail::progress();
  progress.files.store(0, std::memory_order_relaxed);
  progress.bytes.store(0, std::memory_order_relaxed);
  progress.linked.store(0, std::memory_order_relaxed);
  progress.running.store(true, std::memory_order_relaxed);
  std::string failed;
  std::error_code ec = copy_version(info, &failed);
  progress.running.store(false, std::memory_order_relaxed);
  if (ec) {
    detail::logger().error("ktfssnapcore::snap_opcreate()", "copy of [%s] failed: %s",
                           failed.c_str(), std::strerror(ec.value()));
  }
  return ec;
}

std::error_code snap_opdelete(ktfssnapcore_opinfo* info) {
  if (info == nullptr) return ktfs::errno_code(EINVAL);
  bool older_is_snapshot =
      !info->older_fgver_name.empty() && info->older_fgver_name != info->fg_name;
  info->op_status = older_is_snapshot ? 0 : 1;
  info->delfilelist = info->fgver_name + ktfssnaputils::sdelfilelist;
  if (info->nvme_api == nullptr || !info->nvme_iopx) return ktfs::errno_code(EBADF);
  struct stat st;
  std::error_code ec = info->nvme_api->stat(info->nvme_iopx, info->fgver_name.c_str(), &st, kNoAio);
  if (ec) {
    detail::logger().error("ktfssnapcore::snap_opdelete()", "version [%s] unavailable: %s",
                           info->fgver_name.c_str(), std::strerror(ec.value()));
    return ec;
  }
  // A list that cannot be found for certain fails the deletion: a guess
  // could leave the version's records unmerged while its files are removed.
  ec = ktfssnaputils::delfilelist_of(info->nvme_api, info->nvme_iopx, info->fgver_name,
                                     &info->delfilelist);
  if (ec) {
    detail::logger().error("ktfssnapcore::snap_opdelete()", "deleted-file list of [%s]: %s",
                           info->fgver_name.c_str(), std::strerror(ec.value()));
  }
  return ec;
}

}  // namespace ktfssnapcore
