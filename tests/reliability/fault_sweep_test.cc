// The fault sweep over every operation that reaches the volume: each client
// call an operation makes is failed in turn (once, then from that call on),
// and what the operation answers, logs and leaves is checked against the
// step that failed; a restart without faults must then rebuild a registry
// that agrees with the volume, from which the operation can be completed or
// its version removed.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "ktfssnapcore/ktfssnapcore.h"
#include "reliability/sweep_support.h"

using ktfs::kNoAio;

namespace {

using ktsm_internal::access;
using ktsm_sweep::failure;
using ktsm_sweep::fault_point;
using ktsm_sweep::library_fixture;
using ktsm_sweep::lock_step;
using ktsm_sweep::outcome;
using ktsm_sweep::state_bytes;
using ktsm_sweep::success;
using ktsm_sweep::sweep_case;
using ktsm_sweep::version_ptr;
using ktsm_sweep::vs;
typedef std::vector<ktfs::log_record> records;
typedef std::vector<std::string> names;

const char kUuid[] = "trusted.cloudsync.uuid";
const std::string& kList = ktfssnapcore::ktfssnaputils::sdelfilelist;
const char kRecords1[] = "u1\told.txt\n";
const char kRecords2[] = "u2\tgone.txt\n";
// The volume check's lines for //g: a part unreachable (ENOTCONN), any
// other failure of the check (the sweep's EIO).
const char kUnreachable[] = "file group [//g] part of the volume is unreachable";
const char kCheckFailed[] = "file group [//g] volume check failed";

// Prints the total of the process's sweeps when its tests have run.  The
// snapshot copy runs in one thread, so that its calls come in one order and
// the nth call is the same call on every run.
class sweep_summary : public ::testing::Environment {
 public:
  void SetUp() override { ktfssnapcore::set_copy_workers(1); }
  void TearDown() override {
    std::printf("fault sweep: %llu fault points swept\n",
                static_cast<unsigned long long>(ktsm_sweep::total_points()));
  }
};
::testing::Environment* const g_summary = ::testing::AddGlobalTestEnvironment(new sweep_summary);

// The entries of dir in the volume's order, "." and ".." too.
names raw_listing(library_fixture& lib, const std::string& dir) {
  names out;
  ktfs::file_ptr d = lib.api().opendir(lib.io(), dir.c_str(), kNoAio);
  EXPECT_TRUE(d) << dir;
  while (struct dirent* e = lib.api().readdir(d, kNoAio)) out.push_back(e->d_name);
  lib.api().closedir(d, kNoAio);
  return out;
}

// Starts the library with the live group //g: a file carrying a uuid (with
// a second name), a nested directory tree, a symbolic link, a FIFO and a
// file with holes.
void make_group(library_fixture& lib, vs::set_ptr* set) {
  ASSERT_EQ(lib.init(), 0);
  ASSERT_EQ(vs::create_version_set("//g", *set), 0);
  lib.write_file("/g/a.txt", "alpha");
  lib.set_xattr("/g/a.txt", kUuid, "uuid-a");
  lib.make_dir("/g/dir", 0750);
  lib.write_file("/g/dir/b.txt", "beta");
  lib.make_dir("/g/dir/sub", 0700);
  lib.write_file("/g/dir/sub/c.txt", "gamma");
  ASSERT_FALSE(lib.api().symlink(lib.io(), "a.txt", "/g/link", kNoAio));
  ASSERT_FALSE(lib.api().link(lib.io(), "/g/a.txt", "/g/dir/a2.txt", kNoAio));
  ASSERT_FALSE(lib.api().mknod(lib.io(), "/g/fifo", S_IFIFO | 0640, 0, kNoAio));
  ktfs::file_ptr f = lib.api().open(lib.io(), "/g/sparse", O_WRONLY | O_CREAT, 0644, kNoAio);
  ASSERT_TRUE(f);
  size_t done = 0;
  ASSERT_FALSE(lib.api().write(f, "sparse", 6, 0, &done, kNoAio));
  ASSERT_FALSE(lib.api().truncate(f, 1 << 20, kNoAio));  // a hole after the data
  ASSERT_FALSE(lib.api().close(f, kNoAio));
}

// Checks that dir holds the entries of the live group made by make_group.
void expect_entries(library_fixture& lib, const std::string& dir) {
  EXPECT_EQ(lib.read_file(dir + "/a.txt"), "alpha");
  EXPECT_EQ(ktsm_sweep::xattr(lib, dir + "/a.txt", kUuid), "uuid-a");
  EXPECT_EQ(lib.mode_of(dir + "/dir"), 0750u);
  EXPECT_EQ(lib.read_file(dir + "/dir/b.txt"), "beta");
  EXPECT_EQ(lib.mode_of(dir + "/dir/sub"), 0700u);
  EXPECT_EQ(lib.read_file(dir + "/dir/sub/c.txt"), "gamma");
  EXPECT_EQ(ktsm_sweep::link_target(lib, dir + "/link"), "a.txt");
  struct stat a, a2, fifo, sparse;
  ASSERT_FALSE(lib.api().lstat(lib.io(), (dir + "/a.txt").c_str(), &a, kNoAio));
  ASSERT_FALSE(lib.api().lstat(lib.io(), (dir + "/dir/a2.txt").c_str(), &a2, kNoAio));
  EXPECT_EQ(a2.st_ino, a.st_ino) << "one file, two names";
  ASSERT_FALSE(lib.api().lstat(lib.io(), (dir + "/fifo").c_str(), &fifo, kNoAio));
  EXPECT_EQ(fifo.st_mode, static_cast<mode_t>(S_IFIFO | 0640));
  ASSERT_FALSE(lib.api().lstat(lib.io(), (dir + "/sparse").c_str(), &sparse, kNoAio));
  EXPECT_EQ(sparse.st_size, 1 << 20);
  EXPECT_LT(sparse.st_blocks, 64) << "the hole stays a hole";
}

// Checks that dir holds a whole copy of the live group made by make_group.
void expect_copy(library_fixture& lib, const std::string& dir) {
  expect_entries(lib, dir);
  EXPECT_EQ(lib.mode_of(dir + "/a.txt"), lib.mode_of("/g/a.txt"));
  EXPECT_EQ(lib.read_file(dir + kList), "");
  EXPECT_EQ(lib.entries(dir + "/.snaps"), std::vector<std::string>{".ktsm-deleted-files"})
      << "its own list, never the group's versions";
}

// A set //g with one live file and the snapshot versions named, created
// through the library.
void make_small_group(library_fixture& lib, vs::set_ptr* set, const names& versions,
                      std::vector<version_ptr>* made) {
  ASSERT_EQ(lib.init(), 0);
  ASSERT_EQ(vs::create_version_set("//g", *set), 0);
  lib.write_file("/g/a.txt", "alpha");
  for (const std::string& name : versions) {
    version_ptr v;
    ASSERT_EQ((*set)->create_version(name, v), 0);
    made->push_back(v);
  }
}

// ---- create_version -------------------------------------------------------

class create_version_case : public sweep_case {
 public:
  // by_plan: create_by_plan, whose plan names "v" once it has read the
  // group under the lock (a failed read is as a failed lock: nothing made).
  explicit create_version_case(bool by_plan = false) : m_by_plan(by_plan) {}
  std::string name() const override { return m_by_plan ? "create_by_plan" : "create_version"; }
  void prepare(library_fixture& lib) override {
    make_group(lib, &m_set);
    m_sentinel = access::allocate_version();
    m_out = m_sentinel;
  }
  int32_t run(library_fixture&) override {
    if (!m_by_plan) return m_set->create_version("v", m_out);
    vs::refresh_report report;
    auto plan = [](const std::list<version_ptr>&, const vs::holds_map&) { return "v"; };
    return m_set->create_by_plan(plan, report, m_out);
  }
  size_t count_failures(const records& r) const override {
    return ktsm_sweep::count_texts(
               r, {"file group [v] create failed", "file group [v] setxattr failed",
                   "file group version [v] memory allocation failed",
                   "Snap create operation failed for filegroup_version [v]",
                   "file group version [v] invalid name", "snap dir [//g/.snaps] open failed",
                   "snap dir [//g/.snaps] read failed", "snap dir [//g/.snaps] close failed",
                   kUnreachable, kCheckFailed}) +
           ktsm_sweep::count_lock_failures(r, "//g");
  }
  outcome expect(const fault_point* p) const override {
    step s = p != nullptr ? step_of(*p) : step::none;
    if (s == step::none) return success();
    // The snapshot core logs the path it failed on, once.
    return failure(s == step::copy ? 1 : 0);
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    step s = p != nullptr ? step_of(*p) : step::none;
    ktsm_sweep::expect_lock_line(lib, p, "//g");
    bool made = s != step::locked && s != step::make_dir;
    bool recorded = made && s != step::first_state && s != step::record;
    EXPECT_EQ(ktsm_sweep::xattr(lib, kDir, ktsm_sweep::kCreatedAttribute) != "<none>", recorded)
        << "the creation record is written once the first state is";
    if (!recorded || s == step::link_time) {
      EXPECT_EQ(m_out, m_by_plan ? nullptr : m_sentinel) << "no version before its records exist";
      EXPECT_EQ(ktsm_sweep::names_of(m_set), names{"//g"});
      EXPECT_EQ(lib.exists(kDir), made);
      if (made) {
        bool first = s == step::record || s == step::link_time;
        EXPECT_EQ(lib.raw_state(kDir), first ? state_bytes("1") : "");
      }
      return;
    }
    ASSERT_NE(m_out, m_sentinel);
    ASSERT_TRUE(m_out);
    EXPECT_EQ(access::versions(*m_set).back(), m_out);
    EXPECT_EQ(ktsm_sweep::names_of(m_set), (names{"//g", "v"}));
    EXPECT_EQ(m_out->get_fg_versionset(), m_set);
    EXPECT_EQ(m_out->get_older_version(), access::versions(*m_set).front());
    std::string state = s == step::none ? "2" : "1";
    EXPECT_EQ(m_out->get_state(), state);
    EXPECT_EQ(lib.raw_state(kDir), state_bytes(state));
    if (s != step::copy && s != step::check_before) expect_copy(lib, kDir);
  }
  void complete(library_fixture& lib, const fault_point* p) override {
    step s = p != nullptr ? step_of(*p) : step::none;
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    if (s == step::none) {
      version_ptr v;
      set->get_version("v", v);
      ASSERT_TRUE(v);
      EXPECT_EQ(v->get_state(), vs::SNAP_STATE_ACTIVE);
      return;
    }
    // Whatever was left, with or without its state, is removed by
    // delete_version before the version is made again.
    if (s != step::locked && s != step::make_dir) {
      EXPECT_EQ(set->delete_version("v"), 0);
      EXPECT_FALSE(lib.exists(kDir));
    }
    version_ptr v;
    ASSERT_EQ(set->create_version("v", v), 0);
    EXPECT_EQ(lib.raw_state(kDir), state_bytes("2"));
    expect_copy(lib, kDir);
  }

 private:
  enum class step {
    none,
    locked,
    make_dir,
    first_state,
    record,
    link_time,
    check_before,
    copy,
    check_after,
    final_state
  };
  // The group's checks and lock come first, their release last; the
  // version directory's setxattrs are its first state, its creation
  // record, the time before which files count as unchanged (after an lstat
  // of it), its last state; the volume is checked before and after the
  // copy.
  static step step_of(const fault_point& p) {
    lock_step l = ktsm_sweep::lock_step_of(p, "//g");
    if (l == lock_step::release) return step::none;
    if (l != lock_step::other || p.path == "//g/.snaps") return step::locked;  // or the read
    if (p.kind == "reachable") return p.occurrence() == 1 ? step::check_before : step::check_after;
    if (p.path == "//g/.snaps/v" && p.kind == "mkdir") return step::make_dir;
    if (p.path == "//g/.snaps/v" && p.kind == "lstat" && p.occurrence() == 1) {
      return step::link_time;
    }
    if (p.path == "//g/.snaps/v" && p.kind == "setxattr") {
      size_t i = p.occurrence();
      return i == 1   ? step::first_state
             : i == 2 ? step::record
             : i == 3 ? step::link_time
                      : step::final_state;
    }
    return step::copy;
  }
  const char* const kDir = "/g/.snaps/v";
  const bool m_by_plan;
  vs::set_ptr m_set;
  version_ptr m_sentinel, m_out;
};

// ---- delete_version -----------------------------------------------------------

// Deletes v2 of v1, v2, v3: v2's deleted-file list has records and its
// older version v1 is a snapshot, so the list is merged into v1's.
class delete_version_case : public sweep_case {
 public:
  std::string name() const override { return "delete_version"; }
  void prepare(library_fixture& lib) override {
    std::vector<version_ptr> made;
    make_group(lib, &m_set);
    for (const char* n : {"v1", "v2", "v3"}) {
      version_ptr v;
      ASSERT_EQ(m_set->create_version(n, v), 0);
      made.push_back(v);
    }
    m_v1 = made[0];
    m_v2 = made[1];
    m_v3 = made[2];
    lib.write_file("/g/.snaps/v1" + kList, kRecords1);
    lib.write_file("/g/.snaps/v2" + kList, kRecords2);
  }
  int32_t run(library_fixture&) override { return m_set->delete_version("v2"); }
  size_t count_failures(const records& r) const override {
    size_t single =
        ktsm_sweep::count_texts(
            r, {"file group [v2] setxattr failed", "file group [v2] getxattr failed",
                "Snap delete operation failed for filegroup_version [v2]",
                "file group version [v2]rmdir  failed", "file group version [v2] not found",
                "file group version [v2] is the production version",
                "file group version [v2] is exported", kUnreachable, kCheckFailed}) +
        ktsm_sweep::count_lock_failures(r, "//g");
    // A failed merge is logged twice by design: update_meta_data_file's own
    // line, then delete_version's.  The pair is one failure.
    size_t append = ktsm_sweep::count_prefix(r, "Failed to append delete filelist records from [");
    size_t update = ktsm_sweep::count_prefix(r, "Failed to update metadata file [");
    return single + std::max(append, update);
  }
  outcome expect(const fault_point* p) const override {
    switch (effective(p)) {
      case step::none:
        return success();
      case step::core_check:   // the core's "unavailable" or list line
      case step::merge_read:   // fileappend's read line (of either list)
      case step::merge_write:  // fileappend's append line
      case step::removal:      // rmdir_nonempty's line
        return failure(1);
      case step::unknown:
        ADD_FAILURE() << "unexpected call " << p->call();
        return failure();
      default:
        return failure(0);
    }
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    step s = effective(p);
    ktsm_sweep::expect_lock_line(lib, p, "//g");
    EXPECT_TRUE(lib.exists("/g/.snaps/v1"));
    EXPECT_TRUE(lib.exists("/g/.snaps/v3"));
    EXPECT_EQ(lib.read_file("/g/a.txt"), "alpha");
    std::string list1 = lib.read_file("/g/.snaps/v1" + kList);
    if (s == step::none) {
      EXPECT_FALSE(lib.exists(kDir));
      EXPECT_EQ(ktsm_sweep::names_of(m_set), (names{"//g", "v1", "v3"}));
      EXPECT_FALSE(m_v2->get_older_version()) << "the deleted record lets go of its link";
      EXPECT_EQ(m_v3->get_older_version(), m_v1) << "relinked past the deleted version";
      EXPECT_EQ(list1, std::string(kRecords1) + kRecords2);
      return;
    }
    EXPECT_EQ(ktsm_sweep::names_of(m_set), (names{"//g", "v1", "v2", "v3"}));
    ktsm_sweep::expect_chain(m_set);
    bool merged = s == step::mark_deleted || s == step::removal;
    EXPECT_EQ(list1, merged ? std::string(kRecords1) + kRecords2 : std::string(kRecords1))
        << "the older version's list: records appended once, or untouched";
    bool unmarked =
        s == step::locked || s == step::read_state || s == step::check || s == step::mark_deleting;
    std::string state = unmarked ? "2" : s == step::removal ? "5" : "4";
    EXPECT_EQ(lib.raw_state(kDir), state_bytes(state));
    if (!merged) {
      EXPECT_EQ(lib.read_file(kDir + kList), kRecords2);
    }
  }
  void complete(library_fixture& lib, const fault_point*) override {
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    if (lib.exists(kDir)) {
      EXPECT_EQ(set->delete_version("v2"), 0);
      EXPECT_FALSE(lib.exists(kDir));
    }
    EXPECT_EQ(ktsm_sweep::names_of(set), (names{"//g", "v1", "v3"}));
    ktsm_sweep::expect_chain(set);
    // A merge retried after a fault adds none of the records twice.
    EXPECT_EQ(lib.read_file("/g/.snaps/v1" + kList), std::string(kRecords1) + kRecords2);
    EXPECT_TRUE(lib.exists("/g/.snaps/v1/a.txt"));
    EXPECT_TRUE(lib.exists("/g/.snaps/v3/a.txt"));
  }

 private:
  enum class step {
    none,
    locked,
    read_state,
    check,
    mark_deleting,
    core_check,
    empty_check,
    merge_open,
    merge_size,
    merge_read,
    merge_write,
    merge_close,
    mark_deleted,
    removal,
    unknown
  };
  // The older version's list is opened for the append, then read whole by
  // its path (open, reads, close) before the write.
  static step step_of(const fault_point& p) {
    const std::string v2 = "//g/.snaps/v2", list1 = "//g/.snaps/v1" + kList, list2 = v2 + kList;
    lock_step l = ktsm_sweep::lock_step_of(p, "//g");
    if (l == lock_step::release) return step::none;
    if (l != lock_step::other) return step::locked;
    // The look after the removal: a failed one finds no directory left.
    if (p.kind == "lstat" && p.path == v2 && p.count_before("rmdir " + v2) >= 1) return step::none;
    if (p.count_before("setxattr " + v2) >= 2) return step::removal;
    if (p.kind == "getxattr" && p.path == v2) return step::read_state;
    if (p.kind == "reachable") return step::check;
    if (p.kind == "setxattr" && p.path == v2) {
      return p.occurrence() == 1 ? step::mark_deleting : step::mark_deleted;
    }
    // The version's stat, then the look that finds its list (in its .snaps).
    if ((p.kind == "stat" && p.path == v2) || (p.kind == "lstat" && p.path == v2 + "/.snaps")) {
      return step::core_check;
    }
    if (p.kind == "stat" && p.path == list2) return step::empty_check;
    if (p.kind == "lstat" && p.path == "//g/.snaps/v1/.snaps") return step::merge_open;
    if (p.path == list1) {
      if (p.kind == "open") return p.occurrence() == 1 ? step::merge_open : step::merge_read;
      if (p.kind == "fstat") return step::merge_size;
      if (p.kind == "read") return step::merge_read;
      if (p.kind == "write") return step::merge_write;
      if (p.kind == "close") return p.occurrence() == 1 ? step::merge_read : step::merge_close;
    }
    if (p.path == list2) return step::merge_read;
    return step::unknown;
  }
  // The step whose failure decides the outcome.
  static step effective(const fault_point* p) {
    if (p == nullptr) return step::none;
    step s = step_of(*p);
    // A failed emptiness check reads as "not empty", which the list is: the
    // merge runs as it would have.  A failed close of the older version's
    // list is not reported: its records were written.  Both succeed unless
    // the calls after them fail too.
    if (s == step::empty_check) return p->persistent ? step::merge_open : step::none;
    if (s == step::merge_close) return p->persistent ? step::mark_deleted : step::none;
    return s;
  }
  const std::string kDir = "/g/.snaps/v2";
  vs::set_ptr m_set;
  version_ptr m_v1, m_v2, m_v3;
};

// ---- create_version_set and delete_version_set ------------------------------

// Creates the set of a group: a new one, one whose directory holds a file
// but no ".snaps", or one whose ".snaps" holds a version v and the lock file
// an earlier change left; that group's versions are taken in as start-up
// takes them, under the group's lock.
class create_set_case : public sweep_case {
 public:
  enum class start { fresh, bare, versions };
  create_set_case(const std::string& name, start s) : m_name(name), m_start(s) {}
  const std::string& group() const { return m_name; }
  std::string name() const override {
    const char* what[] = {"a new group", "an existing group", "a group with versions"};
    return std::string("create_version_set of ") + what[static_cast<int>(m_start)];
  }
  void prepare(library_fixture& lib) override {
    ASSERT_EQ(lib.init(), 0);
    vs::set_ptr other;
    ASSERT_EQ(vs::create_version_set("//k", other), 0);
    if (m_start == start::bare) {
      lib.make_dir(m_name);
      lib.write_file(m_name + "/keep", "k");
    }
    if (m_start == start::versions) {
      lib.make_dir(m_name);
      lib.make_dir(snaps());
      lib.make_dir(snaps() + "/v", 0);
      lib.put_state(snaps() + "/v", "2");
      lib.write_file(snaps() + "/.ktsm-lock", "");
      m_listing = raw_listing(lib, snaps());
    }
    m_out.reset();
  }
  int32_t run(library_fixture&) override { return vs::create_version_set(m_name, m_out); }
  size_t count_failures(const records& r) const override {
    std::string dir = "snap dir [" + snaps() + "] ";
    return ktsm_sweep::count_texts(
               r, {"file group dir [" + m_name + "] create failed", dir + "create failed",
                   dir + "open failed", dir + "stat failed", dir + "close failed",
                   dir + "getattr failed", "memory allocation failure"}) +
           ktsm_sweep::count_lock_failures(r, m_name);
  }
  outcome expect(const fault_point* p) const override {
    if (p == nullptr) return success();
    if (p->kind == "lstat") {
      // A failed lstat reads as "missing": the mkdir that follows makes the
      // directory when it is really missing, and fails when it is there.
      bool there = m_start == start::versions || (m_start == start::bare && p->path == m_name);
      return there || p->persistent ? failure() : success();
    }
    if (ktsm_sweep::lock_step_of(*p, m_name) == lock_step::release) return success();
    // Taking v in: a failed state read leaves its state empty after one
    // line; failed reads of its record or time only order it.  The listing
    // is closed after them: a fault that persists fails its close too.  A
    // failed read of the second listing ends it as its end does.
    if (p->path == snaps() + "/v") {
      bool state = p->kind == "getxattrat" && p->occurrence() == 1;
      if (p->persistent) return outcome{1, state ? 2u : 1u, 0};
      return state ? outcome{0, 1, 0} : success();
    }
    if (p->kind == "readdir" && second_listing(*p)) {
      // A persisting fault fails the state read of a v listed before it.
      return p->persistent ? outcome{1, listed(p) ? 2u : 1u, 0} : success();
    }
    return failure();
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    outcome want = expect(p);
    if (want.status == 0) {
      ASSERT_TRUE(m_out);
      EXPECT_EQ(m_out->get_name(), m_name);
      names versions{m_name};
      if (m_start == start::versions && listed(p)) versions.push_back("v");
      EXPECT_EQ(ktsm_sweep::names_of(m_out), versions);
      ktsm_sweep::expect_chain(m_out);
      if (versions.size() == 2) {
        EXPECT_EQ(access::versions(*m_out).back()->get_state(), want.failures == 0 ? "2" : "");
      }
      names both{m_name, "//k"};
      std::sort(both.begin(), both.end());
      EXPECT_EQ(ktsm_sweep::registry_names(), both);
      EXPECT_TRUE(ktsm_sweep::is_dir(lib, snaps()));
    } else {
      EXPECT_FALSE(m_out);
      EXPECT_EQ(ktsm_sweep::registry_names(), names{"//k"});
      if (p->kind != "lstat") ktsm_sweep::expect_lock_line(lib, p, m_name);
      // Each directory is made unless its lstat or mkdir failed; nothing
      // made is taken back.
      bool made_before = p->kind != "lstat" && p->kind != "mkdir";
      EXPECT_EQ(ktsm_sweep::is_dir(lib, snaps()), m_start == start::versions || made_before);
      EXPECT_EQ(ktsm_sweep::is_dir(lib, m_name),
                m_start != start::fresh || made_before || p->path != m_name);
    }
    if (m_start == start::bare) {
      EXPECT_EQ(lib.read_file(m_name + "/keep"), "k");
    }
    if (m_start == start::versions) {
      EXPECT_EQ(lib.raw_state(snaps() + "/v"), state_bytes("2"));
    }
  }
  void complete(library_fixture& lib, const fault_point*) override {
    vs::set_ptr set = ktsm_sweep::registered(m_name);
    if (!set) {
      ASSERT_EQ(vs::create_version_set(m_name, set), 0);
      ktsm_sweep::restart_and_check(lib);
    }
    set = ktsm_sweep::registered(m_name);
    ASSERT_TRUE(set);
    EXPECT_EQ(ktsm_sweep::names_of(set).size(), m_start == start::versions ? 2u : 1u);
    EXPECT_TRUE(ktsm_sweep::is_dir(lib, snaps()));
  }

 private:
  std::string snaps() const { return m_name + "/.snaps"; }
  // The second listing of ".snaps" is start-up's, under the lock.
  bool second_listing(const fault_point& p) const {
    return p.count_before("opendir " + snaps()) == 2;
  }
  // Whether v is in the second listing: no readdir failed at or before it.
  bool listed(const fault_point* p) const {
    if (p == nullptr || p->kind != "readdir" || !second_listing(*p)) return true;
    size_t read = p->count_before("readdir " + snaps()) - (m_listing.size() + 1);
    return std::find(m_listing.begin(), m_listing.end(), "v") - m_listing.begin() <
           static_cast<std::ptrdiff_t>(read);
  }
  std::string m_name;
  start m_start;
  names m_listing;  // the raw listing of ".snaps", with "." and ".."
  vs::set_ptr m_out;
};

// Deletes //e; holding_file: //e holds a file besides ".snaps", so the
// deletion is refused and nothing is removed.
class delete_set_case : public sweep_case {
 public:
  explicit delete_set_case(bool holding_file) : m_holding_file(holding_file) {}
  std::string name() const override {
    return std::string("delete_version_set of ") + (m_holding_file ? "a non-empty" : "an empty") +
           " group";
  }
  void prepare(library_fixture& lib) override {
    ASSERT_EQ(lib.init(), 0);
    vs::set_ptr e, k;
    ASSERT_EQ(vs::create_version_set("//e", e), 0);
    ASSERT_EQ(vs::create_version_set("//k", k), 0);
    if (m_holding_file) lib.write_file("/e/keep", "k");
  }
  int32_t run(library_fixture&) override { return vs::delete_version_set("//e"); }
  size_t count_failures(const records& r) const override {
    return ktsm_sweep::count_texts(
               r, {"snap dir [//e/.snaps] remove failed", "file group [//e] remove failed",
                   "file group [//e] not empty", "file group [//e] volume check failed"}) +
           ktsm_sweep::count_lock_failures(r, "//e");
  }
  outcome expect(const fault_point* p) const override {
    // A group holding a file is refused.  A failed look (lstat or stat
    // other than "missing", a failed listing) cannot tell what a directory
    // holds, nor whether ".snaps" and its lock are there: the deletion fails
    // rather than remove it unlocked.
    if (m_holding_file) return failure();
    if (p == nullptr || ktsm_sweep::lock_step_of(*p, "//e") == lock_step::release) return success();
    return failure();
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    if (expect(p).status == 0) {
      EXPECT_FALSE(lib.exists("/e"));
      EXPECT_EQ(ktsm_sweep::registry_names(), names{"//k"});
      return;
    }
    EXPECT_EQ(ktsm_sweep::registry_names(), (names{"//e", "//k"})) << "the set stays registered";
    if (p != nullptr && p->kind != "lstat") ktsm_sweep::expect_lock_line(lib, p, "//e");
    EXPECT_TRUE(ktsm_sweep::is_dir(lib, "/e"));
    // Everything is checked before the first removal: only a failed
    // removal of the group itself leaves ".snaps" removed.
    EXPECT_EQ(lib.exists("/e/.snaps"), p == nullptr || p->call() != "rmdir //e");
    EXPECT_EQ(lib.exists("/e/keep"), m_holding_file);
  }
  void complete(library_fixture& lib, const fault_point*) override {
    if (m_holding_file) {
      ASSERT_FALSE(lib.api().unlink(lib.io(), "/e/keep", kNoAio));
    }
    EXPECT_EQ(vs::delete_version_set("//e"), 0);
    EXPECT_FALSE(lib.exists("/e"));
    EXPECT_EQ(ktsm_sweep::registry_names(), names{"//k"});
  }

 private:
  bool m_holding_file;
};

// ---- set_previous_version -----------------------------------------------------

class set_previous_case : public sweep_case {
 public:
  std::string name() const override { return "set_previous_version"; }
  void prepare(library_fixture& lib) override {
    std::vector<version_ptr> made;
    make_small_group(lib, &m_set, {"v1", "v2"}, &made);
    if (made.size() == 2) {
      m_v1 = made[0];
      m_v2 = made[1];
    }
  }
  int32_t run(library_fixture&) override { return m_set->set_previous_version("v2"); }
  size_t count_failures(const records& r) const override {
    return ktsm_sweep::count_texts(r, {"file group version [v2] not found"});
  }
  outcome expect(const fault_point* p) const override {
    if (p != nullptr) ADD_FAILURE() << "set_previous_version made the call " << p->call();
    return success();
  }
  void check_left(library_fixture&, const fault_point*) override {
    EXPECT_EQ(m_v2->get_older_version(), m_v1);
  }
  void complete(library_fixture&, const fault_point*) override {
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->set_previous_version("v2"), 0);
  }

 private:
  vs::set_ptr m_set;
  version_ptr m_v1, m_v2;
};

// ---- export_version and unexport_version ------------------------------------

// The steps of export and unexport: the group's checks, lock and volume
// check, the directory's stat, the state read, the first state write and
// the volume check after it, the second (after the export command) and its
// check.  The lock's release comes last.
enum class mark_step {
  none,
  locked,
  stat,
  read,
  first_write,
  first_check,
  second_write,
  second_check
};

mark_step mark_step_of(const fault_point* p) {
  if (p == nullptr) return mark_step::none;
  lock_step l = ktsm_sweep::lock_step_of(*p, "//g");
  if (l == lock_step::release) return mark_step::none;
  if (l != lock_step::other) return mark_step::locked;
  if (p->kind == "stat") return mark_step::stat;
  if (p->kind == "getxattr") return mark_step::read;
  if (p->kind == "reachable") {
    const mark_step checks[] = {mark_step::locked, mark_step::first_check, mark_step::second_check};
    return checks[std::min<size_t>(p->occurrence(), 3) - 1];
  }
  return p->occurrence() == 1 ? mark_step::first_write : mark_step::second_write;
}

class export_case : public sweep_case {
 public:
  // production: the production version //g rather than the snapshot v1.
  explicit export_case(bool production)
      : m_name(production ? "//g" : "v1"),
        m_dir(production ? "/g" : "/g/.snaps/v1"),
        m_production(production) {}
  std::string name() const override {
    return std::string("export_version of ") +
           (m_production ? "the production version" : "a snapshot");
  }
  void prepare(library_fixture& lib) override {
    std::vector<version_ptr> made;
    make_small_group(lib, &m_set, {"v1"}, &made);
    m_set->get_version(m_name, m_version);
  }
  int32_t run(library_fixture&) override { return m_set->export_version(m_name); }
  size_t count_failures(const records& r) const override {
    return ktsm_sweep::count_texts(r, {"version not found [" + m_name + "]",
                                       "file group version dir [" + m_name + "] stat failed",
                                       "file group [" + m_name + "] setxattr failed",
                                       "file group [" + m_dir + "] storhaug export dir failed",
                                       "version [2] not failed", kUnreachable, kCheckFailed}) +
           ktsm_sweep::count_lock_failures(r, "//g");
  }
  outcome expect(const fault_point* p) const override {
    return mark_step_of(p) == mark_step::none ? success() : failure();
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    mark_step s = mark_step_of(p);
    ktsm_sweep::expect_lock_line(lib, p, "//g");
    std::string before = m_production ? "" : "2";
    ASSERT_TRUE(m_version);
    if (s == mark_step::none) {
      EXPECT_EQ(lib.raw_state(m_dir), state_bytes("8"));
      EXPECT_EQ(m_version->get_state(), "8");
      EXPECT_EQ(lib.export_blocks(), 1u);
      return;
    }
    EXPECT_EQ(m_version->get_state(), before) << "the record changes only on success";
    // A failed check after a write puts back the state that write replaced
    // (active for the production version, which had none), unless the
    // fault persists and fails that write too.
    bool ran = s >= mark_step::second_write;
    std::string left = before;
    if (s == mark_step::first_check) left = p->persistent ? "7" : "2";
    if (s == mark_step::second_write) left = "7";
    if (s == mark_step::second_check) left = p->persistent ? "8" : "7";
    EXPECT_EQ(lib.raw_state(m_dir), left.empty() ? "" : state_bytes(left));
    EXPECT_EQ(lib.export_blocks(), ran ? 1u : 0u) << "the command ran";
  }
  void complete(library_fixture& lib, const fault_point*) override {
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    std::string state = ktsm_sweep::state_text(lib.raw_state(m_dir));
    if (state == "8") {
      EXPECT_EQ(set->unexport_version(m_name), 0);
      EXPECT_EQ(lib.raw_state(m_dir), state_bytes("2"));
      EXPECT_EQ(lib.export_blocks(), 0u);
      return;
    }
    // An interrupted export ("7") is run again: the command is idempotent.
    EXPECT_EQ(set->export_version(m_name), 0);
    EXPECT_EQ(lib.raw_state(m_dir), state_bytes("8"));
    EXPECT_EQ(lib.export_blocks(), 1u);
  }

 private:
  std::string m_name, m_dir;
  bool m_production;
  vs::set_ptr m_set;
  version_ptr m_version;
};

class unexport_case : public sweep_case {
 public:
  explicit unexport_case(bool exported) : m_exported(exported) {}
  std::string name() const override {
    return std::string("unexport_version of ") + (m_exported ? "an exported" : "a not exported") +
           " version";
  }
  void prepare(library_fixture& lib) override {
    std::vector<version_ptr> made;
    make_small_group(lib, &m_set, {"v1"}, &made);
    ASSERT_EQ(made.size(), 1u);
    m_v1 = made[0];
    if (m_exported) {
      ASSERT_EQ(m_set->export_version("v1"), 0);
    }
  }
  int32_t run(library_fixture&) override { return m_set->unexport_version("v1"); }
  size_t count_failures(const records& r) const override {
    return ktsm_sweep::count_texts(
               r, {"version not found [v1]", "file group version dir [v1] stat failed",
                   "file group [v1] setxattr failed", kUnreachable, kCheckFailed}) +
           ktsm_sweep::count_lock_failures(r, "//g");
  }
  outcome expect(const fault_point* p) const override {
    // Unexport of a version that is not exported answers 0, unchanged.
    return mark_step_of(p) == mark_step::none ? success() : failure();
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    mark_step s = mark_step_of(p);
    ktsm_sweep::expect_lock_line(lib, p, "//g");
    std::string start = m_exported ? "8" : "2";
    // The export command withdraws the block before the second write.
    bool withdrawn = s == mark_step::none || s >= mark_step::second_write;
    EXPECT_EQ(lib.export_blocks(), m_exported && !withdrawn ? 1u : 0u);
    if (s == mark_step::none) {
      EXPECT_EQ(lib.raw_state(kDir), state_bytes("2"));
      EXPECT_EQ(m_v1->get_state(), "2");
      EXPECT_EQ(lib.capture().count("version [2] not exported"), m_exported ? 0u : 1u);
      return;
    }
    EXPECT_EQ(m_v1->get_state(), start);
    std::string left = start;  // as in export_case
    if (s == mark_step::first_check) left = p->persistent ? "10" : start;
    if (s == mark_step::second_write) left = "10";
    if (s == mark_step::second_check) left = p->persistent ? "2" : "10";
    EXPECT_EQ(lib.raw_state(kDir), state_bytes(left));
  }
  void complete(library_fixture& lib, const fault_point*) override {
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    // An interrupted unexport ("10") is withdrawn again like an export.
    EXPECT_EQ(set->unexport_version("v1"), 0);
    EXPECT_EQ(lib.raw_state(kDir), state_bytes("2"));
    EXPECT_EQ(lib.export_blocks(), 0u);
    EXPECT_EQ(set->export_version("v1"), 0) << "the version is usable again";
  }

 private:
  const std::string kDir = "/g/.snaps/v1";
  bool m_exported;
  vs::set_ptr m_set;
  version_ptr m_v1;
};

// ---- hold_version and release_version -------------------------------------------

// Puts the hold "t" on v1, or takes it off a v1 that carries it.
class hold_case : public sweep_case {
 public:
  explicit hold_case(bool release) : m_release(release) {}
  std::string name() const override { return m_release ? "release_version" : "hold_version"; }
  void prepare(library_fixture& lib) override {
    std::vector<version_ptr> made;
    make_small_group(lib, &m_set, {"v1"}, &made);
    if (m_release) {
      ASSERT_EQ(m_set->hold_version("v1", "t"), 0);
    }
  }
  int32_t run(library_fixture&) override {
    return m_release ? m_set->release_version("v1", "t") : m_set->hold_version("v1", "t");
  }
  size_t count_failures(const records& r) const override {
    return ktsm_sweep::count_texts(
               r, {"file group [v1] getxattr failed", "file group [v1] setxattr failed",
                   kUnreachable, kCheckFailed}) +
           ktsm_sweep::count_lock_failures(r, "//g");
  }
  outcome expect(const fault_point* p) const override { return changed(p) ? success() : failure(); }
  void check_left(library_fixture& lib, const fault_point* p) override {
    ktsm_sweep::expect_lock_line(lib, p, "//g");
    bool held = written(p) != m_release;
    EXPECT_EQ(holds(m_set), held ? names{"t"} : names{}) << "a failure changes nothing";
  }
  void complete(library_fixture&, const fault_point*) override {
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    if (holds(set).empty()) {
      EXPECT_EQ(set->hold_version("v1", "t"), 0);
    }
    // Every host sees the hold: the library itself refuses to delete.
    EXPECT_EQ(set->delete_version("v1"), 1);
    EXPECT_EQ(ktsm_sweep::names_of(set), (names{"//g", "v1"}));
    EXPECT_EQ(set->release_version("v1", "t"), 0);
    EXPECT_EQ(set->delete_version("v1"), 0);
  }

 private:
  // Whether the call succeeded: no fault, or only the lock's release failed.
  static bool changed(const fault_point* p) {
    return p == nullptr || ktsm_sweep::lock_step_of(*p, "//g") == lock_step::release;
  }
  // Whether the holds were left changed: on success, and when the volume
  // check after the write fails with a fault that fails its undo too.
  static bool written(const fault_point* p) {
    return changed(p) || (p->persistent && p->kind == "reachable" && p->occurrence() == 2);
  }
  static names holds(const vs::set_ptr& set) {
    names tags;
    EXPECT_EQ(set->get_holds("v1", tags), 0);
    return tags;
  }
  bool m_release;
  vs::set_ptr m_set;
};

// Reads the holds of v1 (held "t") and v2 (not held) in one pass: any
// failing call fails the read with its one message and an empty picture.
class all_holds_case : public sweep_case {
 public:
  std::string name() const override { return "get_all_holds"; }
  void prepare(library_fixture& lib) override {
    std::vector<version_ptr> made;
    make_small_group(lib, &m_set, {"v1", "v2"}, &made);
    ASSERT_EQ(m_set->hold_version("v1", "t"), 0);
  }
  int32_t run(library_fixture&) override { return m_set->get_all_holds(m_holds); }
  size_t count_failures(const records& r) const override {
    return static_cast<size_t>(std::count_if(r.begin(), r.end(), [](const ktfs::log_record& x) {
      return x.function.find("get_all_holds_internal") != std::string::npos;
    }));
  }
  outcome expect(const fault_point* p) const override { return p ? failure() : success(); }
  void check_left(library_fixture&, const fault_point* p) override {
    typedef std::map<std::string, names> picture;
    EXPECT_EQ(m_holds, p ? picture{} : (picture{{"v1", {"t"}}, {"v2", {}}}));
    names tags;
    EXPECT_EQ(m_set->get_holds("v1", tags), 0);
    EXPECT_EQ(tags, names{"t"}) << "reading changes nothing";
  }
  void complete(library_fixture&, const fault_point*) override {
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    std::map<std::string, names> again;
    EXPECT_EQ(set->get_all_holds(again), 0);
    EXPECT_EQ(again["v1"], names{"t"});
  }

 private:
  vs::set_ptr m_set;
  std::map<std::string, names> m_holds;
};

// ---- refresh_versions and delete_by_plan ------------------------------------------

// //g as this process's set made it (v0 to v3, v2 held "t"), then changed by
// another set object of the group as another process would change it: v0
// deleted, v1 exported, v4 made.  refresh_versions reads the group back;
// delete_by_plan also deletes v3, which its plan names, under the same lock.
class plan_case : public sweep_case {
 public:
  explicit plan_case(bool deleting) : m_deleting(deleting) {}
  std::string name() const override { return m_deleting ? "delete_by_plan" : "refresh_versions"; }
  void prepare(library_fixture& lib) override {
    std::vector<version_ptr> made;
    make_small_group(lib, &m_set, {"v0", "v1", "v2", "v3"}, &made);
    ASSERT_EQ(m_set->hold_version("v2", "t"), 0);
    vs::set_ptr other = access::allocate_set();
    bool incomplete = false;
    ASSERT_EQ(ktsm_internal::recover_set("//g", other, &incomplete), 0);
    version_ptr v4;
    EXPECT_EQ(other->delete_version("v0"), 0);
    EXPECT_EQ(other->export_version("v1"), 0);
    EXPECT_EQ(other->create_version("v4", v4), 0);
    other->cleanup();
    m_before = access::versions(*m_set);
    m_picture.clear();
    m_holds.clear();
    m_report = vs::plan_report();
  }
  int32_t run(library_fixture&) override {
    if (!m_deleting) return m_set->refresh_versions(m_holds, m_report.refreshed);
    auto plan = [this](const std::list<version_ptr>& versions, const vs::holds_map& holds) {
      m_picture = picture(versions, holds);
      return names{"v3"};
    };
    return m_set->delete_by_plan(plan, m_report);
  }
  size_t count_failures(const records& r) const override {
    // Every line of the two calls is a failure; so is each of a deletion's
    // but its progress line (a failed merge's pair counts once).
    return static_cast<size_t>(std::count_if(r.begin(), r.end(), [](const ktfs::log_record& x) {
      return x.function == ktsm_internal::FN_REFRESH ||
             x.function == ktsm_internal::FN_DELETE_BY_PLAN ||
             (x.function == ktsm_internal::FN_DELETE_VERSION &&
              x.text.rfind("deleting file group version", 0) != 0);
    }));
  }
  outcome expect(const fault_point* p) const override {
    if (p == nullptr || ktsm_sweep::lock_step_of(*p, "//g") == lock_step::release) {
      return success();
    }
    if (reading(*p)) {
      // A creation record that cannot be read orders its version by its
      // directory's time, as start-up does.
      bool record = p->kind == "getxattrat" && p->occurrence() == 2;
      return record && !p->persistent ? success() : failure();
    }
    // Deleting v3, as delete_version's sweep finds: the core logs its own
    // line for its checks (the version, its list) and the removal; an emptiness check that fails
    // merges the (empty) list all the same; a failed look after the removal finds nothing left.
    if (p->call() == "lstat " + kV3 && p->count_before("rmdir " + kV3) >= 1) return success();
    if (p->count_before("setxattr " + kV3) >= 2 || p->call() == "stat " + kV3 ||
        p->call() == "lstat " + kV3 + "/.snaps") {
      return failure(1);
    }
    if (p->call() == "stat " + kV3 + kList) return p->persistent ? failure() : success();
    return failure();
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    ktsm_sweep::expect_lock_line(lib, p, "//g");
    bool read = p == nullptr || !reading(*p) || expect(p).status == 0;
    if (!read) {
      EXPECT_EQ(access::versions(*m_set), m_before) << "a failed read changes nothing";
      EXPECT_TRUE(m_picture.empty() && m_holds.empty() && m_report.refreshed.vanished.empty());
      EXPECT_EQ(lib.raw_state("/g/.snaps/v3"), state_bytes("2"));
      return;
    }
    names seen = m_deleting ? m_picture : picture(access::versions(*m_set), m_holds);
    EXPECT_EQ(seen, (names{"v1 8 -", "v2 2 t", "v3 2 -", "v4 2 -"}));
    EXPECT_EQ(m_report.refreshed.vanished, names{"v0"});
    EXPECT_EQ(m_report.refreshed.appeared, names{"v4"});
    ASSERT_EQ(m_report.refreshed.changed.size(), 1u);
    EXPECT_EQ(m_report.refreshed.changed[0].name + " " + m_report.refreshed.changed[0].was, "v1 2");
    bool deleted = m_deleting && expect(p).status == 0;
    EXPECT_EQ(m_report.deleted, deleted ? names{"v3"} : names{});
    EXPECT_EQ(m_report.failed, m_deleting && !deleted ? names{"v3"} : names{});
    EXPECT_EQ(lib.exists("/g/.snaps/v3"), !deleted);
    names left = ktsm_sweep::names_of(m_set);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left,
              deleted ? (names{"//g", "v1", "v2", "v4"}) : (names{"//g", "v1", "v2", "v3", "v4"}));
    ktsm_sweep::expect_chain(m_set);
  }
  void complete(library_fixture& lib, const fault_point*) override {
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    if (lib.exists("/g/.snaps/v3")) {
      EXPECT_EQ(set->delete_version("v3"), 0);
    }
    // A set just rebuilt agrees with the volume: nothing to report.
    vs::holds_map holds;
    vs::refresh_report report;
    EXPECT_EQ(set->refresh_versions(holds, report), 0);
    EXPECT_TRUE(report.vanished.empty() && report.appeared.empty() && report.changed.empty());
    EXPECT_EQ(holds["v2"], names{"t"});
  }

 private:
  // "name state holds" of every snapshot version, sorted (a version whose
  // creation record could not be read stands elsewhere in the list).
  static names picture(const std::list<version_ptr>& versions, const vs::holds_map& holds) {
    names out;
    for (const version_ptr& v : versions) {
      if (v->is_production_version()) continue;
      auto h = holds.find(v->get_name());
      std::string tags = h == holds.end() || h->second.empty() ? "-" : h->second.front();
      out.push_back(v->get_name() + " " + v->get_state() + " " + tags);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  // Whether the failing call reads the group: its checks, its lock, the
  // listing of ".snaps" up to its closedir.
  static bool reading(const fault_point& p) { return p.count_before("closedir //g/.snaps") == 0; }
  const std::string kV3 = "//g/.snaps/v3";
  bool m_deleting;
  vs::set_ptr m_set;
  std::list<version_ptr> m_before;
  names m_picture;
  vs::holds_map m_holds;
  vs::plan_report m_report;
};

// Reads the identity of d/b.txt in v1: the version's directories, the
// directory d on the way, the file's own attribute.
class identity_case : public sweep_case {
 public:
  std::string name() const override { return "file_identity"; }
  void prepare(library_fixture& lib) override {
    ASSERT_EQ(lib.init(), 0);
    vs::set_ptr set;
    ASSERT_EQ(vs::create_version_set("//g", set), 0);
    lib.make_dir("/g/d", 0755);
    lib.write_file("/g/d/b.txt", "beta");
    lib.set_xattr("/g/d/b.txt", kUuid, "uuid-b");
    ASSERT_EQ(set->create_version("v1", m_v1), 0);
    m_uuid = "left over";
  }
  int32_t run(library_fixture&) override { return m_v1->file_identity("d/b.txt", m_uuid) ? 1 : 0; }
  size_t count_failures(const records& r) const override {
    return static_cast<size_t>(std::count_if(r.begin(), r.end(), [](const ktfs::log_record& x) {
      return x.function == ktsm_internal::FN_FILE_IDENTITY;
    }));
  }
  outcome expect(const fault_point* p) const override { return p ? failure() : success(); }
  void check_left(library_fixture& lib, const fault_point* p) override {
    EXPECT_EQ(m_uuid, p ? "" : "uuid-b");
    if (p == nullptr) return;
    // The version's own directories are checked as every operation checks
    // them; d and the file fail the read.
    bool own = p->kind == "lstat" && p->path != "//g/.snaps/v1/d";
    EXPECT_EQ(lib.texts(), names{own ? "path [" + p->path + "] is not a directory"
                                     : "file name  [//g/.snaps/v1/d/b.txt] getattr uuid failed"});
  }
  void complete(library_fixture&, const fault_point*) override {
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    version_ptr v1;
    set->get_version("v1", v1);
    ASSERT_TRUE(v1);
    std::string uuid;
    EXPECT_FALSE(v1->file_identity("d/b.txt", uuid));
    EXPECT_EQ(uuid, "uuid-b");
  }

 private:
  version_ptr m_v1;
  std::string m_uuid;
};

// ---- restore_paths ----------------------------------------------------------------

// Restores every entry of the version v in place, after the live a.txt (and
// so its second name) was rewritten and the FIFO removed: each live entry is
// removed, then copied back from v.
class restore_case : public sweep_case {
 public:
  std::string name() const override { return "restore_paths"; }
  void prepare(library_fixture& lib) override {
    make_group(lib, &m_set);
    version_ptr v;
    ASSERT_EQ(m_set->create_version("v", v), 0);
    lib.write_file("/g/a.txt", "changed");
    ASSERT_FALSE(lib.api().unlink(lib.io(), "/g/fifo", kNoAio));
  }
  int32_t run(library_fixture&) override { return m_set->restore_paths("v", {}, ""); }
  size_t count_failures(const records& r) const override {
    // Every line of the restore but its first, progress line, checks and
    // lock included, is a failure.
    return static_cast<size_t>(std::count_if(r.begin(), r.end(), [](const ktfs::log_record& x) {
      return x.function.find("restore_paths_internal") != std::string::npos &&
             x.text.rfind("restoring from", 0) != 0;
    }));
  }
  outcome expect(const fault_point* p) const override {
    if (p == nullptr || ktsm_sweep::lock_step_of(*p, "//g") == lock_step::release) {
      return success();
    }
    // The removal and the copy log their own error too; the checks, the
    // volume's included, and the restore's record do not.
    return failure(changing(*p) && p->kind != "reachable" && !record_write(*p) ? 1 : 0);
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    ktsm_sweep::expect_lock_line(lib, p, "//g");
    expect_entries(lib, kVersion);  // the version is only read
    // Once recorded, a restore that did not finish stays on the volume.
    std::string version, safety;
    std::vector<std::string> paths;
    EXPECT_EQ(m_set->partial_restore(version, safety, paths), 0);
    // (written once before the first change, and again, emptied, at the end)
    bool recorded = p != nullptr && p->count_before("setxattr //g/.snaps") == 1;
    EXPECT_EQ(version, recorded ? "v" : "");
    EXPECT_EQ(safety, "");
    std::vector<std::string> top;
    for (const std::string& e : lib.entries(kVersion)) {
      if (recorded && e != ".snaps") top.push_back(e);  // the version's own list is in there
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, top);
    if (p == nullptr || ktsm_sweep::lock_step_of(*p, "//g") == lock_step::release) {
      expect_entries(lib, "/g");
    } else if (!changing(*p)) {
      EXPECT_EQ(lib.read_file("/g/a.txt"), "changed") << "a failed check changes nothing";
      EXPECT_FALSE(lib.exists("/g/fifo"));
    }
  }
  void complete(library_fixture& lib, const fault_point*) override {
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->restore_paths("v", {}, ""), 0) << "a restore can always be run again";
    expect_entries(lib, "/g");
    expect_copy(lib, kVersion);
  }

 private:
  // Whether the failing call comes after the checks: a change was made
  // before it (besides the lock file's), or it is the second look at a
  // live entry (the removal's), or a call the checks never make.
  static bool changing(const fault_point& p) {
    static const std::set<std::string> kChanges = {"unlink",  "rmdir", "mkdir", "open",
                                                   "symlink", "mknod", "link"};
    for (size_t i = 0; i + 1 < p.calls.size(); ++i) {
      std::string kind = p.calls[i].substr(0, p.calls[i].find(' '));
      if (kChanges.count(kind) && p.calls[i].find(".ktsm-lock") == std::string::npos) return true;
    }
    bool in_version = p.path.compare(0, 10, "//g/.snaps") == 0;
    if (p.kind == "lstat") return !in_version && p.path != "//g" && p.occurrence() >= 2;
    return p.kind != "getxattr" && p.kind != "opendir" && p.kind != "readdir" &&
           p.kind != "closedir" && p.kind != "reachable" && !record_write(p) &&
           ktsm_sweep::lock_step_of(p, "//g") == lock_step::other;
  }
  static bool record_write(const fault_point& p) {
    return p.kind == "setxattr" && p.path == "//g/.snaps";
  }
  const std::string kVersion = "/g/.snaps/v";
  vs::set_ptr m_set;
};

// ---- update_meta_data_file ------------------------------------------------------

// Appends v2's deleted-file list to v1's, which has records already.
class update_meta_case : public sweep_case {
 public:
  std::string name() const override { return "update_meta_data_file"; }
  void prepare(library_fixture& lib) override {
    std::vector<version_ptr> made;
    make_small_group(lib, &m_set, {"v1", "v2"}, &made);
    ASSERT_EQ(made.size(), 2u);
    m_v1 = made[0];
    lib.write_file("/g/.snaps/v1" + kList, kRecords1);
    lib.write_file("/g/.snaps/v2" + kList, kRecords2);
  }
  int32_t run(library_fixture&) override { return m_v1->update_meta_data_file(kSource) ? 1 : 0; }
  size_t count_failures(const records& r) const override {
    return ktsm_sweep::count_prefix(r, "Failed to append delete filelist records from [");
  }
  outcome expect(const fault_point* p) const override {
    if (p == nullptr) return success();
    // The target is opened for the append (and its size read), then read
    // whole by its path before the write: its second open, its reads and its
    // first close are that read.
    bool target_read = p->kind == "read" || (p->kind == "open" && p->occurrence() == 2) ||
                       (p->kind == "close" && p->occurrence() == 1);
    if (p->path == kSource || target_read) return failure(1);  // fileappend's read line
    if (p->kind == "write") return failure(1);                 // fileappend's append line
    // A failed last close of the target is not reported: its records were
    // written.
    if (p->kind == "close") return success();
    return failure();
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    bool appended = expect(p).status == 0;
    EXPECT_EQ(lib.read_file("/g/.snaps/v1" + kList),
              appended ? std::string(kRecords1) + kRecords2 : std::string(kRecords1));
    EXPECT_EQ(lib.read_file("/g/.snaps/v2" + kList), kRecords2);
  }
  void complete(library_fixture& lib, const fault_point* p) override {
    if (expect(p).status == 0) return;
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    version_ptr v1;
    set->get_version("v1", v1);
    ASSERT_TRUE(v1);
    EXPECT_FALSE(v1->update_meta_data_file(kSource));
    EXPECT_EQ(lib.read_file("/g/.snaps/v1" + kList), std::string(kRecords1) + kRecords2);
  }

 private:
  const std::string kSource = "//g/.snaps/v2" + kList;
  vs::set_ptr m_set;
  version_ptr m_v1;
};

// ---- the snapshot core's copy ---------------------------------------------------

// snap_opcreate of //g into //g/.snaps/c, made beforehand in state "1" as
// create_version makes it.
class snap_copy_case : public sweep_case {
 public:
  std::string name() const override { return "snap_opcreate"; }
  void prepare(library_fixture& lib) override {
    make_group(lib, &m_set);
    lib.make_dir(kDir, 0);
    lib.put_state(kDir, "1");
  }
  int32_t run(library_fixture&) override { return copy_into("//g/.snaps/c"); }
  size_t count_failures(const records& r) const override {
    // The library itself says nothing here: every record is the core's.
    return static_cast<size_t>(std::count_if(r.begin(), r.end(), [](const ktfs::log_record& x) {
      return x.function.compare(0, 14, "ktfssnapcore::") != 0;
    }));
  }
  outcome expect(const fault_point* p) const override {
    return p == nullptr ? success() : outcome{1, 0, 1};
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    if (p == nullptr) {
      expect_copy(lib, kDir);
      return;
    }
    // The one message names the path of the failing call.
    EXPECT_EQ(lib.capture().count("copy of [" + p->path + "] failed: " + std::strerror(EIO)), 1u)
        << ktsm_sweep::dump(lib.capture().records());
    for (size_t i = 0; i + 1 < p->calls.size(); ++i) {
      size_t space = p->calls[i].find(' ');
      std::string kind = p->calls[i].substr(0, space), path = p->calls[i].substr(space + 1);
      if (creates(kind, path)) {
        EXPECT_TRUE(lib.exists(path)) << "made before the failure: " << path;
      }
    }
    if (creates(p->kind, p->path)) {
      EXPECT_FALSE(lib.exists(p->path)) << "the failed call made nothing";
    }
    if (p->kind == "lchmod") {
      // The version's own directory was made closed; the others to be filled.
      unsigned made = p->path == "//g/.snaps/c"          ? 0u
                      : ktsm_sweep::is_dir(lib, p->path) ? 0700u
                                                         : 0600u;
      EXPECT_EQ(lib.mode_of(p->path), made) << "the mode it was made with";
    }
    if (p->kind == "lsetxattr") {
      EXPECT_EQ(ktsm_sweep::xattr(lib, p->path, kUuid), "<none>");
    }
  }
  void complete(library_fixture& lib, const fault_point*) override {
    vs::set_ptr set = ktsm_sweep::registered("//g");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->delete_version("c"), 0);
    EXPECT_FALSE(lib.exists(kDir));
    lib.make_dir(kDir, 0);
    EXPECT_EQ(copy_into("//g/.snaps/c"), 0);
    expect_copy(lib, kDir);
  }

 protected:
  // older: a copy to link unchanged files from ("" for none).
  static int32_t copy_into(const std::string& dir, const std::string& older = "") {
    ktfssnapcore::ktfssnapcore_opinfo info;
    info.nvme_api = &vs::api_instance;
    info.nvme_iopx = boost::atomic_load(&vs::file_io);
    info.fg_name = "//g";
    info.fgver_name = dir;
    info.link_fgver_name = older;
    info.unchanged_before_ns = INT64_MAX;
    return ktfssnapcore::snap_opcreate(&info) ? 1 : 0;
  }
  // Calls that make a new entry in the copy.
  static bool creates(const std::string& kind, const std::string& path) {
    bool in_copy = path.compare(0, 13, "//g/.snaps/c/") == 0;
    return in_copy && (kind == "mkdir" || kind == "symlink" || kind == "open" || kind == "mknod" ||
                       kind == "link");
  }
  const std::string kDir = "/g/.snaps/c";
  vs::set_ptr m_set;
};

// The snapshot core's copy with an older copy p of the same group to link
// unchanged files from (every file counts as unchanged by its time): a
// failed listing of one of p's directories makes that directory's files
// copies, a failed link makes that file a copy, and the snapshot succeeds;
// with every call failing from there on, the copy that follows fails.
// Other calls fail as without linking.
class linked_copy_case : public snap_copy_case {
 public:
  std::string name() const override { return "snap_opcreate, linked"; }
  void prepare(library_fixture& lib) override {
    snap_copy_case::prepare(lib);
    lib.make_dir(kOlder, 0);
    ASSERT_EQ(copy_into("//g/.snaps/p", ""), 0);
  }
  int32_t run(library_fixture&) override { return copy_into("//g/.snaps/c", "//g/.snaps/p"); }
  outcome expect(const fault_point* p) const override {
    if (p != nullptr && linking(*p)) return p->persistent ? outcome{1, 0, 1} : success();
    return snap_copy_case::expect(p);
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    if (p != nullptr && !linking(*p)) {
      snap_copy_case::check_left(lib, p);
      return;
    }
    if (p != nullptr && p->persistent) return;
    expect_copy(lib, kDir);
    // Every regular file shares p's, but those whose link failed or whose
    // directory in p could not be read.  The two names of a.txt are one
    // file, shared or not as the first name the walk met (in the order the
    // volume lists): told only when that name's link failed.
    std::string failed = p == nullptr ? "" : p->kind == "link" ? rel_of(*p) : rel_of(*p) + "/";
    auto pair = [](const std::string& rel) { return rel == "/a.txt" || rel == "/dir/a2.txt"; };
    for (const char* rel : {"/a.txt", "/dir/a2.txt", "/dir/b.txt", "/dir/sub/c.txt", "/sparse"}) {
      std::string r = rel, dir = r.substr(0, r.rfind('/') + 1);
      bool refused = failed == r || failed == dir;
      if (pair(r) && failed != r) continue;
      EXPECT_EQ(inode(lib, kDir + rel) == inode(lib, kOlder + rel), !refused) << rel;
    }
  }

 private:
  // The file's path in the group, for a call on it, its copy or p's file.
  static std::string rel_of(const fault_point& p) {
    return p.path.substr(p.path.compare(0, 11, "//g/.snaps/") == 0 ? 12 : 3);
  }
  // The listing of one of p's directories, or the link that gives an
  // unchanged file's first name in the copy (a further name of a file is a
  // link to its first name in the copy, as without linking).
  static bool linking(const fault_point& p) {
    if (p.path == "//g/.snaps/p" || p.path.compare(0, 13, "//g/.snaps/p/") == 0) return true;
    if (p.kind != "link") return false;
    std::string rel = rel_of(p);
    std::string other = rel == "/a.txt" ? "/dir/a2.txt" : rel == "/dir/a2.txt" ? "/a.txt" : "";
    for (size_t i = 0; !other.empty() && i + 1 < p.calls.size(); ++i) {
      if (p.calls[i] == "link //g/.snaps/c" + other || p.calls[i] == "open //g/.snaps/c" + other)
        return false;
    }
    return true;
  }
  static ino_t inode(library_fixture& lib, const std::string& path) {
    struct stat st;
    EXPECT_FALSE(lib.api().lstat(lib.io(), path.c_str(), &st, kNoAio)) << path;
    return st.st_ino;
  }
  const std::string kOlder = "/g/.snaps/p";
};

// ---- start-up recovery -------------------------------------------------------------

// init on a volume with the groups a and b, their versions in several
// states, and a's lock file.  What init should rebuild is worked out from
// the order in which the volume lists each directory: a failed readdir ends
// a listing as its end does, a failed state read leaves that version's
// state empty, a failed read of a creation record orders the version by its
// directory's modification time (time 0 when that stat fails too), and any
// other failed call fails the group it is made for (or the whole start-up,
// for the root).
class recovery_case : public sweep_case {
 public:
  std::string name() const override { return "start-up recovery"; }
  bool arms_init() const override { return true; }
  void prepare(library_fixture& lib) override {
    // In creation order: a: s2, s1 (same time, by sequence), s3 (by its
    // directory's time); b: y, x (by their directories' times).  Any record
    // or time read that fails moves its version.
    const struct {
      const char *group, *name, *state, *record;
      int64_t mtime;
    } rows[] = {{"a", "s1", "2", "300.000000000 2", 100},
                {"a", "s2", "4", "300.000000000 1", 500},
                {"a", "s3", "8", "", 400},
                {"b", "x", "1", "", 20},
                {"b", "y", "10", "", 10}};
    m_versions.clear();
    m_listing.clear();
    for (const char* g : {"a", "b"}) {
      lib.make_dir(std::string("/") + g);
      lib.make_dir(std::string("/") + g + "/.snaps");
    }
    lib.write_file("/a/.snaps/.ktsm-lock", "");  // left by a change of a: no version
    for (const auto& row : rows) {
      std::string path = std::string("/") + row.group + "/.snaps/" + row.name;
      lib.make_dir(path, 0);
      lib.put_state(path, row.state);
      if (*row.record != '\0') lib.set_xattr(path, ktsm_sweep::kCreatedAttribute, row.record);
      ktsm_sweep::set_mtime(lib, path, row.mtime);
      version_info& info = m_versions["/" + path];
      info.state = row.state;
      info.recorded = ktsm_sweep::read_record(lib, path, &info.record);
      info.mtime_ns = ktsm_sweep::mtime_ns(lib, path);
    }
    m_listing["/"] = raw_listing(lib, "/");
    for (const char* g : {"a", "b"}) {
      m_listing[std::string("//") + g + "/.snaps"] =
          raw_listing(lib, std::string("/") + g + "/.snaps");
    }
  }
  int32_t run(library_fixture& lib) override { return lib.init(); }
  size_t count_failures(const records& r) const override {
    size_t n = ktsm_sweep::count_texts(r, {"dir [/] stat failed", "dir [/] open failed",
                                           "dir [/] close failed", "memory allocation failure"});
    for (const char* g : {"//a", "//b"}) {
      std::string s = std::string("snap dir [") + g + "/.snaps] ";
      n += ktsm_sweep::count_texts(
          r, {s + "stat failed", s + "open failed", s + "close failed", s + "getattr failed"});
    }
    return n;
  }
  outcome expect(const fault_point* p) const override {
    model m = simulate(p);
    // Each group that fails, and each state that cannot be read, has its
    // one failure; with persistent faults every call after the failing one
    // fails too.
    return outcome{m.status, m.failures, 0};
  }
  void check_left(library_fixture& lib, const fault_point* p) override {
    model m = simulate(p);
    if (p != nullptr) {
      ASSERT_GE(m.calls.size(), p->n) << "the start-up made more calls than expected";
      EXPECT_EQ(p->calls,
                names(m.calls.begin(), m.calls.begin() + static_cast<std::ptrdiff_t>(p->n)))
          << "the calls of the start-up";
    }
    // The rebuild's own line for each group that failed, beside the failure.
    records r = lib.capture().records();
    EXPECT_EQ(ktsm_sweep::count_texts(r, {"read file groups failed"}) +
                  ktsm_sweep::count_prefix(r, "failed to recover version set filegroup ["),
              m.failed_groups);
    std::map<std::string, names> actual;
    names order;
    for (const vs::set_ptr& set : vs::m_version_sets) {
      order.push_back(set->get_name());
      ktsm_sweep::expect_chain(set);
      for (const version_ptr& v : access::versions(*set)) {
        if (!v->is_production_version())
          actual[set->get_name()].push_back(v->get_name() + ":" + v->get_state());
      }
    }
    EXPECT_EQ(order, m.registered);
    for (const std::string& g : m.registered) EXPECT_EQ(actual[g], m.versions[g]) << g;
    for (const auto& v : m_versions) {
      EXPECT_EQ(lib.raw_state(v.first), state_bytes(v.second.state)) << "start-up changes nothing";
    }
  }
  void complete(library_fixture& lib, const fault_point*) override {
    // restart_and_check has rebuilt both groups whole.  A second init
    // without stop keeps them, once each.
    EXPECT_EQ(ktsm_sweep::registry_names(), (names{"//a", "//b"}));
    vs::set_ptr a = ktsm_sweep::registered("//a");
    EXPECT_EQ(lib.init(), 0);
    EXPECT_EQ(ktsm_sweep::registered("//a"), a);
    EXPECT_EQ(ktsm_sweep::registry_names(), (names{"//a", "//b"}));
  }

 private:
  struct version_info {
    std::string state;
    bool recorded = false;
    ktsm_sweep::created record;
    int64_t mtime_ns = 0;
  };
  struct model {
    int32_t status = 0;
    size_t failures = 0;
    size_t failed_groups = 0;
    names calls;
    names registered;
    std::map<std::string, names> versions;
  };
  // One call of the model: true when it fails.
  struct caller {
    const fault_point* p;
    model* m;
    bool operator()(const std::string& call) {
      m->calls.push_back(call);
      uint64_t i = m->calls.size();
      return p != nullptr && (p->persistent ? i >= p->n : i == p->n);
    }
  };

  // The entries read from dir before the end or a failed readdir.
  names listed(caller& call, const std::string& dir) const {
    names out;
    const names& raw = m_listing.at(dir);
    for (size_t i = 0;; ++i) {
      if (call("readdir " + dir) || i == raw.size()) break;
      if (raw[i] != "." && raw[i] != "..") out.push_back(raw[i]);
    }
    return out;
  }
  bool recover(caller& call, const std::string& group, model* m) const {
    std::string snaps = group + "/.snaps";
    if (call("stat " + snaps) || call("opendir " + snaps)) return false;
    names entries = listed(call, snaps);
    std::vector<std::pair<ktsm_sweep::created, std::string>> found;
    for (const std::string& v : entries) {
      if (v == ".ktsm-lock") continue;
      std::string path = snaps + "/" + v;
      const version_info& info = m_versions.at(path);
      std::string state = info.state;
      if (call("getxattrat " + path)) {
        state.clear();
        m->status = 1;
        ++m->failures;
      }
      ktsm_sweep::created c = info.record;
      c.name = v;
      if (call("getxattrat " + path) || !info.recorded) {
        c.time_ns = call("stat " + path) ? 0 : info.mtime_ns;
        c.sequence = 0;
      }
      found.emplace_back(c, v + ":" + state);
    }
    // The versions are read through the open listing, then it is closed.
    if (call("closedir " + snaps)) return false;
    std::sort(found.begin(), found.end());
    for (const auto& f : found) m->versions[group].push_back(f.second);
    return true;
  }
  model simulate(const fault_point* p) const {
    model m;
    caller call{p, &m};
    names groups;
    bool root = !call("stat /") && !call("opendir /");
    if (root) groups = listed(call, "/");
    if (!root || call("closedir /")) {
      m.status = 1;
      m.failures = m.failed_groups = 1;
      return m;
    }
    for (const std::string& g : groups) {
      if (recover(call, "//" + g, &m)) {
        m.registered.push_back("//" + g);
      } else {
        m.status = 1;
        ++m.failures;
        ++m.failed_groups;
      }
    }
    return m;
  }

  std::map<std::string, version_info> m_versions;  // version path -> what it holds
  std::map<std::string, names> m_listing;          // directory -> raw listing
};

// ---- the tests ----------------------------------------------------------------------

TEST(FaultSweep, StartUpRecovery) {
  recovery_case c;
  ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
  // stat, opendir, 5 readdirs and closedir of the root, then per group at
  // least stat, opendir, 4 readdirs, per version two reads through the
  // listing (state, creation record) and a stat when it has no record,
  // and closedir;
  // the lock file is listed, nothing more.
  EXPECT_GE(n.transient, 30u);
  EXPECT_EQ(n.persistent, n.transient);
  RecordProperty("fault_points", static_cast<int>(n.total()));
}

TEST(FaultSweep, CreateVersion) {
  uint64_t total = 0;
  for (bool by_plan : {false, true}) {
    create_version_case c(by_plan);
    SCOPED_TRACE(c.name());
    ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
    EXPECT_GE(n.transient, 30u) << "checks, lock, mkdir, state, the copy of a tree, state, release";
    EXPECT_EQ(n.persistent, n.transient);
    ktsm_sweep::expect_lock_calls(n, "//g");
    // The plan's read of the group: opendir, readdir of ".", "..", the
    // lock's file and the end, closedir.
    EXPECT_EQ(std::count(n.calls.begin(), n.calls.end(), "readdir //g/.snaps"), by_plan ? 4 : 0);
    total += n.total();
  }
  RecordProperty("fault_points", static_cast<int>(total));
}

TEST(FaultSweep, DeleteVersionWithMerge) {
  delete_version_case c;
  ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
  EXPECT_GE(n.transient, 20u) << "checks, lock, states, merge, removal of a tree, release";
  EXPECT_EQ(n.persistent, n.transient);
  ktsm_sweep::expect_lock_calls(n, "//g");
  RecordProperty("fault_points", static_cast<int>(n.total()));
}

TEST(FaultSweep, VersionSets) {
  // Fixed call sequences: lstat and mkdir of the group, then of ".snaps"
  // (mkdir only where the lstat finds nothing), and the listing of ".snaps"
  // (opendir, a readdir per entry, ".", ".." and the end, closedir).  Only
  // versions found are taken in under the lock: its open, lock and check, then
  // start-up's stat and listing of ".snaps", v's two attribute reads and stat,
  // the lock's release and close.
  typedef create_set_case::start start;
  struct {
    create_set_case c;
    uint64_t points;
    bool locked;
  } creations[] = {{create_set_case("//n", start::fresh), 9, false},
                   {create_set_case("//h", start::bare), 8, false},
                   {create_set_case("//t", start::versions), 26, true}};
  uint64_t total = 0;
  for (auto& x : creations) {
    SCOPED_TRACE(x.c.name());
    ktsm_sweep::sweep_count n = ktsm_sweep::sweep(x.c);
    EXPECT_EQ(n.transient, x.points);
    EXPECT_EQ(n.persistent, x.points);
    ktsm_sweep::expect_lock_calls(n, x.c.group(), x.locked);
    total += n.total();
  }
  // lstat of the group and of ".snaps", the lock's open, lock and check, the volume check, stat
  // and listing of .snaps, then of the group; unlink of the group's list and lock files and rmdir
  // of both unless refused; the lock's release and close.
  struct {
    delete_set_case c;
    uint64_t points;
  } deletions[] = {{delete_set_case(false), 27}, {delete_set_case(true), 24}};
  for (auto& x : deletions) {
    SCOPED_TRACE(x.c.name());
    ktsm_sweep::sweep_count n = ktsm_sweep::sweep(x.c);
    EXPECT_EQ(n.transient, x.points);
    EXPECT_EQ(n.persistent, x.points);
    ktsm_sweep::expect_lock_calls(n, "//e");
    total += n.total();
  }
  RecordProperty("fault_points", static_cast<int>(total));
}

TEST(FaultSweep, SetPreviousVersionMakesNoCall) {
  set_previous_case c;
  ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
  EXPECT_EQ(n.total(), 0u);
}

TEST(FaultSweep, ExportAndUnexport) {
  struct {
    std::unique_ptr<sweep_case> c;
    uint64_t points;
  } cases[] = {
      // lstat of the group, ".snaps" and v1, the lock's open, lock and check
      // (fstat, lstat), every brick asked to answer, stat, read, 2 writes
      // each asking again, the lock's release and close.
      {std::unique_ptr<sweep_case>(new export_case(false)), 16},
      {std::unique_ptr<sweep_case>(new export_case(true)), 13},  // no v1: no lstat, stat, read
      {std::unique_ptr<sweep_case>(new unexport_case(true)), 16},
      {std::unique_ptr<sweep_case>(new unexport_case(false)), 12},  // no writes
  };
  uint64_t total = 0;
  for (auto& x : cases) {
    SCOPED_TRACE(x.c->name());
    ktsm_sweep::sweep_count n = ktsm_sweep::sweep(*x.c);
    EXPECT_EQ(n.transient, x.points);
    EXPECT_EQ(n.persistent, x.points);
    ktsm_sweep::expect_lock_calls(n, "//g");
    total += n.total();
  }
  RecordProperty("fault_points", static_cast<int>(total));
}

TEST(FaultSweep, HoldAndRelease) {
  // lstat of the group, ".snaps" and v1, the lock's open, lock and check,
  // every brick asked to answer, the holds' read and write, every brick
  // asked again, the lock's release and close.
  for (bool release : {false, true}) {
    hold_case c(release);
    SCOPED_TRACE(c.name());
    ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
    EXPECT_EQ(n.transient, 13u);
    EXPECT_EQ(n.persistent, 13u);
    ktsm_sweep::expect_lock_calls(n, "//g");
    RecordProperty("fault_points", static_cast<int>(n.total()));
  }
}

TEST(FaultSweep, AllHoldsInOnePass) {
  // lstat of the group and ".snaps", the listing (opendir, a readdir for
  // ".", "..", v1, v2, the lock's file and the end), each version's holds
  // through it, closedir.
  all_holds_case c;
  ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
  EXPECT_EQ(n.transient, 12u);
  EXPECT_EQ(n.persistent, n.transient);
  RecordProperty("fault_points", static_cast<int>(n.total()));
}

TEST(FaultSweep, RefreshAndDeleteByPlan) {
  for (bool deleting : {false, true}) {
    plan_case c(deleting);
    SCOPED_TRACE(c.name());
    ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
    EXPECT_EQ(n.persistent, n.transient);
    if (deleting) {
      EXPECT_GE(n.transient, 40u) << "checks, lock, the reading, v3's deletion, release";
    } else {
      // lstat of the group and ".snaps", the listing (opendir, a readdir
      // for ".", "..", v1 to v4, the lock's file and the end), each
      // version's state, creation record and holds through it, closedir.
      EXPECT_EQ(n.transient, 24u);
    }
    // One lock, taken once, for the reading and the deletion alike.
    ktsm_sweep::expect_lock_calls(n, "//g", deleting);
    RecordProperty("fault_points", static_cast<int>(n.total()));
  }
}

TEST(FaultSweep, FileIdentity) {
  // lstat of the group, ".snaps", v1 and d; the file's own attribute.
  identity_case c;
  ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
  EXPECT_EQ(n.transient, 5u);
  EXPECT_EQ(n.persistent, 5u);
  RecordProperty("fault_points", static_cast<int>(n.total()));
}

TEST(FaultSweep, RestorePathsInPlace) {
  restore_case c;
  ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
  EXPECT_GE(n.transient, 60u) << "checks, lock, state, listing, removals, the copy of a tree";
  EXPECT_EQ(n.persistent, n.transient);
  ktsm_sweep::expect_lock_calls(n, "//g");
  RecordProperty("fault_points", static_cast<int>(n.total()));
}

TEST(FaultSweep, UpdateMetaDataFile) {
  update_meta_case c;
  ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
  // lstat of v1's .snaps (where its list is), open and size of the target,
  // open, 2 reads and close of the source, open, 2 reads and close of the
  // target, its write and close.
  EXPECT_EQ(n.transient, 13u);
  EXPECT_EQ(n.persistent, 13u);
  RecordProperty("fault_points", static_cast<int>(n.total()));
}

TEST(FaultSweep, SnapshotCoreCopy) {
  snap_copy_case c;
  ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
  // Per entry lstat; per file open, open, copy, fstat, close, close; per
  // entry lchown, listxattr, chmod (not links) and lutimens; the sparse
  // file's two seeks and truncate, the FIFO's mknod, the second name's link;
  // the walk's own checks of what it goes through (lstat and fstat).
  EXPECT_GE(n.transient, 100u);  // 117 when last counted
  EXPECT_EQ(n.persistent, n.transient);
  RecordProperty("fault_points", static_cast<int>(n.total()));
}

TEST(FaultSweep, SnapshotCoreLinkedCopy) {
  linked_copy_case c;
  ktsm_sweep::sweep_count n = ktsm_sweep::sweep(c);
  // As the copy, but a listing of each of the older copy's directories, and
  // per regular file (the sparse one too) a link in place of the copy and
  // the file's metadata (a local volume's change times tell attribute
  // changes: no lists).
  EXPECT_GE(n.transient, 60u);
  EXPECT_EQ(n.persistent, n.transient);
  RecordProperty("fault_points", static_cast<int>(n.total()));
}

}  // namespace
