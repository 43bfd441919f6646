// Cases 2 and 3: create_version + delete_version of a version of an empty
// file group, in a loop.  The floor makes the same client calls as raw
// calls: on create mkdir, setxattr "1", the listing of the group, the
// creation of the empty deleted-file list in the version's ".snaps",
// setxattr "2"; on delete setxattr "4", stat, setxattr "5", then the
// removal of the directory (lstat, the listing, lstat and listing of its
// ".snaps", lstat and unlink of the list, two rmdirs).
#include <array>
#include <atomic>
#include <thread>

#include "bench_support.h"
#include "cases.h"
#include "ktsm/ktsm_filegroup_version_set.h"

namespace ktsm_bench {

namespace {

typedef ktsm_filegroup_version_set vs;
// A version's deleted-file list, in the version's own ".snaps".
const char kListDir[] = "/.snaps";
const char kListName[] = "/.snaps/.ktsm-deleted-files";

// ---- The floor ---------------------------------------------------------

template <class Raw>
bool set_state(Raw& raw, const std::string& path, char state) {
  char value[16] = {state};
  return raw.setxattr(path.c_str(), kStateName, value, sizeof value, 0) == 0;
}

template <class Raw>
bool floor_create(Raw& raw, const std::string& group, const std::string& version) {
  if (raw.mkdir(version.c_str(), 0) != 0 || !set_state(raw, version, '1')) return false;
  std::vector<std::string> names;
  if (!read_names(raw, group, &names)) return false;
  if (raw.mkdir((version + kListDir).c_str(), 0700) != 0) return false;
  std::string list = version + kListName;
  typename Raw::file_t f = raw.creat(list.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!Raw::valid_file(f) || raw.close(f) != 0) return false;
  return set_state(raw, version, '2');
}

template <class Raw>
bool floor_delete(Raw& raw, const std::string& version) {
  struct stat st;
  if (!set_state(raw, version, '4') || raw.stat(version.c_str(), &st) != 0 ||
      !set_state(raw, version, '5') || raw.lstat(version.c_str(), &st) != 0) {
    return false;
  }
  // The version holds its ".snaps" with the list alone.
  std::string snaps = version + kListDir;
  std::vector<std::string> names;
  if (!read_names(raw, version, &names) || raw.lstat(snaps.c_str(), &st) != 0 ||
      !read_names(raw, snaps, &names)) {
    return false;
  }
  std::string list = version + kListName;
  if (raw.lstat(list.c_str(), &st) != 0 || raw.unlink(list.c_str()) != 0) return false;
  return raw.rmdir(snaps.c_str()) == 0 && raw.rmdir(version.c_str()) == 0;
}

// One thread's floor loop on group gname with version vname.
template <class Raw>
struct floor_loop {
  Raw raw;
  std::string group, version;
  floor_loop(Raw r, const std::string& gname, const std::string& vname)
      : raw(r), group(r.at("/" + gname)), version(r.at("/" + gname + "/.snaps/" + vname)) {}
  bool operator()() { return floor_create(raw, group, version) && floor_delete(raw, version); }
};

// ---- The library ---------------------------------------------------------

struct library_loop {
  vs::set_ptr set;
  std::string version;
  bool operator()() {
    vs::version_ptr v;
    return set->create_version(version, v) == 0 && set->delete_version(version) == 0;
  }
};

// Runs each loop on its own thread until seconds have passed; returns the
// pairs per second of all threads together, or -1 when a pair failed.
template <class Loop>
double rate(std::vector<Loop>& loops, double seconds) {
  std::atomic<bool> failed{false};
  std::atomic<uint64_t> pairs{0};
  std::vector<std::thread> threads;
  double start = now();
  for (Loop& loop : loops) {
    threads.emplace_back([&] {
      uint64_t mine = 0;
      while (!failed.load(std::memory_order_relaxed) && now() - start < seconds) {
        if (!loop()) failed = true;
        ++mine;
      }
      pairs += mine;
    });
  }
  for (std::thread& t : threads) t.join();
  double elapsed = now() - start;
  return failed ? -1 : static_cast<double>(pairs.load()) / elapsed;
}

// Floor loops for the given (group, version) pairs on this volume's raw client.
double floor_rate(bench_volume& vol, const std::vector<std::pair<std::string, std::string>>& who,
                  double seconds) {
  if (vol.kind() == backend_kind::local) {
    std::vector<floor_loop<posix_raw>> loops;
    for (const auto& w : who) loops.emplace_back(vol.local_raw(), w.first, w.second);
    return rate(loops, seconds);
  }
  std::vector<floor_loop<gfapi_raw>> loops;
  for (const auto& w : who) loops.emplace_back(vol.gluster_raw(), w.first, w.second);
  return rate(loops, seconds);
}

// Starts the library on the volume and gives it the sets "//NAME" of names
// (made where missing).
bool start_with_sets(bench_volume& vol, bool count, const std::vector<std::string>& names,
                     std::vector<vs::set_ptr>* sets) {
  vs::stop();
  vol.point_library(count);
  if (vs::init(vol.init_name(), "") != 0) return false;
  sets->clear();
  for (const std::string& n : names) {
    vs::set_ptr s;
    if (vs::get_version_set("//" + n, s) != 0 && vs::create_version_set("//" + n, s) != 0) {
      return false;
    }
    sets->push_back(s);
  }
  return true;
}

// ---- Case 2: calls per operation ------------------------------------------

// The calls that the algorithm names for one create and one delete of a
// version of an empty group (the group holds only ".snaps"; the version
// holds only its deleted-file list; a listing reads ".", "..", the entry
// and the end).  Both check the group's directories (lstat) and hold the
// group lock (its file's open, lock, unlock and close) for the change.
//   create: lstat of the group and ".snaps"; the lock (its file checked by
//     fstat against lstat to be the one at its path); mkdir; state "1",
//     the creation record, and the time before which a live file counts
//     as unchanged (after an lstat of the new directory); no older version
//     to link from; the copy (lstat of its source, target and
//     entry, the listing of the group with each entry's stat and the fstat
//     that checks it is the directory seen, the version's ".snaps" made
//     and its empty deleted-file list); the version's directory given the
//     group's owner, ACLs (listed), mode and times; state "2".  Every
//     brick is asked to answer for the group before and after the copy.
//   delete: the version's directories checked and its state and holds read
//     under the lock; every brick asked to answer; the list found in the
//     version's ".snaps" (lstat); states written; the tree removed (stat,
//     lstats, the listings of the version and its ".snaps", each checked by
//     fstat, the deleted-file list unlinked, two rmdirs).
struct expected_calls {
  ktfs::op kind;
  int create;
  int remove;
};
const expected_calls kExpected[] = {
    {ktfs::op::lstat, 7, 10},    {ktfs::op::stat, 0, 1},        {ktfs::op::mkdir, 2, 0},
    {ktfs::op::setxattr, 4, 2},  {ktfs::op::getxattr, 0, 2},    {ktfs::op::opendir, 1, 2},
    {ktfs::op::readdir, 0, 8},   {ktfs::op::readdirplus, 4, 0}, {ktfs::op::closedir, 1, 2},
    {ktfs::op::open, 2, 1},      {ktfs::op::close, 2, 1},       {ktfs::op::fstat, 2, 3},
    {ktfs::op::lock, 2, 2},      {ktfs::op::unlink, 0, 1},      {ktfs::op::rmdir, 0, 2},
    {ktfs::op::reachable, 2, 1}, {ktfs::op::listxattr, 1, 0},   {ktfs::op::chown, 1, 0},
    {ktfs::op::lchmod, 1, 0},    {ktfs::op::utimens, 1, 0},
};

int expected_for(ktfs::op kind, bool create) {
  for (const expected_calls& e : kExpected) {
    if (e.kind == kind) return create ? e.create : e.remove;
  }
  return 0;
}

typedef std::array<uint64_t, static_cast<size_t>(ktfs::op::count_)> counts;

counts snapshot(const ktfs::fault_backend& f) {
  counts c{};
  for (size_t k = 0; k < c.size(); ++k) c[k] = f.count(static_cast<ktfs::op>(k));
  return c;
}

bool count_calls(bench_volume& vol, const options& opt) {
  std::vector<vs::set_ptr> sets;
  if (!start_with_sets(vol, true, {"ops"}, &sets) || !vol.counter()) return false;
  const int pairs = opt.smoke ? 5 : 100;
  counts created{}, removed{};
  for (int i = 0; i < pairs; ++i) {
    counts a = snapshot(*vol.counter());
    vs::version_ptr v;
    if (sets[0]->create_version("b", v) != 0) return false;
    counts b = snapshot(*vol.counter());
    if (sets[0]->delete_version("b") != 0) return false;
    counts c = snapshot(*vol.counter());
    for (size_t k = 0; k < a.size(); ++k) {
      created[k] += b[k] - a[k];
      removed[k] += c[k] - b[k];
    }
  }
  double total[2] = {0, 0};
  int expected_total[2] = {0, 0};
  bool all_match = true;
  note("client calls per operation on %s (measured / named by the algorithm):", vol.label());
  for (size_t k = 0; k < created.size(); ++k) {
    ktfs::op kind = static_cast<ktfs::op>(k);
    double per[2] = {static_cast<double>(created[k]) / pairs,
                     static_cast<double>(removed[k]) / pairs};
    int want[2] = {expected_for(kind, true), expected_for(kind, false)};
    if (per[0] == 0 && per[1] == 0 && want[0] == 0 && want[1] == 0) continue;
    note("  %-9s create %5.2f / %d   delete %5.2f / %d", ktfs::op_name(kind), per[0], want[0],
         per[1], want[1]);
    print_data({"calls", vol.label(), ktfs::op_name(kind), fmt("%.2f", per[0]), fmt("%d", want[0]),
                fmt("%.2f", per[1]), fmt("%d", want[1])});
    for (int i = 0; i < 2; ++i) {
      total[i] += per[i];
      expected_total[i] += want[i];
      all_match = all_match && per[i] == want[i];
    }
  }
  const char* names[2] = {"create_version", "delete_version"};
  for (int i = 0; i < 2; ++i) {
    double ratio = total[i] / expected_total[i];
    print_row({fmt("2 client calls per %s", names[i]), vol.label(), fmt("%.2f", total[i]),
               fmt("%d (algorithm)", expected_total[i]), times(ratio), "=1.00x",
               all_match ? "yes" : "no (see kinds)"});
  }
  return true;
}

// ---- Case 2: the loop's rate ----------------------------------------------

bool loop_rate(bench_volume& vol, const options& opt, bool discard_log) {
  use_log(opt, discard_log ? log_mode::discarded : log_mode::file);
  std::vector<vs::set_ptr> sets;
  if (!start_with_sets(vol, false, {"ops"}, &sets)) return false;
  std::vector<double> lib, flo;
  for (int r = 0; r < opt.loop_rounds; ++r) {
    std::vector<library_loop> l = {{sets[0], "b"}};
    double lr = 0;
    // The order turns every round, so that neither always follows the other.
    if (r % 2 == 0) lr = rate(l, opt.seconds);
    double fr = floor_rate(vol, {{"ops", "b"}}, opt.seconds);
    if (r % 2 != 0) lr = rate(l, opt.seconds);
    if (lr < 0 || fr < 0) return false;
    lib.push_back(lr);
    flo.push_back(fr);
  }
  double l = median(lib), f = median(flo);
  // Time per pair against the floor's: the floor's rate over the library's.
  ratio_stats r = round_ratios(flo, lib);
  print_row({fmt("2 create+delete loop%s", discard_log ? ", log discarded" : ""), vol.label(),
             fmt("%.0f pairs/s (%s)", l, duration(1 / l).c_str()),
             fmt("%.0f pairs/s (%s)", f, duration(1 / f).c_str()), ratio_text(r), "-", "-"});
  print_data({"loop", vol.label(), discard_log ? "null" : "file", fmt("%.3f", l), fmt("%.3f", f),
              fmt("%.4f", r.median)});
  use_log(opt, log_mode::file);
  return true;
}

}  // namespace

bool run_ops(bench_volume& vol, const options& opt) {
  note("case 2: create/delete overhead on %s", vol.label());
  vol.clear();
  bool ok = count_calls(vol, opt) && loop_rate(vol, opt, false) && loop_rate(vol, opt, true);
  vs::stop();
  vol.clear();
  return ok;
}

// ---- Case 3 -------------------------------------------------------------------

bool run_parallel(bench_volume& vol, const options& opt) {
  note("case 3: parallel sets on %s", vol.label());
  vol.clear();
  std::vector<vs::set_ptr> sets;
  if (!start_with_sets(vol, false, {"par0", "par1"}, &sets)) return false;
  // Five measurements a round, in an order that turns every round: the
  // library on one set with one thread, on two sets with two threads, on
  // one set with two threads, and the floor with one and with two threads.
  std::vector<library_loop> library[3] = {
      {{sets[0], "t0"}}, {{sets[0], "t0"}, {sets[1], "t1"}}, {{sets[0], "t0"}, {sets[0], "t1"}}};
  const std::vector<std::pair<std::string, std::string>> floors[2] = {
      {{"par0", "t0"}}, {{"par0", "t0"}, {"par1", "t1"}}};
  std::vector<double> m[5];
  for (int r = 0; r < opt.loop_rounds; ++r) {
    for (int i = 0; i < 5; ++i) {
      int which = (i + r) % 5;
      double x = which < 3 ? rate(library[which], opt.seconds)
                           : floor_rate(vol, floors[which - 3], opt.seconds);
      if (x < 0) return false;
      m[which].push_back(x);
    }
  }
  const std::vector<double>& one = m[0];
  const std::vector<double>& two_sets = m[1];
  const std::vector<double>& one_set = m[2];
  const std::vector<double>& floor_one = m[3];
  const std::vector<double>& floor_two = m[4];
  double l1 = median(one), l2 = median(two_sets), l21 = median(one_set);
  double f1 = median(floor_one), f2 = median(floor_two);
  ratio_stats two = round_ratios(two_sets, one), shared = round_ratios(one_set, one);
  ratio_stats raw = round_ratios(floor_two, floor_one);
  print_row({"3 parallel: 2 sets, 2 threads / 1 set, 1 thread", vol.label(),
             fmt("%.0f / %.0f pairs/s", l2, l1),
             fmt("raw %s (%.0f / %.0f)", ratio_text(raw).c_str(), f2, f1), ratio_text(two),
             ">=1.60x", at_least(two.median, 1.6)});
  print_row({"3 parallel: 1 set, 2 threads / 1 set, 1 thread", vol.label(),
             fmt("%.0f / %.0f pairs/s", l21, l1), "-", ratio_text(shared), "~1x (serialised)",
             "-"});
  print_data({"parallel", vol.label(), fmt("%.3f", l1), fmt("%.3f", l2), fmt("%.3f", l21),
              fmt("%.3f", f1), fmt("%.3f", f2), fmt("%.4f", two.median), fmt("%.4f", shared.median),
              fmt("%.4f", raw.median)});
  vs::stop();
  vol.clear();
  return true;
}

}  // namespace ktsm_bench
