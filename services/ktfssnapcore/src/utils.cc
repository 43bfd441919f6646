// File utilities for version directories and their deleted-file lists.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "internal.h"

namespace ktfssnapcore {

namespace {

const ktfs::aio_ptr kNoAio;
// Bytes asked of one read of a deleted-file list.
const size_t kReadBlock = 1024 * 1024;

// Lists a directory; one that cannot be opened for lack of permission (a
// version directory has mode 0) is opened up to its owner and listed again.
std::error_code list_for_removal(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io,
                                 const std::string& path, std::vector<std::string>* names) {
  std::error_code ec = detail::list_names(api, io, path, names);
  if (ec.value() != EACCES) return ec;
  if ((ec = api->chmod(io, path.c_str(), 0700, kNoAio))) return ec;
  return detail::list_names(api, io, path, names);
}

// Reads the whole file at path into *data.
std::error_code read_whole(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                           std::string* data) {
  data->clear();
  ktfs::file_ptr file = api->open(io, path.c_str(), O_RDONLY, kNoAio);
  if (!file) return detail::errno_code(errno);
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
    if (done == 0) return detail::errno_code(EIO);
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

const std::string ktfssnaputils::sdelfilelist = "/.ktsm-deleted-files";

namespace detail {

std::error_code list_names(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                           std::vector<std::string>* names) {
  names->clear();
  ktfs::file_ptr dir = api->opendir(io, path.c_str(), kNoAio);
  if (!dir) return errno_code(errno);
  while (struct dirent* entry = api->readdir(dir, kNoAio)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  if (errno != 0) return errno_code(errno);
  return api->closedir(dir, kNoAio);
}

std::error_code remove_tree(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                            std::string* failed) {
  *failed = path;
  struct stat st;
  if (std::error_code ec = api->lstat(io, path.c_str(), &st, kNoAio)) return ec;
  if (!S_ISDIR(st.st_mode)) return api->unlink(io, path.c_str(), kNoAio);
  std::vector<std::string> names;
  if (std::error_code ec = list_for_removal(api, io, path, &names)) return ec;
  for (const std::string& name : names) {
    if (std::error_code ec = remove_tree(api, io, path + "/" + name, failed)) return ec;
  }
  *failed = path;
  return api->rmdir(io, path.c_str(), kNoAio);
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
      api != nullptr ? detail::remove_tree(api, io, path, &failed) : detail::errno_code(EBADF);
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
    return detail::errno_code(EBADF);
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
