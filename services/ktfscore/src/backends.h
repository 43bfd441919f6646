// Internal declarations shared by the backends and ktfs_api.
#ifndef KTFS_SRC_BACKENDS_H_
#define KTFS_SRC_BACKENDS_H_

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
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

// Reads GlusterFS's path information of a directory (the virtual attribute
// "trusted.glusterfs.pathinfo"): nested lists in which each distribute
// translator's list holds one answer per subvolume that answered the
// lookup, and a list "(NAME-layout (SUBVOLUME START STOP) ...)" names every
// subvolume of the directory's layout, answered or not:
//   ((<DISTRIBUTE:v-dht> <POSIX(/b0):host:/b0/g> <POSIX(/b2):host:/b2/g>)
//    (v-dht-layout (v-client-1 0 0) (v-client-0 ...) (v-client-2 ...)))
// A replicated subvolume answers as one list "(<REPLICATE:v-replicate-0>
// <POSIX...> ...)" with one answer per brick of the set that answered.
// ENOTCONN when some distribute translator has fewer answers than its
// layout has subvolumes, or, given replicas (each replicate translator's
// number of bricks, replica_sets), when some replica set has fewer answers
// than bricks; EPROTO when the text cannot be read so or names a replica
// set that replicas lacks; 0 when every one answered (a volume of one
// subvolume has no distribute list).
std::error_code pathinfo_answered(const std::string& text,
                                  const std::map<std::string, size_t>* replicas);
// The replicate translators of a client's volume description (a volfile:
// "volume NAME", "type cluster/replicate", "subvolumes A B C",
// "end-volume"), each with its number of bricks.
std::map<std::string, size_t> replica_sets(const std::string& volfile);

// Moves len bytes at offset through call(done), which reads or writes the
// rest from len - done bytes in and returns what it moved, or -1 with errno
// set: retried after EINTR, ended early when a call moves nothing (the end
// of a file).  *done receives the bytes moved.  The one loop of both
// backends' pread and pwrite.
template <class Call>
std::error_code transfer_all(size_t len, size_t* done, Call call) {
  *done = 0;
  while (*done < len) {
    ssize_t n = call(*done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno_code();
    if (n == 0) break;
    *done += static_cast<size_t>(n);
  }
  return {};
}

}  // namespace ktfs

#endif  // KTFS_SRC_BACKENDS_H_
