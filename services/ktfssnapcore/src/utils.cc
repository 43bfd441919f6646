// File utilities for version directories and their deleted-file lists.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "internal.h"

using ktfs::kNoAio;

namespace ktfssnapcore {

namespace {

// Bytes asked of one read of a deleted-file list.
const size_t kReadBlock = 1024 * 1024;
// Entries a removal takes out of a directory between two checks that the
// directory is still the one it listed.
const size_t kRemoveBatch = 16;

// The error for an entry found where a walk expects a directory.
std::error_code not_a_dir(const struct stat& st) {
  return ktfs::errno_code(S_ISLNK(st.st_mode) || S_ISDIR(st.st_mode) ? ELOOP : ENOTDIR);
}

bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A removal's answer: an entry already gone (another client removed or
// renamed it away meanwhile) is removed.
std::error_code unless_gone(std::error_code ec) {
  return ec.value() == ENOENT ? std::error_code() : ec;
}

// The names in the open directory, without "." and "..".
std::error_code read_names(ktfs::ktfs_api* api, const ktfs::file_ptr& dir,
                           std::vector<std::string>* names) {
  while (struct dirent* entry = api->readdir(dir, kNoAio)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  return errno != 0 ? ktfs::errno_code(errno) : std::error_code();
}

// Lists a directory; one that cannot be opened for lack of permission (a
// version directory is made with mode 0, and its copies keep the group's
// modes) is opened up to its owner and listed again.
std::error_code list_for_removal(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io,
                                 const std::string& path, const struct stat& seen,
                                 std::vector<std::string>* names) {
  std::error_code ec = detail::list_dir(api, io, path, seen, names);
  if (ec.value() != EACCES) return ec;
  if ((ec = api->lchmod(io, path.c_str(), 0700, kNoAio))) return ec;
  return detail::list_dir(api, io, path, seen, names);
}

std::error_code remove_dir(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                           const struct stat& seen, std::string* failed);

// Removes the entries names of the directory path (seen by lstat): each is
// told apart by lstat, never stat, and removed with unlink or rmdir, which
// never follow the final component.  Before each batch of entries, and
// after each subdirectory, path must still be the directory seen, so that a
// directory swapped for a link stops the removal instead of leading it out
// of the tree.
std::error_code remove_entries(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io,
                               const std::string& path, const struct stat& seen,
                               const std::vector<std::string>& names, std::string* failed) {
  size_t unchecked = kRemoveBatch;
  for (const std::string& name : names) {
    std::error_code ec;
    if (stop_requested()) {
      *failed = path;
      return ktfs::errno_code(ECANCELED);
    }
    if (unchecked >= kRemoveBatch) {
      *failed = path;
      if ((ec = detail::same_dir(api, io, path, &seen))) return ec;
      unchecked = 0;
    }
    std::string child = path + "/" + name;
    *failed = child;
    struct stat st;
    if ((ec = api->lstat(io, child.c_str(), &st, kNoAio))) {
      if ((ec = unless_gone(ec))) return ec;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      ec = remove_dir(api, io, child, st, failed);
      unchecked = kRemoveBatch;
    } else {
      ec = api->unlink(io, child.c_str(), kNoAio);
      ++unchecked;
    }
    if ((ec = unless_gone(ec))) return ec;
  }
  return {};
}

// Removes the directory path, which lstat found to be seen, and what lies
// under it.
std::error_code remove_dir(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                           const struct stat& seen, std::string* failed) {
  std::vector<std::string> names;
  *failed = path;
  std::error_code ec = list_for_removal(api, io, path, seen, &names);
  if (ec || (ec = remove_entries(api, io, path, seen, names, failed))) return unless_gone(ec);
  *failed = path;
  return unless_gone(api->rmdir(io, path.c_str(), kNoAio));
}

// Reads the whole file at path into *data.
std::error_code read_whole(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                           std::string* data) {
  data->clear();
  ktfs::file_ptr file = api->open(io, path.c_str(), O_RDONLY, kNoAio);
  if (!file) return ktfs::errno_code(errno);
  std::vector<char> block(kReadBlock);
  for (;;) {
    size_t done = 0;
    std::error_code ec = api->read(file, block.data(), block.size(), data->size(), &done, kNoAio);
    if (ec) return ec;
    if (done == 0) break;
    data->append(block.data(), done);
  }
  return api->close(file, kNoAio);
}

// Writes all of data into target from offset.
std::error_code write_all(ktfs::ktfs_api* api, const ktfs::file_ptr& target,
                          const std::string& data, uint64_t offset) {
  size_t written = 0;
  while (written < data.size()) {
    size_t done = 0;
    std::error_code ec = api->write(target, data.data() + written, data.size() - written,
                                    offset + written, &done, kNoAio);
    if (ec) return ec;
    if (done == 0) return ktfs::errno_code(EIO);
    written += done;
  }
  return {};
}

// The records (lines) of data that held does not hold, in data's order.
std::string records_not_in(const std::string& data, const std::string& held) {
  std::unordered_set<std::string> present;
  for (size_t at = 0; at < held.size();) {
    size_t end = held.find('\n', at);
    if (end == std::string::npos) end = held.size();
    present.insert(held.substr(at, end - at));
    at = end + 1;
  }
  std::string out;
  for (size_t at = 0; at < data.size();) {
    size_t end = data.find('\n', at);  // every record of data ends its line
    std::string record = data.substr(at, end - at);
    if (present.count(record) == 0) out += record + '\n';
    at = end + 1;
  }
  return out;
}

}  // namespace

const std::string ktfssnaputils::sdelfilelist = "/.snaps/.ktsm-deleted-files";
const std::string ktfssnaputils::slegacydelfilelist = "/.ktsm-deleted-files";

bool ktfssnaputils::own_top_entry(const std::string& name, bool top_has_snaps) {
  return name == ".snaps" || (!top_has_snaps && "/" + name == slegacydelfilelist);
}

std::error_code ktfssnaputils::delfilelist_of(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io,
                                              const std::string& dir, std::string* path) {
  struct stat st;
  std::error_code ec = api->lstat(io, (dir + "/.snaps").c_str(), &st, kNoAio);
  if (!ec && S_ISDIR(st.st_mode)) {
    *path = dir + sdelfilelist;
    return {};
  }
  if (ec && ec.value() != ENOENT) return ec;
  ec = api->lstat(io, (dir + slegacydelfilelist).c_str(), &st, kNoAio);
  if (ec && ec.value() != ENOENT) return ec;
  *path = dir + (ec ? sdelfilelist : slegacydelfilelist);
  return {};
}

namespace detail {

std::error_code list_names(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                           std::vector<std::string>* names) {
  names->clear();
  struct stat seen;
  if (std::error_code ec = api->lstat(io, path.c_str(), &seen, kNoAio)) return ec;
  return list_dir(api, io, path, seen, names);
}

std::error_code list_dir(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                         const struct stat& seen, std::vector<std::string>* names) {
  names->clear();
  if (!S_ISDIR(seen.st_mode)) return not_a_dir(seen);
  ktfs::file_ptr dir = api->opendir(io, path.c_str(), kNoAio);
  if (!dir) return errno_code(errno);
  std::error_code ec = opened_as_seen(dir, seen);
  if (ec || (ec = read_names(api, dir, names))) return ec;
  return api->closedir(dir, kNoAio);
}

std::error_code list_dir_plus(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io,
                              const std::string& path, const struct stat& seen,
                              std::vector<listed_entry>* entries) {
  entries->clear();
  if (!S_ISDIR(seen.st_mode)) return not_a_dir(seen);
  ktfs::file_ptr dir = api->opendir(io, path.c_str(), kNoAio);
  if (!dir) return errno_code(errno);
  if (std::error_code ec = opened_as_seen(dir, seen)) return ec;
  listed_entry e;
  std::memset(&e.st, 0, sizeof e.st);
  while (struct dirent* d = api->readdirplus(dir, &e.st, kNoAio)) {
    e.name = d->d_name;
    if (e.name != "." && e.name != "..") entries->push_back(e);
    std::memset(&e.st, 0, sizeof e.st);
  }
  if (errno != 0) return errno_code(errno);
  return api->closedir(dir, kNoAio);
}

std::error_code same_dir(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                         const struct stat* seen) {
  struct stat now;
  if (std::error_code ec = api->lstat(io, path.c_str(), &now, kNoAio)) return ec;
  if (!S_ISDIR(now.st_mode) || (seen != nullptr && !same_inode(now, *seen))) return not_a_dir(now);
  return {};
}

std::error_code opened_as_seen(const ktfs::file_ptr& file, const struct stat& seen,
                               struct stat* opened) {
  struct stat now;
  if (opened == nullptr) opened = &now;
  if (std::error_code ec = file->impl().fstat(opened)) return ec;
  return same_inode(*opened, seen) ? std::error_code() : errno_code(ELOOP);
}

std::error_code remove_tree(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                            std::string* failed) {
  *failed = path;
  struct stat st;
  if (std::error_code ec = api->lstat(io, path.c_str(), &st, kNoAio)) return unless_gone(ec);
  if (!S_ISDIR(st.st_mode)) return unless_gone(api->unlink(io, path.c_str(), kNoAio));
  return remove_dir(api, io, path, st, failed);
}

}  // namespace detail

bool ktfssnaputils::is_file_empty(ktfs::ktfs_api* api, boost::shared_ptr<ktfs::ktfs_iopx> io,
                                  std::string path) {
  if (api == nullptr) return false;
  struct stat st;
  std::error_code ec = api->stat(io, path.c_str(), &st, kNoAio);
  if (ec) return ec.value() == ENOENT;
  return st.st_size == 0;
}

std::error_code ktfssnaputils::rmdir_nonempty(ktfs::ktfs_api* api,
                                              boost::shared_ptr<ktfs::ktfs_iopx> io,
                                              std::string path, ktfs::ktfs_debug& log) {
  std::string failed = path;
  std::error_code ec =
      api != nullptr ? detail::remove_tree(api, io, path, &failed) : ktfs::errno_code(EBADF);
  if (ec) {
    log.error("ktfssnapcore::rmdir_nonempty()", "remove of [%s] failed: %s", failed.c_str(),
              std::strerror(ec.value()));
  }
  return ec;
}

std::error_code ktfssnaputils::fileappend(ktfs::ktfs_api* api,
                                          boost::shared_ptr<ktfs::ktfs_iopx> io,
                                          std::string source_path,
                                          boost::shared_ptr<ktfs::ktfs_file> target,
                                          unsigned long offset, ktfs::ktfs_debug& log) {
  if (api == nullptr || !target) {
    log.error("ktfssnapcore::fileappend()", "append of [%s] failed: no target file",
              source_path.c_str());
    return ktfs::errno_code(EBADF);
  }
  std::string data;
  std::error_code ec = read_whole(api, io, source_path, &data);
  if (ec) {
    log.error("ktfssnapcore::fileappend()", "read of [%s] failed: %s", source_path.c_str(),
              std::strerror(ec.value()));
    return ec;
  }
  // The last record always ends its line, so that records never run together.
  if (!data.empty() && data.back() != '\n') data.push_back('\n');
  std::string held;
  if (offset > 0 && !data.empty() && (ec = read_whole(api, io, target->path(), &held))) {
    log.error("ktfssnapcore::fileappend()", "read of [%s] failed: %s", target->path().c_str(),
              std::strerror(ec.value()));
    return ec;
  }
  held.resize(std::min<size_t>(held.size(), offset));
  data = records_not_in(data, held);
  if ((ec = write_all(api, target, data, offset))) {
    log.error("ktfssnapcore::fileappend()", "append of [%s] to [%s] failed: %s",
              source_path.c_str(), target->path().c_str(), std::strerror(ec.value()));
  }
  return ec;
}

}  // namespace ktfssnapcore
