// One contract for every client backend: the same cases run against a local
// directory and against a real GlusterFS volume through libgfapi.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "ktfs/ktfs_api.h"
#include "support/test_volumes.h"

using ktfs::kNoAio;

namespace {

using ktsm_test::backend_kind;

const char kState[] = "trusted.norvafs.snapstate";

class ContractTest : public ::testing::TestWithParam<backend_kind> {
 protected:
  void SetUp() override {
    std::string skip;
    m_volume = ktsm_test::test_volume::make(GetParam(), &skip);
    if (!skip.empty()) GTEST_SKIP() << skip;
    ASSERT_TRUE(m_volume);
    m_io = m_api.init(m_volume->cfg());
    ASSERT_TRUE(m_io) << "init failed: " << std::strerror(errno);
  }

  std::string p(const std::string& rel) const { return m_volume->prefix() + rel; }

  mode_t mode_of(const std::string& rel) {
    struct stat st;
    std::memset(&st, 0, sizeof st);
    EXPECT_FALSE(m_api.stat(m_io, p(rel).c_str(), &st, kNoAio)) << rel;
    return st.st_mode;
  }

  void write_file(const std::string& rel, const std::string& data) {
    ktfs::file_ptr f = m_api.open(m_io, p(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644, kNoAio);
    ASSERT_TRUE(f) << rel << ": " << std::strerror(errno);
    size_t done = 0;
    ASSERT_FALSE(m_api.write(f, data.data(), data.size(), 0, &done, kNoAio));
    ASSERT_EQ(done, data.size());
    ASSERT_FALSE(m_api.close(f, kNoAio));
  }

  std::string read_file(const std::string& rel) {
    std::string data;
    EXPECT_TRUE(ktsm_test::read_volume_file(m_api, m_io, p(rel), &data)) << rel;
    return data;
  }

  std::set<std::string> list(const std::string& rel) {
    std::set<std::string> names;
    ktfs::file_ptr dir = m_api.opendir(m_io, p(rel).c_str(), kNoAio);
    EXPECT_TRUE(dir) << rel;
    if (!dir) return names;
    while (struct dirent* e = m_api.readdir(dir, kNoAio)) names.insert(e->d_name);
    EXPECT_EQ(errno, 0) << "readdir ended with an error";
    EXPECT_FALSE(m_api.closedir(dir, kNoAio));
    return names;
  }

  ktfs::ktfs_api m_api;
  ktfs::iopx_ptr m_io;
  std::unique_ptr<ktsm_test::test_volume> m_volume;
};

TEST_P(ContractTest, DirectoriesKeepExactModesAndStatTellsExistence) {
  struct {
    const char* name;
    unsigned int mode;
  } cases[] = {{"/group", 0760}, {"/group/.snaps", 0760}, {"/group/.snaps/v1", 0}, {"/wide", 0777}};
  for (const auto& c : cases) {
    ASSERT_FALSE(m_api.mkdir(m_io, p(c.name).c_str(), c.mode, kNoAio)) << c.name;
    mode_t mode = mode_of(c.name);
    EXPECT_TRUE(S_ISDIR(mode)) << c.name;
    EXPECT_EQ(mode & 07777, c.mode) << c.name;
  }
  EXPECT_EQ(m_api.mkdir(m_io, p("/group").c_str(), 0760, kNoAio).value(), EEXIST);
  struct stat st;
  EXPECT_EQ(m_api.stat(m_io, p("/missing").c_str(), &st, kNoAio).value(), ENOENT);
  EXPECT_EQ(m_api.mkdir(m_io, p("/missing/sub").c_str(), 0760, kNoAio).value(), ENOENT);
  // Doubled separators name the same directory.
  EXPECT_FALSE(m_api.stat(m_io, ("/" + p("//group/.snaps")).c_str(), &st, kNoAio));
  // Every brick answers for a directory of a healthy volume; a missing one
  // cannot be looked up.
  EXPECT_FALSE(m_api.reachable(m_io, p("/group").c_str(), kNoAio));
  EXPECT_EQ(m_api.reachable(m_io, p("/missing").c_str(), kNoAio).value(), ENOENT);
}

TEST_P(ContractTest, SnapshotStateAttributeRoundTripsSixteenBytes) {
  ASSERT_FALSE(m_api.mkdir(m_io, p("/v").c_str(), 0, kNoAio));
  for (const char* state : {"1", "2", "10", "12"}) {
    char value[16] = {0};
    std::memcpy(value, state, std::strlen(state));
    struct iovec out = {value, sizeof value};
    ASSERT_FALSE(m_api.setxattr(m_io, p("/v").c_str(), kState, &out, 0, kNoAio)) << state;

    char back[16];
    std::memset(back, 0x7f, sizeof back);
    struct iovec in = {back, sizeof back};
    ASSERT_EQ(m_api.getxattr(m_io, p("/v").c_str(), kState, &in, kNoAio), 16) << state;
    EXPECT_EQ(0, std::memcmp(back, value, 16)) << "value not stored as text then zero bytes";
    EXPECT_STREQ(back, state);
  }
  std::vector<std::string> names;
  ASSERT_FALSE(m_api.listxattr(m_io, p("/v").c_str(), true, &names, kNoAio));
  EXPECT_NE(std::find(names.begin(), names.end(), kState), names.end());
}

TEST_P(ContractTest, MissingAttributeAndMissingPathReadAsFailure) {
  ASSERT_FALSE(m_api.mkdir(m_io, p("/v").c_str(), 0760, kNoAio));
  char buf[16] = {0};
  struct iovec iov = {buf, sizeof buf};
  errno = 0;
  EXPECT_EQ(m_api.getxattr(m_io, p("/v").c_str(), kState, &iov, kNoAio), -1);
  EXPECT_EQ(errno, ENODATA);
  EXPECT_EQ(m_api.getxattr(m_io, p("/nowhere").c_str(), kState, &iov, kNoAio), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(m_api.setxattr(m_io, p("/nowhere").c_str(), kState, &iov, 0, kNoAio));
}

// An entry's attribute read through the open directory that lists it is
// the entry's own, as lgetxattr of its path gives it (on the local backend
// with getxattrat and with the fallback of a kernel without it).
TEST_P(ContractTest, AttributesOfListedEntriesAreTheirOwn) {
  ASSERT_FALSE(m_api.mkdir(m_io, p("/d").c_str(), 0760, kNoAio));
  ASSERT_FALSE(m_api.mkdir(m_io, p("/d/v").c_str(), 0, kNoAio));
  char value[16] = "2";
  struct iovec put = {value, sizeof value};
  ASSERT_FALSE(m_api.setxattr(m_io, p("/d/v").c_str(), kState, &put, 0, kNoAio));
  ASSERT_FALSE(m_api.symlink(m_io, "v", p("/d/l").c_str(), kNoAio));
  bool local = GetParam() == backend_kind::local;
  for (const char* resolve :
       local ? std::vector<const char*>{"openat2", "walk"} : std::vector<const char*>{"default"}) {
    SCOPED_TRACE(resolve);
    if (local) ::setenv("KTFS_LOCAL_RESOLVE", resolve, 1);
    ktfs::iopx_ptr io = m_api.init(m_volume->cfg());
    ::unsetenv("KTFS_LOCAL_RESOLVE");
    ktfs::file_ptr dir = m_api.opendir(io, p("/d").c_str(), kNoAio);
    ASSERT_TRUE(dir);
    auto read = [&](const char* entry, const char* name, size_t len) {
      char buf[16];
      std::memset(buf, 0x7f, sizeof buf);
      struct iovec iov = {buf, len};
      errno = 0;
      int64_t n = m_api.getxattrat(dir, entry, name, &iov, kNoAio);
      return n < 0 ? -errno : std::memcmp(buf, value, 16) == 0 ? n : 0;
    };
    EXPECT_EQ(read("v", kState, 16), 16);
    EXPECT_EQ(read("v", kState, 4), -ERANGE);
    EXPECT_EQ(read("v", "trusted.norvafs.absent", 16), -ENODATA);
    EXPECT_EQ(read("l", kState, 16), -ENODATA) << "the link's own, not its target's";
    EXPECT_EQ(read("absent", kState, 16), -ENOENT);
    for (const char* bad : {"", ".", "..", "v/x", "/d/v"})
      EXPECT_EQ(read(bad, kState, 16), -EINVAL);
    EXPECT_FALSE(m_api.closedir(dir, kNoAio));
  }
}

TEST_P(ContractTest, ListingShowsEveryEntryIncludingDotNames) {
  ASSERT_FALSE(m_api.mkdir(m_io, p("/g").c_str(), 0760, kNoAio));
  for (const char* name : {"/g/.snaps", "/g/.hidden", "/g/plain"}) {
    ASSERT_FALSE(m_api.mkdir(m_io, p(name).c_str(), 0760, kNoAio)) << name;
  }
  write_file("/g/file", "x");
  std::set<std::string> expected = {".", "..", ".snaps", ".hidden", "plain", "file"};
  EXPECT_EQ(list("/g"), expected);
  EXPECT_EQ(list("/g/plain"), (std::set<std::string>{".", ".."}));

  // readdirplus: the same entries, each with its own lstat (a link's own).
  ASSERT_FALSE(m_api.symlink(m_io, "file", p("/g/link").c_str(), kNoAio));
  ktfs::file_ptr dir = m_api.opendir(m_io, p("/g").c_str(), kNoAio);
  ASSERT_TRUE(dir);
  std::set<std::string> seen;
  struct stat st;
  while (struct dirent* e = m_api.readdirplus(dir, &st, kNoAio)) {
    seen.insert(e->d_name);
    struct stat own;
    ASSERT_FALSE(m_api.lstat(m_io, p("/g/" + std::string(e->d_name)).c_str(), &own, kNoAio));
    EXPECT_EQ(st.st_ino, own.st_ino) << e->d_name;
    EXPECT_EQ(st.st_mode, own.st_mode) << e->d_name;
    EXPECT_EQ(st.st_size, own.st_size) << e->d_name;
  }
  EXPECT_EQ(errno, 0);
  EXPECT_FALSE(m_api.closedir(dir, kNoAio));
  expected.insert("link");
  EXPECT_EQ(seen, expected);

  errno = 0;
  EXPECT_FALSE(m_api.opendir(m_io, p("/absent").c_str(), kNoAio));
  EXPECT_EQ(errno, ENOENT);
}

// Whatever a umask would clear, a created file gets exactly the bits asked.
TEST_P(ContractTest, CreatedFilesKeepExactModes) {
  for (unsigned int mode : {0600u, 0644u, 0777u, 0u, 02775u}) {
    std::string name = "/created-" + std::to_string(mode);
    ktfs::file_ptr f = m_api.open(m_io, p(name).c_str(), O_WRONLY | O_CREAT | O_EXCL, mode, kNoAio);
    ASSERT_TRUE(f) << name << ": " << std::strerror(errno);
    EXPECT_EQ(f->get_file_size(), 0u) << name;
    ASSERT_FALSE(m_api.close(f, kNoAio)) << name;
    mode_t got = mode_of(name);
    EXPECT_TRUE(S_ISREG(got)) << name;
    EXPECT_EQ(got & 07777, mode) << name;
  }
}

TEST_P(ContractTest, RemovalRefusesNonEmptyDirectories) {
  ASSERT_FALSE(m_api.mkdir(m_io, p("/g").c_str(), 0760, kNoAio));
  ASSERT_FALSE(m_api.mkdir(m_io, p("/g/.snaps").c_str(), 0760, kNoAio));
  EXPECT_EQ(m_api.rmdir(m_io, p("/g").c_str(), kNoAio).value(), ENOTEMPTY);
  EXPECT_FALSE(m_api.rmdir(m_io, p("/g/.snaps").c_str(), kNoAio));
  EXPECT_FALSE(m_api.rmdir(m_io, p("/g").c_str(), kNoAio));
  EXPECT_EQ(m_api.rmdir(m_io, p("/g").c_str(), kNoAio).value(), ENOENT);
}

TEST_P(ContractTest, FilesReadWriteSizeAndUnlink) {
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  write_file("/f", data);
  EXPECT_EQ(read_file("/f"), data);

  // Flags 1 opens an existing file write-only, without creating or appending.
  ktfs::file_ptr f = m_api.open(m_io, p("/f").c_str(), 1, kNoAio);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->get_file_size(), data.size());
  size_t done = 0;
  ASSERT_FALSE(m_api.write(f, "tail", 4, f->get_file_size(), &done, kNoAio));
  EXPECT_EQ(f->get_file_size(), data.size() + 4);
  char byte;
  EXPECT_TRUE(m_api.read(f, &byte, 1, 0, &done, kNoAio)) << "read on a write-only handle";
  ASSERT_FALSE(m_api.close(f, kNoAio));
  EXPECT_EQ(m_api.close(f, kNoAio).value(), EBADF) << "second close";
  EXPECT_EQ(read_file("/f"), data + "tail");

  errno = 0;
  EXPECT_FALSE(m_api.open(m_io, p("/absent").c_str(), 1, kNoAio));
  EXPECT_EQ(errno, ENOENT);
  // O_CREAT on an existing file opens it and leaves its mode alone.
  ktfs::file_ptr again = m_api.open(m_io, p("/f").c_str(), O_RDONLY | O_CREAT, 0600, kNoAio);
  ASSERT_TRUE(again);
  EXPECT_FALSE(m_api.close(again, kNoAio));
  EXPECT_EQ(mode_of("/f") & 07777, 0644u);

  EXPECT_FALSE(m_api.unlink(m_io, p("/f").c_str(), kNoAio));
  EXPECT_EQ(m_api.unlink(m_io, p("/f").c_str(), kNoAio).value(), ENOENT);
}

// A lock belongs to the open file: a second open waits its turn even in the
// same process, and closing the holder releases it.
TEST_P(ContractTest, LocksBelongToTheOpenFile) {
  write_file("/lock", "");
  ktfs::file_ptr a = m_api.open(m_io, p("/lock").c_str(), O_RDWR, kNoAio);
  ktfs::file_ptr b = m_api.open(m_io, p("/lock").c_str(), O_RDWR, kNoAio);
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(m_api.lock(a, true, kNoAio));
  std::error_code held = m_api.lock(b, true, kNoAio);
  EXPECT_TRUE(held.value() == EAGAIN || held.value() == EACCES) << held.message();
  EXPECT_FALSE(m_api.lock(a, false, kNoAio));
  EXPECT_FALSE(m_api.lock(b, true, kNoAio));
  EXPECT_FALSE(m_api.close(b, kNoAio));
  EXPECT_FALSE(m_api.lock(a, true, kNoAio)) << "closing the holder released it";
  m_api.close(a, kNoAio);
}

TEST_P(ContractTest, LinksRenamesAndCopies) {
  write_file("/src", std::string(1 << 20, 'k') + "end");
  if (GetParam() == backend_kind::gluster_distributed) {
    // A connection that copies on the servers copies whole files right and
    // ends at the end of the source (glfs_copy_file_range alone does not).
    ::setenv("KTFS_GFAPI_COPY_FILE_RANGE", "1", 1);
    ktfs::iopx_ptr server_io = m_api.init(m_volume->cfg());
    ::unsetenv("KTFS_GFAPI_COPY_FILE_RANGE");
    ASSERT_TRUE(server_io);
    ktfs::file_ptr in = m_api.open(server_io, p("/src").c_str(), O_RDONLY, kNoAio);
    ktfs::file_ptr out =
        m_api.open(server_io, p("/server-copy").c_str(), O_WRONLY | O_CREAT, 0600, kNoAio);
    ASSERT_TRUE(in && out);
    uint64_t a = 0, b = 0;
    size_t n = 0, calls = 0;
    do {
      std::error_code ec = m_api.copy_range(in, &a, out, &b, 4 << 20, &n, kNoAio);
      ASSERT_FALSE(ec) << ec.message();
    } while (n != 0 && ++calls < 10);
    EXPECT_EQ(a, (1u << 20) + 3);
    m_api.close(in, kNoAio);
    m_api.close(out, kNoAio);
    // Read without asking the size: the client's cached size of a server-side
    // copy's destination stays stale for a while (GlusterFS 10.3).
    ktfs::file_ptr back = m_api.open(server_io, p("/server-copy").c_str(), O_RDONLY, kNoAio);
    ASSERT_TRUE(back);
    std::string data(2 << 20, '\0');
    ASSERT_FALSE(m_api.read(back, &data[0], data.size(), 0, &n, kNoAio));
    data.resize(n);
    std::string want = std::string(1 << 20, 'k') + "end";
    size_t diff = std::mismatch(data.begin(), data.end(), want.begin()).first - data.begin();
    EXPECT_TRUE(data == want) << data.size() << " bytes read back, first difference at " << diff
                              << ": " << int(data[diff]);
    m_api.close(back, kNoAio);
  }
  ASSERT_FALSE(m_api.symlink(m_io, "src", p("/link").c_str(), kNoAio));
  std::string target;
  ASSERT_FALSE(m_api.readlink(m_io, p("/link").c_str(), &target, kNoAio));
  EXPECT_EQ(target, "src");
  struct stat st;
  ASSERT_FALSE(m_api.lstat(m_io, p("/link").c_str(), &st, kNoAio));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  // lchmod sets the mode of the entry itself and never a link's target.
  mode_t before = mode_of("/src");
  EXPECT_EQ(m_api.lchmod(m_io, p("/link").c_str(), 0777, kNoAio).value(), ELOOP);
  EXPECT_EQ(mode_of("/src"), before);
  EXPECT_FALSE(m_api.lchmod(m_io, p("/src").c_str(), 04750, kNoAio));
  EXPECT_EQ(mode_of("/src") & 07777, 04750u);

  ktfs::file_ptr src = m_api.open(m_io, p("/src").c_str(), O_RDONLY, kNoAio);
  ktfs::file_ptr dst = m_api.open(m_io, p("/dst").c_str(), O_WRONLY | O_CREAT, 0600, kNoAio);
  ASSERT_TRUE(src && dst);
  uint64_t in = 0, out = 0;
  size_t done = 0;
  do {
    ASSERT_FALSE(m_api.copy_range(src, &in, dst, &out, 256 * 1024, &done, kNoAio));
  } while (done != 0);
  EXPECT_EQ(in, (1u << 20) + 3);
  EXPECT_EQ(out, in);
  m_api.close(src, kNoAio);
  m_api.close(dst, kNoAio);
  EXPECT_EQ(read_file("/dst"), std::string(1 << 20, 'k') + "end");

  ASSERT_FALSE(m_api.rename(m_io, p("/dst").c_str(), p("/moved").c_str(), kNoAio));
  EXPECT_EQ(m_api.stat(m_io, p("/dst").c_str(), &st, kNoAio).value(), ENOENT);
  EXPECT_EQ(read_file("/moved").size(), (1u << 20) + 3);
}

// The calls a faithful copy needs: each reaches the entry itself, never a
// link's target.
TEST_P(ContractTest, MetadataNodesLinksAndHoles) {
  if (::geteuid() != 0) GTEST_SKIP() << "owners and devices need root";
  write_file("/f", "data");
  ASSERT_FALSE(m_api.symlink(m_io, "f", p("/l").c_str(), kNoAio));
  ASSERT_FALSE(m_api.lchown(m_io, p("/l").c_str(), 1234, 5678, kNoAio));
  const struct timespec t[2] = {{1000000000, 123}, {900000000, 456}};
  ASSERT_FALSE(m_api.lutimens(m_io, p("/l").c_str(), t, kNoAio));
  char value[] = "own";
  struct iovec iov = {value, 3};
  ASSERT_FALSE(m_api.lsetxattr(m_io, p("/l").c_str(), "trusted.ktsm.x", &iov, 0, kNoAio));
  struct stat l, f;
  ASSERT_FALSE(m_api.lstat(m_io, p("/l").c_str(), &l, kNoAio));
  ASSERT_FALSE(m_api.lstat(m_io, p("/f").c_str(), &f, kNoAio));
  EXPECT_EQ(l.st_uid, 1234u);
  EXPECT_EQ(l.st_gid, 5678u);
  EXPECT_EQ(l.st_mtim.tv_sec, 900000000);
  EXPECT_EQ(l.st_mtim.tv_nsec, 456);
  EXPECT_EQ(l.st_atim.tv_nsec, 123);
  EXPECT_EQ(f.st_uid, 0u) << "the target kept its owner";
  char back[8] = {0};
  struct iovec in = {back, sizeof back};
  EXPECT_EQ(m_api.lgetxattr(m_io, p("/l").c_str(), "trusted.ktsm.x", &in, kNoAio), 3);
  EXPECT_STREQ(back, "own");
  EXPECT_EQ(m_api.getxattr(m_io, p("/f").c_str(), "trusted.ktsm.x", &in, kNoAio), -1);

  struct {
    const char* name;
    unsigned int mode;
    dev_t dev;
  } nodes[] = {{"/fifo", S_IFIFO | 0640, 0},
               {"/null", S_IFCHR | 0666, makedev(1, 3)},
               {"/blk", S_IFBLK | 0600, makedev(7, 200)},
               {"/sock", S_IFSOCK | 0755, 0}};
  for (const auto& n : nodes) {
    ASSERT_FALSE(m_api.mknod(m_io, p(n.name).c_str(), n.mode, n.dev, kNoAio)) << n.name;
    struct stat st;
    ASSERT_FALSE(m_api.lstat(m_io, p(n.name).c_str(), &st, kNoAio));
    EXPECT_EQ(st.st_mode, n.mode) << n.name;
    EXPECT_EQ(st.st_rdev, n.dev) << n.name;
  }

  ASSERT_FALSE(m_api.link(m_io, p("/f").c_str(), p("/f2").c_str(), kNoAio));
  struct stat f2;
  ASSERT_FALSE(m_api.lstat(m_io, p("/f2").c_str(), &f2, kNoAio));
  EXPECT_EQ(f2.st_nlink, 2u);
  EXPECT_EQ(m_api.link(m_io, p("/f").c_str(), p("/f2").c_str(), kNoAio).value(), EEXIST);

  // A file with data at 1 MiB and a hole before and after it.
  ktfs::file_ptr s = m_api.open(m_io, p("/sparse").c_str(), O_RDWR | O_CREAT, 0600, kNoAio);
  ASSERT_TRUE(s);
  size_t done = 0;
  ASSERT_FALSE(m_api.write(s, "x", 1, 1 << 20, &done, kNoAio));
  ASSERT_FALSE(m_api.truncate(s, 4 << 20, kNoAio));
  EXPECT_EQ(s->get_file_size(), 4u << 20);
  uint64_t at = 0;
  ASSERT_FALSE(m_api.seek(s, 0, SEEK_DATA, &at, kNoAio));
  EXPECT_EQ(at, 1u << 20);
  ASSERT_FALSE(m_api.seek(s, at, SEEK_HOLE, &at, kNoAio));
  EXPECT_GT(at, 1u << 20);
  EXPECT_LT(at, 4u << 20);
  EXPECT_EQ(m_api.seek(s, at, SEEK_DATA, &at, kNoAio).value(), ENXIO);
  EXPECT_FALSE(m_api.close(s, kNoAio));
}

// No call of either backend passes through a symbolic link in a directory
// component, whether it leads inside the volume or out of it (on GlusterFS
// an absolute link starts at the volume's root).  On the local backend a
// final link is the link itself for the calls that do not follow it, and is
// followed only to an entry beside it.  Local: run with openat2 and
// component by component.
TEST_P(ContractTest, SymbolicLinksNeverLeadOutOfTheRoot) {
  const bool local = GetParam() == backend_kind::local;
  ktsm_test::scratch_dir outside;
  const std::string out = outside.path(), out_file = out + "/f";
  ASSERT_EQ(::mkdir((out + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(::close(::open(out_file.c_str(), O_WRONLY | O_CREAT, 0644)), 0);
  auto host_untouched = [&] {
    std::set<std::string> names;
    DIR* d = ::opendir(out.c_str());
    while (struct dirent* e = d != nullptr ? ::readdir(d) : nullptr) names.insert(e->d_name);
    if (d != nullptr) ::closedir(d);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "f", "sub"}));
    EXPECT_EQ(::rmdir((out + "/sub").c_str()) == 0 && ::mkdir((out + "/sub").c_str(), 0755) == 0,
              true)
        << "sub is empty";
    EXPECT_EQ(::listxattr(out_file.c_str(), nullptr, 0), 0);
  };
  auto err = [](bool ok) { return ok ? 0 : errno; };
  char value[16] = "1";
  struct iovec iov = {value, sizeof value};
  std::vector<const char*> resolves = {"openat2", "walk"};
  if (!local) resolves = {"gfapi"};
  for (const char* resolve : resolves) {
    SCOPED_TRACE(resolve);
    if (local) {
      ::setenv("KTFS_LOCAL_RESOLVE", resolve, 1);
      m_io = m_api.init(m_volume->cfg());
      ::unsetenv("KTFS_LOCAL_RESOLVE");
      ASSERT_TRUE(m_io);
    }
    const std::string b = std::string("/") + resolve;
    for (const char* dir : {"", "/in", "/in/sub"})
      ASSERT_FALSE(m_api.mkdir(m_io, p(b + dir).c_str(), 0755, kNoAio));
    write_file(b + "/in/f", "inside");
    struct {
      const char* target;
      const char* name;
    } links[] = {{"in", "/g"},
                 {out.c_str(), "/out"},
                 {"f", "/in/lf"},
                 {"../in/f", "/in/up"},
                 {out_file.c_str(), "/in/lout"}};
    for (const auto& l : links)
      ASSERT_FALSE(m_api.symlink(m_io, l.target, p(b + l.name).c_str(), kNoAio));

    for (const char* link : {"/g", "/out"}) {
      const std::string via = p(b + link);
      struct stat st;
      int got[] = {
          m_api.mkdir(m_io, (via + "/new").c_str(), 0755, kNoAio).value(),
          err(bool(m_api.open(m_io, (via + "/sub/new").c_str(), O_WRONLY | O_CREAT, 0644, kNoAio))),
          m_api.unlink(m_io, (via + "/f").c_str(), kNoAio).value(),
          m_api.rmdir(m_io, (via + "/sub").c_str(), kNoAio).value(),
          m_api.rename(m_io, (via + "/f").c_str(), p(b + "/taken").c_str(), kNoAio).value(),
          m_api.setxattr(m_io, (via + "/f").c_str(), kState, &iov, 0, kNoAio).value(),
          m_api.stat(m_io, (via + "/sub").c_str(), &st, kNoAio).value(),
          err(bool(m_api.opendir(m_io, (via + "/sub").c_str(), kNoAio))),
      };
      for (size_t i = 0; i < sizeof got / sizeof *got; ++i)
        EXPECT_EQ(got[i], ELOOP) << link << " call " << i;
    }
    host_untouched();
    EXPECT_EQ(list(b), (std::set<std::string>{".", "..", "in", "g", "out"}));
    EXPECT_EQ(list(b + "/in"), (std::set<std::string>{".", "..", "f", "sub", "lf", "up", "lout"}));
    EXPECT_EQ(list(b + "/in/sub"), (std::set<std::string>{".", ".."}));
    if (!local) continue;

    // A final link: its own for lstat, lgetxattr and unlink; followed by
    // stat, open, opendir and setxattr only to an entry beside it.
    struct stat st;
    ASSERT_FALSE(m_api.lstat(m_io, p(b + "/in/lf").c_str(), &st, kNoAio));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_FALSE(m_api.stat(m_io, p(b + "/in/lf").c_str(), &st, kNoAio));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(b + "/in/lf"), "inside");
    EXPECT_EQ(list(b + "/g"), list(b + "/in"));
    EXPECT_FALSE(m_api.open(m_io, p(b + "/in/lf").c_str(), O_RDONLY | O_NOFOLLOW, kNoAio));
    EXPECT_EQ(errno, ELOOP);
    for (const char* away : {"/in/up", "/in/lout", "/out"}) {
      EXPECT_EQ(m_api.stat(m_io, p(b + away).c_str(), &st, kNoAio).value(), ELOOP) << away;
    }
    ASSERT_FALSE(m_api.setxattr(m_io, p(b + "/in/lf").c_str(), kState, &iov, 0, kNoAio));
    EXPECT_EQ(m_api.getxattr(m_io, p(b + "/in/f").c_str(), kState, &iov, kNoAio), 16);
    EXPECT_EQ(m_api.lgetxattr(m_io, p(b + "/in/lf").c_str(), kState, &iov, kNoAio), -1);
    EXPECT_EQ(errno, ENODATA);
    for (const char* link : {"/in/lf", "/in/lout", "/out"}) {
      EXPECT_FALSE(m_api.unlink(m_io, p(b + link).c_str(), kNoAio)) << link;
    }
    EXPECT_EQ(list(b + "/in"), (std::set<std::string>{".", "..", "f", "sub", "up"}));
    host_untouched();
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, ContractTest,
                         ::testing::Values(backend_kind::local, backend_kind::gluster_distributed),
                         [](const ::testing::TestParamInfo<backend_kind>& info) {
                           return std::string(ktsm_test::backend_name(info.param));
                         });

}  // namespace
