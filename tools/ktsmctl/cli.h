// The command line: options, the command table, help texts, and the run of
// one command from parsing to exit status.
#ifndef KTSMCTL_CLI_H_
#define KTSMCTL_CLI_H_

#include <string>
#include <vector>

#include "commands.h"
#include "volume.h"

namespace ktsmctl {

struct invocation {
  std::vector<std::string> words;  // the command and its arguments
  volume_options volume;
  std::string log_file;  // --log
  bool verbose = false;  // -v
  bool json = false;     // --json
  bool help = false;     // -h, --help
  bool version = false;  // --version
  unsigned wait = 10;    // --wait SECONDS: how long a change waits for its group's lock
  command_options opts;  // the options only some commands take
  std::vector<std::string> given;  // which of those were given ("--json", "-H", ...)
};

// Parses the command line; options may come before or after the command,
// and "--" ends them.  False with *error set on a usage error.
bool parse_command_line(int argc, const char* const* argv, invocation* out, std::string* error);

// Runs the command line and returns the exit status.
int run(int argc, const char* const* argv);

// The guided run (demo.cc).  verbose sends the library's log to standard
// error.
int run_demo(bool verbose);

}  // namespace ktsmctl

#endif  // KTSMCTL_CLI_H_
