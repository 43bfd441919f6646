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
  std::string log_file;            // --log
  bool verbose = false;            // -v
  bool json = false;               // --json
  bool help = false;               // -h, --help
  bool version = false;            // --version
  bool man = false;                // --man-page: print the man page
  bool completion = false;         // --bash-completion: print the completion script
  unsigned wait = 10;              // --wait SECONDS: how long a change waits for its group's lock
  command_options opts;            // the options only some commands take
  std::vector<std::string> given;  // which of those were given ("--json", "-H", ...)
};

// The command table and the options as --help shows them, for the man
// page and the bash completion (docs.cc), so that they are written once.
struct command_doc {
  std::string name, synopsis, summary, details;
  std::vector<std::string> params;  // "group", "version", "file", "path", "tag", "groups", "action"
  std::vector<std::string> options;  // the command's own options
};
struct option_doc {
  std::string name;   // "--local DIR", "-v [ --verbose ]"
  std::string flags;  // "--local", "-v --verbose": every spelling
  bool takes_value = false;
  std::string description;
};
std::vector<command_doc> command_docs();
std::vector<option_doc> option_docs();
// docs.cc
std::string man_page();
std::string bash_completion();

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
