// The commands that work on an open session.  Each takes its positional
// arguments, already checked for form (group names, version names), prints
// its result on standard output or one error line on standard error, and
// returns the exit status.
#ifndef KTSMCTL_COMMANDS_H_
#define KTSMCTL_COMMANDS_H_

#include <map>
#include <string>
#include <vector>

#include "session.h"

namespace ktsmctl {

// The options that only some commands take.
struct command_options {
  bool dry_run = false;                     // --dry-run
  bool full = false;                        // --full
  bool remove_extra = false;                // --delete (restore)
  bool checksum = false;                    // --checksum (diff)
  bool leftovers = false;                   // --leftovers (prune)
  bool fix = false;                         // --fix (doctor)
  bool scripted = false;                    // -H: tab-separated, no padding
  bool parsable = false;                    // -p: exact numbers
  bool live = false;                        // --live: the live group, not a snapshot
  std::string to;                           // --to DIR
  std::string policy;                       // --policy FILE (timeline, policy)
  std::map<std::string, std::string> keep;  // "keep-last" -> "3", ...
};

struct context {
  session& lib;
  bool json = false;
  command_options opts = {};
};

typedef std::vector<std::string> arguments;

int cmd_list(context& ctx, const arguments& args);
int cmd_create_group(context& ctx, const arguments& args);
int cmd_delete_group(context& ctx, const arguments& args);
int cmd_snapshot(context& ctx, const arguments& args);
int cmd_delete(context& ctx, const arguments& args);
int cmd_export(context& ctx, const arguments& args);
int cmd_unexport(context& ctx, const arguments& args);
int cmd_link(context& ctx, const arguments& args);
int cmd_needed(context& ctx, const arguments& args);
int cmd_doctor(context& ctx, const arguments& args);
int cmd_restore(context& ctx, const arguments& args);  // restore.cc
int cmd_diff(context& ctx, const arguments& args);     // diff.cc
int cmd_prune(context& ctx, const arguments& args);    // prune.cc
int check_prune_options(const command_options& opts);
int cmd_timeline(context& ctx, const arguments& args);  // timeline.cc
// Reads the policy file before the volume is opened: its first fault, as
// FILE:LINE: reason, fails the command (status 1) with nothing touched.
int check_timeline_options(const command_options& opts);
int cmd_policy(context& ctx, const arguments& args);
int cmd_hold(context& ctx, const arguments& args);  // hold.cc
int cmd_release(context& ctx, const arguments& args);
int cmd_holds(context& ctx, const arguments& args);

// Says on standard error how many top-level entries did not recover, so
// that every command points at "ktsmctl doctor" when there are any.
void warn_unrecovered(const session& lib);

}  // namespace ktsmctl

#endif  // KTSMCTL_COMMANDS_H_
