// One contract for every client backend: the same cases run against a local
// directory and against a real GlusterFS volume through libgfapi.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "ktfs/ktfs_api.h"
#include "support/test_volumes.h"

namespace {

using ktsm_test::backend_kind;

const char kState[] = "trusted.norvafs.snapstate";
const ktfs::aio_ptr kNoAio;

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
    ktfs::file_ptr f = m_api.open(m_io, p(rel).c_str(), O_RDONLY, kNoAio);
    EXPECT_TRUE(f) << rel;
    if (!f) return "";
    std::string data(f->get_file_size(), '\0');
    size_t done = 0;
    EXPECT_FALSE(m_api.read(f, &data[0], data.size(), 0, &done, kNoAio));
    data.resize(done);
    EXPECT_FALSE(m_api.close(f, kNoAio));
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

TEST_P(ContractTest, ListingShowsEveryEntryIncludingDotNames) {
  ASSERT_FALSE(m_api.mkdir(m_io, p("/g").c_str(), 0760, kNoAio));
  for (const char* name : {"/g/.snaps", "/g/.hidden", "/g/plain"}) {
    ASSERT_FALSE(m_api.mkdir(m_io, p(name).c_str(), 0760, kNoAio)) << name;
  }
  write_file("/g/file", "x");
  std::set<std::string> expected = {".", "..", ".snaps", ".hidden", "plain", "file"};
  EXPECT_EQ(list("/g"), expected);
  EXPECT_EQ(list("/g/plain"), (std::set<std::string>{".", ".."}));

  errno = 0;
  EXPECT_FALSE(m_api.opendir(m_io, p("/absent").c_str(), kNoAio));
  EXPECT_EQ(errno, ENOENT);
}

// Whatever a umask would clear, a created file gets exactly the bits asked.
TEST_P(ContractTest, CreatedFilesKeepExactModes) {
  for (unsigned int mode : {0600u, 0644u, 0777u, 0u, 02775u}) {
    std::string name = "/created-" + std::to_string(mode);
    ktfs::file_ptr f =
        m_api.open(m_io, p(name).c_str(), O_WRONLY | O_CREAT | O_EXCL, mode, kNoAio);
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

TEST_P(ContractTest, LinksRenamesAndCopies) {
  write_file("/src", std::string(1 << 20, 'k') + "end");
  ASSERT_FALSE(m_api.symlink(m_io, "src", p("/link").c_str(), kNoAio));
  std::string target;
  ASSERT_FALSE(m_api.readlink(m_io, p("/link").c_str(), &target, kNoAio));
  EXPECT_EQ(target, "src");
  struct stat st;
  ASSERT_FALSE(m_api.lstat(m_io, p("/link").c_str(), &st, kNoAio));
  EXPECT_TRUE(S_ISLNK(st.st_mode));

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

INSTANTIATE_TEST_SUITE_P(Backends, ContractTest,
                         ::testing::Values(backend_kind::local, backend_kind::gluster_distributed),
                         [](const ::testing::TestParamInfo<backend_kind>& info) {
                           return std::string(ktsm_test::backend_name(info.param));
                         });

}  // namespace
