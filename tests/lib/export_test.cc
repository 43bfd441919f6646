// Export and unexport: state checks, the command line and its quoting, the
// stand-in export service, and the set's lock held while a command runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "internal.h"
#include "support/gluster_volume.h"
#include "support/library_fixture.h"

namespace {

using ktsm_internal::access;
using ktsm_test::state_bytes;
using ktsm_test::vs;
typedef vs::version_ptr version_ptr;

// A set "//g" with an active version v1.  A fake "storhaug" comes first on
// PATH: it records its arguments, one per line, and exits with the status in
// the file "status" beside it (0 when missing); with FAKE_HANG set it writes
// its own and a child's process id there and waits for the child, which
// sleeps far beyond any test.
class ExportTest : public ktsm_test::LocalLibraryTest {
 protected:
  void SetUp() override {
    LocalLibraryTest::SetUp();
    m_saved_path = std::getenv("PATH");
    std::ofstream fake(m_bin.path() + "/storhaug");
    fake << "#!/bin/sh\n"
         << "d=$(dirname \"$0\")\n"
         << "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$d/args\"; done\n"
         << "if [ -n \"${FAKE_HANG:-}\" ]; then\n"
         << "  echo 'fake storhaug hangs' >&2; sleep 1000 & echo \"$$ $!\" > \"$FAKE_HANG\"; wait\n"
         << "fi\n"
         << "if [ -n \"${FAKE_GATE:-}\" ]; then\n"
         << "  touch \"$FAKE_GATE.started\"; i=0\n"
         << "  while [ ! -e \"$FAKE_GATE\" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n"
         << "fi\n"
         << "exit $(cat \"$d/status\" 2>/dev/null || echo 0)\n";
    fake.close();
    ::chmod((m_bin.path() + "/storhaug").c_str(), 0755);
    ::setenv("PATH", (m_bin.path() + ":" + m_saved_path).c_str(), 1);
    ASSERT_EQ(m_lib.init(), 0);
    ASSERT_EQ(vs::create_version_set("//g", m_set), 0);
    ASSERT_EQ(m_set->create_version("v1", m_v1), 0);
    m_lib.capture().clear();
  }
  void TearDown() override {
    ::setenv("PATH", m_saved_path.c_str(), 1);
    LocalLibraryTest::TearDown();
  }
  std::string args() { return ktsm_test::read_text(m_bin.path() + "/args"); }
  void command_status(int status) { std::ofstream(m_bin.path() + "/status") << status; }

  ktsm_test::scratch_dir m_bin;
  std::string m_saved_path;
  vs::set_ptr m_set;
  version_ptr m_v1;
};

// Every state a version can be found in: export and unexport either settle
// it (exported "8" or active "2", through the command) or refuse it with one
// message and no change; neither answers 0 with an export left in place.
TEST_F(ExportTest, EveryStateSettlesOrIsRefused) {
  const std::set<std::string> exportable = {"2", "7", "9", "10", "11", "12"};
  const std::set<std::string> withdrawn = {"7", "8", "9", "10", "12"};
  for (const char* state :
       {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "junk"}) {
    SCOPED_TRACE(state);
    bool can_export = exportable.count(state) != 0;
    m_lib.put_state("/g/.snaps/v1", state);
    std::remove((m_bin.path() + "/args").c_str());
    m_lib.capture().clear();
    EXPECT_EQ(m_set->export_version("v1"), can_export ? 0 : 1);
    EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes(can_export ? "8" : state));
    EXPECT_EQ(args(), can_export ? "exportdir\n/localvol///g/.snaps/v1\n" : "");
    if (!can_export) {
      EXPECT_EQ(m_lib.texts(),
                std::vector<std::string>{"version [" + std::string(state) + "] not failed"});
    }

    bool withdraws = withdrawn.count(state) != 0;
    m_lib.put_state("/g/.snaps/v1", state);
    if (withdraws) {
      m_lib.capture().clear();
      EXPECT_EQ(m_set->delete_version("v1"), 1) << "an export would outlive its version";
      EXPECT_EQ(m_lib.capture().count("file group version [v1] is exported"), 1u);
      EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes(state));
    }
    std::remove((m_bin.path() + "/args").c_str());
    m_lib.capture().clear();
    EXPECT_EQ(m_set->unexport_version("v1"), 0);
    EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes(withdraws ? "2" : state));
    EXPECT_EQ(args(), withdraws ? "unexportdir\n/localvol///g/.snaps/v1\n" : "");
  }
  EXPECT_EQ(m_v1->get_state(), vs::SNAP_STATE_ACTIVE);

  // Unexport answers 0 without a write when the version is not exported.
  m_lib.put_state("/g/.snaps/v1", "2");
  m_lib.capture().clear();
  m_lib.faults()->reset_counts();
  EXPECT_EQ(m_set->unexport_version("v1"), 0);
  EXPECT_EQ(m_lib.texts(), std::vector<std::string>{"version [2] not exported"});
  EXPECT_EQ(m_lib.faults()->count(ktfs::op::setxattr), 0u);

  // Unknown names: status 1, no client call, no command.
  m_lib.faults()->reset_counts();
  EXPECT_EQ(m_set->export_version("nope"), 1);
  EXPECT_EQ(m_set->unexport_version("nope"), 1);
  EXPECT_EQ(m_lib.capture().count("version not found [nope]"), 2u);
  EXPECT_EQ(m_lib.faults()->total(), 0u);
}

TEST_F(ExportTest, ProductionVersionIsExportedWhateverItsState) {
  m_lib.put_state("/g", "junk");
  m_lib.faults()->reset_counts();
  EXPECT_EQ(m_set->export_version("//g"), 0);
  EXPECT_EQ(m_lib.faults()->count(ktfs::op::stat), 0u) << "no stat and no state test";
  EXPECT_EQ(m_lib.faults()->count(ktfs::op::getxattr), 0u);
  EXPECT_EQ(m_lib.raw_state("/g"), state_bytes("8"));
  EXPECT_EQ(args(), "exportdir\n/localvol///g\n");
  EXPECT_EQ(m_set->unexport_version("//g"), 0);
  EXPECT_EQ(m_lib.raw_state("/g"), state_bytes("2"));
}

TEST_F(ExportTest, FailuresLeaveTheStateTheyReached) {
  struct {
    const char* what;
    ktfs::op kind;
    int nth_write;  // which setxattr fails (0: none)
    int command;    // the command's exit status
    const char* message;
    const char* state_left;
  } cases[] = {
      {"stat", ktfs::op::stat, 0, 0, "file group version dir [v1] stat failed", "2"},
      {"read", ktfs::op::getxattr, 0, 0, "file group [v1] setxattr failed", "2"},
      {"first write", ktfs::op::setxattr, 1, 0, "file group [v1] setxattr failed", "2"},
      {"command", ktfs::op::count_, 0, 3, "file group [//g/.snaps/v1] storhaug export dir failed",
       "2"},
      {"last write", ktfs::op::setxattr, 2, 0, "file group [v1] setxattr failed", "7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m_lib.put_state("/g/.snaps/v1", "2");
    access::set_state(*m_v1, vs::SNAP_STATE_ACTIVE);
    command_status(c.command);
    m_lib.capture().clear();
    if (c.nth_write == 2) {
      // Three lstats of the directories, the lock file's open, lock, fstat
      // and lstat, the volume check, stat, getxattr, setxattr, the volume
      // check again, the command, the second setxattr.
      m_lib.faults()->fail_nth(13, EIO);
    } else if (c.kind != ktfs::op::count_) {
      m_lib.faults()->fail_calls(c.kind, "//g/.snaps/v1", EIO, false);
    }
    EXPECT_EQ(m_set->export_version("v1"), 1);
    EXPECT_EQ(m_lib.texts(), std::vector<std::string>{c.message});
    EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes(c.state_left));
    EXPECT_EQ(m_v1->get_state(), vs::SNAP_STATE_ACTIVE) << "record unchanged";
    m_lib.faults()->clear();
  }
  // Unexport's two writes, and a withdrawal that fails: the state stays.
  for (int nth : {11, 13, 0}) {
    m_lib.put_state("/g/.snaps/v1", "8");
    command_status(nth == 0 ? 1 : 0);
    m_lib.capture().clear();
    // lstat x3, open, lock, fstat, lstat, the volume check, stat, getxattr,
    // write, the volume check, the command, write
    if (nth != 0) m_lib.faults()->fail_nth(static_cast<uint64_t>(nth), EIO);
    EXPECT_EQ(m_set->unexport_version("v1"), 1);
    EXPECT_EQ(m_lib.texts(),
              std::vector<std::string>{
                  nth == 0 ? "file group [//g/.snaps/v1] storhaug unexport dir failed"
                           : "file group [v1] setxattr failed"});
    EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes(nth == 13 ? "10" : "8"));
    m_lib.faults()->clear();
  }
  // The group's lock held by another open (another process, another host):
  // after the wait, 1 with one message, and nothing run or written.
  ktfs::file_ptr holder = m_lib.api().open(m_lib.io(), "/g/.snaps/.ktsm-lock", O_RDWR, {});
  ASSERT_TRUE(holder);
  ASSERT_FALSE(m_lib.api().lock(holder, true, {}));
  vs::set_lock_wait(0);
  command_status(0);
  std::remove((m_bin.path() + "/args").c_str());
  m_lib.capture().clear();
  EXPECT_EQ(m_set->unexport_version("v1"), 1);
  EXPECT_EQ(m_lib.texts(),
            std::vector<std::string>{"file group [//g] is locked by another process"});
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes("8"));
  EXPECT_EQ(args(), "") << "no command";
  vs::set_lock_wait(30);
  m_lib.api().close(holder, {});
  EXPECT_EQ(m_set->unexport_version("v1"), 0) << "free again";

  // A deletion of the group unlinks the lock file under its lock: a waiter
  // that then gets the old file's lock holds nothing, and must wait for
  // whoever holds the file now at its path.
  holder = m_lib.api().open(m_lib.io(), "/g/.snaps/.ktsm-lock", O_RDWR, {});
  ASSERT_TRUE(holder);
  ASSERT_FALSE(m_lib.api().lock(holder, true, {}));
  std::remove((m_bin.path() + "/args").c_str());
  std::future<int32_t> waiter =
      std::async(std::launch::async, [this] { return m_set->export_version("v1"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_FALSE(m_lib.api().unlink(m_lib.io(), "/g/.snaps/.ktsm-lock", {}));
  ktfs::file_ptr next =
      m_lib.api().open(m_lib.io(), "/g/.snaps/.ktsm-lock", O_RDWR | O_CREAT, 0600, {});
  ASSERT_TRUE(next);
  ASSERT_FALSE(m_lib.api().lock(next, true, {}));
  m_lib.api().close(holder, {});
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
  EXPECT_EQ(args(), "") << "no command while the lock file at the path is held";
  m_lib.api().close(next, {});
  EXPECT_EQ(waiter.get(), 0);
  EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes("8"));
}

TEST_F(ExportTest, CommandLineIsExactForPlainNamesAndQuotedOtherwise) {
  EXPECT_EQ(ktsm_internal::export_command("vol", "//g/.snaps/v1"),
            "storhaug exportdir /vol///g/.snaps/v1");
  EXPECT_EQ(ktsm_internal::export_command("my vol", "//g/.snaps/it's"),
            "storhaug exportdir /'my vol'/'//g/.snaps/it'\\''s'");

  std::string marker = m_bin.path() + "/injected";
  std::string hostile = "a b'; touch " + marker + "; echo '$(touch " + marker + ")";
  ASSERT_EQ(vs::create_version_set("//h", m_set), 0);
  version_ptr v;
  ASSERT_EQ(m_set->create_version(hostile, v), 1) << "a name with '/' is refused";
  std::string spaced = "a b'c; touch " + std::string("injected") + " $(id)";
  ASSERT_EQ(m_set->create_version(spaced, v), 0);
  ASSERT_EQ(m_set->export_version(spaced), 0);
  EXPECT_EQ(args(), "exportdir\n/localvol///h/.snaps/" + spaced + "\n")
      << "one argument, unchanged";
  // A name that, unquoted, would end the command and start another.
  std::string plain_injection = "m; touch injected";
  ASSERT_EQ(m_set->create_version(plain_injection, v), 0);
  ASSERT_EQ(m_set->export_version(plain_injection), 0);
  struct stat st;
  EXPECT_NE(::stat(marker.c_str(), &st), 0) << "an injected command ran";
  EXPECT_NE(::stat("injected", &st), 0) << "an injected command ran";
}

TEST_F(ExportTest, CommandHoldsTheSetsLockButNotOtherSets) {
  vs::set_ptr other;
  version_ptr w;
  ASSERT_EQ(vs::create_version_set("//o", other), 0);
  ASSERT_EQ(other->create_version("w", w), 0);
  // The command waits at a gate until the test opens it.
  std::string gate = m_bin.path() + "/gate";
  ::setenv("FAKE_GATE", gate.c_str(), 1);
  auto exporter = std::async(std::launch::async, [&] { return m_set->export_version("v1"); });
  struct stat st;
  for (int i = 0; i < 600 && ::stat((gate + ".started").c_str(), &st) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(::stat((gate + ".started").c_str(), &st), 0) << "the command never started";
  // Another set is not held up while the command runs.
  auto other_lookup = std::async(std::launch::async, [&] {
    version_ptr found;
    other->get_version("w", found);
    return found ? 0 : 1;
  });
  EXPECT_EQ(other_lookup.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  // The same set waits until the command has ended.
  auto same_lookup = std::async(std::launch::async, [&] {
    version_ptr found;
    m_set->get_version("v1", found);
    return found;
  });
  EXPECT_EQ(same_lookup.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  std::ofstream(gate).put('x');
  EXPECT_EQ(exporter.get(), 0);
  EXPECT_TRUE(same_lookup.get());
  EXPECT_EQ(other_lookup.get(), 0);
  ::unsetenv("FAKE_GATE");
}

// Whether pid has ended (a zombie has: only its parent may still reap it),
// waiting a little for a SIGKILL to take effect.
bool ended(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    std::string stat = ktsm_test::read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos || stat.compare(at, 3, ") Z") == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A command that never ends: at the time limit its whole process group is
// killed, its own error output reaches the log, the state goes back, and
// export and unexport answer 1 with one message.
TEST_F(ExportTest, CommandThatNeverEndsIsKilledAtTheLimit) {
  const std::string pids = m_bin.path() + "/pids";
  ::setenv("FAKE_HANG", pids.c_str(), 1);
  vs::set_command_timeout(1);
  for (bool exporting : {true, false}) {
    const char* state = exporting ? "2" : "8";
    SCOPED_TRACE(exporting ? "export" : "unexport");
    m_lib.put_state("/g/.snaps/v1", state);
    std::remove(pids.c_str());
    m_lib.capture().clear();
    auto call = std::async(std::launch::async, [&] {
      return exporting ? m_set->export_version("v1") : m_set->unexport_version("v1");
    });
    ktsm_test::end_if_hung(call.wait_for(std::chrono::seconds(30)) == std::future_status::ready,
                           "a command past its time limit");
    EXPECT_EQ(call.get(), 1);
    EXPECT_EQ(m_lib.raw_state("/g/.snaps/v1"), state_bytes(state));
    size_t failures = 0, relayed = 0;
    for (const ktfs::log_record& r : m_lib.capture().records()) {
      failures += r.level < 0 || r.is_error;
      relayed += r.text.find("fake storhaug hangs") != std::string::npos;
    }
    EXPECT_EQ(failures, 1u) << ::testing::PrintToString(m_lib.texts());
    EXPECT_EQ(relayed, 1u) << ::testing::PrintToString(m_lib.texts());
    pid_t shell = 0, child = 0;
    std::ifstream(pids) >> shell >> child;
    ASSERT_GT(child, 0) << "the command never started";
    EXPECT_TRUE(ended(shell)) << "the command is left";
    EXPECT_TRUE(ended(child)) << "the command's child is left";
  }
  vs::set_command_timeout(300);
  ::unsetenv("FAKE_HANG");
}

// The stand-in export service writes a Ganesha export block for the volume
// and the path, once per directory.
TEST_F(ExportTest, StandInServiceWritesOneExportBlockPerDirectory) {
  ::setenv("PATH", (std::string(KTSM_SOURCE_DIR) + "/tools:" + m_saved_path).c_str(), 1);
  ASSERT_EQ(m_set->export_version("v1"), 0);
  m_lib.put_state("/g/.snaps/v1", "2");
  ASSERT_EQ(m_set->export_version("v1"), 0);
  std::string out;
  ASSERT_EQ(ktsm_test::run_command("cat '" + m_lib.exports_dir() + "'/*.conf", &out), 0);
  EXPECT_NE(out.find("Path = \"/g/.snaps/v1\";"), std::string::npos) << out;
  EXPECT_NE(out.find("Volume = \"localvol\";"), std::string::npos) << out;
  EXPECT_NE(out.find("Name = GLUSTER;"), std::string::npos) << out;
  EXPECT_NE(out.find("Volpath = \"/g/.snaps/v1\";"), std::string::npos) << out;
  EXPECT_NE(out.find("Access_Type = RO;"), std::string::npos) << out;
  EXPECT_NE(out.find("Squash = Root_Squash;"), std::string::npos) << out;
  EXPECT_EQ(out.find("EXPORT {"), out.rfind("EXPORT {")) << "exported twice, one block";
}

const std::string kStandIn = std::string(KTSM_SOURCE_DIR) + "/tools/storhaug ";

// Runs the stand-in itself (on the fixture's exports directory); its
// status, and both its streams in *out.
int storhaug(const std::string& args, std::string* out = nullptr, const std::string& env = "") {
  std::string ignored;
  return ktsm_test::run_command(env + kStandIn + args, out ? out : &ignored);
}

// The blocks in dir by their Pseudo value (as written): id and text.
std::map<std::string, std::pair<int, std::string>> blocks(const std::string& dir) {
  std::map<std::string, std::pair<int, std::string>> found;
  std::smatch m;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    if (!std::regex_match(name, m, std::regex("export-([0-9]+)\\.conf"))) continue;
    std::string text = ktsm_test::read_text(e.path());
    EXPECT_NE(text.find("Export_Id = " + m.str(1) + ";"), std::string::npos) << text;
    size_t at = text.find("Pseudo = \"") + 10;
    found[text.substr(at, text.find("\";\n", at) - at)] = {std::stoi(m.str(1)), text};
  }
  return found;
}

TEST_F(ExportTest, StandInIdsWithdrawalAndRefusedNames) {
  const std::string dir = m_lib.exports_dir();
  // Eight at once, as from several hosts: eight blocks, eight ids.
  ASSERT_EQ(storhaug("exportdir /vol/g/.snaps/v1 & for i in 1 2 3 4 5 6 7; do " + kStandIn +
                     "exportdir /vol/p$i & done; wait"),
            0);
  auto before = blocks(dir);
  std::set<int> ids;
  for (const auto& b : before) ids.insert(b.second.first);
  ASSERT_EQ(before.size(), 8u);
  EXPECT_EQ(ids.size(), 8u);
  // Again, spelled otherwise: the same id.  A live group is read-write; the
  // setting keeps root.
  const std::string quoted = "\"/vol/it's \\\"q\\\"\\\\\"";  // /vol/it's "q"\ for the shell
  ASSERT_EQ(storhaug("exportdir /vol///g/.snaps/v1/"), 0);
  ASSERT_EQ(storhaug("exportdir " + quoted), 0);
  ASSERT_EQ(storhaug("exportdir /vol//g"), 0);
  ASSERT_EQ(storhaug("exportdir /vol/p1", nullptr, "STORHAUG_NO_ROOT_SQUASH=1 "), 0);
  auto now = blocks(dir);
  ASSERT_EQ(now.size(), 10u);
  // A version's pseudo path lies outside its group's.
  EXPECT_EQ(now["/vol/.snapshots/g/v1"].first, before["/vol/.snapshots/g/v1"].first);
  EXPECT_EQ(now["/vol/p1"].first, before["/vol/p1"].first);
  EXPECT_NE(now["/vol/p1"].second.find("Squash = No_Root_Squash;"), std::string::npos);
  EXPECT_NE(now["/vol/g"].second.find("Access_Type = RW;"), std::string::npos);
  EXPECT_NE(now["/vol/it's \\\"q\\\"\\\\"].second.find("Volpath = \"/it's \\\"q\\\"\\\\\";"),
            std::string::npos);
  // Withdrawal takes exactly its own block, and then finds nothing to do.
  for (const std::string& target :
       {std::string("/vol/g/.snaps/v1"), std::string("/vol//g/.snaps//v1"), quoted}) {
    EXPECT_EQ(storhaug("unexportdir " + target), 0) << target;
  }
  now = blocks(dir);
  EXPECT_EQ(now.size(), 8u);
  EXPECT_EQ(now.count("/vol/.snapshots/g/v1"), 0u);
  EXPECT_EQ(now.count("/vol/g"), 1u);
  // A version's block of an earlier release, under its group's pseudo path,
  // is found: rewritten in place, then withdrawn.
  std::ofstream(dir + "/export-300.conf")
      << "EXPORT {\n    Export_Id = 300;\n    Pseudo = \"/vol/g/.snaps/old\";\n}\n";
  ASSERT_EQ(storhaug("exportdir /vol/g/.snaps/old"), 0);
  EXPECT_EQ(blocks(dir)["/vol/.snapshots/g/old"].first, 300);
  EXPECT_EQ(blocks(dir).count("/vol/g/.snaps/old"), 0u);
  std::ofstream(dir + "/export-301.conf")
      << "EXPORT {\n    Export_Id = 301;\n    Pseudo = \"/vol/g/.snaps/older\";\n}\n";
  EXPECT_EQ(storhaug("unexportdir /vol/g/.snaps/older"), 0);
  EXPECT_EQ(storhaug("unexportdir /vol/g/.snaps/old"), 0);
  EXPECT_EQ(blocks(dir).size(), 8u);
  // A control character is refused before anything is written; an exports
  // directory that cannot be made is a failure.
  for (const char* name : {"'/vol/a\nb'", "'/vol/a\tb'", "'/vol/a\x7f'", "'/vol/\x01'"}) {
    std::string out;
    EXPECT_EQ(storhaug(std::string("exportdir ") + name, &out), 2) << name;
    EXPECT_NE(out, "") << name;
    EXPECT_EQ(storhaug(std::string("unexportdir ") + name), 2) << name;
  }
  // A top-level .snapshots would share the versions' pseudo path; its own
  // versions are versions like any.
  for (const char* name : {"/vol/.snapshots", "/vol//.snapshots/x/"}) {
    std::string out;
    EXPECT_EQ(storhaug(std::string("exportdir ") + name, &out), 2) << name;
    EXPECT_NE(out.find("a top-level directory named .snapshots cannot be exported"),
              std::string::npos)
        << out;
  }
  ASSERT_EQ(storhaug("exportdir /vol/.snapshots/.snaps/v"), 0);
  EXPECT_EQ(blocks(dir).count("/vol/.snapshots/.snapshots/v"), 1u);
  EXPECT_EQ(storhaug("unexportdir /vol/.snapshots/.snaps/v"), 0);
  EXPECT_EQ(blocks(dir).size(), 8u);
  EXPECT_EQ(storhaug("exportdir /vol/x", nullptr, "STORHAUG_EXPORT_DIR=" + dir + "/.lock/d "), 1);
}

}  // namespace
