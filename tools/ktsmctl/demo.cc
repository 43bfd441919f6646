// demo: a guided run on a fresh local volume in a temporary directory,
// through the same commands a user types, ending with a fresh process that
// rebuilds the same picture from the volume alone.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <list>
#include <sstream>

#include "cli.h"
#include "commands.h"
#include "handles.h"
#include "listing.h"
#include "output.h"
#include "volume_client.h"

namespace ktsmctl {

namespace fs = std::filesystem;
namespace {

const char kUuid[] = "trusted.cloudsync.uuid";

struct demo_place {
  std::string root;     // the temporary directory
  std::string volume;   // root/volume
  std::string exports;  // root/exports, where storhaug writes
  std::string log;      // root/ktsmctl.log
};

std::string self_path() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
}

bool make_place(demo_place* place) {
  std::string base = env_value("TMPDIR");
  std::string pattern = (base.empty() ? std::string("/tmp") : base) + "/ktsmctl-demo-XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) {
    return report_failure("cannot make a temporary directory under " + pattern +
                          " (set TMPDIR to a writable directory)");
  }
  *place = {pattern, pattern + "/volume", pattern + "/exports", pattern + "/ktsmctl.log"};
  std::string error;
  return make_directories(place->volume, &error) || report_failure(error);
}

// Snapshot directories may be closed to their owner (mode 0 while filled,
// or the group's modes): open everything up, then remove it.
void remove_place(const std::string& dir) {
  ::chmod(dir.c_str(), 0700);
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
    if (e.is_directory(ec) && !e.is_symlink(ec)) remove_place(e.path().string());
  }
  fs::remove_all(dir, ec);
}

// Puts the stand-in export command on PATH: beside this binary (in the
// build tree and once installed), else wherever PATH already finds it.
bool find_storhaug(const demo_place& place) {
  std::string dir = fs::path(self_path()).parent_path().string();
  if (::access((dir + "/storhaug").c_str(), X_OK) == 0) {
    ::setenv("PATH", (dir + ":" + env_value("PATH")).c_str(), 1);
  } else if (std::system("command -v storhaug >/dev/null 2>&1") != 0) {
    return report_failure("the stand-in export command storhaug is neither beside " + self_path() +
                          " nor on PATH; install ktsmctl with its tools");
  }
  ::setenv("STORHAUG_EXPORT_DIR", place.exports.c_str(), 1);
  return true;
}

void say(const std::string& words) { std::cout << "\n" << words << "\n"; }

// Runs one command as the user would type it; true when it ended with the
// expected exit status.
bool step(context& ctx, const arguments& words, int expected = exit_ok) {
  std::string line;
  for (const std::string& w : words) line += " " + w;
  std::cout << "$ ktsmctl" << line << std::endl;
  typedef int (*command_fn)(context&, const arguments&);
  static const std::list<std::pair<std::string, command_fn>> kTable = {
      {"create-group", cmd_create_group},
      {"snapshot", cmd_snapshot},
      {"needed", cmd_needed},
      {"export", cmd_export},
      {"unexport", cmd_unexport},
      {"delete", cmd_delete},
      {"link", cmd_link},
      {"diff", cmd_diff},
      {"restore", cmd_restore},
      {"list", cmd_list}};
  for (const auto& entry : kTable) {
    if (entry.first != words[0]) continue;
    int status = entry.second(ctx, arguments(words.begin() + 1, words.end()));
    std::cout.flush();
    if (status == expected) return true;
    return report_failure("the demo stopped: \"ktsmctl" + line + "\" ended with status " +
                          std::to_string(status));
  }
  return false;
}

bool write_file(volume_client& client, const std::string& path, const std::string& content,
                const std::string& uuid) {
  std::error_code ec = client.write_file(path, content);
  if (!ec) ec = client.set_attribute(path, kUuid, uuid);
  return !ec || report_failure("cannot write " + path + " on the demo volume: " + ec.message());
}

bool fill_group(volume_client& client) {
  say("Three files go into the group.  Each carries the identity a cloud tier gives a file,\n"
      "the attribute trusted.cloudsync.uuid:");
  std::cout
      << "  report.txt (uuid report-1), notes.txt (uuid notes-1), budget.csv (uuid budget-1)\n";
  return write_file(client, "/docs/report.txt", "first draft\n", "report-1") &&
         write_file(client, "/docs/notes.txt", "meeting notes\n", "notes-1") &&
         write_file(client, "/docs/budget.csv", "item,cost\npaper,3\n", "budget-1");
}

bool snapshots_and_change(context& ctx, volume_client& client) {
  say("A snapshot copies the group's live files into .snaps/v1, with their attributes:");
  if (!step(ctx, {"snapshot", "docs", "v1"})) return false;
  say("report.txt changes, and with it its identity (uuid report-2); then a second snapshot:");
  if (!write_file(client, "/docs/report.txt", "second draft\n", "report-2")) return false;
  if (!step(ctx, {"snapshot", "docs", "v2"})) return false;
  say("v2 is linked to v1.  Is a file the same file in both (status 0) or not (status 1)?");
  return step(ctx, {"needed", "docs", "v2", "notes.txt"}) &&
         step(ctx, {"needed", "docs", "v2", "report.txt"}, exit_failed);
}

bool diff_and_restore(context& ctx) {
  say("What changed from v1 to v2, file by file:");
  if (!step(ctx, {"diff", "docs", "v1", "v2"})) return false;
  say("The first draft comes back from v1 into the live group; diff then shows the live\n"
      "report.txt differing from v2:");
  return step(ctx, {"restore", "docs", "v1", "report.txt"}) && step(ctx, {"diff", "docs", "v2"});
}

void show_export_block(const demo_place& place) {
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(place.exports, ec)) {
    std::ifstream in(e.path());
    std::string line;
    while (std::getline(in, line)) {
      // The directory, and where NFS clients mount it.
      if (line.find("Path =") != std::string::npos || line.find("Pseudo =") != std::string::npos) {
        line.erase(0, line.find_first_not_of(' '));
        std::cout << "  storhaug wrote " << e.path().filename().string() << ": " << line << "\n";
      }
    }
  }
}

bool export_and_delete(context& ctx, const demo_place& place) {
  say("Exporting v2 runs the export command \"storhaug exportdir /local///docs/.snaps/v2\";\n"
      "the stand-in writes an export block into " +
      place.exports + ":");
  if (!step(ctx, {"export", "docs", "v2"})) return false;
  show_export_block(place);
  if (!step(ctx, {"list"})) return false;
  say("Unexporting takes v2 back to active; deleting v1 removes its directory, and v2 is\n"
      "linked again to the version now before it, the production version:");
  return step(ctx, {"unexport", "docs", "v2"}) && step(ctx, {"delete", "docs", "v1"}) &&
         step(ctx, {"link", "docs", "v2"});
}

// Runs "ktsmctl --local VOLUME --log LOG list" as a new process and returns
// its standard output.
bool fresh_list(const demo_place& place, bool verbose, std::string* out) {
  int fds[2];
  if (::pipe(fds) != 0) return report_failure("cannot make a pipe for the fresh process");
  std::cout.flush();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    std::string self = self_path();
    const char* argv[] = {"ktsmctl",         "--local", place.volume.c_str(),     "--log",
                          place.log.c_str(), "list",    verbose ? "-v" : nullptr, nullptr};
    ::execv(self.c_str(), const_cast<char* const*>(argv));
    ::_exit(127);
  }
  ::close(fds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) out->append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return report_failure("the fresh \"ktsmctl list\" process failed");
  }
  return true;
}

bool compare_with_fresh(context& ctx, const demo_place& place, bool verbose) {
  std::list<set_ptr> sets;
  vs::list_version_sets(sets);
  std::string here = render_listing(sets, ctx);
  say("This process's picture:");
  std::cout << here;
  say("A fresh process knows nothing but the volume; start-up recovery rebuilds it:");
  std::cout << "$ ktsmctl --local " << place.volume << " list" << std::endl;
  std::string fresh;
  if (!fresh_list(place, verbose, &fresh)) return false;
  std::cout << fresh;
  if (fresh != here) return report_failure("the fresh process's picture differs from this one's");
  say("Same picture: names and states come back from the volume alone, and the fresh\n"
      "process links each version to the one before it, as this one did.");
  return true;
}

bool guided_run(const demo_place& place, bool verbose) {
  std::cout << "A fresh local volume in " << place.volume << "\n"
            << "(the library's log: " << (verbose ? "standard error" : place.log) << ")\n";
  volume_choice volume;
  volume.local_dir = place.volume;
  session lib;
  if (!lib.open(volume, log_choice{place.log, verbose})) return false;
  context ctx{lib, false};
  volume_client client;
  if (!client.connect(volume)) return report_failure("cannot reach the demo volume");
  say("A file group is a top-level directory of the volume:");
  return step(ctx, {"create-group", "docs"}) && fill_group(client) &&
         snapshots_and_change(ctx, client) && diff_and_restore(ctx) &&
         export_and_delete(ctx, place) && compare_with_fresh(ctx, place, verbose);
}

}  // namespace

int run_demo(bool verbose) {
  demo_place place;
  if (!make_place(&place)) return exit_failed;
  bool ok = find_storhaug(place) && guided_run(place, verbose);
  remove_place(place.root);
  std::cout << (ok ? "\nThe demo finished; its temporary directory is removed.\n"
                   : "\nThe demo did not finish; its temporary directory is removed.\n");
  return ok ? exit_ok : exit_failed;
}

}  // namespace ktsmctl
