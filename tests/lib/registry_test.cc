// The registry: creating, finding and deleting version sets, with the
// directories on the volume and the exact messages.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "support/library_fixture.h"

namespace {

using ktsm_internal::access;
using ktsm_test::vs;
typedef vs::version_ptr version_ptr;

class RegistryTest : public ktsm_test::LocalLibraryTest {
 protected:
  void SetUp() override {
    LocalLibraryTest::SetUp();
    ASSERT_EQ(m_lib.init(), 0);
    m_lib.capture().clear();
    m_lib.faults()->reset_counts();
  }
  bool logged(const std::string& text) {
    std::vector<std::string> t = m_lib.texts();
    return std::count(t.begin(), t.end(), text) == 1;
  }
};

TEST_F(RegistryTest, CreateMakesMissingDirectoriesAndRegistersTheProductionVersion) {
  struct {
    const char* name;
    bool group_exists, snaps_exist;
    int mkdirs;
  } cases[] = {
      {"//fresh", false, false, 2}, {"//half", true, false, 1}, {"//whole", true, true, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.group_exists) m_lib.make_dir(c.name, 0700);
    if (c.snaps_exist) m_lib.make_dir(std::string(c.name) + "/.snaps", 0700);
    m_lib.faults()->reset_counts();
    vs::set_ptr set;
    ASSERT_EQ(vs::create_version_set(c.name, set), 0);
    EXPECT_EQ(m_lib.faults()->count(ktfs::op::mkdir), static_cast<uint64_t>(c.mkdirs));
    EXPECT_EQ(m_lib.mode_of(c.name), c.group_exists ? 0700u : 0760u);
    EXPECT_EQ(m_lib.mode_of(std::string(c.name) + "/.snaps"), c.snaps_exist ? 0700u : 0760u);
    ASSERT_TRUE(set);
    EXPECT_EQ(set->get_name(), c.name);
    ASSERT_EQ(access::versions(*set).size(), 1u);
    const version_ptr& production = access::versions(*set).front();
    EXPECT_EQ(production->get_name(), c.name);
    EXPECT_TRUE(production->is_production_version());
    EXPECT_EQ(production->get_state(), "");
    EXPECT_EQ(production->get_fg_versionset(), set) << "owned like a rebuilt one";
    EXPECT_EQ(vs::m_version_sets.back(), set);
  }
  char line[128];
  std::snprintf(line, sizeof line, "&m_version_sets=[%p]", static_cast<void*>(&vs::m_version_sets));
  EXPECT_EQ(m_lib.capture().count(line), 3u) << "one address line per creation";
}

TEST_F(RegistryTest, CreateFailuresLeaveWhatWasMade) {
  struct {
    const char* glob;
    const char* message;
    bool group_left;
  } cases[] = {{"//x", "file group dir [//x] create failed", false},
               {"//x/.snaps", "snap dir [//x/.snaps] create failed", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.glob);
    m_lib.capture().clear();
    m_lib.faults()->fail_calls(ktfs::op::mkdir, c.glob, EACCES, false);
    vs::set_ptr set;
    EXPECT_EQ(vs::create_version_set("//x", set), 1);
    EXPECT_FALSE(set);
    EXPECT_TRUE(logged(c.message));
    EXPECT_EQ(m_lib.exists("/x"), c.group_left);
    EXPECT_FALSE(m_lib.exists("/x/.snaps"));
    EXPECT_TRUE(vs::m_version_sets.empty());
  }
}

TEST_F(RegistryTest, OneSetPerNameAndLookupsByExactName) {
  vs::set_ptr first, second, found;
  ASSERT_EQ(vs::create_version_set("//g", first), 0);
  m_lib.faults()->clear();
  ASSERT_EQ(vs::create_version_set("//g", second), 0);
  EXPECT_EQ(first, second) << "the registered set comes back";
  EXPECT_EQ(m_lib.faults()->calls_since_armed(), 0u) << "nothing is made again";
  EXPECT_EQ(vs::m_version_sets.size(), 1u);
  // A second init without stop registers no group twice.
  EXPECT_EQ(m_lib.init(), 0);
  EXPECT_EQ(vs::m_version_sets.size(), 1u);
  ASSERT_EQ(vs::get_version_set("//g", found), 0);
  EXPECT_EQ(found, first);
  char line[128];
  std::snprintf(line, sizeof line, "version set [%p] found filegroup [//g]",
                static_cast<void*>(first.get()));
  EXPECT_TRUE(logged(line));
  for (const char* other : {"/g", "g", "///g", "//g/", "//G"}) {
    vs::set_ptr kept = second;
    EXPECT_EQ(vs::get_version_set(other, kept), 1) << other;
    EXPECT_EQ(kept, second) << "out unchanged on a miss";
    EXPECT_TRUE(logged("version set not found filegroup [" + std::string(other) + "]"));
  }
  ASSERT_EQ(vs::delete_version_set("//g"), 0);
  EXPECT_FALSE(m_lib.exists("/g"));
  EXPECT_TRUE(vs::m_version_sets.empty());
  EXPECT_TRUE(access::versions(*first).empty()) << "a deleted set's list is emptied";
}

TEST_F(RegistryTest, NamesThatAreNoFileGroupAreRefusedWithoutAVolumeCall) {
  m_lib.make_dir("/keep");
  const std::string nul("a\0b", 3);
  for (const std::string& name :
       {std::string(), std::string("/"), std::string("//"), std::string("."), std::string("//.."),
        std::string("//a/b"), std::string("/keep/.snaps"), std::string("//.snaps"), nul}) {
    SCOPED_TRACE(name);
    m_lib.faults()->clear();
    m_lib.capture().clear();
    vs::set_ptr set;
    EXPECT_EQ(vs::create_version_set(name, set), 1);
    EXPECT_FALSE(set);
    EXPECT_EQ(vs::delete_version_set(name), 1);
    EXPECT_EQ(m_lib.faults()->calls_since_armed(), 0u);
    EXPECT_EQ(m_lib.texts().size(), 2u) << "one line for each refusal";
  }
  EXPECT_TRUE(m_lib.exists("/keep")) << "the root and its groups stay";
}

TEST_F(RegistryTest, DeleteRemovesNothingWhileTheGroupHoldsAnything) {
  vs::set_ptr set;
  ASSERT_EQ(vs::create_version_set("//g", set), 0);
  // A version under ".snaps", a live file, both: nothing is removed.
  struct held {
    const char* what;
    bool version, file;
  } cases[] = {{"a version", true, false}, {"a live file", false, true}, {"both", true, true}};
  for (const held& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.version) m_lib.make_dir("/g/.snaps/v1", 0);
    if (c.file) m_lib.write_file("/g/live", "data");
    m_lib.capture().clear();
    EXPECT_EQ(vs::delete_version_set("//g"), 1);
    EXPECT_EQ(m_lib.texts(), (std::vector<std::string>{"Stat directory [//g/.snaps]",
                                                       "file group [//g] not empty"}));
    EXPECT_TRUE(m_lib.exists("/g/.snaps"));
    EXPECT_EQ(vs::m_version_sets.size(), 1u);
    EXPECT_EQ(access::versions(*set).size(), 1u) << "nothing changed";
    m_lib.api().rmdir(m_lib.io(), "/g/.snaps/v1", ktfs::aio_ptr());
    m_lib.api().unlink(m_lib.io(), "/g/live", ktfs::aio_ptr());
  }
  // Still a group after a restart.
  vs::stop();
  m_lib.make_dir("/g/.snaps/v1", 0);
  EXPECT_EQ(m_lib.init(), 1) << "v1 has no state";
  EXPECT_EQ(vs::m_version_sets.size(), 1u);

  // An unregistered name whose directories exist: removed, status 0.
  m_lib.make_dir("/loose");
  m_lib.make_dir("/loose/.snaps");
  m_lib.capture().clear();
  EXPECT_EQ(vs::delete_version_set("//loose"), 0);
  EXPECT_FALSE(m_lib.exists("/loose"));
  EXPECT_TRUE(logged("version set not found filegroup [//loose]"));

  // Neither directory nor set.
  m_lib.capture().clear();
  EXPECT_EQ(vs::delete_version_set("//nothing"), 0);
  EXPECT_EQ(m_lib.texts(),
            (std::vector<std::string>{"Stat directory [//nothing/.snaps]",
                                      "version set not found filegroup [//nothing]"}));
}

TEST_F(RegistryTest, DeletedSetHeldByTheHostReleasesEveryRecord) {
  uint64_t versions_made = access::version_pool().alloc_count();
  uint64_t versions_freed = access::version_pool().release_count();
  vs::set_ptr held;
  ASSERT_EQ(vs::create_version_set("//g", held), 0);
  // A version linking back to its set, as versions do after a restart.
  version_ptr v = access::allocate_version();
  access::set_name(*v, "v");
  access::set_fg_versionset(*v, held);
  access::add_version(*held, v);
  v.reset();
  ASSERT_EQ(vs::delete_version_set("//g"), 0);
  EXPECT_TRUE(access::versions(*held).empty());
  held.reset();
  EXPECT_EQ(access::version_pool().alloc_count() - versions_made,
            access::version_pool().release_count() - versions_freed)
      << "every version went back to its pool";
}

TEST_F(RegistryTest, StopRacingSetOperationsNeverDeadlocks) {
  std::atomic<bool> done{false};
  auto work = std::async(std::launch::async, [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 200; ++i) {
          std::string name = "//t" + std::to_string(t) + "-" + std::to_string(i % 5);
          vs::set_ptr set;
          vs::create_version_set(name, set);
          vs::get_version_set(name, set);
          version_ptr v;
          if (set) set->get_version(name, v);
        }
      });
    }
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) vs::stop();
    });
    for (auto& t : threads) t.join();
    done = true;
  });
  ktsm_test::end_if_hung(work.wait_for(std::chrono::seconds(120)) == std::future_status::ready,
                         "stop racing set operations");
  EXPECT_TRUE(done);
}

}  // namespace

// A volume used by an unprivileged user (the embedded default of a desktop
// user): the trusted attributes are kept in the user namespace, and a
// version directory, made with mode 0, still takes its state and its copy.
TEST(UnprivilegedVolumeTest, SnapshotsWorkWithoutRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  ktsm_test::scratch_dir dir;
  std::string root = dir.path() + "/volume";
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(::chown(root.c_str(), 65534, 65534), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The child becomes "nobody" and takes a snapshot; its exit code says
    // which step failed.
    if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
        ::setresuid(65534, 65534, 65534) != 0) {
      ::_exit(10);
    }
    ktfs::client_defaults defaults;
    defaults.local_root = root;
    ktfs::set_client_defaults(defaults);
    vs::set_ptr set;
    version_ptr v;
    if (vs::init("local", "") != 0) ::_exit(11);
    if (vs::create_version_set("//g", set) != 0) ::_exit(12);
    FILE* f = std::fopen((root + "/g/file").c_str(), "w");
    if (f == nullptr || std::fputs("data", f) < 0 || std::fclose(f) != 0) ::_exit(13);
    if (set->create_version("v1", v) != 0) ::_exit(14);
    vs::stop();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the unprivileged snapshot failed at its step";
  std::string version = root + "/g/.snaps/v1";
  char state[16] = {0};
  EXPECT_EQ(::getxattr(version.c_str(), "user.trusted.norvafs.snapstate", state, sizeof state), 16);
  EXPECT_STREQ(state, "2");
  struct stat st;
  ASSERT_EQ(::stat((version + "/file").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_size, 4);
}
