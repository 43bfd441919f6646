// Small helpers of the tests that run ktsmctl as a separate process.  They
// read KTSMCTL_BIN, which each such test program defines.
#ifndef KTSM_TESTS_SUPPORT_KTSMCTL_RUN_H_
#define KTSM_TESTS_SUPPORT_KTSMCTL_RUN_H_

#include <string>

#include "support/test_volumes.h"

namespace ktsm_test {

// The directory of the ktsmctl under test, which also holds the export
// service's stand-in.
inline std::string tool_dir() {
  std::string bin = KTSMCTL_BIN;
  return bin.substr(0, bin.rfind('/'));
}

}  // namespace ktsm_test

#endif  // KTSM_TESTS_SUPPORT_KTSMCTL_RUN_H_
