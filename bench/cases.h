// The volume cases of ktsm_bench.  Each runs on one backend, prints its
// result rows (bench_support.h) and returns false when the library or a
// floor failed (the figures are then not printed as results).
#ifndef KTSM_BENCH_CASES_H_
#define KTSM_BENCH_CASES_H_

#include <cstddef>
#include <string>
#include <vector>

#include "bench_volume.h"

namespace ktsm_bench {

struct options {
  bool smoke = false;                 // minimal sizes: does it run and report
  std::vector<size_t> rebuild_sizes;  // versions in all, ascending
  size_t versions_per_group = 100;    // rebuild: versions of each group
  double seconds = 0.4;               // length of one timed loop (cases 2 and 3)
  int loop_rounds = 15;               // rounds of the timed loops (cases 2 and 3)
  int rounds = 3;                     // rounds of the rebuild (at least) and the copies
  size_t cli_versions = 10000;        // case 5: versions of the group ktsmctl reads
  size_t copy_large_mib = 1024;       // case 4: bytes in large files
  size_t copy_small_files = 20000;    // case 4: small files in nested directories
  std::string log_path;               // the library's log file
  bool discard_log = false;           // every case logs to a null sink
};

// The version state attribute and its 16-byte active value; the creation
// record's attribute.
extern const char kStateName[];
extern const char kCreatedName[];

// 1: start-up rebuild against the raw floor, at each size.
bool run_rebuild(bench_volume& vol, const options& opt);
// 2: client calls per create/delete and the loop's rate against the floor.
bool run_ops(bench_volume& vol, const options& opt);
// 3: the loop on one and two sets with one and two threads.
bool run_parallel(bench_volume& vol, const options& opt);
// 4: taking a version of a large-file and a small-file group against cp -a
// (local) or a raw libgfapi copy (GlusterFS).
bool run_copy(bench_volume& vol, const options& opt);
// 7: ktsmctl list and prune --dry-run on one large group (local).
bool run_cli(bench_volume& vol, const options& opt);

// Where the loggers the library makes from now on send their records:
//   file      - opt.log_path at threshold 0, as a host such as ktsmctl does
//               (every progress line formatted and written);
//   discarded - a null sink at threshold 0 (formatted, not written);
//   errors    - opt.log_path at threshold -2: progress lines are dropped
//               unformatted, error lines written.
// opt.discard_log turns file into discarded.
enum class log_mode { file, discarded, errors };
void use_log(const options& opt, log_mode mode);
const char* log_mode_name(log_mode mode);

}  // namespace ktsm_bench

#endif  // KTSM_BENCH_CASES_H_
