// The entries of a version or of the live group, read through the client,
// and what differs between two such trees: for diff, for what a restore
// would change, and for the sizes that list shows.
#ifndef KTSMCTL_TREE_H_
#define KTSMCTL_TREE_H_

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "volume_client.h"

namespace ktsmctl {

struct tree_entry {
  struct stat st;
  bool has_uuid = false;
  std::string uuid;                          // trusted.cloudsync.uuid of a regular file
  std::string link;                          // a symbolic link's target
  std::map<std::string, std::string> attrs;  // what a snapshot keeps, uuid included
};

// Path relative to the tree's root ("dir/a.txt") -> entry.
typedef std::map<std::string, tree_entry> tree;

// Reads every entry under root without following links, leaving out at the
// top ".snaps" (which holds the deleted-file list) and, in a version taken
// before the list moved there, the list at the top: neither belongs to the
// files.
// Without contents only the entries' metadata is read (no identity, no
// link target): enough for sizes.  On failure *failed names the path.
std::error_code read_tree(volume_client& client, const std::string& root, tree* out,
                          std::string* failed, bool contents = true);

// An entry whose content is the same, and some of its metadata not:
// what of "mode", "owner", "times" (modification), "attributes"
// (extended, ACLs included), "hard links" (which other names of the tree
// are the same file).
struct metadata_change {
  std::string path;
  std::vector<std::string> what;
};

struct tree_diff {
  // Paths, a directory's with a trailing "/".
  std::vector<std::string> added, removed, changed;
  std::vector<metadata_change> metadata;
  bool empty() const {
    return added.empty() && removed.empty() && changed.empty() && metadata.empty();
  }
};

// What differs from a (read at root_a) to b (read at root_b).  An entry is
// changed when its kind differs, or for a regular file its content: by
// trusted.cloudsync.uuid when both carry one, else by size, then (when the
// modification times differ) by bytes; with checksum by bytes whenever
// the sizes agree, whatever the identities and times say; for a link its
// target; for a device its number.  A directory is never changed itself;
// its entries are.  An entry not changed whose metadata differs is in
// metadata (a directory's times are left out: its entries move them).
std::error_code compare_trees(volume_client& client, const std::string& root_a, const tree& a,
                              const std::string& root_b, const tree& b, tree_diff* out,
                              std::string* failed, bool checksum = false);

// Bytes of the regular files of t, each file (inode) once: what a version
// refers to.
uint64_t tree_bytes(const tree& t);
// Bytes of the regular files of t that have no name outside t (all their
// links are among t's entries): what deleting a version would free, while
// its other files stay, shared with other versions.
uint64_t tree_frees(const tree& t);

}  // namespace ktsmctl

#endif  // KTSMCTL_TREE_H_
