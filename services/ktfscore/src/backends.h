// Internal declarations shared by the backends and ktfs_api.
#ifndef KTFS_SRC_BACKENDS_H_
#define KTFS_SRC_BACKENDS_H_

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "ktfs/ktfs_api.h"

namespace ktfs {

// Resolves "." and ".." components of a volume path within the volume and
// drops empty components: the result is "" for the root, else "/a/b".
std::string confine_path(const std::string& path);
// Appends the components of confine_path(path) to *out, each after a "/",
// in one pass and without a copy per component.
void append_confined(const std::string& path, std::string* out);

}  // namespace ktfs

#endif  // KTFS_SRC_BACKENDS_H_
