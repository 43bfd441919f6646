// libktfssnapcore on every client backend: taking a version of a file group,
// preparing its removal, and the list and tree utilities.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "ktfs/ktfs_api.h"
#include "ktfs/ktfs_fault.h"
#include "ktfssnapcore/ktfssnapcore.h"
#include "support/test_volumes.h"

using ktfs::kNoAio;

namespace {

using ktfssnapcore::ktfssnaputils;
using ktsm_test::backend_kind;

const char kUuid[] = "trusted.cloudsync.uuid";
const char kNote[] = "trusted.ktsm.note";
const char kList[] = "/.snaps/.ktsm-deleted-files";  // a version's list, in its .snaps

// 12 MiB and a bit of content that never repeats a 4 MiB block.
std::string big_data() {
  std::string data((12 << 20) + 12345, '\0');
  uint64_t x = 88172645463325252ull;
  for (char& c : data) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x);
  }
  return data;
}

std::string fnv1a(const std::string& data) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : data) h = (h ^ c) * 1099511628211ull;
  return std::to_string(h);
}

std::string octal(unsigned int mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", mode);
  return text;
}

// What a walk of a tree found: one description per relative path.
struct tree {
  std::map<std::string, std::string> entries;
  uint64_t files = 0;
  uint64_t bytes = 0;
};

class SnapcoreTest : public ::testing::TestWithParam<backend_kind> {
 protected:
  void SetUp() override {
    std::string skip;
    m_volume = ktsm_test::test_volume::make(GetParam(), &skip);
    if (!skip.empty()) GTEST_SKIP() << skip;
    ASSERT_TRUE(m_volume);
    m_io = m_api.init(m_volume->cfg());
    ASSERT_TRUE(m_io) << "init failed: " << std::strerror(errno);
    ktfssnapcore::set_logger(&m_log);
  }
  void TearDown() override { ktfssnapcore::set_logger(nullptr); }

  std::string p(const std::string& rel) const { return m_volume->prefix() + rel; }

  // A second connection whose calls go through a fault-injecting wrapper.
  ktfs::iopx_ptr faulty_io() {
    ktfs::client_defaults saved = ktfs::get_client_defaults();
    ktfs::client_defaults wrapped = saved;
    wrapped.wrap = [this](std::shared_ptr<ktfs::backend> base) {
      m_plain = base;
      m_faults = std::make_shared<ktfs::fault_backend>(base);
      return std::shared_ptr<ktfs::backend>(m_faults);
    };
    ktfs::set_client_defaults(wrapped);
    ktfs::iopx_ptr io = m_api.init(m_volume->cfg());
    ktfs::set_client_defaults(saved);
    EXPECT_TRUE(io && m_faults);
    return io;
  }

  void mkdir(const std::string& rel, unsigned int mode) {
    ASSERT_FALSE(m_api.mkdir(m_io, p(rel).c_str(), mode, kNoAio)) << rel;
  }
  void chmod(const std::string& rel, unsigned int mode) {
    ASSERT_FALSE(m_api.chmod(m_io, p(rel).c_str(), mode, kNoAio)) << rel;
  }
  void symlink(const std::string& target, const std::string& rel) {
    ASSERT_FALSE(m_api.symlink(m_io, target.c_str(), p(rel).c_str(), kNoAio)) << rel;
  }
  bool exists(const std::string& rel) {
    struct stat st;
    return !m_api.lstat(m_io, p(rel).c_str(), &st, kNoAio);
  }

  void write_file(const std::string& rel, const std::string& data, unsigned int mode = 0600) {
    ktfs::file_ptr f = m_api.open(m_io, p(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600, kNoAio);
    ASSERT_TRUE(f) << rel << ": " << std::strerror(errno);
    size_t done = 0;
    ASSERT_FALSE(m_api.write(f, data.data(), data.size(), 0, &done, kNoAio));
    ASSERT_EQ(done, data.size());
    ASSERT_FALSE(m_api.close(f, kNoAio));
    chmod(rel, mode);
  }

  std::string read_file(const std::string& rel) {
    std::string data;
    EXPECT_TRUE(ktsm_test::read_volume_file(m_api, m_io, p(rel), &data)) << rel;
    return data;
  }

  void set_attr(const std::string& rel, const char* name, const std::string& value) {
    struct iovec iov = {const_cast<char*>(value.data()), value.size()};
    ASSERT_FALSE(m_api.setxattr(m_io, p(rel).c_str(), name, &iov, 0, kNoAio)) << rel;
  }

  // The values of the attributes this test sets, as "name=value;" text.
  std::string attrs_of(const std::string& rel) {
    std::string text;
    for (const char* name : {kUuid, kNote}) {
      std::vector<char> buf(65536);
      struct iovec iov = {buf.data(), buf.size()};
      int64_t n = m_api.getxattr(m_io, p(rel).c_str(), name, &iov, kNoAio);
      if (n >= 0) text += std::string(name) + "=" + std::string(buf.data(), n) + ";";
    }
    return text;
  }

  // Walks rel depth first, describing every entry but the top-level names
  // in skip_top.
  void walk(const std::string& rel, const std::string& under, tree* out,
            const std::vector<std::string>& skip_top = {}) {
    ktfs::file_ptr dir = m_api.opendir(m_io, p(rel + under).c_str(), kNoAio);
    ASSERT_TRUE(dir) << rel + under;
    std::vector<std::string> names;
    while (struct dirent* e = m_api.readdir(dir, kNoAio)) names.push_back(e->d_name);
    m_api.closedir(dir, kNoAio);
    for (const std::string& name : names) {
      bool skipped = under.empty() && std::count(skip_top.begin(), skip_top.end(), name);
      if (name != "." && name != ".." && !skipped) describe(rel, under + "/" + name, out);
    }
  }

  void describe(const std::string& rel, const std::string& entry, tree* out) {
    struct stat st;
    ASSERT_FALSE(m_api.lstat(m_io, p(rel + entry).c_str(), &st, kNoAio)) << entry;
    std::string text = octal(st.st_mode & 07777) + " ";
    if (S_ISDIR(st.st_mode)) {
      text += "dir " + attrs_of(rel + entry);
      walk(rel, entry, out);
    } else if (S_ISREG(st.st_mode)) {
      std::string data = read_file(rel + entry);
      text +=
          "file " + std::to_string(data.size()) + " " + fnv1a(data) + " " + attrs_of(rel + entry);
      out->files++;
      out->bytes += data.size();
    } else if (S_ISLNK(st.st_mode)) {
      std::string target;
      EXPECT_FALSE(m_api.readlink(m_io, p(rel + entry).c_str(), &target, kNoAio));
      text = "link " + target;  // a link's own mode means nothing
    } else {
      text += "other";
    }
    out->entries[entry] = text;
  }

  tree live_group() {
    tree t;
    walk("/g", "", &t, {".snaps"});
    return t;
  }
  tree version(const std::string& name) {
    tree t;
    walk("/g/.snaps/" + name, "", &t);
    return t;
  }

  // A file group with every kind of entry, an older version and its own list.
  void build_group() {
    mkdir("/g", 0755);
    set_attr("/g", kUuid, "group-uuid");
    mkdir("/g/a", 0700);
    set_attr("/g/a", kUuid, "dir-uuid");
    mkdir("/g/a/b", 0700);
    write_file("/g/a/b/deep.txt", "deep\n", 0640);
    set_attr("/g/a/b/deep.txt", kUuid, "uuid-deep");
    set_attr("/g/a/b/deep.txt", kNote, std::string(1000, 'n') + std::string(3, '\0') + "end");
    mkdir("/g/a/ro", 0700);
    write_file("/g/a/ro/inside", "in", 0400);
    chmod("/g/a/ro", 0500);
    chmod("/g/a", 0750);
    write_file("/g/a/.ktsm-deleted-files", "nested names are copied\n");
    write_file("/g/empty", "");
    write_file("/g/big", big_data(), 0644);
    set_attr("/g/big", kUuid, "uuid-big");
    write_file("/g/readonly", "ro\n", 0444);
    symlink("a/b/deep.txt", "/g/rel");
    symlink("/outside/the/volume", "/g/out");
    // A live file of the name versions once gave their list is the
    // user's, and copied; the group's own list lives in its .snaps.
    write_file("/g/.ktsm-deleted-files", "a user's file\n");
    mkdir("/g/.snaps", 0755);
    write_file("/g/.snaps/.ktsm-deleted-files", "uuid-gone\t/gone\n");
    mkdir("/g/.snaps/v0", 0700);
    write_file("/g/.snaps/v0/old", "older version");
    ASSERT_FALSE(m_api.mknod(m_io, p("/g/fifo").c_str(), S_IFIFO | 0600, 0, kNoAio));
  }

  // A version directory as the library's caller makes it: mode 0 (the owner
  // needs rights to fill it without root's).
  void make_version(const std::string& name) {
    mkdir("/g/.snaps/" + name, ::geteuid() == 0 ? 0 : 0700);
  }

  ktfssnapcore::ktfssnapcore_opinfo opinfo(const std::string& ver, ktfs::iopx_ptr io) {
    ktfssnapcore::ktfssnapcore_opinfo info;
    info.nvme_api = &m_api;
    info.nvme_iopx = io;
    info.fg_name = p("/g");
    info.fgver_name = p("/g/.snaps/" + ver);
    return info;
  }

  std::vector<ktfs::log_record> errors() const {
    std::vector<ktfs::log_record> out;
    for (const ktfs::log_record& r : m_sink->records()) {
      if (r.is_error) out.push_back(r);
    }
    return out;
  }

  // Exactly one error was logged, by function, about path failing with err.
  void expect_one_error(const char* function, const std::string& text) {
    std::vector<ktfs::log_record> logged = errors();
    ASSERT_EQ(logged.size(), 1u) << (logged.empty() ? "" : logged[0].text);
    EXPECT_EQ(logged[0].function, function);
    EXPECT_EQ(logged[0].text, text);
    m_sink->clear();
  }

  ktfs::ktfs_api m_api;
  ktfs::iopx_ptr m_io;
  std::unique_ptr<ktsm_test::test_volume> m_volume;
  std::shared_ptr<ktfs::fault_backend> m_faults;
  std::shared_ptr<ktfs::backend> m_plain;  // behind m_faults, for changes behind its back
  std::shared_ptr<ktfs::capture_sink> m_sink = std::make_shared<ktfs::capture_sink>();
  ktfs::ktfs_debug m_log{m_sink, 1};
};

TEST_P(SnapcoreTest, CreateCopiesTheLiveGroupAndNothingElse) {
  build_group();
  make_version("v1");
  ktfssnapcore::ktfssnapcore_opinfo info = opinfo("v1", m_io);
  ASSERT_FALSE(ktfssnapcore::snap_opcreate(&info));
  EXPECT_TRUE(errors().empty());

  tree live = live_group();
  tree copy = version("v1");
  ASSERT_EQ(copy.entries.count(kList), 1u) << "the version's list is missing";
  EXPECT_EQ(copy.entries[kList], "0600 file 0 " + fnv1a("") + " ");
  EXPECT_EQ(copy.entries["/.snaps"], "0700 dir ");
  copy.entries.erase(kList);
  copy.entries.erase("/.snaps");
  EXPECT_EQ(live.entries.size(), 13u);
  EXPECT_EQ(copy.entries, live.entries);
  const std::string note = std::string(1000, 'n') + std::string(3, '\0') + "end";
  EXPECT_EQ(copy.entries["/a/b/deep.txt"], "0640 file 5 " + fnv1a("deep\n") + " " + kUuid +
                                               "=uuid-deep;" + kNote + "=" + note + ";");
  EXPECT_EQ(copy.entries["/a"], std::string("0750 dir ") + kUuid + "=dir-uuid;");
  EXPECT_EQ(copy.entries["/a/ro"], "0500 dir ");
  EXPECT_EQ(copy.entries["/rel"], "link a/b/deep.txt");
  EXPECT_EQ(copy.entries["/out"], "link /outside/the/volume");
  EXPECT_EQ(attrs_of("/g/.snaps/v1/big"), std::string(kUuid) + "=uuid-big;");
  EXPECT_EQ(fnv1a(read_file("/g/.snaps/v1/big")), fnv1a(big_data()));
  // The version directory takes no attribute of its group's but its ACLs.
  EXPECT_EQ(attrs_of("/g/.snaps/v1"), "");

  const ktfssnapcore::copy_progress& progress = ktfssnapcore::snap_progress();
  EXPECT_EQ(progress.files.load(), 7u);
  EXPECT_EQ(progress.files.load(), live.files);
  EXPECT_EQ(progress.bytes.load(), live.bytes);
  EXPECT_FALSE(progress.running.load());

  // The version does not follow later changes of the live group.
  tree before = version("v1");
  write_file("/g/a/b/deep.txt", "changed\n", 0600);
  set_attr("/g/big", kUuid, "uuid-new");
  ASSERT_FALSE(m_api.unlink(m_io, p("/g/readonly").c_str(), kNoAio));
  chmod("/g/a", 0777);
  EXPECT_EQ(version("v1").entries, before.entries);
}

TEST_P(SnapcoreTest, CreateStopsAtTheFirstFailureAndKeepsWhatWasCopied) {
  build_group();
  ktfs::iopx_ptr io = faulty_io();
  ASSERT_TRUE(io);
  tree live = live_group();
  struct {
    ktfs::op kind;
    std::string glob;  // %V stands for the version's directory
    int err;
    std::string failed;  // the path named in the message
    std::string kept;    // in the version after the failure
    std::string absent;  // not in the version after the failure
  } cases[] = {
      {ktfs::op::copy_range, "/g/big", ENOSPC, "/g/big", "/big", kList},
      {ktfs::op::lsetxattr, "%V/a/b/deep.txt", EIO, "%V/a/b/deep.txt", "/a/b/deep.txt", kList},
      {ktfs::op::mknod, "%V/fifo", EIO, "%V/fifo", "", "/fifo"},
      {ktfs::op::utimens, "%V/a", EIO, "%V/a", "/a/b/deep.txt", kList},
      {ktfs::op::mkdir, "%V/a/b", EACCES, "%V/a/b", "/a", "/a/b"},
      {ktfs::op::opendir, "/g/a", EIO, "/g/a", "/a", "/a/b"},
      {ktfs::op::readlink, "/g/rel", EIO, "/g/rel", "", "/rel"},
      {ktfs::op::open, "%V" + std::string(kList), ENOSPC, "%V" + std::string(kList), "/big", kList},
  };
  int round = 0;
  for (auto& c : cases) {
    std::string ver = "f" + std::to_string(round++);
    SCOPED_TRACE(ver + ": " + ktfs::op_name(c.kind) + " " + c.glob);
    for (std::string* s : {&c.glob, &c.failed}) {
      if (s->compare(0, 2, "%V") == 0) s->replace(0, 2, "/g/.snaps/" + ver);
    }
    make_version(ver);
    m_faults->fail_calls(c.kind, "*" + c.glob, c.err, false);
    ktfssnapcore::ktfssnapcore_opinfo info = opinfo(ver, io);
    EXPECT_EQ(ktfssnapcore::snap_opcreate(&info).value(), c.err);
    EXPECT_EQ(m_faults->fired(), 1u);
    expect_one_error("ktfssnapcore::snap_opcreate()",
                     "copy of [" + p(c.failed) + "] failed: " + std::strerror(c.err));
    if (!c.kept.empty()) {
      EXPECT_TRUE(exists("/g/.snaps/" + ver + c.kept));
    }
    EXPECT_FALSE(exists("/g/.snaps/" + ver + c.absent));
    EXPECT_FALSE(ktfssnapcore::snap_progress().running.load());
    // Every file and link copied before the failure is whole and right.
    std::string vdir = "/g/.snaps/" + ver;
    std::string failed_entry =
        c.failed.substr(c.failed.compare(0, vdir.size(), vdir) ? 2 : vdir.size());
    for (const auto& entry : version(ver).entries) {
      bool dir = entry.second.find(" dir ") != std::string::npos;
      if (!dir && entry.first != failed_entry) {
        EXPECT_EQ(entry.second, live.entries[entry.first]) << entry.first;
      }
    }
  }
}

// Another client (on GlusterFS a connection of its own, as another machine
// has) changes a file after the copy listed its directory and before it
// opens the file.  The version holds the file as the copy finds it then,
// whole: never the size or the times the listing told of an older file.
TEST_P(SnapcoreTest, AFileAnotherClientChangedAfterTheListingIsCopiedWhole) {
  ktfs::iopx_tree_cfg other = m_volume->cfg();
  // A server named otherwise is a connection of its own.
  other.volfile_server = other.volfile_server.substr(0, other.volfile_server.rfind(':'));
  ktfs::iopx_ptr writer = other.fs_type == "glusterfs" ? m_api.init(other) : m_io;
  ASSERT_TRUE(writer) << std::strerror(errno);
  ktfs::iopx_ptr io = faulty_io();
  ASSERT_TRUE(io);
  const std::string now = std::string(4000, 'n') + "the whole new generation";
  struct {
    const char* name;
    const char* tmp;  // written after the listing and renamed over f; "": f rewritten
  } cases[] = {{"renamed over", "/g/w/.tmp"}, {"rewritten in place", ""}};
  mkdir("/g", 0755);
  mkdir("/g/.snaps", 0755);
  mkdir("/g/w", 0755);
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string ver = "v" + std::to_string(round++);
    write_file("/g/w/f", "old generation", 0644);
    if (*c.tmp != '\0') write_file(c.tmp, "", 0644);  // listed empty
    std::string target = *c.tmp != '\0' ? c.tmp : "/g/w/f";
    m_faults->clear();
    m_faults->on_call(ktfs::op::open, "*/g/w/f", [&] {
      EXPECT_FALSE(ktsm_test::write_volume_file(m_api, writer, p(target), now));
      if (target != "/g/w/f") {
        EXPECT_FALSE(m_api.rename(writer, p(target).c_str(), p("/g/w/f").c_str(), kNoAio));
      }
    });
    make_version(ver);
    ktfssnapcore::ktfssnapcore_opinfo info = opinfo(ver, io);
    ASSERT_FALSE(ktfssnapcore::snap_opcreate(&info));
    EXPECT_TRUE(errors().empty()) << errors()[0].text;
    std::string copy = read_file("/g/.snaps/" + ver + "/w/f");
    EXPECT_EQ(copy.size(), now.size());
    EXPECT_TRUE(copy == now);
    m_sink->clear();
  }
}

TEST_P(SnapcoreTest, DeleteTellsWhetherTheListIsMergedAndNeverRemoves) {
  build_group();
  make_version("v1");
  mkdir("/g/.snaps/v1/.snaps", 0700);
  write_file("/g/.snaps/v1" + std::string(kList), "u\t/x\n");
  // A version taken before its list moved keeps it at its top: read there.
  make_version("old");
  write_file("/g/.snaps/old/.ktsm-deleted-files", "u\t/y\n");
  ktfssnapcore::ktfssnapcore_opinfo legacy = opinfo("old", m_io);
  EXPECT_FALSE(ktfssnapcore::snap_opdelete(&legacy));
  EXPECT_EQ(legacy.delfilelist, p("/g/.snaps/old/.ktsm-deleted-files"));
  struct {
    std::string older;
    int32_t status;
  } cases[] = {{p("/g/.snaps/v0"), 0}, {p("/g"), 1}, {"", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE("older version [" + c.older + "]");
    ktfssnapcore::ktfssnapcore_opinfo info = opinfo("v1", m_io);
    info.older_fgver_name = c.older;
    EXPECT_FALSE(ktfssnapcore::snap_opdelete(&info));
    EXPECT_EQ(info.op_status, c.status);
    EXPECT_EQ(info.delfilelist, p("/g/.snaps/v1") + kList);
    EXPECT_EQ(read_file("/g/.snaps/v1" + std::string(kList)), "u\t/x\n");
  }
  EXPECT_TRUE(errors().empty());

  ktfssnapcore::ktfssnapcore_opinfo missing = opinfo("gone", m_io);
  missing.older_fgver_name = p("/g/.snaps/v0");
  EXPECT_EQ(ktfssnapcore::snap_opdelete(&missing).value(), ENOENT);
  EXPECT_EQ(missing.op_status, 0);
  EXPECT_EQ(missing.delfilelist, p("/g/.snaps/gone") + kList);
  EXPECT_EQ(errors().size(), 1u);
}

TEST_P(SnapcoreTest, AppendAddsWholeRecordsAtTheOffset) {
  const std::string initial = "u0\t/f0\n";
  struct {
    const char* name;
    bool source_exists;
    std::string source;
    int err;
    std::string expected;  // the target afterwards
  } cases[] = {
      {"records", true, "u1\t/a\nu2\t/b\n", 0, initial + "u1\t/a\nu2\t/b\n"},
      {"no final newline", true, "u3\t/c", 0, initial + "u3\t/c\n"},
      {"empty", true, "", 0, initial},
      {"missing", false, "", ENOENT, initial},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file("/target", initial);
    if (c.source_exists) write_file("/source", c.source);
    ktfs::file_ptr target = m_api.open(m_io, p("/target").c_str(), O_WRONLY, kNoAio);
    ASSERT_TRUE(target);
    std::error_code ec = ktfssnaputils::fileappend(&m_api, m_io, p("/source"), target,
                                                   target->get_file_size(), m_log);
    EXPECT_EQ(ec.value(), c.err);
    EXPECT_EQ(errors().size(), c.err != 0 ? 1u : 0u);
    m_sink->clear();
    ASSERT_FALSE(m_api.close(target, kNoAio));
    EXPECT_EQ(read_file("/target"), c.expected);
    m_api.unlink(m_io, p("/source").c_str(), kNoAio);
  }
  EXPECT_EQ(
      ktfssnaputils::fileappend(&m_api, m_io, p("/target"), ktfs::file_ptr(), 0, m_log).value(),
      EBADF);
}

TEST_P(SnapcoreTest, ListIsEmptyWhenMissingOrEmptyButNotWhenUnreadable) {
  write_file("/empty", "");
  write_file("/full", "u\t/x\n");
  ktfs::iopx_ptr io = faulty_io();
  ASSERT_TRUE(io);
  struct {
    const char* rel;
    bool fault;
    bool empty;
  } cases[] = {
      {"/missing", false, true},
      {"/empty", false, true},
      {"/full", false, false},
      {"/empty", true, false},  // an I/O error never reads as an empty list
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.rel) + (c.fault ? " unreadable" : ""));
    m_faults->clear();
    if (c.fault) m_faults->fail_calls(ktfs::op::stat, "*", EIO);
    EXPECT_EQ(ktfssnaputils::is_file_empty(&m_api, io, p(c.rel)), c.empty);
  }
}

// A removal never leaves its tree through a link; an entry that another
// client takes away under it is removed, not a failure.
TEST_P(SnapcoreTest, RemoveTreeNeverFollowsLinks) {
  mkdir("/outside", 0755);
  write_file("/outside/keep", "k");
  ktfs::iopx_ptr io = faulty_io();
  ASSERT_TRUE(io);
  struct {
    const char* name;
    ktfs::op kind;  // fails once on the glob below the tree; count_: none
    const char* glob;
    int err;             // 0: another client removes the entry just then
    const char* failed;  // below the tree; "" for the tree itself
  } cases[] = {
      {"whole", ktfs::op::count_, "", 0, ""},
      {"unreadable version", ktfs::op::opendir, "/v", EACCES, ""},
      {"unlink fails", ktfs::op::unlink, "/file", EIO, "/file"},
      {"an entry gone meanwhile", ktfs::op::lstat, "/file", 0, ""},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string t = "/t" + std::to_string(round++);
    mkdir(t, 0755);
    mkdir(t + "/v", 0700);
    mkdir(t + "/v/sub", 0700);
    write_file(t + "/v/sub/f", "f");
    symlink(p("/outside"), t + "/v/link");
    chmod(t + "/v", 0);
    write_file(t + "/file", "x");
    m_faults->clear();
    if (c.kind != ktfs::op::count_ && c.err != 0) {
      m_faults->fail_calls(c.kind, "*" + t + c.glob, c.err, false);
    } else if (c.kind != ktfs::op::count_) {
      m_faults->on_call(c.kind, "*" + t + c.glob,
                        [&] { EXPECT_FALSE(m_plain->unlink(p(t + c.glob))); });
    }
    std::error_code ec = ktfssnaputils::rmdir_nonempty(&m_api, io, p(t), m_log);
    bool fails = *c.failed != '\0';
    EXPECT_EQ(ec.value(), fails ? c.err : 0);
    EXPECT_EQ(m_faults->fired(), c.err != 0 ? 1u : 0u);
    EXPECT_EQ(exists(t), fails);
    if (fails) {
      expect_one_error("ktfssnapcore::rmdir_nonempty()",
                       "remove of [" + p(t + c.failed) + "] failed: " + std::strerror(c.err));
      EXPECT_EQ(read_file(t + c.failed), "x");
    }
    EXPECT_EQ(read_file("/outside/keep"), "k");
  }
  EXPECT_FALSE(ktfssnaputils::rmdir_nonempty(&m_api, m_io, p("/absent"), m_log));
  EXPECT_TRUE(errors().empty()) << "nothing to remove is no failure";
}

// Every entry under a host directory: type, mode and bytes.
std::map<std::string, std::string> host_tree(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    struct stat st;
    EXPECT_EQ(::lstat(e.path().c_str(), &st), 0);
    std::ifstream in(e.path());
    out[e.path().string()] =
        octal(st.st_mode) + " " +
        (S_ISREG(st.st_mode) ? std::string(std::istreambuf_iterator<char>(in), {}) : "");
  }
  return out;
}

// A directory of a copied group or of a removed version is swapped for a
// link to a directory outside the tree (another group, and on the local
// backend a host directory): before the walk starts, or through the
// wrapper's hook just before a chosen call.  The walk copies or removes the
// link as a link, or fails naming the swapped path; the outside is never
// touched and never enters a version.
TEST_P(SnapcoreTest, WalksNeverLeaveTheirTreeThroughSwappedDirectories) {
  ktsm_test::scratch_dir host;
  std::vector<std::string> outside = {"other"};  // relative to the swapped entry's parent
  if (GetParam() == backend_kind::local) outside.push_back(host.path());
  for (const char* rel : {"/other", "/other/d"}) mkdir(rel, 0755);
  write_file("/other/secret", "not for versions", 0600);
  write_file("/other/d/keep", "k", 0644);
  if (GetParam() == backend_kind::local) {
    std::filesystem::copy(m_volume->host_path(p("/other")), host.path(),
                          std::filesystem::copy_options::recursive);
  }
  tree other_before;
  walk("/other", "", &other_before);
  auto host_before = host_tree(host.path());
  ktfs::iopx_ptr io = faulty_io();
  ASSERT_TRUE(io);
  struct {
    bool copy;      // snap_opcreate of %T into %T/.snaps/v, else rmdir_nonempty of %T/.snaps/v
    ktfs::op kind;  // the hooked call; count_: swapped before the walk
    std::string glob, swapped;  // below %T
    bool fails;                 // with ELOOP, naming the swapped path
  } cases[] = {
      {true, ktfs::op::count_, "", "/sub", false},
      {true, ktfs::op::readdirplus, "", "/sub", false},  // while its directory is read
      {true, ktfs::op::opendir, "/sub", "/sub", true},
      {true, ktfs::op::closedir, "/sub", "/sub", true},
      {true, ktfs::op::opendir, "/sub", "/.snaps/v/sub", true},
      {false, ktfs::op::count_, "", "/.snaps/v/sub", false},
      {false, ktfs::op::lstat, "/.snaps/v/sub", "/.snaps/v/sub", false},
      {false, ktfs::op::opendir, "/.snaps/v/sub", "/.snaps/v/sub", true},
      {false, ktfs::op::closedir, "/.snaps/v/sub", "/.snaps/v/sub", true},
  };
  int round = 0;
  for (const auto& c : cases) {
    for (const std::string& target : outside) {
      std::string t = "/t" + std::to_string(round++), swapped = t + c.swapped;
      SCOPED_TRACE(swapped + " to " + target + " at " + ktfs::op_name(c.kind));
      for (const char* rel : {"", "/sub", "/.snaps", "/.snaps/v"}) mkdir(t + rel, 0755);
      write_file(t + "/sub/f", "live");
      if (!c.copy) mkdir(t + "/.snaps/v/sub", 0755);
      if (!c.copy) write_file(t + "/.snaps/v/sub/f", "version");
      std::string link = target;
      for (auto n = std::count(swapped.begin(), swapped.end(), '/'); target[0] != '/' && n > 1;
           --n) {
        link = "../" + link;
      }
      auto swap = [&] {
        EXPECT_FALSE(m_plain->rename(p(swapped), p(t + "-aside")));
        EXPECT_FALSE(m_plain->symlink(link, p(swapped)));
      };
      m_faults->clear();
      if (c.kind == ktfs::op::count_)
        swap();
      else
        m_faults->on_call(c.kind, "*" + t + c.glob, swap);
      ktfssnapcore::ktfssnapcore_opinfo info = opinfo("v", io);
      info.fg_name = p(t);
      info.fgver_name = p(t + "/.snaps/v");
      std::error_code ec = c.copy
                               ? ktfssnapcore::snap_opcreate(&info)
                               : ktfssnaputils::rmdir_nonempty(&m_api, io, info.fgver_name, m_log);
      EXPECT_TRUE(exists(t + "-aside")) << "the swap was made";
      EXPECT_EQ(ec.value(), c.fails ? ELOOP : 0);
      std::vector<ktfs::log_record> logged = errors();
      EXPECT_EQ(logged.size(), c.fails ? 1u : 0u);
      if (c.fails && !logged.empty()) {
        EXPECT_NE(logged[0].text.find(p(swapped)), std::string::npos) << logged[0].text;
        EXPECT_NE(logged[0].text.find(std::strerror(ELOOP)), std::string::npos) << logged[0].text;
      }
      m_sink->clear();
      tree other_after, ver;
      walk("/other", "", &other_after);
      EXPECT_EQ(other_after.entries, other_before.entries);
      EXPECT_EQ(host_tree(host.path()), host_before);
      if (exists(t + "/.snaps/v")) walk(t + "/.snaps/v", "", &ver);
      for (const auto& e : ver.entries) EXPECT_NE(e.first.compare(0, 5, "/sub/"), 0) << e.first;
      if (!c.fails) {
        EXPECT_EQ(ver.entries["/sub"], c.copy ? "link " + link : "");
      }
    }
  }
}

// ---- a version as a faithful record of its group -------------------------------

// Everything lstat, the attributes and the data tell of one entry.
struct record {
  struct stat st;
  std::map<std::string, std::string> attrs;
  std::string data;  // a regular file's hash, a link's target
};

// A live group whose copy the wrapper disturbs: lstat of ".../vanishing"
// and the listing of ".../vanishing-dir" find them just removed.
class disturbing_backend : public ktfs::fault_backend {
 public:
  explicit disturbing_backend(std::shared_ptr<ktfs::backend> base)
      : fault_backend(base), m_plain(base) {}
  std::error_code opendir(const std::string& path,
                          std::unique_ptr<ktfs::backend_file>* out) override {
    if (ends_with(path, "/vanishing-dir")) m_plain->rmdir(path);
    return fault_backend::opendir(path, out);
  }
  std::error_code open(const std::string& path, int flags, unsigned int mode,
                       std::unique_ptr<ktfs::backend_file>* out) override {
    if (ends_with(path, "/vanishing")) m_plain->unlink(path);
    return fault_backend::open(path, flags, mode, out);
  }

 private:
  static bool ends_with(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
  }
  std::shared_ptr<ktfs::backend> m_plain;
};

class FaithfulTest : public SnapcoreTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "owners, devices and link attributes need root";
    SnapcoreTest::SetUp();
  }
  void TearDown() override {
    ktfssnapcore::set_copy_workers(0);
    SnapcoreTest::TearDown();
  }

  void times(const std::string& rel, int64_t shift) {
    // Access times ahead of the change time, so that reading the live
    // entries leaves them alone (relatime).
    const int64_t now = static_cast<int64_t>(::time(nullptr));
    const struct timespec t[2] = {{now + 3600 + shift, 123456789}, {now - 7200 - shift, 987654321}};
    ASSERT_FALSE(m_api.lutimens(m_io, p(rel).c_str(), t, kNoAio)) << rel;
  }
  void own(const std::string& rel, uid_t uid, gid_t gid) {
    ASSERT_FALSE(m_api.lchown(m_io, p(rel).c_str(), uid, gid, kNoAio)) << rel;
  }
  void node(const std::string& rel, unsigned int mode, dev_t dev) {
    ASSERT_FALSE(m_api.mknod(m_io, p(rel).c_str(), mode, dev, kNoAio)) << rel;
  }
  void link_attr(const std::string& rel, const std::string& value) {
    struct iovec iov = {const_cast<char*>(value.data()), value.size()};
    ASSERT_FALSE(m_api.lsetxattr(m_io, p(rel).c_str(), kNote, &iov, 0, kNoAio)) << rel;
  }

  // A group with every kind of entry, each with its own owner and times.
  void build_rich_group() {
    // Access ACL (user rwx, user 1000 rwx, group r-x, mask rwx, other r-x).
    const unsigned char acl[] = {2,    0,    0,    0,    1,    0,    7,    0,    0xff, 0xff, 0xff,
                                 0xff, 2,    0,    7,    0,    0xe8, 3,    0,    0,    4,    0,
                                 5,    0,    0xff, 0xff, 0xff, 0xff, 0x10, 0,    7,    0,    0xff,
                                 0xff, 0xff, 0xff, 0x20, 0,    5,    0,    0xff, 0xff, 0xff, 0xff};
    const std::string acl_value(reinterpret_cast<const char*>(acl), sizeof acl);
    mkdir("/g", 0755);
    mkdir("/g/.snaps", 0755);
    mkdir("/g/d", 0755);
    set_attr("/g/d", "system.posix_acl_access", acl_value);
    set_attr("/g/d", "system.posix_acl_default", acl_value);
    set_attr("/g/d", kUuid, "dir-uuid");
    mkdir("/g/d/empty", 0711);
    write_file("/g/d/prog", "#!/bin/sh\n", 0755);
    own("/g/d/prog", 1000, 1000);
    chmod("/g/d/prog", 04755);  // after the owner, which clears it
    set_attr("/g/d/prog", kUuid, "uuid-prog");
    write_file("/g/hard", "one file, three names\n", 0640);
    own("/g/hard", 1234, 5678);
    ASSERT_FALSE(m_api.link(m_io, p("/g/hard").c_str(), p("/g/d/hard2").c_str(), kNoAio));
    ASSERT_FALSE(m_api.link(m_io, p("/g/hard").c_str(), p("/g/d/empty2").c_str(), kNoAio));
    // 16 MiB with 256 KiB of data at the start, 4 KiB at 8 MiB, a hole at the end.
    ktfs::file_ptr f = m_api.open(m_io, p("/g/sparse").c_str(), O_WRONLY | O_CREAT, 0644, kNoAio);
    ASSERT_TRUE(f);
    size_t done = 0;
    std::string head = big_data().substr(0, 256 << 10), middle(4096, 'm');
    ASSERT_FALSE(m_api.write(f, head.data(), head.size(), 0, &done, kNoAio));
    ASSERT_FALSE(m_api.write(f, middle.data(), middle.size(), 8 << 20, &done, kNoAio));
    ASSERT_FALSE(m_api.truncate(f, 16 << 20, kNoAio));
    ASSERT_FALSE(m_api.close(f, kNoAio));
    symlink("d/prog", "/g/link");
    own("/g/link", 4321, 8765);
    link_attr("/g/link", "a link's own");
    node("/g/fifo", S_IFIFO | 0620, 0);
    node("/g/d/null", S_IFCHR | 0666, makedev(1, 3));
    node("/g/d/loop", S_IFBLK | 0660, makedev(7, 200));
    node("/g/socket", S_IFSOCK | 0755, 0);
    own("/g/socket", 99, 98);
    // The group's directory has an owner, a mode and ACLs of its own.
    set_attr("/g", "system.posix_acl_access", acl_value);
    set_attr("/g", "system.posix_acl_default", acl_value);
    own("/g", 1000, 1001);
    chmod("/g", 0751);
    int64_t shift = 0;
    for (const char* rel : {"/g/d/empty", "/g/d/prog", "/g/hard", "/g/sparse", "/g/link", "/g/fifo",
                            "/g/d/null", "/g/d/loop", "/g/socket", "/g/d", "/g"}) {
      times(rel, shift += 1000);
    }
  }

  // Everything lstat, the attributes and the data tell of the entry rel.
  void read_record(const std::string& rel, record* r) {
    std::string path = p(rel);
    ASSERT_FALSE(m_api.lstat(m_io, path.c_str(), &r->st, kNoAio)) << rel;
    std::vector<std::string> attr_names;
    ASSERT_FALSE(m_api.listxattr(m_io, path.c_str(), false, &attr_names, kNoAio)) << rel;
    for (const std::string& a : attr_names) {
      if (a.compare(0, 18, "trusted.glusterfs.") == 0 || a.compare(0, 12, "trusted.gfid") == 0) {
        continue;
      }
      std::vector<char> buf(65536);
      struct iovec iov = {buf.data(), buf.size()};
      int64_t n = m_api.lgetxattr(m_io, path.c_str(), a.c_str(), &iov, kNoAio);
      ASSERT_GE(n, 0) << rel << " " << a;
      r->attrs[a] = std::string(buf.data(), static_cast<size_t>(n));
    }
    if (S_ISREG(r->st.st_mode)) r->data = fnv1a(read_file(rel));
    if (S_ISLNK(r->st.st_mode)) m_api.readlink(m_io, path.c_str(), &r->data, kNoAio);
  }

  // The entries under rel (not rel itself), by relative path.
  void walk_records(const std::string& rel, const std::string& under,
                    std::map<std::string, record>* out, bool top = true) {
    std::vector<std::string> names;
    ktfs::file_ptr dir = m_api.opendir(m_io, p(rel + under).c_str(), kNoAio);
    ASSERT_TRUE(dir) << rel + under;
    while (struct dirent* e = m_api.readdir(dir, kNoAio)) names.push_back(e->d_name);
    m_api.closedir(dir, kNoAio);
    for (const std::string& name : names) {
      if (name == "." || name == ".." || (top && name == ".snaps")) {
        continue;
      }
      std::string entry = under + "/" + name;
      record& r = (*out)[entry];
      read_record(rel + entry, &r);
      if (S_ISDIR(r.st.st_mode)) walk_records(rel, entry, out, false);
    }
  }

  // The type, mode, owner, times and attributes of copy are live's.
  static void expect_same_metadata(const record& live, const record& copy) {
    const struct stat &a = live.st, &b = copy.st;
    EXPECT_EQ(b.st_mode, a.st_mode);  // type and mode
    EXPECT_EQ(b.st_uid, a.st_uid);
    EXPECT_EQ(b.st_gid, a.st_gid);
    EXPECT_EQ(b.st_mtim.tv_sec, a.st_mtim.tv_sec);
    EXPECT_EQ(b.st_mtim.tv_nsec, a.st_mtim.tv_nsec);
    EXPECT_EQ(b.st_atim.tv_sec, a.st_atim.tv_sec);
    EXPECT_EQ(b.st_atim.tv_nsec, a.st_atim.tv_nsec);
    EXPECT_EQ(copy.attrs, live.attrs);
  }

  // Checks the version entry by entry against the live group.
  void expect_faithful(const std::map<std::string, record>& live,
                       const std::map<std::string, record>& copy) {
    ASSERT_EQ(copy.size(), live.size());
    std::map<ino_t, std::string> live_first, copy_first;  // the first name of each file
    for (const auto& l : live) {
      SCOPED_TRACE(l.first);
      auto found = copy.find(l.first);
      ASSERT_NE(found, copy.end());
      const struct stat &a = l.second.st, &b = found->second.st;
      expect_same_metadata(l.second, found->second);
      EXPECT_EQ(b.st_nlink, a.st_nlink);
      EXPECT_EQ(b.st_rdev, a.st_rdev);
      if (!S_ISDIR(a.st_mode)) {
        EXPECT_EQ(b.st_size, a.st_size);
        // Names of one file in the group are names of one file in the version.
        EXPECT_EQ(copy_first.emplace(b.st_ino, l.first).first->second,
                  live_first.emplace(a.st_ino, l.first).first->second);
        EXPECT_NE(b.st_ino, a.st_ino);
      }
      EXPECT_EQ(found->second.data, l.second.data);
    }
  }
};

TEST_P(FaithfulTest, VersionRecordsEveryEntryAsItIs) {
  build_rich_group();
  std::map<std::string, record> live;
  walk_records("/g", "", &live);
  record group;
  read_record("/g", &group);
  ASSERT_EQ(live.size(), 12u);
  EXPECT_EQ(live["/hard"].st.st_nlink, 3u);
  EXPECT_EQ(live["/link"].attrs.at(kNote), "a link's own");
  EXPECT_EQ(live["/d"].attrs.count("system.posix_acl_default"), 1u);
  // One worker, then the pool: the same version.
  for (unsigned workers : {1u, 0u}) {
    SCOPED_TRACE("workers " + std::to_string(ktfssnapcore::copy_workers()));
    ktfssnapcore::set_copy_workers(workers);
    std::string name = "v" + std::to_string(workers);
    make_version(name);
    ktfssnapcore::ktfssnapcore_opinfo info = opinfo(name, m_io);
    ASSERT_FALSE(ktfssnapcore::snap_opcreate(&info));
    EXPECT_TRUE(m_sink->records().empty()) << m_sink->records()[0].text;
    std::map<std::string, record> copy;
    walk_records("/g/.snaps/" + name, "", &copy, false);
    EXPECT_EQ(copy.erase(kList), 1u);
    EXPECT_EQ(copy.erase("/.snaps"), 1u);
    expect_faithful(live, copy);
    // The version's own directory, once finished, is its group's: owner,
    // mode, times and ACLs.
    record root;
    read_record("/g/.snaps/" + name, &root);
    expect_same_metadata(group, root);
    // Holes stay holes: the copy allocates about what the data needs.
    EXPECT_LE(copy["/sparse"].st.st_blocks, live["/sparse"].st.st_blocks + 16);
    EXPECT_LT(copy["/sparse"].st.st_blocks * 512, 1 << 20);
    EXPECT_EQ(ktfssnapcore::snap_progress().files.load(), 5u);  // prog, sparse, 3 names of hard
    EXPECT_EQ(ktfssnapcore::snap_progress().bytes.load(), (256u << 10) + 4096 + 10 + 22);
  }
}

TEST_P(FaithfulTest, VanishedEntriesLeftOutChangesAndLostOwnersReported) {
  mkdir("/g", 0755);
  mkdir("/g/.snaps", 0755);
  write_file("/g/vanishing", "gone before its copy");
  mkdir("/g/vanishing-dir", 0755);
  write_file("/g/changing", "data", 0644);
  write_file("/g/setid", "x", 0755);
  chmod("/g/setid", 06755);
  write_file("/g/kept", "kept");
  ktfs::client_defaults saved = ktfs::get_client_defaults(), wrapped = saved;
  std::shared_ptr<disturbing_backend> faults;
  wrapped.wrap = [&faults](std::shared_ptr<ktfs::backend> base) {
    faults = std::make_shared<disturbing_backend>(base);
    return std::shared_ptr<ktfs::backend>(faults);
  };
  ktfs::set_client_defaults(wrapped);
  ktfs::iopx_ptr io = m_api.init(m_volume->cfg());
  ktfs::set_client_defaults(saved);
  ASSERT_TRUE(io && faults);
  faults->fail_calls(ktfs::op::chown, "*/setid", EPERM);  // as for a user not root
  // "changing" grows once the copy has opened it, before its data is read.
  faults->on_call(ktfs::op::open, "*/.snaps/v/changing", [&] {
    ktfs::file_ptr f = m_api.open(m_io, p("/g/changing").c_str(), O_WRONLY, 0, kNoAio);
    size_t done = 0;
    EXPECT_TRUE(f && !m_api.write(f, "more", 4, 4, &done, kNoAio) && !m_api.close(f, kNoAio));
  });
  make_version("v");
  ktfssnapcore::ktfssnapcore_opinfo info = opinfo("v", io);
  ASSERT_FALSE(ktfssnapcore::snap_opcreate(&info));
  std::multiset<std::string> said;
  for (const ktfs::log_record& r : m_sink->records()) {
    EXPECT_FALSE(r.is_error) << r.text;
    EXPECT_EQ(r.level, -1) << r.text;
    said.insert(r.text);
  }
  EXPECT_EQ(
      said,
      (std::multiset<std::string>{
          "[" + p("/g/vanishing") + "] disappeared during the copy: left out of the version",
          "[" + p("/g/vanishing-dir") + "] disappeared during the copy: left out of the version",
          "[" + p("/g/changing") +
              "] changed while it was copied (size or modification time): its copy in "
              "the version may mix old and new data",
          "owner 0:0 of [" + p("/g/setid") + "] not kept (" + std::strerror(EPERM) +
              "): its set-user-id and set-group-id bits are dropped"}));
  EXPECT_FALSE(exists("/g/.snaps/v/vanishing"));
  EXPECT_FALSE(exists("/g/.snaps/v/vanishing-dir"));
  EXPECT_EQ(read_file("/g/.snaps/v/kept"), "kept");
  EXPECT_EQ(read_file("/g/.snaps/v/changing"), "data");  // as it was when the copy opened it
  struct stat st;
  ASSERT_FALSE(m_api.lstat(m_io, p("/g/.snaps/v/setid").c_str(), &st, kNoAio));
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

INSTANTIATE_TEST_SUITE_P(Backends, FaithfulTest,
                         ::testing::Values(backend_kind::local, backend_kind::gluster_distributed),
                         [](const ::testing::TestParamInfo<backend_kind>& info) {
                           return std::string(ktsm_test::backend_name(info.param));
                         });

INSTANTIATE_TEST_SUITE_P(Backends, SnapcoreTest,
                         ::testing::Values(backend_kind::local, backend_kind::gluster_distributed),
                         [](const ::testing::TestParamInfo<backend_kind>& info) {
                           return std::string(ktsm_test::backend_name(info.param));
                         });

}  // namespace
