// Choosing the volume at init(), empty handles, and paths that try to leave
// a local volume.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>

#include "ktfs/ktfs_api.h"
#include "ktfs/ktfs_fault.h"
#include "support/gluster_volume.h"
#include "support/test_volumes.h"

using ktfs::kNoAio;

namespace {

// Restores the process defaults and environment a test changed.
class ConfigTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ktfs::set_client_defaults(ktfs::client_defaults());
    ::unsetenv("KTFS_LOCAL_ROOT");
    ::unsetenv("KTFS_VOLFILE_SERVER");
  }

  // The local root a handle's backend writes under, seen through a marker.
  static bool lands_in(ktfs::ktfs_api& api, ktfs::iopx_ptr io, const std::string& root) {
    if (!io) return false;
    std::string marker = "/marker-" + std::to_string(::getpid());
    if (api.mkdir(io, marker.c_str(), 0700, kNoAio)) return false;
    struct stat st;
    bool found = ::stat((root + marker).c_str(), &st) == 0;
    api.rmdir(io, marker.c_str(), kNoAio);
    return found;
  }
};

TEST_F(ConfigTest, LocationComesFromConfigThenDefaultsThenEnvironment) {
  ktsm_test::scratch_dir from_cfg, from_defaults, from_env;
  ::setenv("KTFS_LOCAL_ROOT", from_env.path().c_str(), 1);
  ktfs::client_defaults d;
  d.local_root = from_defaults.path();
  ktfs::set_client_defaults(d);
  ktfs::ktfs_api api;

  ktfs::iopx_tree_cfg cfg{"glusterfs", "vol", "", from_cfg.path()};
  EXPECT_TRUE(lands_in(api, api.init(cfg), from_cfg.path()));
  // The library itself sets only the type and the volume name.
  ktfs::iopx_tree_cfg bare{"glusterfs", "vol", "", ""};
  EXPECT_TRUE(lands_in(api, api.init(bare), from_defaults.path()));
  ktfs::set_client_defaults(ktfs::client_defaults());
  EXPECT_TRUE(lands_in(api, api.init(bare), from_env.path()));
}

TEST_F(ConfigTest, FailedConnectionGivesEmptyHandleThatAnswersErrors) {
  ktfs::ktfs_api api;
  // Nothing listens on port 1: the connection fails quickly.
  ktfs::iopx_tree_cfg cfg{"glusterfs", "novolume", "127.0.0.1:1", ""};
  ktfs::iopx_ptr io = api.init(cfg);
  EXPECT_FALSE(io);
  ktfs::iopx_tree_cfg bad_port{"glusterfs", "vol", "host:notaport", ""};
  EXPECT_FALSE(api.init(bad_port));

  struct stat st;
  char buf[16] = {0};
  struct iovec iov = {buf, sizeof buf};
  std::vector<std::string> names;
  std::string target;
  size_t done = 0;
  uint64_t a = 0, b = 0;
  EXPECT_EQ(api.stat(io, "/", &st, kNoAio).value(), EBADF);
  EXPECT_EQ(api.lstat(io, "/", &st, kNoAio).value(), EBADF);
  EXPECT_EQ(api.mkdir(io, "/a", 0760, kNoAio).value(), EBADF);
  EXPECT_EQ(api.rmdir(io, "/a", kNoAio).value(), EBADF);
  EXPECT_EQ(api.unlink(io, "/a", kNoAio).value(), EBADF);
  EXPECT_EQ(api.rename(io, "/a", "/b", kNoAio).value(), EBADF);
  EXPECT_EQ(api.chmod(io, "/a", 0, kNoAio).value(), EBADF);
  EXPECT_FALSE(api.opendir(io, "/", kNoAio));
  EXPECT_FALSE(api.open(io, "/a", O_RDONLY, kNoAio));
  EXPECT_EQ(api.getxattr(io, "/", "trusted.x", &iov, kNoAio), -1);
  EXPECT_EQ(api.setxattr(io, "/", "trusted.x", &iov, 0, kNoAio).value(), EBADF);
  EXPECT_EQ(api.listxattr(io, "/", true, &names, kNoAio).value(), EBADF);
  EXPECT_EQ(api.readlink(io, "/a", &target, kNoAio).value(), EBADF);
  EXPECT_EQ(api.symlink(io, "x", "/a", kNoAio).value(), EBADF);
  // Empty file handles.
  ktfs::file_ptr none;
  EXPECT_EQ(api.readdir(none, kNoAio), nullptr);
  EXPECT_EQ(api.closedir(none, kNoAio).value(), EBADF);
  EXPECT_EQ(api.close(none, kNoAio).value(), EBADF);
  EXPECT_EQ(api.read(none, buf, 1, 0, &done, kNoAio).value(), EBADF);
  EXPECT_EQ(api.write(none, buf, 1, 0, &done, kNoAio).value(), EBADF);
  EXPECT_EQ(api.copy_range(none, &a, none, &b, 1, &done, kNoAio).value(), EBADF);
}

TEST_F(ConfigTest, PathsNeverLeaveTheLocalRoot) {
  ktsm_test::scratch_dir outer;
  std::string root = outer.path() + "/root";
  ktfs::ktfs_api api;
  ktfs::iopx_ptr io = api.init(ktfs::iopx_tree_cfg{"glusterfs", "v", "", root});
  ASSERT_TRUE(io);
  struct {
    const char* volume_path;
    const char* lands_at;  // under root
  } cases[] = {
      {"//top", "/top"},
      {"/../../escape1", "/escape1"},
      {"/a/../../../escape2", "/escape2"},
      {"a/./b/../c", "/a/c"},
      {"/a/b/../../c2", "/c2"},
      {"/./.x/..//c3/", "/c3"},  // ".x" is a name; a trailing "/" adds nothing
      {"/.../f4", "/.../f4"},    // so is "..."
  };
  for (const auto& c : cases) {
    ktfs::file_ptr f = api.open(io, c.volume_path, O_WRONLY | O_CREAT, 0600, kNoAio);
    if (!f) {  // the parent may be missing: make it and retry
      std::string parent = std::string(c.lands_at).substr(0, std::string(c.lands_at).rfind('/'));
      ASSERT_FALSE(api.mkdir(io, parent.c_str(), 0700, kNoAio)) << c.volume_path;
      f = api.open(io, c.volume_path, O_WRONLY | O_CREAT, 0600, kNoAio);
    }
    ASSERT_TRUE(f) << c.volume_path << ": " << std::strerror(errno);
    api.close(f, kNoAio);
    struct stat st;
    EXPECT_EQ(::stat((root + c.lands_at).c_str(), &st), 0) << c.volume_path;
  }
  std::string out;
  ktsm_test::run_command("ls -A '" + outer.path() + "'", &out);
  EXPECT_EQ(out, "root\n") << "something was made outside the root";
}

TEST_F(ConfigTest, WrapHookPutsFaultsInFrontOfEveryNewConnection) {
  ktsm_test::scratch_dir dir;
  std::shared_ptr<ktfs::fault_backend> faults;
  ktfs::client_defaults d;
  d.wrap = [&faults](std::shared_ptr<ktfs::backend> base) {
    faults = std::make_shared<ktfs::fault_backend>(base);
    return faults;
  };
  ktfs::set_client_defaults(d);
  ktfs::ktfs_api api;
  ktfs::iopx_ptr io = api.init(ktfs::iopx_tree_cfg{"glusterfs", "v", "", dir.path()});
  ASSERT_TRUE(io && faults);
  faults->fail_nth(1, EROFS);
  EXPECT_EQ(api.mkdir(io, "/g", 0760, kNoAio).value(), EROFS);
  EXPECT_FALSE(api.mkdir(io, "/g", 0760, kNoAio));
  EXPECT_EQ(faults->count(ktfs::op::mkdir), 2u);
}

}  // namespace
