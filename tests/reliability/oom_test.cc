// Out of memory: every path on which a record cannot be had from its pool.
// A pool that has no free chunk asks the heap for a new block with the
// non-throwing new[]; the tests refuse those blocks after taking every free
// chunk, so that the next allocation of that pool fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "support/library_fixture.h"

// While g_refuse_blocks is set, the non-throwing new[] answers null (and
// counts it).  The other array forms are replaced too, so that every array
// allocation of the program goes through the same allocator pair.
static std::atomic<bool> g_refuse_blocks{false};
static std::atomic<int> g_refused{0};

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (g_refuse_blocks.load()) {
    ++g_refused;
    return nullptr;
  }
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using ktsm_internal::access;
using ktsm_test::vs;
typedef vs::version_ptr version_ptr;
typedef std::vector<std::string> names;

std::string state_bytes(const std::string& text) {
  std::string bytes(16, '\0');
  bytes.replace(0, text.size(), text);
  return bytes;
}

names registry_names() {
  names out;
  for (const vs::set_ptr& set : vs::m_version_sets) out.push_back(set->get_name());
  return out;
}

size_t count(const names& texts, const std::string& text) {
  return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

class OomTest : public ktsm_test::LocalLibraryTest {
 protected:
  void TearDown() override {
    allow();
    m_sets.clear();
    m_versions.clear();
    LocalLibraryTest::TearDown();
  }
  // Makes sure the pool has at least n free chunks (taken from the heap
  // while it still answers).
  static void warm_sets(int n) {
    std::vector<vs::set_ptr> held;
    for (int i = 0; i < n; ++i) held.push_back(access::allocate_set());
  }
  static void warm_versions(int n) {
    std::vector<version_ptr> held;
    for (int i = 0; i < n; ++i) held.push_back(access::allocate_version());
  }
  // Refuses new blocks and takes every free chunk of a pool, leaving left
  // of them free.
  void exhaust_sets(size_t left) {
    refuse();
    while (vs::set_ptr s = access::allocate_set()) m_sets.push_back(s);
    for (size_t i = 0; i < left && !m_sets.empty(); ++i) m_sets.pop_back();
  }
  void exhaust_versions(size_t left) {
    refuse();
    while (version_ptr v = access::allocate_version()) m_versions.push_back(v);
    for (size_t i = 0; i < left && !m_versions.empty(); ++i) m_versions.pop_back();
  }
  static void refuse() {
    g_refused = 0;
    g_refuse_blocks = true;
  }
  static void allow() { g_refuse_blocks = false; }
  // A group with .snaps and one version per (name, state).
  void make_group(const std::string& group,
                  const std::vector<std::pair<std::string, std::string>>& versions) {
    m_lib.make_dir("/" + group);
    m_lib.make_dir("/" + group + "/.snaps");
    for (const auto& v : versions) {
      m_lib.make_dir("/" + group + "/.snaps/" + v.first, 0);
      m_lib.put_state("/" + group + "/.snaps/" + v.first, v.second);
    }
  }
  std::string address_line() {
    char line[128];
    std::snprintf(line, sizeof line, "&api_instance=[%p] &file_io=[%p]",
                  static_cast<void*>(&vs::api_instance), static_cast<void*>(&vs::file_io));
    return line;
  }

  std::vector<vs::set_ptr> m_sets;
  std::vector<version_ptr> m_versions;
};

TEST_F(OomTest, CreateVersionSetWithoutItsSetRecord) {
  ASSERT_EQ(m_lib.init(), 0);
  warm_versions(4);
  exhaust_sets(0);
  uint64_t asked = access::set_pool().alloc_count();
  uint64_t released = access::set_pool().release_count();
  uint64_t versions_asked = access::version_pool().alloc_count();
  m_lib.capture().clear();
  vs::set_ptr out;
  int32_t status = vs::create_version_set("//g", out);
  allow();
  EXPECT_GT(g_refused.load(), 0) << "the pool asked the heap for a block";
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(out);
  EXPECT_EQ(m_lib.texts(), (names{address_line(), "memory allocation failure"}));
  EXPECT_TRUE(m_lib.exists("/g/.snaps")) << "the directories made stay";
  EXPECT_TRUE(vs::m_version_sets.empty());
  EXPECT_EQ(access::set_pool().alloc_count(), asked + 1);
  EXPECT_EQ(access::version_pool().alloc_count(), versions_asked) << "no version asked";
  out.reset();
  EXPECT_EQ(access::set_pool().release_count(), released) << "the empty handle releases nothing";

  // With memory back, the same call registers the set on the directories.
  m_sets.clear();
  ASSERT_EQ(vs::create_version_set("//g", out), 0);
  EXPECT_EQ(registry_names(), names{"//g"});
}

TEST_F(OomTest, CreateVersionSetWithoutItsProductionVersion) {
  ASSERT_EQ(m_lib.init(), 0);
  warm_sets(2);
  exhaust_versions(0);
  m_lib.capture().clear();
  vs::set_ptr out;
  int32_t status = vs::create_version_set("//g", out);
  allow();
  EXPECT_GT(g_refused.load(), 0);
  EXPECT_EQ(status, 1);
  ASSERT_TRUE(out) << "the set made before the failure";
  EXPECT_EQ(out->get_name(), "//g");
  EXPECT_TRUE(access::versions(*out).empty());
  EXPECT_TRUE(vs::m_version_sets.empty()) << "not registered";
  EXPECT_EQ(m_lib.texts(), (names{address_line(), "memory allocation failure"}));
  EXPECT_TRUE(m_lib.exists("/g/.snaps"));
  uint64_t released = access::set_pool().release_count();
  out.reset();
  EXPECT_EQ(access::set_pool().release_count(), released + 1) << "the unregistered set goes back";
}

TEST_F(OomTest, RecoveryStopsWhereNoSetCanBeHad) {
  make_group("a", {{"v", "2"}});
  make_group("b", {{"w", "8"}});
  warm_versions(8);
  warm_sets(2);
  exhaust_sets(1);  // the first group listed gets the last chunk
  int32_t status = m_lib.init();
  allow();
  EXPECT_GT(g_refused.load(), 0);
  EXPECT_EQ(status, 1);
  std::list<std::string> order;
  ASSERT_EQ(vs::read_live_directory("/", order), 0);
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(registry_names(), names{order.front()}) << "the set before the failure stays";
  ASSERT_EQ(vs::m_version_sets.size(), 1u);
  EXPECT_EQ(access::versions(*vs::m_version_sets.front()).size(), 2u) << "recovered whole";
  names texts = m_lib.texts();
  EXPECT_EQ(count(texts, "memory allocation failure"), 1u);
  EXPECT_EQ(count(texts, "failed to recover version set filegroup [" + order.back() + "]"), 0u)
      << "the rebuild stops at the failure";

  // With memory back, a restart rebuilds both.
  m_sets.clear();
  vs::stop();
  EXPECT_EQ(m_lib.init(), 0);
  EXPECT_EQ(vs::m_version_sets.size(), 2u);
}

TEST_F(OomTest, RecoveryOfAGroupWithoutItsVersionRecords) {
  // 0 free version chunks: its production version cannot be had; 1: its
  // snapshot version cannot.
  for (size_t left : {0u, 1u}) {
    SCOPED_TRACE(left == 0 ? "production version" : "snapshot version");
    vs::stop();
    if (left == 0) make_group("g", {{"v", "2"}});
    warm_sets(2);
    warm_versions(4);
    m_lib.capture().clear();
    exhaust_versions(left);
    int32_t status = m_lib.init();
    allow();
    EXPECT_GT(g_refused.load(), 0);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(vs::m_version_sets.empty()) << "a group that did not recover is not registered";
    names texts = m_lib.texts();
    EXPECT_EQ(count(texts, "memory allocation failure"), 1u);
    EXPECT_EQ(count(texts, "failed to recover version set filegroup [//g]"), 1u);
    EXPECT_EQ(m_lib.raw_state("/g/.snaps/v"), state_bytes("2")) << "the volume is not touched";
    m_versions.clear();
  }
  vs::stop();
  EXPECT_EQ(m_lib.init(), 0);
  EXPECT_EQ(registry_names(), names{"//g"});
}

TEST_F(OomTest, CreateVersionWithoutItsRecord) {
  ASSERT_EQ(m_lib.init(), 0);
  vs::set_ptr set;
  ASSERT_EQ(vs::create_version_set("//g", set), 0);
  m_lib.write_file("/g/a.txt", "alpha");
  exhaust_versions(0);
  ASSERT_FALSE(m_versions.empty());
  version_ptr v = m_versions.back();  // a handle the call must empty
  uint64_t released = access::version_pool().release_count();
  m_lib.capture().clear();
  int32_t status = set->create_version("oom", v);
  bool emptied = !v;
  v.reset();  // dropping the empty handle
  uint64_t released_after = access::version_pool().release_count();
  allow();
  EXPECT_GT(g_refused.load(), 0);
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(emptied);
  EXPECT_EQ(released_after, released) << "the empty handle releases nothing";
  char found[96];
  std::snprintf(found, sizeof found, "version set [%p] found filegroup [//g]",
                static_cast<void*>(set.get()));
  EXPECT_EQ(m_lib.texts(), (names{"creating file group version [oom] ", found,
                                  "file group version [oom] setxattr [trusted.norvafs.snapstate:1]",
                                  "file group version [oom] memory allocation failed"}));
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/oom"), state_bytes("1"));
  EXPECT_TRUE(m_lib.entries("/g/.snaps/oom").empty()) << "no copy was made";
  ASSERT_EQ(access::versions(*set).size(), 1u) << "nothing appended";
  EXPECT_TRUE(access::versions(*set).front()->is_production_version());
  EXPECT_EQ(registry_names(), names{"//g"});
  EXPECT_EQ(m_lib.read_file("/g/a.txt"), "alpha");

  // After a restart the version left in state "1" is found and removed.
  m_versions.clear();
  vs::stop();
  ASSERT_EQ(m_lib.init(), 0);
  ASSERT_EQ(vs::get_version_set("//g", set), 0);
  EXPECT_EQ(set->delete_version("oom"), 0);
  EXPECT_FALSE(m_lib.exists("/g/.snaps/oom"));
}

}  // namespace
