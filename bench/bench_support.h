// Shared pieces of the benchmark programs: timing, the result rows that
// bench/run.sh collects, scratch directories and running commands.
//
// Every figure a case reports is a ratio against a floor or a peer measured
// in the same run, so that the load of a shared machine cancels out as far
// as it can; the absolute times are printed beside the ratios for reference.
#ifndef KTSM_BENCH_BENCH_SUPPORT_H_
#define KTSM_BENCH_BENCH_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ktsm_bench {

// Seconds on the monotonic clock.
double now();

// The median of the samples (0 for none).
double median(std::vector<double> samples);

// The per-round ratios a[i] / b[i] of two series measured in the same
// rounds: their median, and the smallest and largest.  The load of the
// machine changes from round to round; within a round both sides see
// about the same, so the ratio of each round is steadier than the ratio
// of the two medians.
struct ratio_stats {
  double median = 0;
  double low = 0;
  double high = 0;
};
ratio_stats round_ratios(const std::vector<double>& a, const std::vector<double>& b);
// "1.02x (0.95..1.10)"; just "1.02x" for a single round.
std::string ratio_text(const ratio_stats& r);

// printf into a std::string.
std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A progress line on standard error.
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line of the result table.  Printed on standard output as
// "RESULT<TAB>case<TAB>backend<TAB>measured<TAB>floor/peer<TAB>ratio<TAB>goal<TAB>met"
// for bench/run.sh to collect.
struct row {
  std::string case_name;
  std::string backend;
  std::string measured;
  std::string peer;
  std::string ratio;
  std::string goal;
  std::string met;
};
void print_row(const row& r);
// Rows printed so far by this process.
size_t rows_printed();

// A data line for the plots and the analysis: "DATA<TAB>fields...".
void print_data(const std::vector<std::string>& fields);

// "yes" when value <= goal, else "no".
std::string at_most(double value, double goal);
// "yes" when value >= goal, else "no".
std::string at_least(double value, double goal);
// "1.23x"
std::string times(double ratio);
// A duration in the unit that suits it ("812 us", "3.41 ms", "2.05 s").
std::string duration(double seconds);

// A directory under /tmp made for this run, removed with everything in it
// when the object goes.
class scratch_dir {
 public:
  explicit scratch_dir(const std::string& tag);
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// Removes a host path and everything under it ("rm -rf").
void remove_host_tree(const std::string& path);

// Runs argv[0] with these arguments (no shell) and waits; returns the exit
// status, or -1 when it could not be started.
int run_program(const std::vector<std::string>& argv);

// Bytes free for unprivileged use on the file system holding path.
uint64_t free_bytes(const std::string& path);

// Resident bytes of this process, from /proc/self/statm.
uint64_t resident_bytes();

// Fills buf with bytes from a fast generator seeded with seed, so that file
// contents differ from file to file and are not all zero.
void fill_pseudo_random(std::vector<char>* buf, uint64_t seed);

}  // namespace ktsm_bench

#endif  // KTSM_BENCH_BENCH_SUPPORT_H_
