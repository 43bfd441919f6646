// Case 7: ktsmctl on a large group, run as a person runs it.  One group of
// N versions (state "2", creation records an hour apart, three small files
// each) is laid out raw; `ktsmctl list` and `ktsmctl prune --dry-run` run on
// it as child processes, each timed over rounds (start-up rebuild, the walk
// for sizes and the holds included).  Goal: each under a second locally.
#include <cstdlib>

#include "bench_support.h"
#include "cases.h"
#include "ktsm/ktsm_filegroup_version_set.h"

namespace ktsm_bench {

namespace {

bool lay_out(posix_raw raw, size_t versions) {
  std::string group = raw.at("/big"), snaps = group + "/.snaps";
  if (raw.mkdir(group.c_str(), 0755) != 0 || raw.mkdir(snaps.c_str(), 0755) != 0) return false;
  char state[16] = {'2'};
  for (size_t v = 0; v < versions; ++v) {
    std::string dir = snaps + fmt("/v%05zu", v);
    std::string created = fmt("%zu.000000000 %zu", 1700000000 + v * 3600, v + 1);
    if (raw.mkdir(dir.c_str(), 0755) != 0 ||
        raw.setxattr(dir.c_str(), kStateName, state, sizeof state, 0) != 0 ||
        raw.setxattr(dir.c_str(), kCreatedName, created.data(), created.size(), 0) != 0) {
      return false;
    }
    for (int f = 0; f < 3; ++f) {
      std::string file = dir + fmt("/f%d", f);
      std::string bytes(static_cast<size_t>(100 * (f + 1)), 'x');
      posix_raw::file_t fd = raw.creat(file.c_str(), O_WRONLY, 0644);
      bool ok = posix_raw::valid_file(fd) &&
                raw.pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
      if (posix_raw::valid_file(fd)) raw.close(fd);
      if (!ok) return false;
    }
  }
  return true;
}

// The median seconds of rounds runs of command; false when one fails.
bool time_command(const std::string& command, int rounds, double* seconds) {
  std::vector<double> times;
  for (int r = 0; r < rounds; ++r) {
    double start = now();
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
      note("failed: %s", command.c_str());
      return false;
    }
    times.push_back(now() - start);
  }
  *seconds = median(times);
  return true;
}

}  // namespace

bool run_cli(bench_volume& vol, const options& opt) {
  if (vol.kind() != backend_kind::local) {
    print_row({"7 ktsmctl on a large group", vol.label(), "-", "-", "-", "(local goal)", "-"});
    return true;
  }
  size_t n = opt.smoke ? 100 : opt.cli_versions;
  note("case 5: ktsmctl on a group of %zu versions", n);
  vol.clear();
  double start = now();
  if (!lay_out(vol.local_filler(), n)) {
    note("laying out the group failed");
    return false;
  }
  note("laid out %zu versions (%.1f s)", n, now() - start);
  std::string base = ktsm_filegroup_version_set::shell_word(KTSM_BENCH_KTSMCTL) + " --local " +
                     ktsm_filegroup_version_set::shell_word(vol.local_root());
  const struct {
    const char* what;
    std::string args;
  } commands[] = {{"list", "list big"},
                  {"list --json", "list big --json"},
                  {"prune --dry-run", "prune big --keep-daily 7 --keep-weekly 4 --dry-run"}};
  int rounds = opt.smoke ? 1 : std::max(opt.rounds, 5);
  for (const auto& c : commands) {
    double seconds = 0;
    if (!time_command(base + " " + c.args, rounds, &seconds)) return false;
    print_row({fmt("7 ktsmctl %s, %zu versions", c.what, n), vol.label(), duration(seconds), "-",
               "-", "<1 s", at_most(seconds, 1.0)});
    print_data({"cli", vol.label(), c.what, fmt("%zu", n), fmt("%.6f", seconds)});
  }
  vol.clear();
  return true;
}

}  // namespace ktsm_bench
