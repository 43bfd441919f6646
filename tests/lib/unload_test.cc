// Unloading the library without stop(): every record it holds must go back
// to its pool before the pools are destroyed.  Run under AddressSanitizer,
// a mistake shows as a use-after-free at dlclose.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "support/gluster_volume.h"
#include "support/test_volumes.h"

namespace {

TEST(UnloadTest, LibraryUnloadsWithSetsAndVersionsStillRegistered) {
  ktsm_test::scratch_dir dir;
  std::string out;
  // A volume with two file groups and versions in several states.
  ASSERT_EQ(
      ktsm_test::run_command(
          "cd '" + dir.path() +
              "' && mkdir -p a/.snaps/s1 a/.snaps/s2 b/.snaps/x && "
              "for d in a/.snaps/s1 a/.snaps/s2 b/.snaps/x; do "
              "setfattr -n trusted.norvafs.snapstate -v 0x32000000000000000000000000000000 $d; "
              "done",
          &out),
      0)
      << out;
  void* probe = ::dlopen(UNLOAD_PROBE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(probe, nullptr) << ::dlerror();
  auto run = reinterpret_cast<int (*)(const char*)>(::dlsym(probe, "probe_run"));
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run(dir.path().c_str()), 0);
  ASSERT_EQ(::dlclose(probe), 0);
  EXPECT_EQ(::dlopen("libktsm.so.1", RTLD_NOW | RTLD_NOLOAD), nullptr)
      << "the library is still loaded: the test proves nothing";
}

}  // namespace
