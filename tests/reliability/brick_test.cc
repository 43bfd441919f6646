// A brick down, on the real GlusterFS volumes: a distributed volume lists a
// directory without the entries of a brick that does not answer, so no
// snapshot, restore, deletion or diff may trust a listing then; a replica
// set keeps working with one brick of three down.  Bricks are ended by the
// pid that the volume's status gives, and started again with "volume
// start force".
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "ktfssnapcore/ktfssnapcore.h"
#include "support/gluster_volume.h"
#include "support/library_fixture.h"

namespace {

using ktsm_test::backend_kind;
using ktsm_test::state_bytes;
using ktsm_test::vs;
typedef vs::version_ptr version_ptr;
typedef std::vector<std::string> names;

const char kUnreachable[] = "file group [/g] part of the volume is unreachable";

// The group /g with 60 files in two directories, so that each brick of a
// distributed volume holds some of them, and its set started.
class BrickDownTest : public ktsm_test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string skip;
    m_volume = ktsm_test::gluster_volume_for(GetParam(), &skip);
    ASSERT_NE(m_volume, nullptr);
    ASSERT_EQ(m_lib.init(), 0);
    ASSERT_EQ(vs::create_version_set("/g", m_set), 0);
    m_lib.make_dir("/g/d", 0755);
    for (int i = 0; i < 40; ++i)
      m_lib.write_file("/g/f" + std::to_string(i), "file " + std::to_string(i));
    for (int i = 0; i < 20; ++i) m_lib.write_file("/g/d/e" + std::to_string(i), "deep");
  }
  void TearDown() override {
    if (m_volume != nullptr) {
      EXPECT_TRUE(back()) << "the ended brick did not come back";
    }
    LibraryTest::TearDown();
  }

  // Starts the ended brick again and waits until the library's connection
  // answers for the group on every brick (the client reconnects on its own).
  bool back() {
    if (!m_volume->restart_bricks()) {
      ADD_FAILURE() << m_volume->error();
      return false;
    }
    if (wait_for(true)) return true;
    ADD_FAILURE() << "the client does not reach every brick again: "
                  << m_lib.api().reachable(m_lib.io(), "/g", ktfs::kNoAio).message();
    return false;
  }
  // Waits until the connection the library shares sees every brick answer
  // (answering true) or sees one missing (false); at most 30 seconds.
  bool wait_for(bool answering) {
    for (int i = 0; i < 300; ++i) {
      if (!m_lib.api().reachable(m_lib.io(), "/g", ktfs::kNoAio) == answering) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  // The version holds every entry of the live group, at both levels.
  void expect_whole(const std::string& version) {
    std::string dir = "/g/.snaps/" + version;
    names live = m_lib.entries("/g");
    live.erase(std::find(live.begin(), live.end(), ".snaps"));
    names kept = m_lib.entries(dir);
    kept.erase(std::remove(kept.begin(), kept.end(), ".snaps"), kept.end());  // its own list
    EXPECT_EQ(kept, live) << version;
    EXPECT_EQ(m_lib.entries(dir + "/d").size(), 20u) << version;
    EXPECT_EQ(m_lib.read_file(dir + "/f7"), "file 7");
  }

  // The failure the host reports (the last line it shows) is the volume's,
  // and it was said once.
  void expect_unreachable_reported() {
    EXPECT_EQ(m_lib.capture().count(kUnreachable), 1u);
    std::string last;
    for (const ktfs::log_record& r : m_lib.capture().records()) {
      if (r.level < 0 || r.is_error) last = r.text;
    }
    EXPECT_EQ(last, kUnreachable);
    m_lib.capture().clear();
  }

  // ktsmctl run on the same volume; its output.
  std::string ktsmctl(const std::string& args, int* status) {
    std::string out;
    *status = ktsm_test::run_command(std::string("KTSM_LOG=/dev/null ") + KTSMCTL_BIN +
                                         " --server " + m_volume->server() + " --volume " +
                                         m_volume->name() + " " + args,
                                     &out);
    return out;
  }

  ktsm_test::gluster_volume* m_volume = nullptr;
  vs::set_ptr m_set;
};

// Each case on its own layout.
class DistributedBrickTest : public BrickDownTest {};
class ReplicaBrickTest : public BrickDownTest {};

TEST_P(DistributedBrickTest, NoListingIsTrustedWhileABrickIsDown) {
  version_ptr v0, v;
  ASSERT_EQ(m_set->create_version("v0", v0), 0);
  expect_whole("v0");
  ASSERT_TRUE(m_volume->kill_brick(1));
  ASSERT_TRUE(wait_for(false));
  m_lib.capture().clear();

  // A snapshot is refused and left unfinished, as a failed one is.
  EXPECT_EQ(m_set->create_version("v1", v), 1);
  expect_unreachable_reported();
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes("1"));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->get_state(), vs::SNAP_STATE_CREATE_IN_PROGRESS);
  // A restore, a deletion and a diff change nothing.
  m_lib.write_file("/g/f7", "changed");
  EXPECT_EQ(m_set->restore_paths("v0", {"f7"}, ""), 1);
  expect_unreachable_reported();
  EXPECT_EQ(m_lib.read_file("/g/f7"), "changed");
  EXPECT_EQ(m_set->delete_version("v0"), 1);
  expect_unreachable_reported();
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v0"), state_bytes("2"));
  // Nor is an export or a hold written: the brick's own copy of the
  // version's attributes would answer for them once it is back.
  EXPECT_EQ(m_set->export_version("v0"), 1);
  expect_unreachable_reported();
  EXPECT_EQ(m_set->hold_version("v0", "keep"), 1);
  expect_unreachable_reported();
  int status = 0;
  std::string out = ktsmctl("diff g v0", &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("part of the"), std::string::npos) << out;
  EXPECT_NE(out.find("is unreachable"), std::string::npos) << out;

  // Back: doctor names the unfinished snapshot, and a new one is whole.
  ASSERT_TRUE(back());
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v0"), state_bytes("2"));
  std::vector<std::string> tags;
  EXPECT_EQ(m_set->get_holds("v0", tags), 0);
  EXPECT_TRUE(tags.empty());
  out = ktsmctl("doctor", &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("group g, version v1: create in progress"), std::string::npos) << out;
  m_lib.write_file("/g/f7", "file 7");
  ASSERT_EQ(m_set->create_version("v2", v), 0);
  expect_whole("v2");

  // A brick lost while the copy runs (when its first file is made) fails
  // the snapshot the same way.
  m_lib.faults()->on_call(ktfs::op::open, "/g/.snaps/v3/*", [&] {
    EXPECT_TRUE(m_volume->kill_brick(1));
    EXPECT_TRUE(wait_for(false));
  });
  m_lib.capture().clear();
  EXPECT_EQ(m_set->create_version("v3", v), 1);
  expect_unreachable_reported();
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v3"), state_bytes("1"));
  ASSERT_TRUE(back());
  ASSERT_EQ(m_set->create_version("v4", v), 0);
  expect_whole("v4");
}

// A brick lost just before an export or unexport writes the version's state
// keeps the value from before; the change fails, and the bricks that took
// the write are given the old value back, so that every brick agrees once
// it is back and no reader can be answered with a value that leaves an
// export block without its version.  (Holds go through the same check; the
// fault sweep fails it for them.)
TEST_P(DistributedBrickTest, AChangeABrickMissedIsTakenBackOnTheOthers) {
  version_ptr v0;
  ASSERT_EQ(m_set->create_version("v0", v0), 0);
  const std::string dir = "/g/.snaps/v0";
  // The state's bytes on each brick's own copy of the directory.
  auto on_bricks = [&] {
    names values;
    for (const std::string& brick : m_volume->bricks()) {
      char buf[256];
      ssize_t n = ::lgetxattr((brick + dir).c_str(), vs::SNAP_STATE_NAME.c_str(), buf, sizeof buf);
      values.push_back(n < 0 ? "none" : std::string(buf, static_cast<size_t>(n)));
    }
    return values;
  };
  auto states = [&](const std::string& text) {
    return names(m_volume->bricks().size(), state_bytes(text));
  };
  const struct {
    const char* what;
    int write;  // the state write before which the brick is killed
    std::function<int32_t()> change;
    const char* left;  // the state every brick holds after
    size_t blocks;
  } rows[] = {
      {"export, before the first write", 1, [&] { return m_set->export_version("v0"); }, "2", 0},
      {"export, after the command", 2, [&] { return m_set->export_version("v0"); }, "7", 1},
      {"unexport, before the first write", 1, [&] { return m_set->unexport_version("v0"); }, "7",
       1},
      {"unexport, after the command", 2, [&] { return m_set->unexport_version("v0"); }, "10", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    auto kill = [&] {
      EXPECT_TRUE(m_volume->kill_brick(1));
      EXPECT_TRUE(wait_for(false));
    };
    m_lib.faults()->on_call(ktfs::op::setxattr, "*" + dir, [&] {
      if (row.write == 1) return kill();
      m_lib.faults()->on_call(ktfs::op::setxattr, "*" + dir, kill);
    });
    m_lib.capture().clear();
    EXPECT_EQ(row.change(), 1);
    expect_unreachable_reported();
    ASSERT_TRUE(back());
    EXPECT_EQ(on_bricks(), states(row.left));
    EXPECT_EQ(m_lib.export_blocks(), row.blocks);
  }
  // Unfinished, the version is named by doctor and is not deleted.
  int status = 0;
  std::string out = ktsmctl("doctor", &status);
  EXPECT_NE(out.find("group g, version v0: unexport in progress"), std::string::npos) << out;
  EXPECT_EQ(m_set->delete_version("v0"), 1);
  EXPECT_EQ(m_set->unexport_version("v0"), 0);
  EXPECT_EQ(on_bricks(), states("2"));
}

// Snapshots go on with a brick of the replica set down; deletions wait for
// it, since the brick that missed one could bring the version back.
TEST_P(ReplicaBrickTest, SnapshotsWorkAndDeletionsWaitWithOneBrickDown) {
  version_ptr v0, v1, v2;
  ASSERT_EQ(m_set->create_version("v0", v0), 0);
  ASSERT_TRUE(m_volume->kill_brick(1));
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  ASSERT_EQ(m_set->create_version("v2", v2), 0);
  m_lib.capture().clear();
  EXPECT_EQ(m_set->delete_version("v0"), 1);
  expect_unreachable_reported();
  EXPECT_EQ(m_set->delete_version("v2"), 1);
  expect_unreachable_reported();
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v0"), state_bytes("2"));
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v2"), state_bytes("2"));
  ASSERT_EQ(vs::create_version_set("/empty", m_set), 0);
  EXPECT_EQ(vs::delete_version_set("/empty"), 1);
  EXPECT_EQ(m_lib.capture().count("file group [/empty] part of the volume is unreachable"), 1u);
  int status = 0;
  std::string out = ktsmctl("delete g v2", &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("is unreachable); the snapshot is unchanged"), std::string::npos) << out;

  ASSERT_TRUE(back());
  ASSERT_TRUE(m_volume->wait_for_heal());
  EXPECT_EQ(vs::delete_version_set("/empty"), 0);
  ASSERT_EQ(vs::get_version_set("/g", m_set), 0);
  EXPECT_EQ(m_set->delete_version("v2"), 0);
  EXPECT_EQ(m_set->delete_version("v0"), 0);
  expect_whole("v1");
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes("2"));
  struct stat st;
  for (const std::string& brick : m_volume->bricks()) {
    EXPECT_NE(::lstat((brick + "/g/.snaps/v2").c_str(), &st), 0) << brick;
    EXPECT_NE(::lstat((brick + "/empty").c_str(), &st), 0) << brick;
  }
}

INSTANTIATE_TEST_SUITE_P(Gluster, DistributedBrickTest,
                         ::testing::Values(backend_kind::gluster_distributed),
                         ktsm_test::backend_param_name);
INSTANTIATE_TEST_SUITE_P(Gluster, ReplicaBrickTest,
                         ::testing::Values(backend_kind::gluster_replica),
                         ktsm_test::backend_param_name);

}  // namespace
