// A file-system client connection of ktsmctl's own, beside the library's,
// for what the library does not do: looking into top-level entries that
// start-up recovery could not rebuild, and writing the demo's files.
#ifndef KTSMCTL_VOLUME_CLIENT_H_
#define KTSMCTL_VOLUME_CLIENT_H_

#include <sys/stat.h>

#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "ktfs/ktfs_api.h"
#include "volume.h"

namespace ktsmctl {

class volume_client {
 public:
  // False when the volume cannot be reached.
  bool connect(const volume_choice& volume);

  std::error_code stat(const std::string& path, struct stat* st);
  // Whether every part of the volume that can hold entries of the directory
  // answers (ENOTCONN when a brick is down: its entries would be missing
  // from every listing without an error).
  std::error_code reachable(const std::string& dir);
  // Entry names of dir without "." and "..".
  std::error_code list(const std::string& dir, std::vector<std::string>* names);
  // The same, each with its lstat, read with the listing.
  std::error_code list_stats(const std::string& dir,
                             std::vector<std::pair<std::string, struct stat>>* entries);
  // The attribute's text up to its first zero byte; false when missing.
  bool read_attribute(const std::string& path, const std::string& name, std::string* text);
  std::error_code set_attribute(const std::string& path, const std::string& name,
                                const std::string& value);
  // The entry itself, never following a final symbolic link.
  std::error_code lstat(const std::string& path, struct stat* st);
  std::error_code readlink(const std::string& path, std::string* target);
  // The entry's own extended attributes that a snapshot keeps (names and
  // values; not the volume's bookkeeping).
  std::error_code own_attributes(const std::string& path,
                                 std::map<std::string, std::string>* attrs);
  // Whether the two regular files hold the same bytes (read in blocks).
  std::error_code same_bytes(const std::string& a, const std::string& b, bool* same);
  // Makes or replaces a regular file (mode 0644) holding content.
  std::error_code write_file(const std::string& path, const std::string& content);

 private:
  ktfs::ktfs_api m_api;
  ktfs::iopx_ptr m_io;
};

}  // namespace ktsmctl

#endif  // KTSMCTL_VOLUME_CLIENT_H_
