// libktfssnapcore on every client backend: taking a version of a file group,
// preparing its removal, and the list and tree utilities.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "ktfs/ktfs_api.h"
#include "ktfs/ktfs_fault.h"
#include "ktfssnapcore/ktfssnapcore.h"
#include "support/test_volumes.h"

namespace {

using ktfssnapcore::ktfssnaputils;
using ktsm_test::backend_kind;

const ktfs::aio_ptr kNoAio;
const char kUuid[] = "trusted.cloudsync.uuid";
const char kNote[] = "trusted.ktsm.note";
const char kList[] = "/.ktsm-deleted-files";

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
    ktfs::file_ptr f = m_api.open(m_io, p(rel).c_str(), O_RDONLY, kNoAio);
    EXPECT_TRUE(f) << rel;
    std::vector<char> block(1 << 20);
    size_t done = 1;
    while (f && done != 0) {
      EXPECT_FALSE(m_api.read(f, block.data(), block.size(), data.size(), &done, kNoAio));
      data.append(block.data(), done);
    }
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
    walk("/g", "", &t, {".snaps", kList + 1});
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
    write_file("/g/.ktsm-deleted-files", "uuid-gone\t/gone\n");
    mkdir("/g/.snaps", 0755);
    mkdir("/g/.snaps/v0", 0700);
    write_file("/g/.snaps/v0/old", "older version");
    if (GetParam() == backend_kind::local) {
      ASSERT_EQ(::mkfifo(m_volume->host_path(p("/g/fifo")).c_str(), 0600), 0);
    }
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
  copy.entries.erase(kList);
  if (GetParam() == backend_kind::local) {
    EXPECT_EQ(live.entries.erase("/fifo"), 1u);  // other file types are left out
  }
  EXPECT_EQ(live.entries.size(), 11u);
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
  // The version directory keeps its own mode and attributes.
  EXPECT_EQ(attrs_of("/g/.snaps/v1"), "");

  const ktfssnapcore::copy_progress& progress = ktfssnapcore::snap_progress();
  EXPECT_EQ(progress.files.load(), 6u);
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
      {ktfs::op::setxattr, "%V/a/b/deep.txt", EIO, "%V/a/b/deep.txt", "/a/b/deep.txt", kList},
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

TEST_P(SnapcoreTest, DeleteTellsWhetherTheListIsMergedAndNeverRemoves) {
  build_group();
  make_version("v1");
  write_file("/g/.snaps/v1" + std::string(kList), "u\t/x\n");
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

TEST_P(SnapcoreTest, RemoveTreeNeverFollowsLinks) {
  mkdir("/outside", 0755);
  write_file("/outside/keep", "k");
  ktfs::iopx_ptr io = faulty_io();
  ASSERT_TRUE(io);
  struct {
    const char* name;
    ktfs::op kind;  // fails once on the glob below the tree; count_: none
    const char* glob;
    int err;
    const char* failed;  // below the tree; "" for the tree itself
  } cases[] = {
      {"whole", ktfs::op::count_, "", 0, ""},
      {"unreadable version", ktfs::op::opendir, "/v", EACCES, ""},
      {"unlink fails", ktfs::op::unlink, "/file", EIO, "/file"},
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
    if (c.kind != ktfs::op::count_) m_faults->fail_calls(c.kind, "*" + t + c.glob, c.err, false);
    std::error_code ec = ktfssnaputils::rmdir_nonempty(&m_api, io, p(t), m_log);
    bool fails = *c.failed != '\0';
    EXPECT_EQ(ec.value(), fails ? c.err : 0);
    EXPECT_EQ(m_faults->fired(), c.kind != ktfs::op::count_ ? 1u : 0u);
    EXPECT_EQ(exists(t), fails);
    if (fails) {
      expect_one_error("ktfssnapcore::rmdir_nonempty()",
                       "remove of [" + p(t + c.failed) + "] failed: " + std::strerror(c.err));
      EXPECT_EQ(read_file(t + c.failed), "x");
    }
    EXPECT_EQ(read_file("/outside/keep"), "k");
  }
  EXPECT_EQ(ktfssnaputils::rmdir_nonempty(&m_api, m_io, p("/absent"), m_log).value(), ENOENT);
  EXPECT_EQ(errors().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Backends, SnapcoreTest,
                         ::testing::Values(backend_kind::local, backend_kind::gluster_distributed),
                         [](const ::testing::TestParamInfo<backend_kind>& info) {
                           return std::string(ktsm_test::backend_name(info.param));
                         });

}  // namespace
