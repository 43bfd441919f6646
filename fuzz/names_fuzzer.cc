// names_fuzzer: feeds hostile names to the version library on the local
// backend and checks, after every input, that
//   - nothing outside the volume was created, changed or removed;
//   - the live file group the fuzzer keeps ("canary") still holds its file,
//     unchanged: no operation may touch a live file, whatever the names;
//   - the export command got exactly one argument naming the version's
//     directory, so that no name ran a command of its own (an injected
//     command would also leave a file behind in the working directory).
//
// An input is up to three fields separated by the byte 0xFF: a set name, a
// version name and a file name, each used raw (missing fields are empty).
// Every operation runs twice: on the set name as given and on "//" + name,
// the form of the names that start-up rebuilds.
//
// Layout of the scratch directory, made once per process:
//   volume/            the volume root (local backend), with canary/data
//   outside/file       a sibling of the volume that no name may reach
//   bin/storhaug       a fake export command that records its arguments
//   log/               where the fake writes them (the only place outside
//                      the volume that may change)
//   cwd/               the working directory: "touch pwned" lands here
// It is made under $NAMES_FUZZER_TMPDIR (else /tmp) and removed at exit.
// When that directory is given it is taken as private to the run, and its
// own state is watched too.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ktfs/ktfs_api.h"
#include "ktfs/ktfs_debug.h"
#include "ktfssnapcore/ktfssnapcore.h"
#include "ktsm/ktsm_filegroup_version_set.h"

typedef ktsm_filegroup_version_set vs;

namespace {

const char kVolumeName[] = "fuzzvol";
const char kCanaryGroup[] = "canary";
const char kCanaryText[] = "live data that no name may reach\n";
const char kFieldSeparator = '\xff';

// ---- Reporting ---------------------------------------------------------------

// text with every byte outside printable ASCII written as \xHH.
std::string printable(const std::string& text) {
  std::string out;
  char hex[8];
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "names_fuzzer: %s\n", what.c_str());
  std::fflush(stderr);
  __builtin_trap();
}

// ---- Files of the scratch directory -----------------------------------------

void write_file(const std::string& path, const std::string& data, mode_t mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  out.close();
  if (!out || ::chmod(path.c_str(), mode) != 0) fail("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0) fail("cannot make " + path);
}

std::vector<std::string> entries_of(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

// Removes path and everything under it.  Directories are opened up first:
// the library makes version directories with mode 0.
void remove_tree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), 0700);
    for (const std::string& name : entries_of(path)) remove_tree(path + "/" + name);
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

// ---- Listings that tell a change ---------------------------------------------

typedef std::tuple<mode_t, off_t, time_t, long, ino_t> entry_state;
typedef std::map<std::string, entry_state> listing;

// Records the state of path under key; false when path is gone.
bool add_state(const std::string& path, const std::string& key, listing* out) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  (*out)[key] =
      entry_state(st.st_mode, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ino);
  return true;
}

// Records every entry under dir, keyed by rel + its relative path; skip
// names entries of dir itself that are left out.
void list_into(const std::string& dir, const std::string& rel, listing* out,
               const std::vector<std::string>& skip = {}) {
  for (const std::string& name : entries_of(dir)) {
    if (std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
    std::string path = dir + "/" + name;
    if (add_state(path, rel + name, out) && S_ISDIR(std::get<0>((*out)[rel + name]))) {
      list_into(path, rel + name + "/", out);
    }
  }
}

// Every entry under root except the volume and the fake command's log, with
// the directories' own states (a file made and removed again still changes
// its directory's modification time): root's own, and its parent's when the
// parent is private to this run (a name that climbs out of the volume by two
// levels lands there).
listing outside_volume(const std::string& root, bool private_parent) {
  listing out;
  add_state(root, ".", &out);
  if (private_parent) add_state(root + "/..", "..", &out);
  list_into(root, "", &out, {"volume", "log"});
  return out;
}

std::string first_difference(const listing& before, const listing& after) {
  for (const auto& e : before) {
    auto it = after.find(e.first);
    if (it == after.end()) return e.first + " was removed";
    if (it->second != e.second) return e.first + " was changed";
  }
  for (const auto& e : after) {
    if (before.find(e.first) == before.end()) return e.first + " was created";
  }
  return std::string();
}

// ---- The process-wide scratch state -------------------------------------------

struct scratch {
  std::string root;
  std::string volume;
  std::string canary_file;
  std::string storhaug_log;
  bool private_parent = false;  // made under NAMES_FUZZER_TMPDIR
  listing outside;
  struct stat canary_stat;
};

scratch* g_scratch = nullptr;

void remove_scratch() {
  if (g_scratch != nullptr) remove_tree(g_scratch->root);
}

// A fake export command that records its argument count and arguments, each
// followed by a zero byte (no argument can hold one).
void install_fake_storhaug(const std::string& bin_dir) {
  write_file(bin_dir + "/storhaug",
             "#!/bin/sh\n"
             "printf '%s\\0' \"$#\" \"$@\" >> \"$NAMES_FUZZER_STORHAUG_LOG\"\n",
             0755);
}

void make_scratch_tree(scratch* s) {
  const char* parent = std::getenv("NAMES_FUZZER_TMPDIR");
  s->private_parent = parent != nullptr && *parent != '\0';
  std::string pattern = std::string(s->private_parent ? parent : "/tmp") + "/names-fuzz.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) fail("cannot make a scratch directory");
  s->root = buffer.data();
  s->volume = s->root + "/volume";
  for (const char* dir :
       {"/volume", "/volume/canary", "/volume/canary/.snaps", "/outside", "/bin", "/log", "/cwd"}) {
    make_dir(s->root + dir);
  }
  s->canary_file = s->volume + "/" + kCanaryGroup + "/data";
  write_file(s->canary_file, kCanaryText, 0644);
  write_file(s->root + "/outside/file", "outside the volume\n", 0644);
  install_fake_storhaug(s->root + "/bin");
  s->storhaug_log = s->root + "/log/storhaug.args";
}

void point_process_at(const scratch& s) {
  const char* path = std::getenv("PATH");
  std::string search = s.root + "/bin:" + (path ? path : "/usr/bin:/bin");
  if (::setenv("PATH", search.c_str(), 1) != 0 ||
      ::setenv("NAMES_FUZZER_STORHAUG_LOG", s.storhaug_log.c_str(), 1) != 0 ||
      ::chdir((s.root + "/cwd").c_str()) != 0) {
    fail("cannot set up the process environment");
  }
}

void start_library(const scratch& s) {
  std::shared_ptr<ktfs::log_sink> quiet = std::make_shared<ktfs::null_sink>();
  ktfs::ktfs_debug::set_default_sink(quiet);
  static ktfs::ktfs_debug snapcore_log(quiet, -1);
  ktfssnapcore::set_logger(&snapcore_log);
  ktfs::client_defaults defaults;
  defaults.local_root = s.volume;
  ktfs::set_client_defaults(defaults);
  if (vs::init(kVolumeName, "") != 0) fail("init failed on the scratch volume");
  vs::stop();
}

void set_up() {
  g_scratch = new scratch;
  make_scratch_tree(g_scratch);
  std::atexit(remove_scratch);
  point_process_at(*g_scratch);
  start_library(*g_scratch);
  g_scratch->outside = outside_volume(g_scratch->root, g_scratch->private_parent);
  if (::stat(g_scratch->canary_file.c_str(), &g_scratch->canary_stat) != 0) {
    fail("cannot stat the canary file");
  }
}

// ---- One input ----------------------------------------------------------------

std::vector<std::string> split_fields(const uint8_t* data, size_t size) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < size; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == kFieldSeparator && fields.size() < 3) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  fields.resize(3);
  return fields;
}

// The record the fake command leaves for "storhaug exportdir /VOLUME/PATH".
// The library hands the command line to the shell as a C string, so a path
// reaches the command only up to its first zero byte.
std::string expected_record(const std::string& path) {
  std::string argument = std::string("/") + kVolumeName + "/" + path.c_str();
  return std::string("2\0exportdir\0", 12) + argument + std::string(1, '\0');
}

// Exports name (whose directory is path) and checks what the command got.
void checked_export(vs& set, const std::string& name, const std::string& path) {
  write_file(g_scratch->storhaug_log, "", 0644);
  int32_t status = set.export_version(name);
  std::string record = read_file(g_scratch->storhaug_log);
  if (record.empty()) {
    if (status == 0) fail("export of [" + printable(name) + "] succeeded without the command");
    return;
  }
  std::string expected = expected_record(path);
  if (record != expected) {
    fail("export of [" + printable(name) + "] ran the command with [" + printable(record) +
         "] instead of [" + printable(expected) + "]");
  }
}

// Every operation that takes a name, on the set set_name.
void exercise_set(const std::string& set_name, const std::string& version_name,
                  const std::string& file_name) {
  vs::set_ptr set;
  if (vs::create_version_set(set_name, set) == 0 && set) {
    vs::version_ptr version;
    set->create_version(version_name, version);
    set->set_previous_version(version_name);
    // The first version of that name: the production version when the
    // version name equals the set's.
    std::string version_dir =
        version_name == set_name ? set_name : set_name + "/.snaps/" + version_name;
    checked_export(*set, version_name, version_dir);
    set->unexport_version(version_name);
    checked_export(*set, set_name, set_name);
    set->unexport_version(set_name);
    if (version) version->is_file_needed(file_name);
    set->delete_version(version_name);
  }
  vs::delete_version_set(set_name);
}

void check_canary() {
  struct stat st;
  if (::stat(g_scratch->canary_file.c_str(), &st) != 0) fail("the live group's file was removed");
  const struct stat& was = g_scratch->canary_stat;
  if (st.st_ino != was.st_ino || st.st_size != was.st_size ||
      st.st_mtim.tv_sec != was.st_mtim.tv_sec || st.st_mtim.tv_nsec != was.st_mtim.tv_nsec ||
      read_file(g_scratch->canary_file) != kCanaryText) {
    fail("the live group's file was changed");
  }
}

void check_outside() {
  std::string change = first_difference(g_scratch->outside,
                                        outside_volume(g_scratch->root, g_scratch->private_parent));
  if (!change.empty()) fail("outside the volume: " + change);
}

// Drops the snapshot-state attribute that exports of a production version
// leave on a live directory (stored under "user." when not root).
void drop_state(const std::string& dir) {
  ::removexattr(dir.c_str(), vs::SNAP_STATE_NAME.c_str());
  ::removexattr(dir.c_str(), ("user." + vs::SNAP_STATE_NAME).c_str());
}

// Back to the state before the input: the volume holds the canary group
// with its file and an empty ".snaps", no state attribute on either live
// directory, and the registry is empty.
void reset_volume() {
  vs::stop();
  const std::string canary = g_scratch->volume + "/" + kCanaryGroup;
  drop_state(g_scratch->volume);
  drop_state(canary);
  for (const std::string& name : entries_of(g_scratch->volume)) {
    if (name != kCanaryGroup) remove_tree(g_scratch->volume + "/" + name);
  }
  for (const std::string& name : entries_of(canary)) {
    if (name != "data") remove_tree(canary + "/" + name);
  }
  if (::mkdir((canary + "/.snaps").c_str(), 0760) != 0) fail("cannot reset the canary group");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  set_up();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> fields = split_fields(data, size);
  exercise_set(fields[0], fields[1], fields[2]);
  exercise_set("//" + fields[0], fields[1], fields[2]);
  check_canary();
  check_outside();
  reset_volume();
  return 0;
}
