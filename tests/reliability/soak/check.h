// The soak's checks, once every host has stopped and every brick is back:
// the volume held against the history of what the hosts were told.
#ifndef KTSM_SOAK_CHECK_H_
#define KTSM_SOAK_CHECK_H_

#include <functional>
#include <string>
#include <vector>

#include "history.h"
#include "ktfs/ktfs_api.h"

namespace ktsm_soak {

struct check_input {
  // The history, taken once every thread has stopped.
  std::vector<op_record> ops;
  std::vector<write_record> writes;
  ktfs::ktfs_api* api = nullptr;
  ktfs::iopx_ptr io;                // a client connection of the checker's own
  std::vector<std::string> groups;  // the groups the writer wrote
  int files = 0;                    // w/f0 .. w/f<files-1> in each
  std::string exports_dir;          // where the export stand-in writes its blocks
  // Runs a fresh ktsmctl with these words (after the volume options);
  // returns its exit status, standard output into *out.
  std::function<int(const std::vector<std::string>&, std::string* out)> ktsmctl;
  // What each brick holds at these paths of the volume (without the
  // leading "/"), as evidence beside a problem with them (empty where the
  // bricks cannot be read).
  std::function<std::string(const std::vector<std::string>& paths)> bricks;
};

struct check_report {
  int versions_checked = 0;  // versions whose every file was read and checked
  int files_checked = 0;
  // What faults left in the live files and the copies taken of them, by
  // GlusterFS's limits or a restore that failed (see check_files), each
  // with what the bricks hold there: not problems.
  std::vector<std::string> limits;
  std::vector<std::string> problems;  // each names what is wrong and the operation
};

// Checks, and says what it found:
//  - a fresh process's start-up lists every group's versions in creation
//    order, each linked to the one before it;
//  - every version in a state other than active, exported or unexported
//    is named by "ktsmctl doctor";
//  - every version a host was told it took is there unless it was deleted
//    (or an operation that may have deleted it did not say), and none a
//    host was told was deleted is;
//  - holds and export states are as the last operation on them said, where
//    the last one succeeded and overlapped no other;
//  - every export block names a version that is there and not settled
//    unexported (exported, or an export cut short that doctor names);
//  - every file of every finished version, and of the live groups, is
//    whole (content.h), unless a rename or a restore of it that failed left
//    the live file torn or unresolvable, and the copy was taken before a
//    whole write mended it (listed as limits); every version a host was told it took holds every
//    live file that was written before the snapshot started, in a
//    generation written by then or during the snapshot, unless a restore of
//    the group ran meanwhile.
check_report check_volume(const check_input& in);

}  // namespace ktsm_soak

#endif  // KTSM_SOAK_CHECK_H_
