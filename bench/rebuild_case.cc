// Case 1: start-up rebuild.  G groups of V versions each are laid out on the
// volume; vs::init rebuilds them, and a floor makes exactly the calls the
// rebuild makes with no library around them: stat, opendir, readdir...,
// closedir of the root, then of each group's ".snaps", then one getxattr of
// the state of each version.
#include <malloc.h>

#include <algorithm>
#include <array>
#include <thread>

#include "bench_support.h"
#include "cases.h"
#include "ktfs/ktfs_fault.h"
#include "ktsm/ktsm_filegroup_version_set.h"

namespace ktsm_bench {

namespace {

typedef ktsm_filegroup_version_set vs;

std::string group_path(size_t g) { return fmt("/g%05zu", g); }

// Makes groups [from, to) with versions versions each, state "2" and a
// creation record as the library writes them, on threads threads (each its
// own share of the groups).
template <class Raw>
bool populate(Raw raw, size_t from, size_t to, size_t versions, int threads) {
  char state[16] = {'2'};
  std::vector<std::thread> workers;
  std::vector<char> ok(static_cast<size_t>(threads), 1);
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      Raw r = raw;
      for (size_t g = from + static_cast<size_t>(t); g < to; g += static_cast<size_t>(threads)) {
        std::string group = r.at(group_path(g));
        if (r.mkdir(group.c_str(), 0760) != 0) ok[static_cast<size_t>(t)] = 0;
        std::string snaps = group + "/.snaps";
        if (r.mkdir(snaps.c_str(), 0760) != 0) ok[static_cast<size_t>(t)] = 0;
        for (size_t v = 0; v < versions; ++v) {
          std::string path = snaps + fmt("/v%04zu", v);
          std::string created = fmt("%zu.%09zu %zu", 1800000000 + v, v, v + 1);
          if (r.mkdir(path.c_str(), 0) != 0 ||
              r.setxattr(path.c_str(), kStateName, state, sizeof state, 0) != 0 ||
              r.setxattr(path.c_str(), kCreatedName, created.data(), created.size(), 0) != 0) {
            ok[static_cast<size_t>(t)] = 0;
          }
        }
      }
    });
  }
  for (std::thread& w : workers) w.join();
  return std::all_of(ok.begin(), ok.end(), [](char c) { return c != 0; });
}

// Reads the names of dir (without "." and "..") through the raw client.
template <class Raw>
bool list_raw(Raw& raw, const std::string& dir, std::vector<std::string>* names) {
  struct stat st;
  if (raw.stat(dir.c_str(), &st) != 0) return false;
  return read_names(raw, dir, names);
}

// The floor: the rebuild's calls, in its order.  *versions receives the
// number of version states read.  With created, each version's creation
// record is read too (the rebuild reads both).
template <class Raw>
bool rebuild_floor(Raw raw, size_t* versions, bool created = false) {
  *versions = 0;
  std::vector<std::string> groups;
  if (!list_raw(raw, raw.at("/"), &groups)) return false;
  char state[16];
  for (const std::string& g : groups) {
    std::string snaps = raw.at("/" + g + "/.snaps");
    std::vector<std::string> entries;
    if (!list_raw(raw, snaps, &entries)) return false;
    for (const std::string& e : entries) {
      std::string path = snaps + "/" + e;
      if (raw.getxattr(path.c_str(), kStateName, state, sizeof state) < 0) return false;
      char record[64];
      if (created && raw.getxattr(path.c_str(), kCreatedName, record, sizeof record) < 0) {
        return false;
      }
      ++*versions;
    }
  }
  return true;
}

// The floor on the volume's floor connection, or with control on a second
// one (GlusterFS; locally the same calls again): two floors that should
// take the same time, whose ratio shows the noise of the measurement.
// With created, the floor that reads the creation records too.
bool run_floor(bench_volume& vol, bool control, bool created, size_t* versions) {
  if (vol.kind() == backend_kind::local) return rebuild_floor(vol.local_raw(), versions, created);
  return rebuild_floor(control ? vol.gluster_control() : vol.gluster_raw(), versions, created);
}

// Heap bytes in use (small chunks and mapped blocks): what the process
// holds, whatever the allocator keeps for reuse.
double heap_in_use() {
  struct mallinfo2 m = mallinfo2();
  return static_cast<double>(m.uordblks + m.hblkhd);
}

// Stops the library and returns the number of snapshot versions it held.
size_t stop_library() {
  std::list<vs::set_ptr> listed;
  vs::list_version_sets(listed);
  size_t snapshots = 0;
  for (const vs::set_ptr& s : listed) {
    std::list<vs::version_ptr> of_set;
    s->list_versions(of_set);
    snapshots += of_set.size() - 1;  // less the production version
  }
  listed.clear();
  vs::stop();
  return snapshots;
}

// What one library run measured beside its time.
struct library_run {
  double heap = 0;  // heap bytes in use after init, less g_heap_base
  double stop = 0;  // seconds of the stop that followed (untimed in the ratio)
};

// The heap in use when the case began.  The pools keep the blocks they
// took (a later init reuses them), so the library's memory is what is in
// use after init beyond this, the pools' blocks included.
double g_heap_base = 0;

// vs::init on the volume; *versions receives the snapshot versions rebuilt.
bool run_library(bench_volume& vol, double* seconds, size_t* versions, library_run* run) {
  double start = now();
  int32_t status = vs::init(vol.init_name(), "");
  *seconds = now() - start;
  run->heap = heap_in_use() - g_heap_base;
  start = now();
  *versions = stop_library();
  run->stop = now() - start;
  return status == 0;
}

struct sample {
  double library = 0;  // medians
  double floor = 0;
  double control = 0;
  double created = 0;         // the floor that reads the creation records too
  ratio_stats ratio;          // library / floor, of each round
  ratio_stats control_ratio;  // control / floor, of each round
  ratio_stats created_ratio;  // library / the floor with creation records
  double heap = 0;            // heap bytes the rebuilt library holds (median)
  double stop = 0;            // seconds of stop (median)
};

// One timed turn: 0 the library, 1 the floor, 2 the control floor, 3 the
// floor with creation records.
bool turn(bench_volume& vol, int who, size_t expected, double* seconds, library_run* run) {
  size_t versions = 0;
  double start = now();
  bool ok = who == 0 ? run_library(vol, seconds, &versions, run)
                     : run_floor(vol, who == 2, who == 3, &versions);
  if (who != 0) *seconds = now() - start;
  if (!ok || versions != expected) {
    note("%s failed or found %zu versions of %zu", who == 0 ? "library rebuild" : "floor", versions,
         expected);
    return false;
  }
  return true;
}

// Runs the library, the floor and (with control) the control floor and the
// floor with creation records rounds times each, turning the order every
// round.
bool measure(bench_volume& vol, size_t expected, int rounds, bool control, sample* out) {
  std::vector<double> times[4], heaps, stops;
  int contenders = control ? 4 : 2;
  for (int r = -1; r < rounds; ++r) {  // round -1 warms every one up
    for (int i = 0; i < contenders; ++i) {
      int who = (i + r + contenders) % contenders;
      double s = 0;
      library_run run;
      if (!turn(vol, who, expected, &s, &run)) return false;
      if (r >= 0) times[who].push_back(s);
      if (r >= 0 && who == 0) {
        heaps.push_back(run.heap);
        stops.push_back(run.stop);
      }
    }
  }
  out->heap = median(heaps);
  out->stop = median(stops);
  out->library = median(times[0]);
  out->floor = median(times[1]);
  out->ratio = round_ratios(times[0], times[1]);
  if (control) {
    out->control = median(times[2]);
    out->control_ratio = round_ratios(times[2], times[1]);
    out->created = median(times[3]);
    out->created_ratio = round_ratios(times[0], times[3]);
  }
  return true;
}

// More rounds for the small sizes, whose times are short and noisy: about
// 3e5 versions read in all locally, 3e4 on GlusterFS (a hundred times
// slower per version).
int rounds_for(const bench_volume& vol, size_t versions, const options& opt) {
  if (opt.smoke) return 1;
  size_t budget = vol.kind() == backend_kind::local ? 300000 : 30000;
  size_t r = budget / std::max<size_t>(versions, 1);
  return static_cast<int>(std::clamp<size_t>(r, static_cast<size_t>(opt.rounds), 31));
}

void report(bench_volume& vol, size_t n, size_t groups, log_mode mode, const sample& s) {
  double goal = vol.kind() == backend_kind::local ? 1.25 : 1.10;
  double ratio = s.ratio.median;
  const char* variant = mode == log_mode::discarded ? ", log discarded"
                        : mode == log_mode::errors  ? ", log threshold -2"
                                                    : "";
  std::string what = fmt("1 rebuild %zu versions (%zux%zu)%s", n, groups, n / groups, variant);
  print_row({what, vol.label(), duration(s.library), duration(s.floor), ratio_text(s.ratio),
             fmt("<=%.2fx", goal), mode == log_mode::file ? at_most(ratio, goal) : "-"});
  print_data({"rebuild", vol.label(), log_mode_name(mode), fmt("%zu", n), fmt("%.9f", s.library),
              fmt("%.9f", s.floor), fmt("%.4f", ratio)});
  if (mode != log_mode::file) return;
  print_row({fmt("1 rebuild %zu versions: control, raw floor %s", n,
                 vol.kind() == backend_kind::local ? "again" : "on a second connection"),
             vol.label(), duration(s.control), duration(s.floor), ratio_text(s.control_ratio),
             "~1x (noise)", "-"});
  // The memory the rebuilt library holds, against the names alone (what
  // the floor keeps: a string per version), and the stop that lets it go.
  double names = static_cast<double>(sizeof(std::string));  // "v0001" fits the string
  double per = s.heap / static_cast<double>(n);
  print_row({fmt("1 rebuild %zu versions: heap per version; stop", n), vol.label(),
             fmt("%.0f B; stop %s", per, duration(s.stop).c_str()), fmt("names %.0f B", names),
             times(per / names), "stop <1 s", at_most(s.stop, 1.0)});
  print_data({"rebuild-memory", vol.label(), fmt("%zu", n), fmt("%.1f", per), fmt("%.6f", s.stop)});
  print_row({fmt("1 rebuild %zu versions against a raw floor reading the creation records too", n),
             vol.label(), duration(s.library), duration(s.created), ratio_text(s.created_ratio),
             fmt("<=%.2fx", goal), at_most(s.created_ratio.median, goal)});
}

void report_linearity(bench_volume& vol, const std::vector<size_t>& sizes,
                      const std::vector<sample>& samples) {
  if (sizes.size() < 2) return;
  std::string lib_text, floor_text;
  for (size_t i = 0; i < sizes.size(); ++i) {
    lib_text += fmt("%s%.2f", i ? "/" : "", samples[i].library / sizes[i] * 1e6);
    floor_text += fmt("%s%.2f", i ? "/" : "", samples[i].floor / sizes[i] * 1e6);
  }
  // Per-version time at the largest size against the second smallest (the
  // smallest carries the fixed costs of init over only a hundred versions),
  // for the library and for the floor.  The floor's grows too (the kernel
  // or the servers take longer per entry in larger directories and caches);
  // the ratio column shows the library's growth against the floor's, and
  // the goal is met when the library's own growth is at most 1.25x.
  // Against 10,000 versions where that size was run.
  size_t base = sizes.size() > 2 ? 1 : 0;
  auto ten_thousand = std::find(sizes.begin(), sizes.end(), size_t{10000});
  if (ten_thousand != sizes.end() && ten_thousand + 1 != sizes.end()) {
    base = static_cast<size_t>(ten_thousand - sizes.begin());
  }
  double lib_growth =
      (samples.back().library / sizes.back()) / (samples[base].library / sizes[base]);
  double floor_growth = (samples.back().floor / sizes.back()) / (samples[base].floor / sizes[base]);
  double ratio = lib_growth / floor_growth;
  print_row({fmt("1 rebuild us/version at %zu..%zu; growth %zu to %zu against the floor's",
                 sizes.front(), sizes.back(), sizes[base], sizes.back()),
             vol.label(), lib_text + fmt(" (x%.2f)", lib_growth),
             floor_text + fmt(" (x%.2f)", floor_growth), times(ratio), "growth <=1.25x (linear)",
             at_most(lib_growth, 1.25)});
}

// The client calls the floor makes for groups groups of per versions, of
// one kind: the root and each ".snaps" stated and listed (a listing reads
// ".", "..", each entry and the end), one getxattr per version.
double floor_calls(ktfs::op kind, size_t groups, size_t per) {
  double lists = 1 + static_cast<double>(groups);
  switch (kind) {
    case ktfs::op::stat:
    case ktfs::op::opendir:
    case ktfs::op::closedir:
      return lists;
    case ktfs::op::readdir:
      return static_cast<double>(groups + 3) + static_cast<double>(groups * (per + 3));
    case ktfs::op::getxattr:
      return static_cast<double>(groups * per);
    default:
      return 0;
  }
}

// Client calls of one rebuild of groups x per versions, per version and by
// kind, against the floor's, counted by the fault wrapper with no fault
// armed.
bool count_rebuild_calls(bench_volume& vol, size_t groups, size_t per) {
  vol.point_library(true);
  size_t versions = 0;
  bool ok = vs::init(vol.init_name(), "") == 0 && vol.counter();
  std::array<uint64_t, static_cast<size_t>(ktfs::op::count_)> calls{};
  for (size_t k = 0; ok && k < calls.size(); ++k) {
    calls[k] = vol.counter()->count(static_cast<ktfs::op>(k));
  }
  versions = stop_library();
  vol.point_library(false);
  if (!ok || versions != groups * per) return false;
  double n = static_cast<double>(versions), total = 0, floor_total = 0;
  for (size_t k = 0; k < calls.size(); ++k) {
    ktfs::op kind = static_cast<ktfs::op>(k);
    double floor = floor_calls(kind, groups, per) / n;
    if (calls[k] == 0 && floor == 0) continue;
    print_data({"rebuild-calls", vol.label(), ktfs::op_name(kind), fmt("%.3f", calls[k] / n),
                fmt("%.3f", floor)});
    total += calls[k] / n;
    floor_total += floor;
  }
  print_row({fmt("1 rebuild client calls per version (%zux%zu)", groups, per), vol.label(),
             fmt("%.2f", total), fmt("%.2f (floor)", floor_total), times(total / floor_total), "-",
             "-"});
  return true;
}

}  // namespace

const char kStateName[] = "trusted.norvafs.snapstate";
const char kCreatedName[] = "trusted.norvafs.snapcreated";

bool run_rebuild(bench_volume& vol, const options& opt) {
  note("case 1: rebuild on %s", vol.label());
  vol.clear();
  g_heap_base = heap_in_use();
  vol.point_library(false);
  size_t made = 0;
  std::vector<size_t> sizes;
  std::vector<sample> file_samples;
  int threads = vol.kind() == backend_kind::gluster ? 2 : 1;
  for (size_t n : opt.rebuild_sizes) {
    size_t per = std::min(opt.versions_per_group, n);
    size_t groups = n / per;
    double start = now();
    bool ok = vol.kind() == backend_kind::local
                  ? populate(vol.local_filler(), made, groups, per, threads)
                  : populate(vol.gluster_filler(), made, groups, per, threads);
    if (!ok) {
      note("laying out %zu versions failed", n);
      return false;
    }
    note("laid out %zu versions in %zu groups (%.1f s)", n, groups, now() - start);
    made = groups;
    // The variants tell the library's own cost from the log's: one
    // formatted line per version, written to the file or discarded, or
    // not formatted at all.  On GlusterFS the log's share is too small to
    // tell, so only the file is measured there.
    for (log_mode mode : {log_mode::file, log_mode::discarded, log_mode::errors}) {
      if (mode != log_mode::file && vol.kind() == backend_kind::gluster) continue;
      use_log(opt, mode);
      sample s;
      bool control = mode == log_mode::file;
      if (!measure(vol, groups * per, rounds_for(vol, n, opt), control, &s)) return false;
      report(vol, groups * per, groups, mode, s);
      if (mode == log_mode::file) {
        sizes.push_back(groups * per);
        file_samples.push_back(s);
      }
    }
  }
  use_log(opt, log_mode::file);
  report_linearity(vol, sizes, file_samples);
  size_t per = std::min(opt.versions_per_group, opt.rebuild_sizes.back());
  if (!count_rebuild_calls(vol, made, per)) {
    note("counting the rebuild's client calls failed");
    return false;
  }
  vol.clear();
  return true;
}

}  // namespace ktsm_bench
