// Pieces shared by the files of libktfssnapcore; not installed.
#ifndef KTFSSNAPCORE_SRC_INTERNAL_H_
#define KTFSSNAPCORE_SRC_INTERNAL_H_

#include <string>
#include <system_error>
#include <vector>

#include "ktfssnapcore/ktfssnapcore.h"

namespace ktfssnapcore {
namespace detail {

inline std::error_code errno_code(int err) { return std::error_code(err, std::system_category()); }

// The logger that set_logger chose, or the default one.
ktfs::ktfs_debug& logger();

// The progress counters that snap_progress() shows.
copy_progress& progress();

// The names in the directory at path, without "." and "..".  The directory
// is read whole and closed before the names are used, so callers may change
// it while they go through them.
std::error_code list_names(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                           std::vector<std::string>* names);

// Copies the extended attributes of src onto dst (the entries themselves,
// never following links; POSIX ACLs included), except the volume's own
// bookkeeping attributes.  On failure *failed names the path of the call
// that failed.
std::error_code copy_attrs(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& src,
                           const std::string& dst, std::string* failed);

// Removes path and what lies under it; *failed receives the path of the
// first failing call.
std::error_code remove_tree(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& path,
                            std::string* failed);

// True for attribute names that the volume keeps for itself and that must
// not be copied from one file to another.
bool is_volume_internal_attr(const std::string& name);

// Copies the file group fg into the existing directory ver (see
// snap_opcreate).  On failure *failed names the path of the call that failed.
std::error_code copy_group(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& fg,
                           const std::string& ver, std::string* failed);

}  // namespace detail
}  // namespace ktfssnapcore

#endif  // KTFSSNAPCORE_SRC_INTERNAL_H_
