// ktsm_microbench: Google Benchmark cases that need no volume.
//
//  - The logger: a debug message below the threshold against one above it
//    (to a null sink), each with a short and a 4 KiB argument.  A message
//    below the threshold is not formatted, so its cost does not depend on
//    its arguments.  And a passing message written to a file by the file
//    sink against two peers: a sink that writes each record with fprintf
//    and fflush (the file sink before it buffered) and one that writes
//    each record with one write(2).
//  - Look-ups (case 6): get_version and get_next_version of the first,
//    middle and last version of a hand-built set of 10,000 versions, with
//    short names ("v01234") and with names past the small-string buffer
//    ("2024-05-01T12:00:00Z-01234").
//
// Google Benchmark's own table goes to standard error; the result rows
// (bench_support.h) to standard output.  Usual Google Benchmark flags apply
// (--benchmark_min_time=..., --benchmark_filter=...).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>

#include "bench_support.h"
#include "internal.h"
#include "ktfs/ktfs_debug.h"
#include "ktsm/ktsm_filegroup_version_set.h"

namespace {

typedef ktsm_filegroup_version_set vs;
using ktsm_bench::fmt;
using ktsm_internal::access;

const int kVersions = 10000;

// ---- The logger ---------------------------------------------------------------

void BM_debug(benchmark::State& state) {
  bool passes = state.range(0) != 0;
  std::string argument(static_cast<size_t>(state.range(1)), 'x');
  ktfs::ktfs_debug logger(std::make_shared<ktfs::null_sink>(), 0);
  int level = passes ? 0 : 1;
  for (auto _ : state) {
    logger.debug("bench::debug()", level, "version [%s] state [%d]", argument.c_str(), 2);
  }
}
BENCHMARK(BM_debug)
    ->ArgNames({"passes", "arg_bytes"})
    ->Args({0, 8})
    ->Args({0, 4096})
    ->Args({1, 8})
    ->Args({1, 4096});

// The peers of the file sink: every record written at once, through stdio
// with a flush, or with one write(2) of the whole line.
class per_record_sink : public ktfs::log_sink {
 public:
  per_record_sink(const std::string& path, bool stdio)
      : m_stream(stdio ? std::fopen(path.c_str(), "ae") : nullptr),
        m_fd(stdio ? -1 : ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666)) {}
  ~per_record_sink() override {
    if (m_stream != nullptr) std::fclose(m_stream);
    if (m_fd >= 0) ::close(m_fd);
  }
  void write(const ktfs::log_record& r) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_stream != nullptr) {
      std::fprintf(m_stream, "%s [%d] %s\n", r.function.c_str(), r.level, r.text.c_str());
      std::fflush(m_stream);
      return;
    }
    std::string line = r.function + fmt(" [%d] ", r.level) + r.text + "\n";
    if (::write(m_fd, line.data(), line.size()) < 0) std::perror("write");
  }

 private:
  std::mutex m_mutex;
  FILE* m_stream;
  int m_fd;
};

// sink 0: the file sink; 1: fprintf and fflush per record; 2: one write(2)
// per record.
void BM_debug_to_file(benchmark::State& state) {
  ktsm_bench::scratch_dir dir("microlog");
  std::string path = dir.path() + "/log";
  std::shared_ptr<ktfs::log_sink> sink;
  if (state.range(0) == 0) sink = std::make_shared<ktfs::stream_sink>(path);
  if (state.range(0) != 0) sink = std::make_shared<per_record_sink>(path, state.range(0) == 1);
  ktfs::ktfs_debug logger(sink, 0);
  for (auto _ : state) {
    logger.debug("bench::debug()", -1, "version [%s] state [%d]", "v0001", 2);
  }
  logger.flush();
}
BENCHMARK(BM_debug_to_file)->ArgNames({"sink"})->Arg(0)->Arg(1)->Arg(2);

// A message below the threshold reaches no sink; one at it does.
bool logger_drops_below_threshold() {
  auto capture = std::make_shared<ktfs::capture_sink>();
  ktfs::ktfs_debug logger(capture, 0);
  logger.debug("bench::debug()", 1, "dropped %d", 1);
  bool dropped = capture->records().empty();
  logger.debug("bench::debug()", 0, "kept %d", 2);
  return dropped && capture->count("kept 2") == 1;
}

// ---- Look-ups ---------------------------------------------------------------

std::string version_name(bool long_names, int i) {
  return long_names ? fmt("2024-05-01T12:00:00Z-%05d", i) : fmt("v%05d", i);
}

// The set: its production version first, then kVersions versions.
vs::set_ptr build_set(bool long_names) {
  vs::set_ptr set = access::allocate_set();
  access::set_name(*set, "//bench");
  vs::version_ptr production = access::allocate_version();
  access::set_name(*production, "//bench");
  access::set_production_version(*production);
  access::add_version(*set, production);
  for (int i = 0; i < kVersions; ++i) {
    vs::version_ptr v = access::allocate_version();
    access::set_name(*v, version_name(long_names, i));
    access::set_state(*v, vs::SNAP_STATE_ACTIVE);
    access::set_fg_versionset(*v, set);
    access::add_version(*set, v);
  }
  return set;
}

vs::set_ptr& the_set(bool long_names) {
  static vs::set_ptr sets[2];
  vs::set_ptr& s = sets[long_names ? 1 : 0];
  if (!s) s = build_set(long_names);
  return s;
}

// range(0): 0 first (the production version), 1 middle, 2 last;
// range(1): 1 for long names.
std::string target_name(const benchmark::State& state) {
  bool long_names = state.range(1) != 0;
  switch (state.range(0)) {
    case 0:
      return "//bench";
    case 1:
      return version_name(long_names, kVersions / 2);
    default:
      return version_name(long_names, kVersions - 1);
  }
}

void BM_get_version(benchmark::State& state) {
  vs::set_ptr& set = the_set(state.range(1) != 0);
  std::string name = target_name(state);
  vs::version_ptr found;
  for (auto _ : state) {
    set->get_version(name, found);
    benchmark::DoNotOptimize(found.get());
  }
  if (!found || found->get_name() != name) state.SkipWithError("version not found");
}

void BM_get_next_version(benchmark::State& state) {
  vs::set_ptr& set = the_set(state.range(1) != 0);
  std::string name = target_name(state);
  vs::version_ptr found;
  for (auto _ : state) {
    set->get_next_version(name, found);
    benchmark::DoNotOptimize(found.get());
  }
  // The last version has no next one.
  if (static_cast<bool>(found) == (state.range(0) == 2)) state.SkipWithError("wrong next version");
}

void lookup_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"position", "long_names"});
  for (int names = 0; names < 2; ++names) {
    for (int position = 0; position < 3; ++position) b->Args({position, names});
  }
}
BENCHMARK(BM_get_version)->Apply(lookup_args);
BENCHMARK(BM_get_next_version)->Apply(lookup_args);

// ---- Reporting ---------------------------------------------------------------

// Keeps the time per iteration (ns) of every run by name, and shows the
// usual table on standard error.
class keeping_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      double ns = r.GetAdjustedRealTime();
      if (r.time_unit == benchmark::kMicrosecond) ns *= 1e3;
      if (r.time_unit == benchmark::kMillisecond) ns *= 1e6;
      if (r.time_unit == benchmark::kSecond) ns *= 1e9;
      m_ns[r.benchmark_name()] = ns;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // -1 when the run is missing.
  double ns(const std::string& name) const {
    auto it = m_ns.find(name);
    return it == m_ns.end() ? -1 : it->second;
  }

 private:
  std::map<std::string, double> m_ns;
};

std::string ns_text(double ns) { return ns < 0 ? "missing" : fmt("%.1f ns", ns); }

void report_logger(const keeping_reporter& r, bool drops) {
  double below_long = r.ns("BM_debug/passes:0/arg_bytes:4096");
  double below_short = r.ns("BM_debug/passes:0/arg_bytes:8");
  double above_long = r.ns("BM_debug/passes:1/arg_bytes:4096");
  double above_short = r.ns("BM_debug/passes:1/arg_bytes:8");
  ktsm_bench::print_row({"2 debug below threshold vs passing (4 KiB arg, null sink)", "memory",
                         ns_text(below_long), ns_text(above_long),
                         ktsm_bench::times(below_long / above_long), "<=0.10x",
                         drops ? ktsm_bench::at_most(below_long / above_long, 0.1) : "no"});
  ktsm_bench::print_row({"2 debug below threshold, 4 KiB vs 8 B arg (no formatting)", "memory",
                         ns_text(below_long), ns_text(below_short),
                         ktsm_bench::times(below_long / below_short), "<=1.20x",
                         ktsm_bench::at_most(below_long / below_short, 1.2)});
  ktsm_bench::print_row(
      {"2 debug passing, 8 B arg (null sink)", "memory", ns_text(above_short), "-", "-", "-", "-"});
  double file = r.ns("BM_debug_to_file/sink:0");
  const char* peers[] = {"fprintf+fflush", "write(2)"};
  for (int p = 1; p <= 2; ++p) {
    double peer = r.ns(fmt("BM_debug_to_file/sink:%d", p));
    ktsm_bench::print_row(
        {fmt("2 debug passing to a file: file sink vs %s per record", peers[p - 1]), "memory",
         ns_text(file), ns_text(peer), ktsm_bench::times(file / peer), "-", "-"});
  }
}

void report_lookups(const keeping_reporter& r) {
  const char* positions[] = {"first", "middle", "last"};
  for (int names = 0; names < 2; ++names) {
    for (int p = 0; p < 3; ++p) {
      std::string args = fmt("/position:%d/long_names:%d", p, names);
      double get = r.ns("BM_get_version" + args), next = r.ns("BM_get_next_version" + args);
      ktsm_bench::print_row(
          {fmt("6 look-up %s of %d, %s names", positions[p], kVersions, names ? "long" : "short"),
           "memory", "get_version " + ns_text(get), "get_next_version " + ns_text(next), "-", "-",
           "-"});
      ktsm_bench::print_data(
          {"lookup", positions[p], names ? "long" : "short", fmt("%.1f", get), fmt("%.1f", next)});
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  bool drops = logger_drops_below_threshold();
  if (!drops) ktsm_bench::note("a debug message below the threshold reached the sink");
  keeping_reporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  report_logger(reporter, drops);
  report_lookups(reporter);
  benchmark::Shutdown();
  // The sets hold their versions and the versions their set: empty them.
  the_set(false)->cleanup();
  the_set(true)->cleanup();
  return drops ? 0 : 1;
}
