// Creating, deleting and linking versions: statuses, exact messages, the
// attribute bytes and directories on the volume, and the set's list.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

#include "ktfssnapcore/ktfssnapcore.h"
#include "support/library_fixture.h"

// The pools take their blocks with the non-throwing new[]; a test arms this
// replacement to make the heap refuse them.
static std::atomic<bool> g_refuse_blocks{false};
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (g_refuse_blocks.load()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
// Every array form goes to malloc and free, so that allocations and releases
// pair up whichever form made them.
void* operator new[](std::size_t size) {
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using ktsm_internal::access;
using ktsm_test::backend_kind;
using ktsm_test::state_bytes;
using ktsm_test::vs;
typedef vs::version_ptr version_ptr;

std::vector<std::string> names_of(const vs::set_ptr& set) {
  std::vector<std::string> out;
  for (const version_ptr& v : access::versions(*set)) out.push_back(v->get_name());
  return out;
}

// A set "//g" with live files, registered through the library.
class VersionOpsTest : public ktsm_test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(m_lib.init(), 0);
    ASSERT_EQ(vs::create_version_set("//g", m_set), 0);
    m_lib.write_file("/g/a.txt", "alpha");
    m_lib.make_dir("/g/dir", 0750);
    m_lib.write_file("/g/dir/b.txt", "beta");
    m_lib.capture().clear();
  }
  bool logged(const std::string& text) { return m_lib.capture().count(text) == 1; }
  vs::set_ptr m_set;
};

TEST_P(VersionOpsTest, CreateTakesTheSnapshotAndMarksItActive) {
  // The group's directory as a user keeps it (a time ahead of now, so that
  // reading the group leaves its access time alone).
  ktfs::ktfs_api& api = m_lib.api();
  const uid_t owner = ::geteuid() == 0 ? 1000 : ::geteuid();
  const struct timespec times[2] = {{4000000000, 5}, {1000000000, 7}};
  ASSERT_FALSE(api.lchown(m_lib.io(), "/g", owner, owner, {}));
  ASSERT_FALSE(api.chmod(m_lib.io(), "/g", 0751, {}));
  ASSERT_FALSE(api.lutimens(m_lib.io(), "/g", times, {}));
  version_ptr v;
  ASSERT_EQ(m_set->create_version("v1", v), 0);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->get_name(), "v1");
  EXPECT_EQ(v->get_state(), vs::SNAP_STATE_ACTIVE);
  EXPECT_EQ(v->get_fg_versionset(), m_set) << "the registry's handle of the set";
  EXPECT_EQ(v->get_older_version(), access::versions(*m_set).front()) << "the production version";
  EXPECT_EQ(access::versions(*m_set).back(), v);
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes("2"));
  // The finished version's directory reads like the group's.
  struct stat group, version;
  ASSERT_FALSE(api.lstat(m_lib.io(), "/g", &group, {}));
  ASSERT_FALSE(api.lstat(m_lib.io(), "/g/.snaps/v1", &version, {}));
  EXPECT_EQ(version.st_mode, group.st_mode);
  EXPECT_EQ(version.st_uid, owner);
  EXPECT_EQ(version.st_gid, owner);
  EXPECT_EQ(version.st_atim.tv_sec, times[0].tv_sec);
  EXPECT_EQ(version.st_atim.tv_nsec, times[0].tv_nsec);
  EXPECT_EQ(version.st_mtim.tv_sec, times[1].tv_sec);
  EXPECT_EQ(version.st_mtim.tv_nsec, times[1].tv_nsec);
  EXPECT_EQ(m_lib.mode_of("/g/.snaps"), 0760u) << "versions are reached through their exports";
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v1/a.txt"), "alpha");
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v1/dir/b.txt"), "beta");
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v1" + ktfssnapcore::ktfssnaputils::sdelfilelist), "");

  std::vector<std::string> texts = m_lib.texts();
  EXPECT_EQ(texts.front(), "creating file group version [v1] ");
  EXPECT_TRUE(logged("file group version [v1] setxattr [trusted.norvafs.snapstate:1]"));
  EXPECT_TRUE(logged("file group version [v1] setxattr [trusted.norvafs.snapstate:2]"));
  char line[128];
  std::snprintf(line, sizeof line, "&version=[%p] name=[v1]", static_cast<void*>(v.get()));
  EXPECT_TRUE(logged(line));

  // The version does not change when the live files do.
  m_lib.write_file("/g/a.txt", "changed");
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v1/a.txt"), "alpha");
  // A second version does not copy the first into itself.
  version_ptr v2;
  ASSERT_EQ(m_set->create_version("v2", v2), 0);
  EXPECT_FALSE(m_lib.exists("/g/.snaps/v2/.snaps/v1"));
  EXPECT_EQ(m_lib.entries("/g/.snaps/v2/.snaps"), std::vector<std::string>{".ktsm-deleted-files"})
      << "only its own list";
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v2/a.txt"), "changed");
  EXPECT_EQ(names_of(m_set), (std::vector<std::string>{"//g", "v1", "v2"}));
  EXPECT_EQ(v2->get_older_version(), v);
}

TEST_P(VersionOpsTest, DeleteLinksMergesAndRemoves) {
  version_ptr v1, v2, v3;
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  ASSERT_EQ(m_set->create_version("v2", v2), 0);
  ASSERT_EQ(m_set->create_version("v3", v3), 0);
  EXPECT_EQ(v3->get_older_version(), v2);
  // v2's deleted-file list has records; v1's is empty.
  const std::string& suffix = ktfssnapcore::ktfssnaputils::sdelfilelist;
  m_lib.write_file("/g/.snaps/v2" + suffix, "uuid-2\tgone.txt\n");
  m_lib.capture().clear();

  ASSERT_EQ(m_set->delete_version("v2"), 0);
  EXPECT_FALSE(m_lib.exists("/g/.snaps/v2"));
  EXPECT_EQ(names_of(m_set), (std::vector<std::string>{"//g", "v1", "v3"}));
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v1" + suffix), "uuid-2\tgone.txt\n")
      << "the list went to the older snapshot version";
  EXPECT_TRUE(logged("deleting file group version [v2] "));
  EXPECT_TRUE(logged("Update metadata file for fgver [v1] from file [//g/.snaps/v2" + suffix +
                     "] to file [//g/.snaps/v1" + suffix + "]"));
  // The host's handle keeps the record alive with its old state; its link is
  // empty again; v3 follows v1 at once.
  EXPECT_EQ(v2->get_state(), vs::SNAP_STATE_ACTIVE);
  EXPECT_FALSE(v2->get_older_version());
  EXPECT_EQ(v3->get_older_version(), v1);
  ASSERT_EQ(m_set->set_previous_version("v3"), 0);
  EXPECT_EQ(v3->get_older_version(), v1) << "linking by hand changes nothing";

  // The first snapshot's older version is the production version: no merge.
  m_lib.write_file("/g/.snaps/v1" + suffix, "uuid-1\tx\n");
  m_lib.capture().clear();
  ASSERT_EQ(m_set->delete_version("v1"), 0);
  EXPECT_EQ(m_lib.read_file("/g" + suffix), "<missing>") << "nothing merged into the live group";
  EXPECT_EQ(m_lib.texts(), std::vector<std::string>{"deleting file group version [v1] "});
}

TEST_P(VersionOpsTest, ExportAndUnexportFollowTheStates) {
  version_ptr v;
  ASSERT_EQ(m_set->create_version("v1", v), 0);
  ASSERT_EQ(m_set->export_version("v1"), 0);
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes("8"));
  EXPECT_EQ(v->get_state(), vs::SNAP_STATE_EXPORTED);
  EXPECT_EQ(m_lib.export_blocks(), 1u);
  EXPECT_EQ(m_set->delete_version("v1"), 1) << "an exported version stays";
  EXPECT_TRUE(m_lib.exists("/g/.snaps/v1"));
  m_lib.capture().clear();
  EXPECT_EQ(m_set->export_version("v1"), 1) << "already exported";
  EXPECT_EQ(m_lib.texts(), std::vector<std::string>{"version [8] not failed"});
  ASSERT_EQ(m_set->unexport_version("v1"), 0);
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes("2"));
  EXPECT_EQ(v->get_state(), vs::SNAP_STATE_ACTIVE);
  EXPECT_EQ(m_lib.export_blocks(), 0u) << "the export is withdrawn";
  ASSERT_EQ(m_set->export_version("v1"), 0) << "exported again after unexport";
  // The production version is the group's own directory, for both.
  ASSERT_EQ(m_set->export_version("//g"), 0);
  EXPECT_EQ(m_lib.raw_state("/g"), state_bytes("8"));
  ASSERT_EQ(m_set->unexport_version("//g"), 0);
  EXPECT_EQ(m_lib.raw_state("/g"), state_bytes("2"));
}

// A group's deletion checks before it removes anything.
TEST_P(VersionOpsTest, DeleteSetRemovesNothingWhileTheGroupHoldsAnything) {
  version_ptr v;
  ASSERT_EQ(m_set->create_version("v1", v), 0);
  EXPECT_EQ(vs::delete_version_set("//g"), 1) << "a version and live files";
  ASSERT_EQ(m_set->delete_version("v1"), 0);
  EXPECT_EQ(vs::delete_version_set("//g"), 1) << "live files";
  EXPECT_EQ(m_lib.read_file("/g/dir/b.txt"), "beta");
  EXPECT_TRUE(m_lib.exists("/g/.snaps"));
  vs::set_ptr found;
  EXPECT_EQ(vs::get_version_set("//g", found), 0) << "still registered";
  for (const char* f : {"/g/a.txt", "/g/dir/b.txt"}) m_lib.api().unlink(m_lib.io(), f, {});
  m_lib.api().rmdir(m_lib.io(), "/g/dir", {});
  EXPECT_EQ(vs::delete_version_set("//g"), 0);
  EXPECT_FALSE(m_lib.exists("/g"));
}

// A group, or its ".snaps", replaced by a symbolic link to another group:
// every operation refuses it, and the other group is left as it was.
TEST_P(VersionOpsTest, LinkedGroupsAndSnapshotDirectoriesAreRefused) {
  version_ptr v;
  ASSERT_EQ(m_set->create_version("v1", v), 0);
  vs::set_ptr h;
  ASSERT_EQ(vs::create_version_set("//h", h), 0);
  m_lib.make_dir("/out");
  m_lib.write_file("/out/keep", "k");
  ktfs::ktfs_api& api = m_lib.api();
  ASSERT_FALSE(api.rename(m_lib.io(), "/g/.snaps", "/g/real-snaps", {}));
  ASSERT_FALSE(api.symlink(m_lib.io(), "/out", "/g/.snaps", {}));
  ASSERT_FALSE(api.rename(m_lib.io(), "/h", "/h-real", {}));
  ASSERT_FALSE(api.symlink(m_lib.io(), "/out", "/h", {}));
  struct {
    const char* what;
    std::function<int32_t()> run;
    const char* path;
  } cases[] = {
      {"create", [&] { return m_set->create_version("v2", v); }, "//g/.snaps"},
      {"delete", [&] { return m_set->delete_version("v1"); }, "//g/.snaps"},
      {"export", [&] { return m_set->export_version("v1"); }, "//g/.snaps"},
      {"unexport", [&] { return m_set->unexport_version("v1"); }, "//g/.snaps"},
      {"create in a linked group", [&] { return h->create_version("v", v); }, "//h"},
      {"delete the linked group", [] { return vs::delete_version_set("//h"); }, "//h"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m_lib.capture().clear();
    EXPECT_EQ(c.run(), 1);
    EXPECT_TRUE(logged("path [" + std::string(c.path) + "] is not a directory"));
  }
  EXPECT_EQ(m_lib.entries("/out"), std::vector<std::string>{"keep"}) << "nothing made there";
  EXPECT_EQ(m_lib.read_file("/out/keep"), "k");
  EXPECT_TRUE(m_lib.exists("/g/real-snaps/v1/a.txt")) << "the version stays";
}

// A whole restore leaves the live group equal to the version, names of one
// file still one file, with the modes and times the version kept; the live
// group as it was is the safety version.  A path restore elsewhere replaces
// nothing there.
TEST_P(VersionOpsTest, RestoreMakesTheGroupEqualToTheVersionAndKeepsTheLiveOne) {
  ktfs::ktfs_api& api = m_lib.api();
  ASSERT_FALSE(api.link(m_lib.io(), "/g/dir/b.txt", "/g/dir/b2.txt", {}));
  ASSERT_FALSE(api.chmod(m_lib.io(), "/g/a.txt", 0640, {}));
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_FALSE(api.lutimens(m_lib.io(), "/g/a.txt", times, {}));
  version_ptr v1, safety;
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  m_lib.write_file("/g/a.txt", "changed");
  ASSERT_FALSE(api.unlink(m_lib.io(), "/g/dir/b2.txt", {}));
  m_lib.write_file("/g/new.txt", "n");

  ASSERT_EQ(m_set->restore_version("v1", "pre-restore", safety), 0);
  ASSERT_TRUE(safety);
  EXPECT_EQ(m_lib.entries("/g"), (std::vector<std::string>{".snaps", "a.txt", "dir"}));
  EXPECT_EQ(m_lib.read_file("/g/a.txt"), "alpha");
  struct stat a, b, b2;
  ASSERT_FALSE(api.lstat(m_lib.io(), "/g/a.txt", &a, {}));
  EXPECT_EQ(a.st_mode & 07777, 0640u);
  EXPECT_EQ(a.st_mtim.tv_sec, 1000000000);
  ASSERT_FALSE(api.lstat(m_lib.io(), "/g/dir/b.txt", &b, {}));
  ASSERT_FALSE(api.lstat(m_lib.io(), "/g/dir/b2.txt", &b2, {}));
  EXPECT_EQ(b.st_ino, b2.st_ino) << "the two names are one file again";
  EXPECT_EQ(m_lib.read_file("/g/.snaps/pre-restore/a.txt"), "changed");
  EXPECT_EQ(m_lib.read_file("/g/.snaps/pre-restore/new.txt"), "n");
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/pre-restore"), state_bytes("2"));
  EXPECT_EQ(names_of(m_set), (std::vector<std::string>{"//g", "v1", "pre-restore"}));
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v1/a.txt"), "alpha") << "the version is left alone";
  version_ptr again;
  ASSERT_EQ(m_set->restore_version("v1", "pre-restore", again), 0);
  EXPECT_FALSE(again) << "nothing to change: no safety version";
  EXPECT_EQ(names_of(m_set), (std::vector<std::string>{"//g", "v1", "pre-restore"}));

  ASSERT_EQ(m_set->restore_paths("v1", {"dir/b.txt"}, "/out"), 0);
  EXPECT_EQ(m_lib.read_file("/out/dir/b.txt"), "beta");
  m_lib.write_file("/out/dir/b.txt", "mine");
  EXPECT_EQ(m_set->restore_paths("v1", {"dir/b.txt"}, "/out"), 1);
  EXPECT_EQ(m_lib.read_file("/out/dir/b.txt"), "mine") << "an existing entry is never replaced";
}

// A live file replaced by rename (an editor's save) after the snapshot
// listed its directory and before it opened it is copied as it is then:
// neither left out nor a failed snapshot.
TEST_P(VersionOpsTest, AFileReplacedWhileTheSnapshotRunsIsCopiedAsItIsThen) {
  m_lib.write_file("/saved", "saved");  // outside the group
  m_lib.faults()->on_call(ktfs::op::open, "*/g/a.txt", [&] {
    EXPECT_FALSE(m_lib.api().rename(m_lib.io(), "/saved", "/g/a.txt", {}));
  });
  version_ptr v;
  ASSERT_EQ(m_set->create_version("v1", v), 0);
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v1/a.txt"), "saved");

  // A look again that fails fails the snapshot, left unfinished.
  m_lib.write_file("/saved", "saved again");
  m_lib.faults()->on_call(ktfs::op::open, "*/g/a.txt", [&] {
    EXPECT_FALSE(m_lib.api().rename(m_lib.io(), "/saved", "/g/a.txt", {}));
    m_lib.faults()->fail_calls(ktfs::op::lstat, "*/g/a.txt", EIO, false);
  });
  version_ptr v2;
  EXPECT_EQ(m_set->create_version("v2", v2), 1);
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v2"), state_bytes("1"));
  EXPECT_FALSE(m_lib.exists("/g/.snaps/v2/a.txt"));
  EXPECT_EQ(
      m_lib.capture().count("[//g/a.txt] disappeared during the copy: left out of the version"),
      0u);
}

// A live name that another client moves away after a whole restore listed
// it, before its removal, is removed: the restore finishes and records
// nothing left half done.
TEST_P(VersionOpsTest, ALiveNameGoneBeforeTheRestoreRemovesItIsRemoved) {
  version_ptr v1, safety;
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  m_lib.write_file("/g/.tmp-1", "being written");
  m_lib.faults()->on_call(ktfs::op::lstat, "*/g/.tmp-1", [&] {
    EXPECT_FALSE(m_lib.api().rename(m_lib.io(), "/g/.tmp-1", "/moved", {}));
  });
  ASSERT_EQ(m_set->restore_version("v1", "pre-restore", safety), 0);
  EXPECT_EQ(m_lib.entries("/g"), (std::vector<std::string>{".snaps", "a.txt", "dir"}));
  EXPECT_EQ(m_lib.read_file("/moved"), "being written");
  EXPECT_EQ(m_lib.read_file("/g/.snaps/pre-restore/.tmp-1"), "being written");
  std::string version, kept;
  std::vector<std::string> paths;
  ASSERT_EQ(m_set->partial_restore(version, kept, paths), 0);
  EXPECT_EQ(version, "");
}

// A deletion is done only when the version's directory is gone.  The
// removal counts an entry that answers ENOENT as removed; a replica set
// whose bricks disagree after a removal cut short answered so for a version
// directory it still held, and the deletion reported success.  Here the
// directory's rmdir answers ENOENT without reaching the volume.
TEST_P(VersionOpsTest, ADeletionThatLeavesTheDirectoryFails) {
  version_ptr v1;
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  m_lib.faults()->fail_calls(ktfs::op::rmdir, "*/g/.snaps/v1", ENOENT, false);
  m_lib.capture().clear();
  EXPECT_EQ(m_set->delete_version("v1"), 1);
  EXPECT_EQ(m_lib.capture().count("file group version [v1]rmdir  failed"), 1u);
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes("5"));
  EXPECT_EQ(m_set->delete_version("v1"), 0);
  EXPECT_FALSE(m_lib.exists("/g/.snaps/v1"));
}

// A live file named as versions once named their deleted-file list is the
// user's: snapshots copy it and restores bring it back.  A version taken
// when the list sat at its top (made here by moving a real version's list
// there) still works: its list is neither restored nor shown, and takes
// the records of a newer version deleted.
TEST_P(VersionOpsTest, AFileNamedLikeTheOldListIsTheUsersAndOldVersionsStillWork) {
  ktfs::ktfs_api& api = m_lib.api();
  const std::string& list = ktfssnapcore::ktfssnaputils::sdelfilelist;
  const std::string old_list = "/g/.snaps/v0" + ktfssnapcore::ktfssnaputils::slegacydelfilelist;
  version_ptr v0, v1, safety;
  ASSERT_EQ(m_set->create_version("v0", v0), 0);
  ASSERT_FALSE(api.rename(m_lib.io(), ("/g/.snaps/v0" + list).c_str(), old_list.c_str(), {}));
  ASSERT_FALSE(api.rmdir(m_lib.io(), "/g/.snaps/v0/.snaps", {}));
  m_lib.write_file(old_list, "u\t/x\n");

  m_lib.write_file("/g/.ktsm-deleted-files", "mine");
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v1/.ktsm-deleted-files"), "mine");
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v1" + list), "");
  ASSERT_FALSE(api.unlink(m_lib.io(), "/g/.ktsm-deleted-files", {}));
  ASSERT_EQ(m_set->restore_version("v1", "pre-1", safety), 0);
  EXPECT_EQ(m_lib.read_file("/g/.ktsm-deleted-files"), "mine");

  ASSERT_EQ(m_set->restore_version("v0", "pre-0", safety), 0);
  EXPECT_EQ(m_lib.entries("/g"), (std::vector<std::string>{".snaps", "a.txt", "dir"}));
  EXPECT_EQ(m_lib.read_file("/g/.snaps/pre-0/.ktsm-deleted-files"), "mine");
  m_lib.write_file("/g/.snaps/v1" + list, "w\t/y\n");
  ASSERT_EQ(m_set->delete_version("v1"), 0);
  EXPECT_EQ(m_lib.read_file(old_list), "u\t/x\nw\t/y\n");
  EXPECT_FALSE(m_lib.exists("/g/.snaps/v0/.snaps"));
}

// A restore of paths merges into the live group: what it lacks comes back,
// what it holds is replaced, and a file made since stays, counted, unless
// asked to go; then the safety version holds it first, and only then.  A
// plan changes nothing.
TEST_P(VersionOpsTest, MergingPathsKeepsNewWorkUnlessAskedAndSavesItFirst) {
  version_ptr v1, safety;
  m_lib.write_file("/g/dir/c.txt", "gamma");
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  m_lib.write_file("/g/dir/b.txt", "changed");
  ASSERT_FALSE(m_lib.api().unlink(m_lib.io(), "/g/dir/c.txt", {}));
  m_lib.write_file("/g/dir/new.txt", "important new work");
  typedef std::vector<uint64_t> counted;
  auto as_list = [](const vs::restore_counts& n) {
    return counted{n.copied, n.replaced, n.removed, n.kept, n.unchanged};
  };
  vs::restore_options keep, remove;
  remove.remove_extra = true;
  remove.safety_name = "pre-restore";
  vs::restore_counts n;
  for (bool plan_only : {true, false}) {
    SCOPED_TRACE(plan_only ? "plan" : "merge");
    ASSERT_EQ(m_set->merge_paths("v1", {"dir"}, keep, plan_only, n, safety), 0);
    EXPECT_EQ(as_list(n), (counted{1, 1, 0, 1, 0}));
    EXPECT_EQ(m_lib.read_file("/g/dir/b.txt"), plan_only ? "changed" : "beta");
    EXPECT_EQ(m_lib.exists("/g/dir/c.txt"), !plan_only);
    EXPECT_EQ(m_lib.read_file("/g/dir/new.txt"), "important new work");
    EXPECT_FALSE(safety);
  }
  ASSERT_EQ(m_set->merge_paths("v1", {"dir"}, remove, true, n, safety), 0);
  EXPECT_EQ(as_list(n), (counted{0, 0, 1, 0, 2})) << "b.txt and c.txt are as in v1 now";
  EXPECT_TRUE(m_lib.exists("/g/dir/new.txt")) << "a plan changes nothing";
  ASSERT_EQ(m_set->merge_paths("v1", {"dir"}, remove, false, n, safety), 0);
  EXPECT_FALSE(m_lib.exists("/g/dir/new.txt"));
  ASSERT_TRUE(safety);
  EXPECT_EQ(m_lib.read_file("/g/.snaps/pre-restore/dir/new.txt"), "important new work");
  safety.reset();
  ASSERT_EQ(m_set->merge_paths("v1", {"dir"}, remove, false, n, safety), 0);
  EXPECT_FALSE(safety) << "nothing to remove: no safety version";
  EXPECT_EQ(m_lib.entries("/g/dir"), (std::vector<std::string>{"b.txt", "c.txt"}));
  // An edit that kept the size and put the time back looks unchanged; a
  // file named is made again all the same.
  struct stat st;
  ASSERT_FALSE(m_lib.api().lstat(m_lib.io(), "/g/dir/c.txt", &st, {}));
  m_lib.write_file("/g/dir/c.txt", "GAMMA");
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_FALSE(m_lib.api().lutimens(m_lib.io(), "/g/dir/c.txt", times, {}));
  ASSERT_EQ(m_set->merge_paths("v1", {"dir"}, keep, true, n, safety), 0);
  EXPECT_EQ(n.unchanged, 2u);
  ASSERT_EQ(m_set->merge_paths("v1", {"dir/c.txt"}, keep, false, n, safety), 0);
  EXPECT_EQ(as_list(n), (counted{0, 1, 0, 0, 0}));
  EXPECT_EQ(m_lib.read_file("/g/dir/c.txt"), "gamma");
}

// A stop the process asks for (ktsmctl's signal handler) ends a plan's
// deletions before the next one: the versions not reached stay, named.
TEST_P(VersionOpsTest, AStopRequestedLeavesTheRestOfAPlanUntried) {
  version_ptr v;
  ASSERT_EQ(m_set->create_version("v1", v), 0);
  ASSERT_EQ(m_set->create_version("v2", v), 0);
  vs::plan_report report;
  ktfssnapcore::request_stop();
  int32_t status = m_set->delete_by_plan(
      [](const std::list<version_ptr>&, const vs::holds_map&) {
        return std::vector<std::string>{"v1", "v2"};
      },
      report);
  ktfssnapcore::clear_stop();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(report.not_tried, (std::vector<std::string>{"v1", "v2"}));
  EXPECT_TRUE(report.deleted.empty() && report.failed.empty());
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes("2"));
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v2"), state_bytes("2"));
}

// A user who owns a directory of the group renames an entry the restore
// has just made and puts a link to a root file in its place, at the moment
// between its making and its mode (driven by the client's hook): the link
// is not followed, the root file keeps its mode, owner and content, and the
// restore fails with one message.  Locally a link can only lead beside
// itself; on GlusterFS anywhere in the volume.  The same for a directory
// swapped for a link before a file is made in it.
TEST_P(VersionOpsTest, RestoreNeverFollowsALinkSwappedInForWhatItMade) {
  ktfs::ktfs_api& api = m_lib.api();
  const bool local = GetParam() == backend_kind::local;
  const std::string target = local ? "/g/user/root-file" : "/other/root-file";
  m_lib.make_dir("/g/user", 0755);
  m_lib.make_dir("/other", 0700);
  m_lib.write_file("/g/user/f", "from the version");
  ASSERT_FALSE(api.chmod(m_lib.io(), "/g/user/f", 0777, {}));
  ASSERT_FALSE(api.lchown(m_lib.io(), "/g/user", 1000, 1000, {}));
  ASSERT_FALSE(api.lchown(m_lib.io(), "/g/user/f", 1000, 1000, {}));
  version_ptr v1;
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  ASSERT_FALSE(api.unlink(m_lib.io(), "/g/user/f", {}));
  m_lib.write_file(target, "root's");
  ASSERT_FALSE(api.chmod(m_lib.io(), target.c_str(), 0600, {}));

  m_lib.faults()->on_call(ktfs::op::lchmod, "*/g/user/f", [&] {
    EXPECT_FALSE(api.rename(m_lib.io(), "/g/user/f", "/g/user/moved", {}));
    EXPECT_FALSE(api.symlink(m_lib.io(), local ? "root-file" : target.c_str(), "/g/user/f", {}));
  });
  m_lib.capture().clear();
  EXPECT_EQ(m_set->restore_paths("v1", {"user/f"}, ""), 1);
  EXPECT_EQ(m_lib.capture().count("file group version [v1] restore copy failed"), 1u);
  struct stat st;
  ASSERT_FALSE(api.lstat(m_lib.io(), target.c_str(), &st, {}));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(m_lib.read_file(target), "root's");
  ASSERT_FALSE(api.lstat(m_lib.io(), "/g/user/f", &st, {}));
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the user's link is left as it is";

  // The directory that is to hold a restored file, swapped for a link to a
  // root directory just before the file is made: nothing is made there.
  m_lib.make_dir("/g/user/d", 0755);
  m_lib.write_file("/g/user/d/new", "from the version");
  version_ptr v2;
  ASSERT_EQ(m_set->create_version("v2", v2), 0);
  ASSERT_FALSE(api.unlink(m_lib.io(), "/g/user/d/new", {}));
  bool swapped = false;
  m_lib.faults()->on_call(ktfs::op::open, "*/g/user/d/new", [&] {
    if (swapped) return;
    swapped = true;
    EXPECT_FALSE(api.rename(m_lib.io(), "/g/user/d", "/g/user/d-moved", {}));
    EXPECT_FALSE(api.symlink(m_lib.io(), local ? "../../other" : "/other", "/g/user/d", {}));
  });
  m_lib.capture().clear();
  EXPECT_EQ(m_set->restore_paths("v2", {"user/d/new"}, ""), 1);
  EXPECT_TRUE(swapped);
  EXPECT_EQ(m_lib.capture().count("file group version [v2] restore copy failed"), 1u);
  EXPECT_EQ(api.lstat(m_lib.io(), "/other/new", &st, {}).value(), ENOENT);
  EXPECT_EQ(m_lib.read_file(target), "root's");
}

// Linked snapshots: a file unchanged since the older version is one more
// name of its file there; every kind of change is copied, and nothing a
// user writes afterwards, to a live or a restored file, reaches a version.
TEST_P(VersionOpsTest, UnchangedFilesAreSharedAndEveryChangeIsCopied) {
  ktfs::ktfs_api& api = m_lib.api();
  auto io = m_lib.io();
  ::setenv("KTSM_LINK_CLOCK_MARGIN_MS", "0", 1);
  const std::vector<std::string> changes = {"content", "size",  "mtime",   "chmod",
                                            "chown",   "xattr", "renamed", "rewritten"};
  const struct timespec old_times[2] = {{1000000000, 1}, {1000000000, 1}};
  for (const std::string& name : changes) {
    m_lib.write_file("/g/" + name, "0123456789");
    ASSERT_FALSE(api.lutimens(io, ("/g/" + name).c_str(), old_times, {}));
  }
  m_lib.write_file("/g/twin", "abcdefghij");  // renamed over "renamed"
  ASSERT_FALSE(api.lutimens(io, "/g/twin", old_times, {}));
  ASSERT_FALSE(api.link(io, "/g/a.txt", "/g/dir/a2.txt", {}));
  m_lib.pass_change_time("/g/a.txt");
  version_ptr v1, v2;
  ASSERT_EQ(m_set->create_version("v1", v1), 0);

  const struct timespec other_times[2] = {{1500000000, 0}, {1500000000, 0}};
  m_lib.write_file("/g/content", "9876543210");
  m_lib.write_file("/g/size", "0123456789+");
  ASSERT_FALSE(api.lutimens(io, "/g/mtime", other_times, {}));
  ASSERT_FALSE(api.chmod(io, "/g/chmod", 0600, {}));
  ASSERT_FALSE(api.lchown(io, "/g/chown", 1000, 1000, {}));
  m_lib.set_xattr("/g/xattr", "user.note", "changed");
  ASSERT_FALSE(api.rename(io, "/g/twin", "/g/renamed", {}));
  m_lib.write_file("/g/rewritten", "same-size!");
  ASSERT_FALSE(api.lutimens(io, "/g/rewritten", old_times, {}));
  ASSERT_EQ(m_set->create_version("v2", v2), 0);

  auto ino = [&](const std::string& path) {
    struct stat st;
    EXPECT_FALSE(api.lstat(io, path.c_str(), &st, {})) << path;
    return st.st_ino;
  };
  auto shared = [&](const std::string& rel) {
    return ino("/g/.snaps/v1/" + rel) == ino("/g/.snaps/v2/" + rel);
  };
  EXPECT_TRUE(shared("a.txt"));
  EXPECT_TRUE(shared("dir/b.txt"));
  EXPECT_EQ(ino("/g/.snaps/v2/a.txt"), ino("/g/.snaps/v2/dir/a2.txt")) << "one file, two names";
  for (const std::string& name : changes) {
    EXPECT_FALSE(shared(name)) << name << " changed: copied";
    EXPECT_EQ(m_lib.read_file("/g/.snaps/v2/" + name), m_lib.read_file("/g/" + name)) << name;
    EXPECT_NE(ino("/g/.snaps/v2/" + name), ino("/g/" + name)) << "never the live file";
  }
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v1/rewritten"), "0123456789");

  // Writing to the live file, and to a file restored from v2, leaves both
  // versions as they were; deleting v1 leaves v2 whole.
  m_lib.write_file("/g/a.txt", "written");
  ASSERT_FALSE(api.unlink(io, "/g/dir/b.txt", {}));
  ASSERT_EQ(m_set->restore_paths("v2", {"dir/b.txt"}, ""), 0);
  EXPECT_NE(ino("/g/dir/b.txt"), ino("/g/.snaps/v2/dir/b.txt")) << "restored by a copy";
  m_lib.write_file("/g/dir/b.txt", "rewritten after the restore");
  ASSERT_EQ(m_set->delete_version("v1"), 0);
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v2/a.txt"), "alpha");
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v2/dir/a2.txt"), "alpha");
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v2/dir/b.txt"), "beta");
  EXPECT_EQ(m_lib.read_file("/g/.snaps/v2/content"), "9876543210");
  ::unsetenv("KTSM_LINK_CLOCK_MARGIN_MS");
}

TEST_P(VersionOpsTest, SafetyVersionTakesTheFirstNameFreeUnderTheLock) {
  // "safe" is this set's; "safe-2" was made since by another set object of
  // the group, as another process makes one: this set has no record of it.
  version_ptr v1, mine, theirs, safety;
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  ASSERT_EQ(m_set->create_version("safe", mine), 0);
  vs::set_ptr other = access::allocate_set();
  bool incomplete = false;
  ASSERT_EQ(ktsm_internal::recover_set("//g", other, &incomplete), 0);
  ASSERT_EQ(other->create_version("safe-2", theirs), 0);
  other->cleanup();
  m_lib.write_file("/g/a.txt", "changed");
  ASSERT_EQ(m_set->restore_version("v1", "safe", safety), 0);
  ASSERT_TRUE(safety);
  EXPECT_EQ(safety->get_name(), "safe-3");
  EXPECT_EQ(m_lib.read_file("/g/.snaps/safe-3/a.txt"), "changed");
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/safe-2"), state_bytes("2")) << "theirs is left alone";
}

INSTANTIATE_TEST_SUITE_P(Backends, VersionOpsTest,
                         ::testing::Values(backend_kind::local, backend_kind::gluster_distributed),
                         ktsm_test::backend_param_name);

// Failure paths, on the local backend through the fault wrapper.
class VersionFaultTest : public ktsm_test::LocalLibraryTest {
 protected:
  void SetUp() override {
    LocalLibraryTest::SetUp();
    ASSERT_EQ(m_lib.init(), 0);
    ASSERT_EQ(vs::create_version_set("//g", m_set), 0);
    m_lib.write_file("/g/a.txt", "alpha");
    m_lib.capture().clear();
  }
  // The texts of level -1 and error records only (the failure lines).
  std::vector<std::string> texts() { return m_lib.texts(); }
  vs::set_ptr m_set;
};

// A restore that fails, of the whole group or merged with remove_extra:
// before the safety version (reading what differs) nothing changes; after
// it, before the record, the live group is as it was; after the record,
// the group is recorded as partly restored, until a restore finishes.
TEST_F(VersionFaultTest, EveryFailingStepOfAWholeRestore) {
  version_ptr v1, safety;
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  struct {
    ktfs::op kind;
    const char* glob;
    const char* message;
    bool safety_taken, recorded;
  } cases[] = {
      {ktfs::op::lstat, "//g/a.txt", "path [//g/a.txt] stat failed", false, false},
      {ktfs::op::setxattr, "//g/.snaps", "file group [//g] restore record write failed", true,
       false},
      {ktfs::op::unlink, "//g/a.txt", "path [//g/a.txt] remove failed", true, true},
  };
  // Each restores v1 with the safety version named: 0 or 1.
  const std::function<int32_t(const std::string&)> restores[] = {
      [&](const std::string& name) { return m_set->restore_version("v1", name, safety); },
      [&](const std::string& name) {
        vs::restore_options options;
        options.remove_extra = true;
        options.safety_name = name;
        vs::restore_counts counts;
        return m_set->merge_paths("v1", {}, options, false, counts, safety);
      }};
  int n = 0;
  for (const auto& restore : restores) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(n < 3 ? "restore_version " : "merge_paths ") +
                   ktfs::op_name(c.kind));
      m_lib.write_file("/g/a.txt", "changed " + std::to_string(n));
      m_lib.write_file("/g/extra.txt", "made since");
      m_lib.capture().clear();
      m_lib.faults()->fail_calls(c.kind, c.glob, EIO, false);
      safety.reset();
      std::string name = "pre-" + std::to_string(n++);
      EXPECT_EQ(restore(name), 1);
      m_lib.faults()->clear();
      EXPECT_EQ(m_lib.capture().count(c.message), 1u) << c.message;
      EXPECT_EQ(bool(safety), c.safety_taken);
      EXPECT_EQ(m_lib.exists("/g/.snaps/" + name), c.safety_taken);
      EXPECT_EQ(m_lib.read_file("/g/a.txt"), "changed " + std::to_string(n - 1));
      std::string version, kept;
      std::vector<std::string> paths;
      ASSERT_EQ(m_set->partial_restore(version, kept, paths), 0);
      EXPECT_EQ(version, c.recorded ? "v1" : "");
      EXPECT_EQ(kept, c.recorded ? name : "");
    }
    ASSERT_EQ(restore("pre-last-" + std::to_string(n)), 0);
    EXPECT_EQ(m_lib.read_file("/g/a.txt"), "alpha");
    EXPECT_FALSE(m_lib.exists("/g/extra.txt"));
    std::string version, kept;
    std::vector<std::string> paths;
    ASSERT_EQ(m_set->partial_restore(version, kept, paths), 0);
    EXPECT_EQ(version, "") << "the finished restore cleared the record";
  }
}

TEST_F(VersionFaultTest, EveryFailingStepOfCreation) {
  struct {
    ktfs::op kind;
    const char* glob;
    const char* message;
    const char* state_left;  // "" when no directory is left
    bool record_appended;
  } cases[] = {
      {ktfs::op::mkdir, "//g/.snaps/v", "file group [v] create failed", "", false},
      {ktfs::op::setxattr, "//g/.snaps/v", "file group [v] setxattr failed", "none", false},
      {ktfs::op::open, "//g/.snaps/v/a.txt",
       "Snap create operation failed for filegroup_version [v]", "1", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    m_lib.capture().clear();
    m_lib.faults()->fail_calls(c.kind, c.glob, EIO, false);
    version_ptr v = access::allocate_version();
    version_ptr before = v;
    EXPECT_EQ(m_set->create_version("v", v), 1);
    EXPECT_EQ(m_lib.capture().count(c.message), 1u);
    std::string state = c.state_left;
    if (state.empty()) {
      EXPECT_FALSE(m_lib.exists("/g/.snaps/v"));
    } else if (state == "none") {
      EXPECT_TRUE(m_lib.exists("/g/.snaps/v"));
      EXPECT_EQ(m_lib.raw_state("/g/.snaps/v"), "");
    } else {
      EXPECT_EQ(m_lib.raw_state("/g/.snaps/v"), state_bytes(state));
    }
    if (c.record_appended) {
      ASSERT_TRUE(v);
      EXPECT_EQ(v->get_state(), vs::SNAP_STATE_CREATE_IN_PROGRESS);
      EXPECT_EQ(access::versions(*m_set).back(), v);
    } else {
      EXPECT_EQ(v, before) << "version unchanged";
      EXPECT_EQ(access::versions(*m_set).size(), 1u);
    }
    // Clean up for the next case.
    m_lib.faults()->clear();
    if (c.record_appended) {
      ASSERT_EQ(m_set->delete_version("v"), 0);
    } else if (m_lib.exists("/g/.snaps/v")) {
      m_lib.api().rmdir(m_lib.io(), "/g/.snaps/v", ktfs::aio_ptr());
    }
  }
}

// What keeps an unchanged file from being linked makes it a copy, never a
// failed snapshot: an older version whose state cannot be read is no
// source; a link the volume refuses, even one that leaves a name behind
// (as a distributed volume may), makes the file a copy.
TEST_F(VersionFaultTest, AnUnreadableSourceOrARefusedLinkMakesACopy) {
  ::setenv("KTSM_LINK_CLOCK_MARGIN_MS", "0", 1);
  m_lib.pass_change_time("/g/a.txt");
  version_ptr v0;
  ASSERT_EQ(m_set->create_version("v0", v0), 0);
  auto ino = [&](const std::string& path) {
    struct stat st;
    EXPECT_FALSE(m_lib.api().lstat(m_lib.io(), path.c_str(), &st, {})) << path;
    return st.st_ino;
  };
  const std::string left = m_lib.local_root() + "/g/.snaps/v2/a.txt";
  struct {
    const char* name;
    const char* source;  // the version it would have linked to
    ktfs::op kind;
    const char* glob;
    std::function<void()> before;
  } cases[] = {
      {"v1", "v0", ktfs::op::getxattr, "//g/.snaps/v0", nullptr},
      {"v2", "v1", ktfs::op::link, "//g/.snaps/v2/a.txt",
       [&] { ::close(::open(left.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_lib.faults()->fail_calls(c.kind, c.glob, ENOSPC, false);
    if (c.before) m_lib.faults()->on_call(c.kind, c.glob, c.before);
    version_ptr v;
    EXPECT_EQ(m_set->create_version(c.name, v), 0);
    m_lib.faults()->clear();
    const std::string dir = std::string("/g/.snaps/") + c.name;
    EXPECT_EQ(m_lib.raw_state(dir), state_bytes("2"));
    EXPECT_EQ(m_lib.read_file(dir + "/a.txt"), "alpha");
    EXPECT_NE(ino(dir + "/a.txt"), ino(std::string("/g/.snaps/") + c.source + "/a.txt"))
        << "copied, not linked";
  }
  ::unsetenv("KTSM_LINK_CLOCK_MARGIN_MS");
}

TEST_F(VersionFaultTest, FinalWriteFailureLeavesTheRecordInProgress) {
  // The second setxattr on the version directory is the final state write.
  m_lib.faults()->fail_calls(ktfs::op::setxattr, "//g/.snaps/v", EIO, false);
  version_ptr probe;
  EXPECT_EQ(m_set->create_version("v", probe), 1);  // first write fails: consumes the rule
  m_lib.api().rmdir(m_lib.io(), "/g/.snaps/v", ktfs::aio_ptr());
  m_lib.capture().clear();
  // Fail only the last write: count calls to that path and arm the Nth
  // (with linking off, x is made with the calls w was made with).
  m_lib.faults()->clear();
  m_set->set_linked_snapshots(false);
  version_ptr v;
  ASSERT_EQ(m_set->create_version("w", v), 0);
  std::vector<std::string> trace = m_lib.faults()->trace();
  size_t second = 0, seen = 0;
  for (size_t i = 0; i < trace.size(); ++i) {
    // The state's last write (the first three are its first state, the
    // creation record and the time before which files count as unchanged).
    if (trace[i] == "setxattr //g/.snaps/w" && ++seen == 4) second = i + 1;
  }
  ASSERT_GT(second, 0u);
  m_lib.faults()->fail_nth(second, EIO);
  version_ptr x;
  EXPECT_EQ(m_set->create_version("x", x), 1);
  EXPECT_EQ(m_lib.capture().count("file group [x] setxattr failed"), 1u);
  ASSERT_TRUE(x);
  EXPECT_EQ(x->get_state(), vs::SNAP_STATE_CREATE_IN_PROGRESS);
  EXPECT_EQ(access::versions(*m_set).back(), x);
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/x"), state_bytes("1"));
  EXPECT_EQ(m_lib.read_file("/g/.snaps/x/a.txt"), "alpha") << "the snapshot was taken";
}

TEST_F(VersionFaultTest, RefusedNamesTouchNothing) {
  m_lib.make_dir("/other");
  m_lib.write_file("/other/keep", "k");
  std::vector<std::string> before = m_lib.entries("/g/.snaps");
  std::string bad_zero("a\0b", 3);
  for (const std::string& name :
       {std::string(), std::string("."), std::string(".."), std::string("../../other"),
        std::string("a/b"), std::string("/abs"), bad_zero}) {
    m_lib.capture().clear();
    m_lib.faults()->reset_counts();
    version_ptr v;
    EXPECT_EQ(m_set->create_version(name, v), 1) << name;
    EXPECT_FALSE(v);
    EXPECT_EQ(m_lib.texts(),
              std::vector<std::string>{"file group version [" + std::string(name.c_str()) +
                                       "] invalid name"});
    EXPECT_EQ(m_lib.faults()->total(), 0u) << "no client call for " << name;
  }
  EXPECT_EQ(m_lib.entries("/g/.snaps"), before);
  EXPECT_EQ(m_lib.entries("/"), (std::vector<std::string>{"g", "other"}));
  EXPECT_EQ(m_lib.read_file("/other/keep"), "k");
}

TEST_F(VersionFaultTest, ExistingDirectoryUnregisteredSetAndExhaustedPool) {
  m_lib.make_dir("/g/.snaps/taken", 0700);
  version_ptr v;
  EXPECT_EQ(m_set->create_version("taken", v), 1);
  EXPECT_EQ(m_lib.capture().count("file group [taken] create failed"), 1u);
  EXPECT_EQ(m_lib.mode_of("/g/.snaps/taken"), 0700u) << "nothing changed";

  // A set that is not in the registry: created and appended, link empty.
  vs::set_ptr loose = access::allocate_set();
  access::set_name(*loose, "//g");
  version_ptr production = access::allocate_version();
  access::set_name(*production, "//g");
  access::set_production_version(*production);
  access::add_version(*loose, production);
  vs::set_ptr registered = m_set;
  vs::m_version_sets.clear();  // take //g out of the registry
  EXPECT_EQ(loose->create_version("u", v), 0);
  EXPECT_FALSE(v->get_fg_versionset());
  EXPECT_EQ(access::versions(*loose).back(), v);
  loose->cleanup();
  vs::m_version_sets.push_back(registered);

  // Exhaust the pool: its free chunks are taken, then the heap refuses.
  std::vector<version_ptr> hoard;
  g_refuse_blocks = true;
  while (version_ptr h = access::allocate_version()) hoard.push_back(h);
  m_lib.capture().clear();
  version_ptr kept = v;
  EXPECT_EQ(m_set->create_version("oom", v), 1);
  g_refuse_blocks = false;
  EXPECT_FALSE(v) << "version emptied by the failed allocation";
  EXPECT_EQ(m_lib.capture().count("file group version [oom] memory allocation failed"), 1u);
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/oom"), state_bytes("1"));
  EXPECT_EQ(access::versions(*m_set).size(), 1u) << "nothing appended";
  hoard.clear();
}

TEST_F(VersionFaultTest, EveryFailingStepOfDeletion) {
  const std::string& suffix = ktfssnapcore::ktfssnaputils::sdelfilelist;
  struct {
    ktfs::op kind;
    const char* glob;
    const char* message;
    const char* state_left;
  } cases[] = {
      {ktfs::op::getxattr, "//g/.snaps/v2", "file group [v2] getxattr failed", "2"},
      {ktfs::op::setxattr, "//g/.snaps/v2", "file group [v2] setxattr failed", "2"},
      {ktfs::op::stat, "//g/.snaps/v2", "Snap delete operation failed for filegroup_version [v2]",
       "4"},
      {ktfs::op::open, "//g/.snaps/v1/.snaps/.ktsm-deleted-files",
       "Failed to update metadata file [//g/.snaps/v2/.snaps/.ktsm-deleted-files]", "4"},
      {ktfs::op::unlink, "//g/.snaps/v2/*", "file group version [v2]rmdir  failed", "5"},
  };
  version_ptr v1, v2;
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    if (!m_lib.exists("/g/.snaps/v2")) {
      ASSERT_EQ(m_set->create_version("v2", v2), 0);
    }
    m_lib.put_state("/g/.snaps/v2", "2");
    m_lib.write_file("/g/.snaps/v2" + suffix, "u\tf\n");
    m_lib.capture().clear();
    m_lib.faults()->fail_calls(c.kind, c.glob, EIO, false);
    EXPECT_EQ(m_set->delete_version("v2"), 1);
    EXPECT_EQ(m_lib.capture().count(c.message), 1u);
    EXPECT_EQ(m_lib.raw_state("/g/.snaps/v2"), state_bytes(c.state_left));
    EXPECT_EQ(names_of(m_set), (std::vector<std::string>{"//g", "v1", "v2"}));
    EXPECT_EQ(v2->get_older_version(), v1) << "still linked while it is in the set";
    m_lib.faults()->clear();
  }
  // Unknown names and the production version: status 1, no client call.
  for (const char* name : {"nope", "//g"}) {
    m_lib.faults()->reset_counts();
    EXPECT_EQ(m_set->delete_version(name), 1);
    EXPECT_EQ(m_lib.faults()->total(), 0u) << name;
  }
  EXPECT_EQ(m_lib.capture().count("file group version [nope] not found"), 1u);
  EXPECT_EQ(m_lib.capture().count("file group version [//g] is the production version"), 1u);
  EXPECT_TRUE(m_lib.exists("/g/a.txt"));
}

TEST_F(VersionFaultTest, SetPreviousVersionOnTheFirstAndUnknownEntries) {
  version_ptr v1;
  ASSERT_EQ(m_set->create_version("v1", v1), 0);
  version_ptr production;
  m_set->get_version("//g", production);
  m_lib.capture().clear();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(m_set->set_previous_version("//g"), 0);
    EXPECT_FALSE(production->get_older_version());
  }
  EXPECT_EQ(m_lib.capture().count("No older version found for file version [//g]"), 2u);
  EXPECT_EQ(m_set->set_previous_version("v1"), 0);
  EXPECT_EQ(v1->get_older_version(), production);
  EXPECT_EQ(m_set->set_previous_version("zz"), 1);
  EXPECT_EQ(m_lib.capture().count("file group version [zz] not found"), 1u);
}

}  // namespace
