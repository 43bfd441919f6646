// Copying the extended attributes of an entry (a symbolic link's own, never
// its target's) to another.
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "internal.h"

using ktfs::kNoAio;

namespace ktfssnapcore {
namespace detail {

namespace {

// Most values (uuids, states) fit the first buffer; a larger one is asked
// again with a buffer four times as large, up to a bound no volume reaches.
const size_t kFirstValueBuffer = 256;
const size_t kMaxValueBuffer = 64 * 1024 * 1024;

bool has_prefix(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Reads the value of name at path into *value, growing the buffer while the
// value does not fit.
std::error_code read_value(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                           const std::string& name, std::vector<char>* value) {
  value->resize(kFirstValueBuffer);
  for (;;) {
    struct iovec iov = {value->data(), value->size()};
    int64_t n = api->lgetxattr(io, path.c_str(), name.c_str(), &iov, kNoAio);
    if (n >= 0) {
      value->resize(static_cast<size_t>(n));
      return {};
    }
    int err = errno;
    if (err != ERANGE || value->size() >= kMaxValueBuffer) return errno_code(err);
    value->resize(value->size() * 4);
  }
}

bool is_posix_acl(const std::string& name) {
  return name == "system.posix_acl_access" || name == "system.posix_acl_default";
}

}  // namespace

bool is_volume_internal_attr(const std::string& name) {
  static const char* const kPrefixes[] = {"trusted.glusterfs.", "trusted.gfid", "trusted.afr.",
                                          "trusted.ec.",        "trusted.dht",  "trusted.pgfid.",
                                          "glusterfs."};
  for (const char* prefix : kPrefixes) {
    if (has_prefix(name, prefix)) return true;
  }
  return false;
}

std::error_code copy_attrs(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& src,
                           const std::string& dst, std::string* failed, attr_scope scope) {
  std::vector<std::string> names;
  if (std::error_code ec = api->listxattr(io, src.c_str(), false, &names, kNoAio)) {
    *failed = src;
    return ec;
  }
  std::vector<char> value;
  for (const std::string& name : names) {
    if (is_volume_internal_attr(name)) continue;
    if (scope == attr_scope::posix_acls && !is_posix_acl(name)) continue;
    std::error_code ec = read_value(api, io, src, name, &value);
    if (ec.value() == ENODATA) {
      // Removed since it was listed: the live file no longer has it.
      logger().debug("ktfssnapcore::copy_attrs()", 1, "[%s] of [%s] vanished", name.c_str(),
                     src.c_str());
      continue;
    }
    if (ec) {
      *failed = src;
      return ec;
    }
    struct iovec iov = {value.data(), value.size()};
    if ((ec = api->lsetxattr(io, dst.c_str(), name.c_str(), &iov, 0, kNoAio))) {
      *failed = dst;
      return ec;
    }
  }
  return {};
}

bool same_attrs(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& a,
                const std::string& b) {
  std::vector<std::string> names[2];
  if (api->listxattr(io, a.c_str(), false, &names[0], kNoAio) ||
      api->listxattr(io, b.c_str(), false, &names[1], kNoAio)) {
    return false;
  }
  for (std::vector<std::string>& list : names) {
    list.erase(std::remove_if(list.begin(), list.end(), is_volume_internal_attr), list.end());
    std::sort(list.begin(), list.end());
  }
  if (names[0] != names[1]) return false;
  std::vector<char> value_a, value_b;
  for (const std::string& name : names[0]) {
    if (read_value(api, io, a, name, &value_a) || read_value(api, io, b, name, &value_b) ||
        value_a != value_b) {
      return false;
    }
  }
  return true;
}

}  // namespace detail

std::error_code copied_attributes(ktfs::ktfs_api* api, ktfs::iopx_ptr io, const std::string& path,
                                  std::map<std::string, std::string>* out) {
  out->clear();
  std::vector<std::string> names;
  if (std::error_code ec = api->listxattr(io, path.c_str(), false, &names, kNoAio)) return ec;
  std::vector<char> value;
  for (const std::string& name : names) {
    if (detail::is_volume_internal_attr(name)) continue;
    std::error_code ec = detail::read_value(api, io, path, name, &value);
    if (ec.value() == ENODATA) continue;  // removed since it was listed
    if (ec) return ec;
    (*out)[name].assign(value.begin(), value.end());
  }
  return {};
}

}  // namespace ktfssnapcore
