// ktsm_soak: hosts, writers and faults against one GlusterFS volume, then
// every check of check.h.  See the README, "The soak".
//
//   ktsm_soak [--layout distributed|replica|both] [--seconds N | --minutes N]
//             [--hosts N] [--seed S]...
//
// Each host slot runs ktsmctl processes one after another, each a client of
// its own (a host is a machine's ktsmctl), with a seeded random mix of every
// operation; a writer thread of a client of its own keeps replacing the
// live files of three groups (by rename, content.h); a fault thread kills
// running ktsmctl processes (SIGKILL), kills bricks and starts them again,
// and once stops and starts the whole volume.  The seed decides every
// choice of the slots and the faults' kinds and moments; which versions
// exist when a slot chooses depends on timing, so a replay runs the same
// choices, not the same interleaving.  Exit status 0 when nothing is lost,
// 1 with the seed and the history around each problem, 77 when no volume
// can be made here (not root).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include "check.h"
#include "content.h"
#include "history.h"
#include "support/gluster_volume.h"
#include "support/test_volumes.h"

namespace ktsm_soak {

namespace {

// What each brick holds at paths of the volume, read on the bricks
// themselves: the entry's type and mode (a DHT link file is "---------T"),
// size and links, and, by getfattr, its GlusterFS identity, DHT layout or link target,
// the replica's pending-change counts and our attributes.  The evidence
// beside something the volume should not hold or cannot find.
std::string brick_views(const std::vector<std::string>& bricks,
                        const std::vector<std::string>& paths) {
  std::string text;
  for (const std::string& brick : bricks) {
    std::string quoted, out;
    for (const std::string& p : paths) quoted += " '" + brick + "/" + p + "'";
    ktsm_test::run_command("stat -c '%n %A %s bytes, %h links, inode %i' " + quoted +
                               " 2>&1; getfattr --absolute-names -d -e hex -m "
                               "'^trusted\\.(afr|gfid|glusterfs\\.dht|norvafs)' " +
                               quoted + " 2>&1",
                           &out);
    text += "\n" + out;
  }
  return text;
}

using clock_type = std::chrono::steady_clock;

const int kFiles = 30;
// Runs of one process use groups of their own: "r0g0" ... "r0g2", "r0s1".
int g_runs = 0;

struct options {
  std::vector<std::string> layouts = {"distributed", "replica"};
  double seconds = 55;
  int hosts = 3;
  std::vector<uint64_t> seeds;
};

struct outcome_counts {
  std::map<std::string, std::map<std::string, int>> ops;  // kind -> ok/failed/killed -> n
  std::map<std::string, int> faults;
  int64_t lock_wait_ms = 0;
  double minutes = 0;
  int completed = 0;
};

class run {
 public:
  run(ktsm_test::gluster_volume& volume, const options& opt, uint64_t seed)
      : m_volume(volume),
        m_opt(opt),
        m_seed(seed),
        m_start(clock_type::now()),
        m_prefix("r" + std::to_string(g_runs++)) {
    for (int i = 0; i < 3; ++i) m_groups.push_back(m_prefix + "g" + std::to_string(i));
  }

  // The whole run: setup, load with faults, the checks.  True when nothing
  // is wrong.
  bool go(outcome_counts* counts, check_report* report);

 private:
  double now() const { return std::chrono::duration<double>(clock_type::now() - m_start).count(); }
  // A client connection of the caller's own.
  ktfs::iopx_ptr connect() const {
    std::error_code ec;
    return ktfs::iopx_ptr(
        new ktfs::ktfs_iopx(ktfs::make_gluster_backend(m_volume.server(), m_volume.name(), &ec)));
  }
  std::vector<std::string> volume_args() const {
    return {"--server", m_volume.server(), "--volume", m_volume.name()};
  }
  pid_t spawn(int slot, const std::vector<std::string>& words);
  int ktsmctl(const std::vector<std::string>& words, std::string* out);
  bool setup();
  void writer();
  void faults();
  op_record next_op(int slot, std::mt19937_64& rng);
  void load();
  void finish(op_record* op, int status);
  std::string pick_version(const std::string& group, std::mt19937_64& rng);

  ktsm_test::gluster_volume& m_volume;
  const options m_opt;
  const uint64_t m_seed;
  const clock_type::time_point m_start;
  const std::string m_prefix;
  std::vector<std::string> m_groups;  // the written groups
  ktsm_test::scratch_dir m_dir;
  history m_past;
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;                                          // m_versions, m_running
  std::map<std::string, std::vector<std::string>> m_versions;  // taken, by group
  std::map<int, pid_t> m_running;                              // slot -> ktsmctl pid
  int m_next_id = 0;
  int64_t m_lock_wait_ms = 0;  // load()'s thread only
};

// Starts ktsmctl with words after the volume options (posix_spawn: the
// soak's other threads run on, so nothing may happen between fork and exec);
// its output goes to TAG.out and TAG.err, its log to TAG.log.
pid_t run::spawn(int slot, const std::vector<std::string>& words) {
  std::vector<std::string> args = {"ktsmctl"};
  for (const std::string& a : volume_args()) args.push_back(a);
  args.insert(args.end(), {"--wait", "60"});
  args.insert(args.end(), words.begin(), words.end());
  std::string tag = m_dir.path() + "/" + (slot < 0 ? "check" : "slot" + std::to_string(slot));
  std::string bin = KTSMCTL_BIN;
  std::vector<std::string> env = {
      "KTSM_LOG=" + tag + ".log", "STORHAUG_EXPORT_DIR=" + m_dir.path() + "/exports",
      "PATH=" + bin.substr(0, bin.rfind('/')) + ":/usr/sbin:/usr/bin:/sbin:/bin"};
  for (char** e = environ; *e != nullptr; ++e) {
    std::string name = std::string(*e).substr(0, std::string(*e).find('='));
    if (name != "KTSM_LOG" && name != "STORHAUG_EXPORT_DIR" && name != "PATH") env.push_back(*e);
  }
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(&a[0]);
  for (std::string& e : env) envp.push_back(&e[0]);
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, (tag + ".out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, STDERR_FILENO, (tag + ".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int err = posix_spawn(&pid, KTSMCTL_BIN, &files, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&files);
  if (err == 0) return pid;
  errno = err;
  return -1;
}

int run::ktsmctl(const std::vector<std::string>& words, std::string* out) {
  int status = 0;
  pid_t pid = spawn(-1, words);
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  *out = ktsm_test::read_text(m_dir.path() + "/check.out") +
         ktsm_test::read_text(m_dir.path() + "/check.err");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A new client reaches the bricks one after another, and a listing
// leaves out, without an error, the entries of a brick it does not reach
// yet: waits until every brick answers this client (up to 30 seconds).
std::error_code wait_for_every_brick(ktfs::ktfs_api& api, const ktfs::iopx_ptr& io) {
  std::error_code ec;
  for (int i = 0; i < 60 && (ec = api.every_copy_reachable(io, "/", ktfs::kNoAio)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  return ec;
}

// The groups, each with kFiles live files of generation 1.
bool run::setup() {
  ktfs::ktfs_api api;
  ktfs::iopx_ptr io = connect();
  std::error_code ec = wait_for_every_brick(api, io);
  auto failed = [](const std::string& what, const std::string& why) {
    std::fprintf(stderr, "soak: setup: %s: %s\n", what.c_str(), why.c_str());
    return false;
  };
  if (ec) return failed("not every brick answers", ec.message());
  for (const std::string& g : m_groups) {
    std::string out, dir = "/" + g + "/w";
    if (ktsmctl({"create-group", g}, &out) != 0) return failed("cannot make group " + g, out);
    if ((ec = api.mkdir(io, dir.c_str(), 0755, ktfs::kNoAio))) return failed(dir, ec.message());
    for (int f = 0; f < kFiles; ++f) {
      std::string rel = "w/f" + std::to_string(f), path = "/" + g + "/" + rel;
      if ((ec = ktsm_test::write_volume_file(api, io, path, file_content(rel, 1)))) {
        return failed(path, ec.message());
      }
      m_past.add_write({g, f, 1, now(), now(), false, ""});
    }
  }
  return true;
}

// Replaces live files by rename, one after another, until the run stops;
// a failed write (a brick or the volume down) is tried again later.
void run::writer() {
  std::mt19937_64 rng(m_seed * 7919 + 1);
  std::map<std::pair<std::string, int>, uint64_t> gens;
  ktfs::ktfs_api api;
  ktfs::iopx_ptr io = connect();
  while (!m_stop.load()) {
    std::string g = m_groups[rng() % m_groups.size()];
    int f = static_cast<int>(rng() % kFiles);
    uint64_t& gen = gens[{g, f}];
    if (gen == 0) gen = 1;
    std::string rel = "w/f" + std::to_string(f), data = file_content(rel, gen + 1);
    std::string tmp = "/" + g + "/w/.tmp-" + std::to_string(f), dst = "/" + g + "/" + rel;
    double start = now();
    std::error_code failed = ktsm_test::write_volume_file(api, io, tmp, data);
    // Only the rename touches w/f<f>: a failure before it leaves the file as it was.
    bool renaming = !failed;
    if (!failed) failed = api.rename(io, tmp.c_str(), dst.c_str(), ktfs::kNoAio);
    if (!failed) {
      ++gen;
      m_past.add_write({g, f, gen, start, now(), false, ""});
    } else {
      if (renaming) m_past.add_write({g, f, gen + 1, start, now(), true, failed.message()});
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Faults at seeded moments: a host's ktsmctl killed, a brick killed and
// brought back some seconds later, and once (a third of the way in) the
// whole volume stopped and started.
void run::faults() {
  std::mt19937_64 rng(m_seed * 104729 + 3);
  bool volume_done = false;
  while (!m_stop.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000 + rng() % 4000));
    if (m_stop.load()) break;
    unsigned kind = rng() % 10;
    if (!volume_done && now() > m_opt.seconds / 3) {
      volume_done = true;
      bool ok = m_volume.restart_volume();
      m_past.add_fault({"volume restarted", ok ? "" : m_volume.error(), now()});
      if (!m_volume.wait_for_heal(2, std::max(1, static_cast<int>(m_opt.seconds - now())))) {
        m_past.add_fault({"heal incomplete", m_volume.error(), now()});
      }
    } else if (kind < 6) {
      std::lock_guard<std::mutex> guard(m_mutex);
      if (m_running.empty()) continue;
      auto victim = std::next(m_running.begin(), static_cast<long>(rng() % m_running.size()));
      ::kill(victim->second, SIGKILL);
      m_past.add_fault({"host killed", "slot " + std::to_string(victim->first), now()});
    } else {
      size_t brick = rng() % m_volume.bricks().size();
      // The moment of the kill, not of glusterd's noticing it, which can
      // come seconds later.
      double at = now();
      bool killed = m_volume.kill_brick(brick);
      m_past.add_fault({"brick killed", "brick " + std::to_string(brick), at});
      std::this_thread::sleep_for(std::chrono::milliseconds(2000 + rng() % 4000));
      bool back = m_volume.restart_bricks();
      m_past.add_fault({"brick back", killed && back ? "" : m_volume.error(), now()});
      // A replica loses no second brick before the first is healed: as
      // GlusterFS asks of its administrators (two bricks lost in turn with
      // writes between them can leave a file in split-brain).
      if (!m_volume.wait_for_heal(2, std::max(1, static_cast<int>(m_opt.seconds - now())))) {
        m_past.add_fault({"heal incomplete", m_volume.error(), now()});
      }
    }
  }
}

std::string run::pick_version(const std::string& group, std::mt19937_64& rng) {
  std::lock_guard<std::mutex> guard(m_mutex);
  const std::vector<std::string>& taken = m_versions[group];
  if (taken.empty()) return "";
  // The newer half more often: the older ones are pruned away.
  size_t n = taken.size();
  size_t at = rng() % 2 ? n - 1 - rng() % std::min<size_t>(n, 4) : rng() % n;
  return taken[at];
}

// The slot's next operation, by its own seeded choices.
op_record run::next_op(int slot, std::mt19937_64& rng) {
  op_record op;
  op.slot = slot;
  op.group = m_groups[rng() % m_groups.size()];
  unsigned roll = rng() % 100;
  std::string v = pick_version(op.group, rng);
  if (roll < 30 || v.empty()) {
    op.kind = "snapshot";
    op.version = "h" + std::to_string(slot) + "-" + std::to_string(m_next_id);
    op.args = {"snapshot", op.group, op.version};
    if (rng() % 5 == 0) op.args.push_back("--full");
    return op;
  }
  op.version = v;
  if (roll < 40) {
    op.kind = "delete";
  } else if (roll < 48) {
    op.kind = rng() % 2 ? "export" : "unexport";
  } else if (roll < 58) {
    op.kind = rng() % 2 ? "hold" : "release";
    op.tag = "t" + std::to_string(rng() % 2);
  } else if (roll < 70) {
    op.kind = "restore";
    op.args = {"restore", op.group, v, "w/f" + std::to_string(rng() % kFiles)};
    if (rng() % 4 == 0) op.args = {"restore", op.group, v, "w", "--delete"};
    if (rng() % 3 == 0) op.args = {"restore", op.group, v};
    return op;
  } else if (roll < 80) {
    op.kind = "prune";
    op.version.clear();
    op.args = {"prune", op.group, "--keep-last", std::to_string(3 + rng() % 4)};
    if (rng() % 2) op.args.push_back("--leftovers");
    return op;
  } else if (roll < 90) {
    // A group of the slot's own, made and deleted.
    op.group = m_prefix + "s" + std::to_string(slot);
    op.version.clear();
    op.kind = rng() % 2 ? "create-group" : "delete-group";
    op.args = {op.kind, op.group};
    return op;
  } else {
    op.kind = "diff";
    op.args = {"diff", op.group, v};
    return op;
  }
  op.args = {op.kind, op.group, op.version};
  if (!op.tag.empty()) op.args.push_back(op.tag);
  return op;
}

void run::finish(op_record* op, int status) {
  op->end = now();
  // Killed by the soak (SIGKILL), or died of another signal: a crash.
  op->status = WIFEXITED(status)                                    ? WEXITSTATUS(status)
               : WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL ? 128 + WTERMSIG(status)
                                                                    : kKilled;
  std::string tag = "slot" + std::to_string(op->slot);
  op->out = ktsm_test::read_text(m_dir.path() + "/" + tag + ".out");
  op->err = ktsm_test::read_text(m_dir.path() + "/" + tag + ".err");
  // The longest wait for a group's lock, from the slot's log, which then
  // starts again empty for the slot's next operation (ktsmctl rotates long
  // logs, and older records would be lost).
  std::string log_path = m_dir.path() + "/" + tag + ".log";
  std::string log = ktsm_test::read_text(log_path);
  static const std::regex waited("lock taken after ([0-9]+) ms");
  for (std::sregex_iterator it(log.begin(), log.end(), waited), end; it != end; ++it) {
    m_lock_wait_ms = std::max<int64_t>(m_lock_wait_ms, std::stoll((*it)[1]));
  }
  static const std::regex noted(
      "[^\n]*(disappeared during the copy|changed while it was copied)[^\n]*");
  for (std::sregex_iterator it(log.begin(), log.end(), noted), end; it != end; ++it) {
    op->copy_notes += "\n    log: " + it->str();
  }
  ::unlink(log_path.c_str());
  if (op->kind == "snapshot" && op->ok()) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_versions[op->group].push_back(op->version);
  }
  if (op->ok() && (op->kind == "delete" || op->kind == "prune")) {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::vector<std::string>& taken = m_versions[op->group];
    taken.erase(std::remove_if(taken.begin(), taken.end(),
                               [op](const std::string& name) {
                                 return (op->kind == "delete" && name == op->version) ||
                                        op->out.find("deleted " + name + "\t") != std::string::npos;
                               }),
                taken.end());
  }
  m_past.add_op(*op);
}

// Every slot runs its operations until the time is up; the running ones
// then finish (or are killed after two minutes).  A finished process is
// taken off the running list before it is reaped, so that the fault thread
// never kills a pid that may be reused.
void run::load() {
  std::vector<std::mt19937_64> rngs;
  std::map<int, op_record> current;
  for (int s = 0; s < m_opt.hosts; ++s) rngs.emplace_back(m_seed * 1000003 + s);
  while (now() < m_opt.seconds + 120) {
    bool more = now() < m_opt.seconds;
    for (int s = 0; s < m_opt.hosts && more; ++s) {
      if (current.count(s) != 0) continue;
      op_record op = next_op(s, rngs[s]);
      op.id = m_next_id++;
      op.start = now();
      pid_t pid = spawn(s, op.args);
      if (pid < 0) {
        // Never a running pid: the fault thread's kill(-1) would end every
        // process of the machine.
        op.end = now();
        op.status = kNotStarted;
        op.err = std::string("cannot start ktsmctl: ") + std::strerror(errno);
        m_past.add_op(op);
        continue;
      }
      current[s] = op;
      std::lock_guard<std::mutex> guard(m_mutex);
      m_running[s] = pid;
    }
    if (!more && current.empty()) return;
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    int slot = -1;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      for (const auto& [s, pid] : m_running) {
        if (pid == info.si_pid) slot = s;
      }
      m_running.erase(slot);
    }
    int status = 0;
    ::waitpid(info.si_pid, &status, 0);
    if (slot < 0) continue;
    finish(&current[slot], status);
    current.erase(slot);
  }
  std::lock_guard<std::mutex> guard(m_mutex);
  for (const auto& [slot, pid] : m_running) ::kill(pid, SIGKILL);
}

bool run::go(outcome_counts* counts, check_report* report) {
  // A replica's files written while the whole volume stops can be left
  // with every brick blaming the others (split-brain, EIO on read) unless
  // the volume may choose a copy: GlusterFS's own setting for that.
  std::string said;
  if (m_volume.layout() == ktsm_test::volume_layout::replica &&
      !m_volume.volume_cli("set", "cluster.favorite-child-policy mtime", &said)) {
    report->problems.push_back("cannot set cluster.favorite-child-policy: " + said);
    return false;
  }
  if (!setup()) return false;
  std::thread write([this] { writer(); });
  std::thread fault([this] { faults(); });
  load();
  double loaded = now();
  m_stop.store(true);
  write.join();
  fault.join();
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  // Every brick back, and a replica healed, before the checks.
  if (!m_volume.restart_bricks()) report->problems.push_back("bricks: " + m_volume.error());
  if (!m_volume.wait_for_heal()) report->problems.push_back("heal: " + m_volume.error());
  ktfs::ktfs_api api;
  check_input in;
  in.ops = m_past.ops();
  in.writes = m_past.writes();
  in.api = &api;
  in.io = connect();
  in.groups = m_groups;
  in.files = kFiles;
  in.exports_dir = m_dir.path() + "/exports";
  in.ktsmctl = [this](const std::vector<std::string>& words, std::string* out) {
    return ktsmctl(words, out);
  };
  in.bricks = [this](const std::vector<std::string>& paths) {
    return brick_views(m_volume.bricks(), paths);
  };
  // The checker's own client reaches every brick before it reads and
  // after, or its reading may have left a brick's entries out.
  check_report found;
  if (std::error_code ec = wait_for_every_brick(api, in.io)) {
    found.problems.push_back("not every brick answers the checker: " + ec.message());
  } else {
    found = check_volume(in);
  }
  if (std::error_code ec = api.every_copy_reachable(in.io, "/", ktfs::kNoAio)) {
    found.problems.push_back("a brick stopped answering the checker: " + ec.message());
  }
  report->problems.insert(report->problems.end(), found.problems.begin(), found.problems.end());
  report->versions_checked = found.versions_checked;
  report->files_checked = found.files_checked;
  report->limits = found.limits;
  // The volume's own word on files it cannot serve, as evidence.
  std::string split;
  if (m_volume.layout() == ktsm_test::volume_layout::replica &&
      m_volume.volume_cli("heal", "info split-brain", &split) &&
      split.find("Number of entries in split-brain: 0") == std::string::npos) {
    report->problems.push_back("GlusterFS reports split-brain: " + split);
  }
  for (const op_record& op : m_past.ops()) {
    std::string outcome = op.ok() ? "ok" : op.status == kKilled ? "killed" : "failed";
    ++counts->ops[op.kind][outcome];
    ++counts->completed;
  }
  for (const fault_record& f : m_past.faults()) ++counts->faults[f.kind];
  counts->minutes = loaded / 60;
  counts->lock_wait_ms = m_lock_wait_ms;
  if (!report->problems.empty()) {
    // The run's files (each slot's last ktsmctl log, the export blocks)
    // outlive it.
    std::string kept = m_dir.path() + "-kept", out;
    ktsm_test::run_command("cp -a '" + m_dir.path() + "' '" + kept + "'", &out);
    std::fprintf(stderr, "soak: seed %llu: %zu problems; its files: %s; the history:\n",
                 static_cast<unsigned long long>(m_seed), report->problems.size(), kept.c_str());
    for (const op_record& op : m_past.ops()) {
      std::string said = op.err.substr(0, op.err.find('\n'));
      std::fprintf(stderr, "  %s%s%s\n", describe(op).c_str(), said.empty() ? "" : ": ",
                   said.c_str());
    }
    for (const fault_record& f : m_past.faults()) {
      std::fprintf(stderr, "  %.2fs fault: %s %s\n", f.at, f.kind.c_str(), f.what.c_str());
    }
  }
  return report->problems.empty();
}

void print_counts(const std::string& layout, uint64_t seed, const outcome_counts& c,
                  const check_report& r) {
  std::printf("soak on %s, seed %llu: %.1f minutes, %d operations (%.0f per minute)\n",
              layout.c_str(), static_cast<unsigned long long>(seed), c.minutes, c.completed,
              c.minutes > 0 ? c.completed / c.minutes : 0.0);
  for (const auto& [kind, outcomes] : c.ops) {
    std::printf("  %-13s", kind.c_str());
    for (const auto& [outcome, n] : outcomes) std::printf(" %s %d", outcome.c_str(), n);
    std::printf("\n");
  }
  std::printf("  faults:");
  for (const auto& [kind, n] : c.faults) std::printf(" %s %d;", kind.c_str(), n);
  std::printf(
      "\n  versions checked %d, files checked %d, problems %zu, longest lock wait %lld ms\n",
      r.versions_checked, r.files_checked, r.problems.size(),
      static_cast<long long>(c.lock_wait_ms));
  for (const std::string& l : r.limits) std::printf("  left by a fault: %s\n", l.c_str());
  for (const std::string& p : r.problems) std::printf("  PROBLEM: %s\n", p.c_str());
}

bool parse(int argc, char** argv, options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--layout") {
      std::string l = value();
      if (l == "both") continue;
      if (l != "distributed" && l != "replica") return false;
      o->layouts = {l};
    } else if (a == "--seconds") {
      o->seconds = std::atof(value().c_str());
    } else if (a == "--minutes") {
      o->seconds = 60 * std::atof(value().c_str());
    } else if (a == "--hosts") {
      o->hosts = std::atoi(value().c_str());
    } else if (a == "--seed") {
      o->seeds.push_back(std::strtoull(value().c_str(), nullptr, 10));
    } else {
      return false;
    }
  }
  return o->seconds > 0 && o->hosts > 0;
}

}  // namespace

}  // namespace ktsm_soak

int main(int argc, char** argv) {
  using namespace ktsm_soak;
  // The GlusterFS client writes to sockets of bricks the soak kills.
  ::signal(SIGPIPE, SIG_IGN);
  options opt;
  if (!parse(argc, argv, &opt)) {
    std::fprintf(stderr,
                 "usage: ktsm_soak [--layout distributed|replica|both] [--seconds N | --minutes N]"
                 " [--hosts N] [--seed S]...\n");
    return 2;
  }
  if (opt.seeds.empty()) opt.seeds.push_back(static_cast<uint64_t>(::time(nullptr)));
  bool all_ok = true;
  for (uint64_t seed : opt.seeds) {
    for (const std::string& layout : opt.layouts) {
      ktsm_test::gluster_volume& volume = ktsm_test::gluster_volume::get(
          layout == "replica" ? ktsm_test::volume_layout::replica
                              : ktsm_test::volume_layout::distributed);
      if (volume.skipped()) {
        std::printf("soak skipped: %s\n", volume.skip_reason().c_str());
        return 77;
      }
      if (!volume.ok()) {
        std::fprintf(stderr, "soak: no %s volume: %s\n", layout.c_str(), volume.error().c_str());
        return 1;
      }
      outcome_counts counts;
      check_report report;
      bool ok = run(volume, opt, seed).go(&counts, &report);
      print_counts(layout, seed, counts, report);
      if (!ok) {
        std::printf("soak FAILED on %s: replay with --layout %s --seed %llu\n", layout.c_str(),
                    layout.c_str(), static_cast<unsigned long long>(seed));
        all_ok = false;
      }
    }
  }
  return all_ok ? 0 : 1;
}
