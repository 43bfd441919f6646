#include "volume_client.h"

#include <fcntl.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "ktfssnapcore/ktfssnapcore.h"

namespace ktsmctl {

using ktfs::kNoAio;

bool volume_client::connect(const volume_choice& volume) {
  m_io = m_api.init(volume.client_config());
  return static_cast<bool>(m_io);
}

std::error_code volume_client::stat(const std::string& path, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  return m_api.stat(m_io, path.c_str(), st, kNoAio);
}

std::error_code volume_client::reachable(const std::string& dir) {
  return m_api.reachable(m_io, dir.c_str(), kNoAio);
}

std::error_code volume_client::list(const std::string& dir, std::vector<std::string>* names) {
  ktfs::file_ptr handle = m_api.opendir(m_io, dir.c_str(), kNoAio);
  if (!handle) return ktfs::errno_code(errno != 0 ? errno : EIO);
  errno = 0;
  while (struct dirent* entry = m_api.readdir(handle, kNoAio)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names->push_back(entry->d_name);
    }
  }
  std::error_code read_error = errno != 0 ? ktfs::errno_code() : std::error_code();
  std::error_code close_error = m_api.closedir(handle, kNoAio);
  return read_error ? read_error : close_error;
}

std::error_code volume_client::list_stats(
    const std::string& dir, std::vector<std::pair<std::string, struct stat>>* entries) {
  ktfs::file_ptr handle = m_api.opendir(m_io, dir.c_str(), kNoAio);
  if (!handle) return ktfs::errno_code(errno != 0 ? errno : EIO);
  struct stat st;
  errno = 0;
  while (struct dirent* entry = m_api.readdirplus(handle, &st, kNoAio)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      entries->emplace_back(entry->d_name, st);
    }
  }
  std::error_code read_error = errno != 0 ? ktfs::errno_code() : std::error_code();
  std::error_code close_error = m_api.closedir(handle, kNoAio);
  return read_error ? read_error : close_error;
}

bool volume_client::read_attribute(const std::string& path, const std::string& name,
                                   std::string* text) {
  char buffer[512];
  std::memset(buffer, 0, sizeof buffer);
  struct iovec iov = {buffer, sizeof buffer};
  if (m_api.getxattr(m_io, path.c_str(), name.c_str(), &iov, kNoAio) == -1) return false;
  text->assign(buffer, strnlen(buffer, sizeof buffer));
  return true;
}

std::error_code volume_client::lstat(const std::string& path, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  return m_api.lstat(m_io, path.c_str(), st, kNoAio);
}

std::error_code volume_client::readlink(const std::string& path, std::string* target) {
  return m_api.readlink(m_io, path.c_str(), target, kNoAio);
}

std::error_code volume_client::own_attributes(const std::string& path,
                                              std::map<std::string, std::string>* attrs) {
  return ktfssnapcore::copied_attributes(&m_api, m_io, path, attrs);
}

namespace {

// Fills the block from offset on, as far as the file goes (a read may
// answer fewer bytes than asked before the end); *got is what came.
std::error_code read_some(ktfs::ktfs_api& api, const ktfs::file_ptr& file, std::vector<char>* block,
                          uint64_t offset, size_t* got) {
  *got = 0;
  while (*got < block->size()) {
    size_t done = 0;
    std::error_code ec =
        api.read(file, block->data() + *got, block->size() - *got, offset + *got, &done, kNoAio);
    if (ec) return ec;
    if (done == 0) break;
    *got += done;
  }
  return {};
}

}  // namespace

std::error_code volume_client::same_bytes(const std::string& a, const std::string& b, bool* same) {
  *same = false;
  // Never through a link: a live file swapped for one must not lead the
  // comparison into a file its user cannot read.
  ktfs::file_ptr fa = m_api.open(m_io, a.c_str(), O_RDONLY | O_NOFOLLOW, kNoAio);
  if (!fa) return ktfs::errno_code();
  ktfs::file_ptr fb = m_api.open(m_io, b.c_str(), O_RDONLY | O_NOFOLLOW, kNoAio);
  if (!fb) {
    std::error_code ec = ktfs::errno_code();
    m_api.close(fa, kNoAio);
    return ec;
  }
  std::vector<char> block_a(1 << 20), block_b(1 << 20);
  std::error_code ec;
  for (uint64_t offset = 0;;) {
    size_t got_a = 0, got_b = 0;
    if ((ec = read_some(m_api, fa, &block_a, offset, &got_a)) ||
        (ec = read_some(m_api, fb, &block_b, offset, &got_b))) {
      break;
    }
    if (got_a != got_b || std::memcmp(block_a.data(), block_b.data(), got_a) != 0) break;
    if (got_a == 0) {
      *same = true;
      break;
    }
    offset += got_a;
  }
  m_api.close(fa, kNoAio);
  m_api.close(fb, kNoAio);
  return ec;
}

std::error_code volume_client::set_attribute(const std::string& path, const std::string& name,
                                             const std::string& value) {
  std::string bytes = value;
  struct iovec iov = {&bytes[0], bytes.size()};
  return m_api.setxattr(m_io, path.c_str(), name.c_str(), &iov, 0, kNoAio);
}

std::error_code volume_client::write_file(const std::string& path, const std::string& content) {
  ktfs::file_ptr file = m_api.open(m_io, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644, kNoAio);
  if (!file) return ktfs::errno_code(errno != 0 ? errno : EIO);
  size_t done = 0;
  std::error_code ec = m_api.write(file, content.data(), content.size(), 0, &done, kNoAio);
  if (!ec && done != content.size()) ec = std::make_error_code(std::errc::io_error);
  std::error_code close_error = m_api.close(file, kNoAio);
  return ec ? ec : close_error;
}

}  // namespace ktsmctl
