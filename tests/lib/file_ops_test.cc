// The file-needed query and the deleted-file-list append.
#include <gtest/gtest.h>

#include <thread>

#include "ktfssnapcore/ktfssnapcore.h"
#include "support/library_fixture.h"

namespace {

using ktsm_internal::access;
using ktsm_test::vs;
typedef vs::version_ptr version_ptr;

const char kUuid[] = "trusted.cloudsync.uuid";

// A set "//g" with versions v1 (older) and v2, v2 linked to v1.
class FileOpsTest : public ktsm_test::LocalLibraryTest {
 protected:
  void SetUp() override {
    LocalLibraryTest::SetUp();
    ASSERT_EQ(m_lib.init(), 0);
    ASSERT_EQ(vs::create_version_set("//g", m_set), 0);
    ASSERT_EQ(m_set->create_version("v1", m_v1), 0);
    ASSERT_EQ(m_set->create_version("v2", m_v2), 0);
    ASSERT_EQ(m_set->set_previous_version("v2"), 0);
    m_lib.capture().clear();
  }
  void file_in(const std::string& version, const std::string& name, const std::string* uuid) {
    std::string path = "/g/.snaps/" + version + "/" + name;
    m_lib.write_file(path, "data");
    if (uuid != nullptr) m_lib.set_xattr(path, kUuid, *uuid);
  }
  vs::set_ptr m_set;
  version_ptr m_v1, m_v2;
};

TEST_F(FileOpsTest, FileNeededComparesUuidsOfBothVersions) {
  std::string same = "7f3c-aa", other = "11-22", empty = "";
  std::string full(512, 'u');  // fills the buffer without a zero byte
  std::string full_other = full;
  full_other[511] = 'v';
  struct {
    const char* file;
    const std::string* in_v2;
    const std::string* in_v1;
    bool needed;
    const char* failed_path;  // the one failure message's path, if any
  } cases[] = {
      {"same", &same, &same, true, nullptr},
      {"differs", &same, &other, false, nullptr},
      {"both-empty", &empty, &empty, true, nullptr},
      {"full", &full, &full, true, nullptr},
      {"full-differs", &full, &full_other, false, nullptr},
      {"no-attr-here", nullptr, &same, false, "//g/.snaps/v2/no-attr-here"},
      {"no-attr-older", &same, nullptr, false, "//g/.snaps/v1/no-attr-older"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    file_in("v2", c.file, c.in_v2);
    file_in("v1", c.file, c.in_v1);
    m_lib.capture().clear();
    m_lib.faults()->reset_counts();
    EXPECT_EQ(m_v2->is_file_needed(c.file), c.needed);
    std::vector<std::string> texts = m_lib.texts();
    if (c.failed_path == nullptr) {
      EXPECT_TRUE(texts.empty());
      EXPECT_EQ(m_lib.faults()->count(ktfs::op::lgetxattr), 2u);
    } else {
      EXPECT_EQ(texts, std::vector<std::string>{"file name  [" + std::string(c.failed_path) +
                                                "] getattr uuid failed"});
      bool second_read = std::string(c.failed_path).find("/v1/") != std::string::npos;
      EXPECT_EQ(m_lib.faults()->count(ktfs::op::lgetxattr), second_read ? 2u : 1u);
    }
  }
  // A missing file reads like a missing attribute.  A path that could leave
  // the version ("same" is needed, read from either) is refused before any
  // volume access.
  m_lib.capture().clear();
  EXPECT_FALSE(m_v2->is_file_needed("missing"));
  EXPECT_EQ(m_lib.texts(),
            std::vector<std::string>{"file name  [//g/.snaps/v2/missing] getattr uuid failed"});
  for (const char* path : {"/same", "../v2/same", "./same", "d//same", "same/", ".snaps/v1/same"}) {
    m_lib.capture().clear();
    m_lib.faults()->reset_counts();
    EXPECT_FALSE(m_v2->is_file_needed(path)) << path;
    EXPECT_EQ(m_lib.texts(), std::vector<std::string>{"file name  [" + std::string(path) +
                                                      "] is not a path inside the version"});
    EXPECT_EQ(m_lib.faults()->total(), 0u) << path;
  }
}

TEST_F(FileOpsTest, NoOlderVersionOrNoSetMeansNotNeededWithoutVolumeAccess) {
  version_ptr production;
  m_set->get_version("//g", production);
  m_lib.capture().clear();
  m_lib.faults()->reset_counts();
  EXPECT_FALSE(production->is_file_needed("anything"));
  EXPECT_EQ(m_lib.texts(), std::vector<std::string>{"No previous version - file not needed"});
  EXPECT_EQ(m_lib.capture().records().at(0).level, 1);
  EXPECT_EQ(m_lib.faults()->total(), 0u);

  // A version whose set is unknown cannot reach its directory.
  version_ptr orphan = access::allocate_version();
  access::set_name(*orphan, "lost");
  access::set_older_version(*orphan, m_v1);
  m_lib.capture().clear();
  EXPECT_FALSE(orphan->is_file_needed("f"));
  EXPECT_EQ(m_lib.texts(),
            std::vector<std::string>{"file name  [/.snaps/lost/f] getattr uuid failed"});
  EXPECT_EQ(m_lib.faults()->total(), 0u);
  // Nor can it take records: nothing is written anywhere.
  m_lib.write_file("/src", "u\tf\n");
  m_lib.capture().clear();
  EXPECT_EQ(orphan->update_meta_data_file("/src").value(), EINVAL);
  EXPECT_EQ(m_lib.capture().records().size(), 2u) << "the progress line and one failure";
  EXPECT_EQ(m_lib.faults()->count(ktfs::op::open), 0u);
  EXPECT_EQ(m_lib.entries("/"), (std::vector<std::string>{"g", "src"}));
}

TEST_F(FileOpsTest, UpdateMetaDataFileAppendsAndReportsFailures) {
  const std::string& suffix = ktfssnapcore::ktfssnaputils::sdelfilelist;
  std::string target = "/g/.snaps/v1" + suffix;
  m_lib.write_file(target, "a\tone\n");
  m_lib.write_file("/src1", "b\ttwo\nc\tthree\n");
  EXPECT_FALSE(m_v1->update_meta_data_file("/src1"));
  EXPECT_EQ(m_lib.read_file(target), "a\tone\nb\ttwo\nc\tthree\n");
  EXPECT_EQ(m_lib.read_file("/src1"), "b\ttwo\nc\tthree\n") << "the source is not changed";
  // A merge done again (a deletion retried) adds only what is new.
  m_lib.write_file("/src1", "b\ttwo\nc\tthree\nd\tfour");
  EXPECT_FALSE(m_v1->update_meta_data_file("/src1"));
  EXPECT_EQ(m_lib.read_file(target), "a\tone\nb\ttwo\nc\tthree\nd\tfour\n");
  EXPECT_EQ(m_lib.texts().at(0),
            "Update metadata file for fgver [v1] from file [/src1] to file "
            "[//g/.snaps/v1" +
                suffix + "]");

  // A failing append: its code comes back, the target is closed, the
  // version's mutex is free again (a second call succeeds).
  m_lib.write_file("/src1", "e\tfive\n");
  m_lib.capture().clear();
  m_lib.faults()->fail_calls(ktfs::op::write, "//g/.snaps/v1*", ENOSPC, false);
  std::error_code ec = m_v1->update_meta_data_file("/src1");
  EXPECT_EQ(ec.value(), ENOSPC);
  EXPECT_EQ(m_lib.capture().count(
                "Failed to append delete filelist records from [/src1] to file [//g/.snaps/v1" +
                suffix + "] with error [" + std::to_string(ENOSPC) + "]"),
            1u);
  EXPECT_EQ(m_lib.faults()->count(ktfs::op::close), m_lib.faults()->count(ktfs::op::open));
  EXPECT_FALSE(m_v1->update_meta_data_file("/src1"));

  // A target that cannot be opened: nothing appended, the open's error.
  m_lib.capture().clear();
  EXPECT_EQ(m_v2->update_meta_data_file("/src1").value(), 0) << "v2's list exists";
  m_lib.api().unlink(m_lib.io(), ("/g/.snaps/v2" + suffix).c_str(), ktfs::aio_ptr());
  m_lib.capture().clear();
  EXPECT_EQ(m_v2->update_meta_data_file("/src1").value(), ENOENT);
  EXPECT_EQ(m_lib.capture().count(
                "Failed to append delete filelist records from [/src1] to file [//g/.snaps/v2" +
                suffix + "] with error [" + std::to_string(ENOENT) + "]"),
            1u);
  EXPECT_FALSE(m_lib.exists("/g/.snaps/v2" + suffix)) << "not created";

  // A version taken before the list moved into its .snaps keeps it at its
  // top, and is appended to there; a look that fails is never taken for
  // that layout.
  const std::string legacy = "/g/.snaps/v2" + ktfssnapcore::ktfssnaputils::slegacydelfilelist;
  ASSERT_FALSE(m_lib.api().rmdir(m_lib.io(), "/g/.snaps/v2/.snaps", ktfs::aio_ptr()));
  m_lib.write_file(legacy, "z\tzero\n");
  EXPECT_FALSE(m_v2->update_meta_data_file("/src1"));
  EXPECT_EQ(m_lib.read_file(legacy), "z\tzero\ne\tfive\n");
  m_lib.faults()->fail_calls(ktfs::op::lstat, "//g/.snaps/v2/.snaps", EIO, false);
  m_lib.write_file("/src1", "f\tsix\n");
  EXPECT_EQ(m_v2->update_meta_data_file("/src1").value(), EIO);
  EXPECT_EQ(m_lib.read_file(legacy), "z\tzero\ne\tfive\n");
  EXPECT_FALSE(m_lib.exists("/g/.snaps/v2" + suffix));
}

TEST_F(FileOpsTest, AppendsToOneVersionFromTwoThreadsFollowOneAnother) {
  const std::string& suffix = ktfssnapcore::ktfssnaputils::sdelfilelist;
  // Each round appends a record of its own (records already held are not
  // appended again), 4,000 bytes of one letter and the round's number.
  auto record = [](char c, int round) {
    return std::string(3996, c) + std::to_string(1000 + round) + "\n";
  };
  const int kRounds = 40;
  auto worker = [&](char c) {
    std::string src = std::string("/src-") + c;
    for (int i = 0; i < kRounds; ++i) {
      m_lib.write_file(src, record(c, i));
      EXPECT_FALSE(m_v1->update_meta_data_file(src));
    }
  };
  std::thread a(worker, 'a'), b(worker, 'b');
  a.join();
  b.join();
  std::string list = m_lib.read_file("/g/.snaps/v1" + suffix);
  ASSERT_EQ(list.size(), 2u * kRounds * 4001);
  // Every record arrived whole: appends never interleaved.
  int as = 0, bs = 0;
  for (size_t at = 0; at < list.size(); at += 4001) {
    std::string r = list.substr(at, 4001);
    if (r == record('a', as)) ++as;
    if (r == record('b', bs)) ++bs;
  }
  EXPECT_EQ(as, kRounds);
  EXPECT_EQ(bs, kRounds);
}

}  // namespace
