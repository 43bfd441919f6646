// The commands that work on an open session.  Each takes its positional
// arguments, already checked for form (group names, version names), prints
// its result on standard output or one error line on standard error, and
// returns the exit status.
#ifndef KTSMCTL_COMMANDS_H_
#define KTSMCTL_COMMANDS_H_

#include <string>
#include <vector>

#include "session.h"

namespace ktsmctl {

struct context {
  session& lib;
  bool json = false;
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

// Says on standard error how many top-level entries did not recover, so
// that every command points at "ktsmctl doctor" when there are any.
void warn_unrecovered(const session& lib);

}  // namespace ktsmctl

#endif  // KTSMCTL_COMMANDS_H_
