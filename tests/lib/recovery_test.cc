// Start-up recovery: the registry rebuilt from what is on the volume, and
// every failure of it reported with its one message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "support/library_fixture.h"

namespace {

using ktsm_internal::access;
using ktsm_test::backend_kind;
using ktsm_test::vs;
typedef vs::version_ptr version_ptr;

// "name:state" of every version of a set, in list order; "*" marks the
// production version.  Every version is linked to the one before it.
std::vector<std::string> picture(const vs::set_ptr& set) {
  std::vector<std::string> out;
  version_ptr before;
  for (const version_ptr& v : access::versions(*set)) {
    out.push_back((v->is_production_version() ? "*" : "") + v->get_name() + ":" + v->get_state());
    EXPECT_EQ(v->get_fg_versionset(), set) << v->get_name();
    EXPECT_EQ(v->get_older_version(), before) << v->get_name() << " is linked to the one before";
    before = v;
  }
  return out;
}

std::vector<std::string> registry_names() {
  std::vector<std::string> names;
  for (const vs::set_ptr& set : vs::m_version_sets) names.push_back(set->get_name());
  return names;
}

bool logged(const std::vector<std::string>& texts, const std::string& text) {
  return std::count(texts.begin(), texts.end(), text) == 1;
}

class RecoveryTest : public ktsm_test::LibraryTest {
 protected:
  // A group with versions in the given states, in the volume's own order.
  void make_group(const std::string& group,
                  const std::vector<std::pair<std::string, std::string>>& versions) {
    m_lib.make_dir("/" + group);
    m_lib.make_dir("/" + group + "/.snaps");
    for (const auto& v : versions) {
      std::string path = "/" + group + "/.snaps/" + v.first;
      m_lib.make_dir(path, 0);
      if (!v.second.empty()) m_lib.put_state(path, v.second);
    }
  }
  // The version names of group in the order the volume lists them.
  std::vector<std::string> listed(const std::string& group) {
    std::list<std::string> names;
    EXPECT_EQ(vs::read_live_directory("/" + group + "/.snaps", names), 0);
    std::vector<std::string> out;
    for (const std::string& n : names) out.push_back(n.substr(n.rfind('/') + 1));
    return out;
  }
};

TEST_P(RecoveryTest, RebuildsGroupsWithTheirVersionsAndStates) {
  make_group("a", {{"s1", "2"}, {"s2", "4"}});
  make_group("b", {});
  make_group("c", {{"odd", "not-a-state"}, {"full", "1234567890123456"}});
  ASSERT_EQ(m_lib.init(), 0);

  std::vector<std::string> names = registry_names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"//a", "//b", "//c"}));

  std::map<std::string, std::string> states = {
      {"s1", "2"}, {"s2", "4"}, {"odd", "not-a-state"}, {"full", "1234567890123456"}};
  for (const char* group : {"a", "b", "c"}) {
    vs::set_ptr set;
    ASSERT_EQ(vs::get_version_set(std::string("//") + group, set), 0);
    std::vector<std::string> expected;
    for (const std::string& v : listed(group)) {
      expected.push_back(v + ":" + states[v]);
      EXPECT_TRUE(logged(m_lib.texts(), "version [//" + std::string(group) + "/.snaps/" + v +
                                            "] state [" + states[v] + "]"));
    }
    std::vector<std::string> got = picture(set);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), std::string("*//") + group + ":");
    got.erase(got.begin());
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected) << group;
  }
  // Versions are found under their bare names.
  vs::set_ptr a;
  ASSERT_EQ(vs::get_version_set("//a", a), 0);
  version_ptr s2;
  a->get_version("s2", s2);
  ASSERT_TRUE(s2);
  EXPECT_EQ(access::version_path(*s2), "//a/.snaps/s2");
}

// Snapshots made one after another come back in that order, however the
// volume lists them (hash order on bricks), each linked to the one before.
TEST_P(RecoveryTest, VersionsComeBackInCreationOrder) {
  ASSERT_EQ(m_lib.init(), 0);
  vs::set_ptr set;
  ASSERT_EQ(vs::create_version_set("//g", set), 0);
  std::vector<std::string> made = {"*//g:"};
  for (int i = 1; i <= 12; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "s%02d", 13 - i);  // names against the order
    version_ptr v;
    ASSERT_EQ(set->create_version(name, v), 0);
    made.push_back(std::string(name) + ":2");
  }
  EXPECT_EQ(picture(set), made) << "linked at creation";
  vs::stop();
  ASSERT_EQ(m_lib.init(), 0);
  ASSERT_EQ(vs::get_version_set("//g", set), 0);
  EXPECT_EQ(picture(set), made);
  // Deleting one links the next to the one before it.
  ASSERT_EQ(set->delete_version("s06"), 0);
  made.erase(std::find(made.begin(), made.end(), "s06:2"));
  EXPECT_EQ(picture(set), made);
}

TEST_P(RecoveryTest, GroupsWithUnreadableVersionsStayVisibleOthersAreReported) {
  make_group("good", {{"v", "2"}});
  m_lib.write_file("/plain", "not a group");
  m_lib.make_dir("/bare");  // no .snaps
  make_group("nostate", {{"v", ""}, {"w", "2"}});
  EXPECT_EQ(m_lib.init(), 1) << "a failed group is never hidden by a good one listed after it";
  std::vector<std::string> names = registry_names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"//good", "//nostate"}));
  std::vector<std::string> texts = m_lib.texts();
  EXPECT_TRUE(logged(texts, "snap dir [//plain/.snaps] stat failed"));
  EXPECT_TRUE(logged(texts, "snap dir [//bare/.snaps] stat failed"));
  EXPECT_TRUE(logged(texts, "snap dir [//nostate/.snaps] getattr failed"));
  for (const char* g : {"//plain", "//bare"}) {
    EXPECT_TRUE(logged(texts, "failed to recover version set filegroup [" + std::string(g) + "]"));
  }
  // The entry without a state is there with an empty one, and can go.
  vs::set_ptr set;
  ASSERT_EQ(vs::get_version_set("//nostate", set), 0);
  std::vector<std::string> got = picture(set);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"*//nostate:", "v:", "w:2"}));
  EXPECT_EQ(set->delete_version("v"), 0);
  EXPECT_FALSE(m_lib.exists("/nostate/.snaps/v"));
}

TEST_P(RecoveryTest, InitTwiceRegistersNothingTwiceAndStopThenInitGivesTheSamePicture) {
  make_group("a", {{"s1", "2"}, {"s2", "8"}});
  make_group("b", {{"x", "1"}});
  ASSERT_EQ(m_lib.init(), 0);
  std::vector<std::string> first = registry_names();
  ASSERT_EQ(first.size(), 2u);
  make_group("c", {});
  ASSERT_EQ(m_lib.init(), 0);
  std::vector<std::string> twice = first;
  twice.push_back("//c");
  EXPECT_EQ(registry_names(), twice) << "only the new group is added";

  std::vector<std::vector<std::string>> before;
  for (const vs::set_ptr& s : vs::m_version_sets) before.push_back(picture(s));
  vs::stop();
  EXPECT_TRUE(vs::m_version_sets.empty());
  ASSERT_EQ(m_lib.init(), 0);
  std::vector<std::vector<std::string>> after;
  std::map<std::string, std::vector<std::string>> by_name;
  for (const vs::set_ptr& s : vs::m_version_sets) by_name[s->get_name()] = picture(s);
  for (const std::string& n : twice) after.push_back(by_name[n]);
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(Backends, RecoveryTest,
                         ::testing::Values(backend_kind::local, backend_kind::gluster_distributed,
                                           backend_kind::gluster_replica),
                         ktsm_test::backend_param_name);

class RecoveryFaultTest : public ktsm_test::LocalLibraryTest {
 protected:
  // Sets the modification time of a local volume path (seconds, nanoseconds).
  void set_mtime(const std::string& path, time_t sec, long nsec) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {sec, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (m_lib.local_root() + path).c_str(), times, 0), 0);
  }
};

// Versions without a creation record (made before the library kept one, or
// by another program, or with a record that cannot be parsed) stand by their
// directory's modification time, then by name, among those with one.
TEST_F(RecoveryFaultTest, VersionsWithoutACreationRecordStandByTheirDirectoryTimes) {
  m_lib.make_dir("/g");
  m_lib.make_dir("/g/.snaps");
  struct {
    const char* name;
    time_t mtime;
    const char* record;  // null: none
  } entries[] = {
      {"late", 3000, nullptr},  {"b-tie", 2000, nullptr},        {"a-tie", 2000, nullptr},
      {"early", 1000, nullptr}, {"made", 0, "2500.000000000 1"}, {"bad-record", 1500, "yesterday"},
  };
  for (const auto& e : entries) {
    std::string path = std::string("/g/.snaps/") + e.name;
    m_lib.make_dir(path, 0);
    m_lib.put_state(path, "2");
    if (e.record != nullptr) m_lib.set_xattr(path, "trusted.norvafs.snapcreated", e.record);
    set_mtime(path, e.mtime, 0);
  }
  ASSERT_EQ(m_lib.init(), 0);
  vs::set_ptr set;
  ASSERT_EQ(vs::get_version_set("//g", set), 0);
  EXPECT_EQ(picture(set), (std::vector<std::string>{"*//g:", "early:2", "bad-record:2", "a-tie:2",
                                                    "b-tie:2", "made:2", "late:2"}));
}

TEST_F(RecoveryFaultTest, EveryClientCallOfRecoveryFailsWithItsOneMessage) {
  struct {
    ktfs::op kind;
    const char* glob;
    int32_t status;
    const char* message;
    std::vector<std::string> registered;
  } cases[] = {
      {ktfs::op::stat, "/", 1, "dir [/] stat failed", {}},
      {ktfs::op::opendir, "/", 1, "dir [/] open failed", {}},
      {ktfs::op::closedir, "/", 1, "dir [/] close failed", {}},
      {ktfs::op::stat, "//a/.snaps", 1, "snap dir [//a/.snaps] stat failed", {"//b"}},
      {ktfs::op::opendir, "//a/.snaps", 1, "snap dir [//a/.snaps] open failed", {"//b"}},
      {ktfs::op::closedir, "//a/.snaps", 1, "snap dir [//a/.snaps] close failed", {"//b"}},
      // The version stays, with an empty state.
      {ktfs::op::getxattrat,
       "//a/.snaps/*",
       1,
       "snap dir [//a/.snaps] getattr failed",
       {"//a", "//b"}},
      {ktfs::op::readdir, "//a/.snaps", 0, nullptr, {"//a", "//b"}},  // ends the listing early
  };
  m_lib.make_dir("/a");
  m_lib.make_dir("/a/.snaps");
  m_lib.make_dir("/a/.snaps/v", 0);
  m_lib.put_state("/a/.snaps/v", "2");
  m_lib.make_dir("/b");
  m_lib.make_dir("/b/.snaps");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(ktfs::op_name(c.kind)) + " " + c.glob);
    vs::stop();
    m_lib.capture().clear();
    m_lib.arm_next_init([&c](ktfs::fault_backend& f) { f.fail_calls(c.kind, c.glob, EIO, false); });
    EXPECT_EQ(m_lib.init(), c.status);
    EXPECT_EQ(m_lib.faults()->fired(), 1u);
    std::vector<std::string> names = registry_names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, c.registered);
    std::vector<std::string> texts = m_lib.texts();
    if (c.message != nullptr) {
      EXPECT_TRUE(logged(texts, c.message));
      // One failure message, plus the rebuild's own line for it.
      bool root = std::string(c.glob) == "/";
      bool kept = c.registered.size() == 2;
      if (!kept) {
        EXPECT_TRUE(logged(texts, root ? "read file groups failed"
                                       : "failed to recover version set filegroup [//a]"));
      }
      // Address lines and recovery lines only (a kept set adds its version's
      // two lines and its own address line; a ".snaps" whose close fails
      // has had its version read).
      bool read = c.kind == ktfs::op::closedir && !root;
      EXPECT_EQ(texts.size(), root ? 3u : kept ? 7u : read ? 7u : 5u);
    }
  }
  // With the listing of ".snaps" cut short, //a is rebuilt without its version.
  vs::set_ptr a;
  ASSERT_EQ(vs::get_version_set("//a", a), 0);
  EXPECT_EQ(access::versions(*a).size(), 1u);
}

}  // namespace
