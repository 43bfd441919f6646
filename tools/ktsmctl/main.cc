// ktsmctl: manages file groups and their versions from the command line,
// one library start-up per command.  See "ktsmctl --help".
#include <exception>

#include "cli.h"
#include "output.h"

int main(int argc, char** argv) {
  try {
    return ktsmctl::finish_output(ktsmctl::run(argc, argv));
  } catch (const std::exception& e) {
    // What an exception says may quote a name: one line, like every failure.
    return ktsmctl::fail(e.what());
  }
}
