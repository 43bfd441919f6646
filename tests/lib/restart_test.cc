// Versions keep their names and directories across a restart, and version
// operations on different sets run at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "support/library_fixture.h"

namespace {

using ktsm_internal::access;
using ktsm_test::backend_kind;
using ktsm_test::state_bytes;
using ktsm_test::vs;
typedef vs::version_ptr version_ptr;

class RestartTest : public ktsm_test::LibraryTest {
 protected:
  vs::set_ptr restart(const std::string& group) {
    vs::stop();
    EXPECT_EQ(m_lib.init(), 0);
    vs::set_ptr set;
    EXPECT_EQ(vs::get_version_set(group, set), 0);
    return set;
  }
};

TEST_P(RestartTest, CreatedVersionsAreFoundAndReachedAfterARestart) {
  ASSERT_EQ(m_lib.init(), 0);
  vs::set_ptr set;
  ASSERT_EQ(vs::create_version_set("//g", set), 0);
  m_lib.write_file("/g/f", "one");
  version_ptr v;
  ASSERT_EQ(set->create_version("v1", v), 0);
  m_lib.write_file("/g/f", "two");
  ASSERT_EQ(set->create_version("v2", v), 0);

  set = restart("//g");
  ASSERT_TRUE(set);
  version_ptr v1, v2;
  set->get_version("v1", v1);
  set->get_version("v2", v2);
  ASSERT_TRUE(v1 && v2);
  EXPECT_EQ(v1->get_state(), vs::SNAP_STATE_ACTIVE);
  ASSERT_EQ(set->set_previous_version("v1"), 0);
  ASSERT_EQ(set->set_previous_version("v2"), 0);
  m_lib.set_xattr("/g/.snaps/v1/f", "trusted.cloudsync.uuid", "same");
  m_lib.set_xattr("/g/.snaps/v2/f", "trusted.cloudsync.uuid", "same");
  EXPECT_TRUE(v2->is_file_needed("f"));
  ASSERT_EQ(set->export_version("v2"), 0);
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v2"), state_bytes("8"));

  // Exported state survives the next restart, and unexport reaches it.
  set = restart("//g");
  set->get_version("v2", v2);
  ASSERT_TRUE(v2);
  EXPECT_EQ(v2->get_state(), vs::SNAP_STATE_EXPORTED);
  ASSERT_EQ(set->unexport_version("v2"), 0);
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v2"), state_bytes("2"));
  ASSERT_EQ(set->delete_version("v1"), 0);
  ASSERT_EQ(set->delete_version("v2"), 0);
  EXPECT_TRUE(m_lib.entries("/g/.snaps").empty());
  EXPECT_EQ(m_lib.read_file("/g/f"), "two") << "live data untouched";

  // And the other way round: versions made behind the library's back.
  m_lib.make_dir("/g/.snaps/r1", 0);
  m_lib.put_state("/g/.snaps/r1", "2");
  set = restart("//g");
  ASSERT_EQ(set->export_version("r1"), 0);
  ASSERT_EQ(set->unexport_version("r1"), 0);
  ASSERT_EQ(set->set_previous_version("r1"), 0);
  ASSERT_EQ(set->delete_version("r1"), 0);
  EXPECT_FALSE(m_lib.exists("/g/.snaps/r1"));
}

INSTANTIATE_TEST_SUITE_P(Backends, RestartTest,
                         ::testing::Values(backend_kind::local, backend_kind::gluster_distributed),
                         ktsm_test::backend_param_name);

class ParallelSetsTest : public ktsm_test::LocalLibraryTest {};

// Two threads, each creating, linking and deleting versions in its own set;
// a watchdog bounds the run.
TEST_F(ParallelSetsTest, OperationsOnTwoSetsRunAtTheSameTime) {
  ASSERT_EQ(m_lib.init(), 0);
  vs::set_ptr a, b;
  ASSERT_EQ(vs::create_version_set("//a", a), 0);
  ASSERT_EQ(vs::create_version_set("//b", b), 0);
  m_lib.write_file("/a/f", "a");
  m_lib.write_file("/b/f", "b");
  auto worker = [](vs::set_ptr set) {
    int failures = 0;
    for (int i = 0; i < 30; ++i) {
      std::string name = "v" + std::to_string(i);
      version_ptr v;
      failures += set->create_version(name, v) != 0;
      failures += set->set_previous_version(name) != 0;
      if (i % 2 == 1) failures += set->delete_version("v" + std::to_string(i - 1)) != 0;
    }
    return failures;
  };
  auto fa = std::async(std::launch::async, worker, a);
  auto fb = std::async(std::launch::async, worker, b);
  ktsm_test::end_if_hung(fa.wait_for(std::chrono::seconds(120)) == std::future_status::ready,
                         "the worker on //a");
  ktsm_test::end_if_hung(fb.wait_for(std::chrono::seconds(120)) == std::future_status::ready,
                         "the worker on //b");
  EXPECT_EQ(fa.get(), 0);
  EXPECT_EQ(fb.get(), 0);
  EXPECT_EQ(access::versions(*a).size(), 16u);
  EXPECT_EQ(m_lib.entries("/b/.snaps").size(), 15u);
}

}  // namespace
