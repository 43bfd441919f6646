// Small helpers of the tests that run ktsmctl as a separate process.  They
// read KTSMCTL_BIN, which each such test program defines.
#ifndef KTSM_TESTS_SUPPORT_KTSMCTL_RUN_H_
#define KTSM_TESTS_SUPPORT_KTSMCTL_RUN_H_

#include <fstream>
#include <sstream>
#include <string>

namespace ktsm_test {

// The whole text of a host file; empty when it cannot be read.
inline std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The directory of the ktsmctl under test, which also holds the export
// service's stand-in.
inline std::string tool_dir() {
  std::string bin = KTSMCTL_BIN;
  return bin.substr(0, bin.rfind('/'));
}

}  // namespace ktsm_test

#endif  // KTSM_TESTS_SUPPORT_KTSMCTL_RUN_H_
