// The manager frame: init and stop, look-ups in a set, and calls made
// before init.
#include <gtest/gtest.h>

#include "support/library_fixture.h"

namespace {

using ktsm_internal::access;
using ktsm_test::backend_kind;
using ktsm_test::vs;
typedef vs::version_ptr version_ptr;

class FrameTest : public ktsm_test::LibraryTest {};

TEST_P(FrameTest, InitOnAnEmptyVolumeLogsBothAddressLines) {
  EXPECT_EQ(m_lib.init(), 0);
  std::vector<ktfs::log_record> records = m_lib.capture().records();
  ASSERT_EQ(records.size(), 2u);
  for (const ktfs::log_record& r : records) {
    EXPECT_FALSE(r.is_error) << "no error: an address is information";
    EXPECT_EQ(r.level, 1);
    EXPECT_EQ(r.function, "ktsm_filegroup_versionset_init()");
  }
  char nvme[128], sas[128];
  std::snprintf(nvme, sizeof nvme, "&nvme_api_instance=[%p] &nvme_file_io=[%p]",
                static_cast<void*>(&vs::api_instance), static_cast<void*>(&vs::file_io));
  std::snprintf(sas, sizeof sas, "&sas_api_instance=[%p] &sas_file_io=[%p]",
                static_cast<void*>(&vs::sas_api_instance), static_cast<void*>(&vs::sas_file_io));
  EXPECT_EQ(records[0].text, nvme);
  EXPECT_EQ(records[1].text, sas);
  EXPECT_TRUE(vs::file_io) << "client started";
  EXPECT_FALSE(vs::sas_file_io) << "the sas tier is never started";
  EXPECT_EQ(vs::m_live_vol_name, m_lib.volume_name());
  EXPECT_TRUE(vs::m_version_sets.empty());

  // stop on an empty registry changes nothing but the registry.
  vs::stop();
  EXPECT_TRUE(vs::m_version_sets.empty());
  EXPECT_TRUE(vs::file_io);
  EXPECT_EQ(vs::m_live_vol_name, m_lib.volume_name());
}

INSTANTIATE_TEST_SUITE_P(Backends, FrameTest,
                         ::testing::Values(backend_kind::local, backend_kind::gluster_distributed),
                         ktsm_test::backend_param_name);

// A set built by hand: the production version, then a, b, a again.
class LookupTest : public ktsm_test::LocalLibraryTest {
 protected:
  void SetUp() override {
    LocalLibraryTest::SetUp();
    m_set = access::allocate_set();
    access::set_name(*m_set, "//g");
    for (const char* name : {"//g", "a", "b", "a"}) {
      version_ptr v = access::allocate_version();
      access::set_name(*v, name);
      if (std::string(name) == "//g") access::set_production_version(*v);
      access::add_version(*m_set, v);
      m_versions.push_back(v);
    }
    ASSERT_EQ(m_lib.init(), 0);
    m_lib.capture().clear();
  }
  void TearDown() override {
    m_set->cleanup();
    LocalLibraryTest::TearDown();
  }
  vs::set_ptr m_set;
  std::vector<version_ptr> m_versions;
};

TEST_F(LookupTest, GetVersionFindsTheFirstMatchAndAlwaysAnswersZero) {
  struct {
    const char* name;
    int expected;  // index into m_versions, -1 for none
  } cases[] = {{"//g", 0}, {"a", 1}, {"b", 2}, {"c", -1}, {"/g", -1}, {"", -1}, {"a ", -1}};
  for (const auto& c : cases) {
    m_lib.capture().clear();
    version_ptr found = m_versions[3];  // replaced or emptied by the look-up
    EXPECT_EQ(m_set->get_version(c.name, found), 0) << c.name;
    if (c.expected < 0) {
      EXPECT_FALSE(found) << c.name;
      EXPECT_TRUE(m_lib.texts().empty()) << "nothing logged for a miss";
    } else {
      EXPECT_EQ(found, m_versions[c.expected]) << c.name;
      EXPECT_EQ(m_lib.texts(),
                std::vector<std::string>{"got file group version [" + std::string(c.name) + "] "});
    }
  }
}

TEST_F(LookupTest, GetNextVersionStepsThroughTheList) {
  struct {
    const char* name;
    int expected;
  } cases[] = {{"//g", 1}, {"a", 2}, {"b", 3}, {"c", -1}};
  for (const auto& c : cases) {
    version_ptr found = m_versions[0];
    EXPECT_EQ(m_set->get_next_version(c.name, found), 0) << c.name;
    if (c.expected < 0) {
      EXPECT_FALSE(found) << c.name;
    } else {
      EXPECT_EQ(found, m_versions[c.expected]) << c.name;
    }
  }
  // The last element has no next version; a duplicate name steps from the first.
  version_ptr found = m_versions[0];
  m_set->cleanup();
  version_ptr only = access::allocate_version();
  access::set_name(*only, "last");
  access::add_version(*m_set, only);
  EXPECT_EQ(m_set->get_next_version("last", found), 0);
  EXPECT_FALSE(found);
  EXPECT_TRUE(m_lib.texts().empty()) << "get_next_version logs nothing";
}

// Before any init: nothing crashes, set operations fail or find nothing.
TEST(BeforeInitTest, EntryPointsDoNotCrash) {
  vs::set_ptr set;
  EXPECT_EQ(vs::get_version_set("//none", set), 1);
  EXPECT_FALSE(set);
  vs::set_ptr hand = access::allocate_set();
  access::set_name(*hand, "//none");
  version_ptr v;
  EXPECT_EQ(hand->get_version("x", v), 0);
  EXPECT_EQ(hand->get_next_version("x", v), 0);
  EXPECT_FALSE(v);
  hand->cleanup();
  vs::stop();
  EXPECT_TRUE(vs::m_version_sets.empty());
}

}  // namespace
