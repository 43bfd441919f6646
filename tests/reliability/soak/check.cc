#include "check.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "content.h"
#include "ktsm/ktsm_filegroup_version_set.h"
#include "support/gluster_volume.h"
#include "support/test_volumes.h"

namespace ktsm_soak {

namespace {

typedef ktsm_filegroup_version_set vs;

// Active, exported, unexported: a finished version no operation is on.
bool settled(const std::string& state) {
  const vs::state_info* info = vs::find_state(state);
  return info != nullptr && info->settled;
}

// What the bricks hold at these paths, as evidence beside a problem.
std::string evidence(const check_input& in, const std::vector<std::string>& paths) {
  return in.bricks ? in.bricks(paths) : std::string();
}

struct listed_version {
  std::string name, state, older;
  int64_t created_ns = 0;
  std::set<std::string> holds;
};
typedef std::map<std::string, std::vector<listed_version>> listing;  // group -> versions

bool read_listing(const check_input& in, listing* out, std::set<std::string>* partly,
                  check_report* r) {
  std::string text;
  if (in.ktsmctl({"list", "--json"}, &text) != 0) {
    r->problems.push_back("a fresh \"ktsmctl list --json\" failed: " + text);
    return false;
  }
  nlohmann::json all = nlohmann::json::parse(text, nullptr, false);
  if (!all.is_array()) {
    r->problems.push_back("\"ktsmctl list --json\" printed no array");
    return false;
  }
  for (const nlohmann::json& g : all) {
    std::string group = g.at("name").get<std::string>().substr(2);
    if (!g.at("partly_restored").is_null()) partly->insert(group);
    std::vector<listed_version>& versions = (*out)[group];
    for (const nlohmann::json& v : g.at("versions")) {
      if (v.at("production").get<bool>()) continue;
      listed_version l;
      l.name = v.at("name").get<std::string>();
      l.state = v.at("state").get<std::string>();
      l.older = v.at("older").is_null() ? "" : v.at("older").get<std::string>();
      l.created_ns = v.at("created_ns").get<int64_t>();
      for (const nlohmann::json& t : v.at("holds")) l.holds.insert(t.get<std::string>());
      versions.push_back(l);
    }
  }
  return true;
}

// Start-up rebuilt every group in creation order, each version linked to
// the one before it (the first to the live group).
void check_order(const listing& groups, check_report* r) {
  for (const auto& [group, versions] : groups) {
    std::string before = "//" + group;
    int64_t time = 0;
    for (const listed_version& v : versions) {
      if (v.older != before) {
        r->problems.push_back("group " + group + ": " + v.name + " is linked to " + v.older +
                              ", not to " + before + " before it");
      }
      if (v.created_ns < time) {
        r->problems.push_back("group " + group + ": " + v.name + " is listed after " + before +
                              ", which was created later");
      }
      before = v.name;
      time = v.created_ns;
    }
  }
}

void check_doctor(const std::string& said, const listing& groups, check_report* r) {
  for (const auto& [group, versions] : groups) {
    for (const listed_version& v : versions) {
      if (settled(v.state)) continue;
      if (said.find(v.name) == std::string::npos) {
        r->problems.push_back("group " + group + ": " + v.name + " is left in state \"" + v.state +
                              "\" and doctor does not name it");
      }
    }
  }
}

// Every group a restore left half done is named by doctor with its fix.
void check_partly_named(const std::string& said, const std::set<std::string>& partly,
                        check_report* r) {
  for (const std::string& group : partly) {
    if (said.find("group " + group + ": partly restored from ") == std::string::npos) {
      r->problems.push_back("group " + group + " is partly restored and doctor does not say so");
    }
  }
}

const listed_version* find(const listing& groups, const std::string& group,
                           const std::string& name) {
  auto g = groups.find(group);
  if (g == groups.end()) return nullptr;
  for (const listed_version& v : g->second) {
    if (v.name == name) return &v;
  }
  return nullptr;
}

enum class known { yes, no, unknown };

// Whether the version that op took is there by what the hosts were told.
known expected_present(const std::vector<op_record>& ops, const op_record& taken) {
  known result = known::yes;
  for (const op_record& op : ops) {
    if (op.group != taken.group || op.start < taken.start || op.id == taken.id) continue;
    bool deleting = (op.kind == "delete" && op.version == taken.version) || op.kind == "prune";
    if (!deleting) continue;
    if (op.ok() && (op.kind == "delete" ||
                    op.out.find("deleted " + taken.version + "\t") != std::string::npos)) {
      return known::no;
    }
    if (!op.ok()) result = known::unknown;
  }
  return result;
}

// The last word on a hold or an export: the state the last operation on it
// left when it succeeded and overlapped no other, else unknown.
known last_word(const std::vector<const op_record*>& on, const char* setting) {
  if (on.empty()) return known::unknown;
  const op_record* last = *std::max_element(
      on.begin(), on.end(), [](const op_record* a, const op_record* b) { return a->end < b->end; });
  if (!last->ok()) return known::unknown;
  for (const op_record* other : on) {
    if (other != last && other->overlaps(*last)) return known::unknown;
  }
  return last->kind == setting ? known::yes : known::no;
}

// The operations that set or unset something (a hold's tag, an export) on
// the version that taken took.
std::vector<const op_record*> ops_on(const std::vector<op_record>& ops, const op_record& taken,
                                     const char* set, const char* unset, const std::string& tag) {
  std::vector<const op_record*> on;
  for (const op_record& o : ops) {
    if ((o.kind == set || o.kind == unset) && o.group == taken.group &&
        o.version == taken.version && o.tag == tag) {
      on.push_back(&o);
    }
  }
  return on;
}

void check_reported(const check_input& in, const listing& groups, check_report* r) {
  const std::vector<op_record>& ops = in.ops;
  for (const op_record& op : ops) {
    if (op.kind != "snapshot" || !op.ok()) continue;
    known want = expected_present(ops, op);
    const listed_version* v = find(groups, op.group, op.version);
    if (want == known::yes && v == nullptr) {
      r->problems.push_back("reported taken and never deleted, but gone: " + describe(op));
    }
    if (want == known::no && v != nullptr) {
      r->problems.push_back(
          "reported deleted, but still there: " + describe(op) +
          evidence(in, {op.group + "/.snaps", op.group + "/.snaps/" + op.version}));
    }
    if (v == nullptr || want != known::yes) continue;
    for (const char* tag : {"t0", "t1"}) {
      std::vector<const op_record*> on = ops_on(ops, op, "hold", "release", tag);
      known held = last_word(on, "hold");
      if (held != known::unknown && (v->holds.count(tag) != 0) != (held == known::yes)) {
        r->problems.push_back(std::string("hold ") + tag + " of " + op.group + "/" + op.version +
                              " is not as the last operation on it said: " + describe(*on.back()));
      }
    }
    std::vector<const op_record*> on = ops_on(ops, op, "export", "unexport", "");
    known exported = last_word(on, "export");
    if (exported != known::unknown &&
        (v->state == vs::SNAP_STATE_EXPORTED) != (exported == known::yes)) {
      r->problems.push_back("the export of " + op.group + "/" + op.version + " (state " + v->state +
                            ") is not as the last operation on it said");
    }
  }
}

// Every export block names a version that is there and not settled as
// unexported.
void check_blocks(const check_input& in, const listing& groups, check_report* r) {
  std::error_code none;
  for (const auto& entry : std::filesystem::directory_iterator(in.exports_dir, none)) {
    std::string file = entry.path().filename();
    if (file.rfind("export-", 0) != 0) continue;
    std::string block = ktsm_test::read_text(entry.path());
    size_t p = block.find("Path = \"");
    if (p == std::string::npos) continue;
    std::string path = block.substr(p + 8, block.find('"', p + 8) - p - 8);
    size_t snaps = path.find("/.snaps/");
    if (snaps == std::string::npos) continue;  // a live group's export
    std::string group = path.substr(1, snaps - 1), version = path.substr(snaps + 8);
    // An export cut short (in progress, failed) may have left its block:
    // doctor names the version; only a settled, unexported one has none.
    const listed_version* v = find(groups, group, version);
    if (v == nullptr || (settled(v->state) && !vs::may_be_exported(v->state))) {
      r->problems.push_back("export block " + file + " names " + path + ", which is " +
                            (v == nullptr ? "gone" : "in state " + v->state));
    }
  }
}

// The names in a volume directory; false when it cannot be listed whole.
bool entries(const check_input& in, const std::string& dir, std::vector<std::string>* out) {
  ktfs::file_ptr d = in.api->opendir(in.io, dir.c_str(), ktfs::kNoAio);
  if (!d) return false;
  errno = 0;
  while (struct dirent* e = in.api->readdir(d, ktfs::kNoAio)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") out->push_back(n);
  }
  bool whole = errno == 0;
  return !in.api->closedir(d, ktfs::kNoAio) && whole;
}

// Whether a restore reaches the live file w/f<file>: a whole restore, one
// of "w", or one of that file.
bool reaches(const op_record& op, int file) {
  return op.kind == "restore" &&
         (op.args.size() == 3 || op.args[3] == "w" || op.args[3] == "w/f" + std::to_string(file));
}

// When the copy being checked was taken from the live group.
struct taken_from_live {
  // The snapshot that took it; none for the live group itself, and for a
  // version no operation names (known is then false).
  const op_record* by = nullptr;
  bool known = true;
  // The copy was taken before this moment: the snapshot's start, else the
  // end of the run.
  double before() const {
    return by != nullptr ? by->start : std::numeric_limits<double>::infinity();
  }
};

// When the last rename of the live file w/f<file> of group that failed
// before the moment ended (-1: none failed).  A rename that a fault cut
// short may have been done on some bricks and not on others.
double last_failed_rename(const check_input& in, const std::string& group, int file,
                          double before) {
  double last = -1;
  for (const write_record& w : in.writes) {
    if (w.failed && w.group == group && w.file == file && w.start < before) {
      last = std::max(last, w.end);
    }
  }
  return last;
}

// Whether the live file w/f<file> of group may have been torn when the
// copy was taken, by an operation that said it failed or was killed: a
// rename cut short (a distributed volume may then serve the link file it
// left, empty) or a restore that reaches the file (the file it was copying
// stays as far as it got; doctor names the group).  A whole write of the
// file, or a restore that reaches it and finished, since the last of these
// mends it, where the copy's moment is known.
bool may_be_torn(const check_input& in, const std::string& group, int file,
                 const taken_from_live& at) {
  const double before = at.before();
  double cut = last_failed_rename(in, group, file, before);
  for (const op_record& op : in.ops) {
    if (!op.ok() && op.group == group && reaches(op, file) && op.start < before) {
      cut = std::max(cut, op.end < 0 ? std::numeric_limits<double>::infinity() : op.end);
    }
  }
  if (cut < 0) return false;
  if (!at.known) return true;
  bool mended = std::any_of(in.writes.begin(), in.writes.end(), [&](const write_record& w) {
    return !w.failed && w.group == group && w.file == file && w.start > cut && w.end < before;
  });
  return !mended && std::none_of(in.ops.begin(), in.ops.end(), [&](const op_record& op) {
    return op.ok() && op.group == group && reaches(op, file) && op.start > cut && op.end < before;
  });
}

// Reads and checks every file of root/w, the live files of group as they
// were when the copy was taken (at); *gens receives each file's
// generation.  Temporary names are files being written (never renamed
// into place): a copy may hold them torn, so they are not checked.
//
// What a fault left in the live group, and the copies taken of it then,
// are GlusterFS's limits and the documented state of a failed restore,
// listed with the bricks' evidence rather than called problems: a live
// name listed but not found (a rename cut short on a distributed volume
// leaves the file on one brick and its name not where lookups go; its file
// then counts as missing), and a file that is not whole where may_be_torn.
void check_files(const check_input& in, const std::string& root, const std::string& group,
                 const taken_from_live& at, const std::string& what, std::map<int, uint64_t>* gens,
                 check_report* r) {
  std::vector<std::string> names;
  if (!entries(in, root + "/w", &names)) {
    r->problems.push_back(what + ": cannot list " + root + "/w");
    return;
  }
  bool live = root == "/" + group;
  for (const std::string& n : names) {
    if (n.rfind(".tmp-", 0) == 0) continue;
    std::string data, why;
    uint64_t gen = 0;
    bool numbered = n.rfind("f", 0) == 0;
    int file = numbered ? std::atoi(n.c_str() + 1) : -1;
    std::string shown = root.substr(1) + "/w/" + n;
    if (!ktsm_test::read_volume_file(*in.api, in.io, root + "/w/" + n, &data)) {
      int err = errno;
      if (live && numbered && err == ENOENT &&
          last_failed_rename(in, group, file, at.before()) >= 0) {
        r->limits.push_back(shown + " is listed but not found" + evidence(in, {shown}));
        continue;
      }
      ++r->files_checked;
      r->problems.push_back(what + ": cannot read w/" + n + ": " + std::strerror(err) +
                            evidence(in, {shown}));
      continue;
    }
    ++r->files_checked;
    if (check_content(data, "w/" + n, &gen, &why)) {
      if (numbered) (*gens)[file] = gen;
    } else if (numbered && may_be_torn(in, group, file, at)) {
      r->limits.push_back(shown + " is not whole (" + why + ")" + evidence(in, {shown}));
    } else {
      r->problems.push_back(what + ": w/" + n + " is not whole: " + why +
                            (at.by != nullptr ? at.by->copy_notes : std::string()) +
                            evidence(in, {shown}));
    }
  }
}

// A write's generation and when it ended (-1: none yet).
struct written {
  uint64_t gen = 0;
  double end = -1;
};

// A version a host was told it took holds every file written before it
// started, in a generation written by the time it ended (one more may have
// been renamed into place while the rename's return was on its way).
void check_complete(const check_input& in, const op_record& taken,
                    const std::map<int, uint64_t>& gens, check_report* r) {
  const std::vector<write_record>& writes = in.writes;
  const std::vector<op_record>& ops = in.ops;
  const std::string dir = taken.group + "/.snaps/" + taken.version + "/w";
  for (int f = 0; f < in.files; ++f) {
    written before, by_end;
    for (const write_record& w : writes) {
      if (w.group != taken.group || w.file != f || w.failed) continue;
      if (w.end < taken.start && w.end > before.end) before = {w.gen, w.end};
      if (w.end <= taken.end && w.gen > by_end.gen) by_end = {w.gen, w.end};
    }
    if (before.end < 0) continue;
    // A rename that failed after the last good one may have been cut short
    // on the servers: what the name holds is not known until the next one.
    bool unsure = std::any_of(writes.begin(), writes.end(), [&](const write_record& w) {
      return w.failed && w.group == taken.group && w.file == f && w.end > before.end &&
             w.start < taken.end;
    });
    if (unsure) continue;
    bool restored = std::any_of(ops.begin(), ops.end(), [&](const op_record& o) {
      return o.kind == "restore" && o.group == taken.group && o.start < taken.end &&
             (o.end < 0 || o.end > before.end);
    });
    if (restored) continue;
    auto held = gens.find(f);
    if (held == gens.end()) {
      r->problems.push_back("w/f" + std::to_string(f) + " (written at " +
                            std::to_string(before.end) + "s) is missing from " + describe(taken) +
                            taken.copy_notes + evidence(in, {dir, dir + "/f" + std::to_string(f)}));
    } else if (held->second < before.gen || held->second > by_end.gen + 1) {
      r->problems.push_back("w/f" + std::to_string(f) + " holds generation " +
                            std::to_string(held->second) + ", not one from " +
                            std::to_string(before.gen) + " to " + std::to_string(by_end.gen + 1) +
                            ": " + describe(taken));
    }
  }
}

// Whether the live file may be missing by what the hosts were told: its
// last write failed (see check_complete), or a restore that reaches it (of
// the whole group, or of "w" with --delete) ran after its last write, from
// a version that lacks it or is gone since.
bool may_be_missing(const check_input& in, const std::string& group, int file) {
  const write_record* last = nullptr;
  const std::vector<write_record>& writes = in.writes;
  for (const write_record& w : writes) {
    if (w.group == group && w.file == file && (last == nullptr || w.end > last->end)) last = &w;
  }
  if (last != nullptr && last->failed) return true;
  for (const op_record& op : in.ops) {
    if (op.kind != "restore" || op.group != group || (last != nullptr && op.end < last->start)) {
      continue;
    }
    bool removes = op.args.size() == 3 || (op.args.size() == 5 && op.args[3] == "w");
    struct stat st;
    std::string kept = "/" + group + "/.snaps/" + op.version + "/w/f" + std::to_string(file);
    if (removes && in.api->lstat(in.io, kept.c_str(), &st, ktfs::kNoAio)) return true;
  }
  return false;
}

void check_contents(const check_input& in, const listing& groups,
                    const std::set<std::string>& partly_restored, check_report* r) {
  const std::vector<op_record>& ops = in.ops;
  for (const std::string& group : in.groups) {
    std::map<int, uint64_t> live;
    check_files(in, "/" + group, group, taken_from_live(), "live group " + group, &live, r);
    // A restore left half done (recorded, named by doctor) may lack files.
    for (int f = 0; f < in.files && partly_restored.count(group) == 0; ++f) {
      if (live.count(f) == 0 && !may_be_missing(in, group, f) &&
          !may_be_torn(in, group, f, taken_from_live())) {
        r->problems.push_back("live " + group + "/w/f" + std::to_string(f) + " is missing");
      }
    }
    auto listed = groups.find(group);
    if (listed == groups.end()) continue;
    for (const listed_version& v : listed->second) {
      if (!settled(v.state)) continue;
      // Each snapshot names a version of its own.
      auto made = std::find_if(ops.begin(), ops.end(), [&](const op_record& op) {
        return op.kind == "snapshot" && op.group == group && op.version == v.name;
      });
      taken_from_live at;
      if (made != ops.end()) at.by = &*made;
      at.known = at.by != nullptr;
      std::map<int, uint64_t> gens;
      check_files(in, "/" + group + "/.snaps/" + v.name, group, at, group + "/" + v.name, &gens, r);
      ++r->versions_checked;
      if (at.by != nullptr && at.by->ok()) check_complete(in, *at.by, gens, r);
    }
  }
}

}  // namespace

std::string describe(const op_record& op) {
  char head[64];
  std::snprintf(head, sizeof head, "%.2fs-%.2fs #%d slot %d:", op.start, op.end, op.id, op.slot);
  std::string line = head;
  for (const std::string& a : op.args) line += " " + a;
  line += op.end < 0             ? " -> running"
          : op.status == kKilled ? " -> killed"
                                 : " -> " + std::to_string(op.status);
  return line;
}

check_report check_volume(const check_input& in) {
  check_report r;
  for (const op_record& op : in.ops) {
    if (op.status > 128) r.problems.push_back("ktsmctl died of a signal: " + describe(op));
    if (op.status == kNotStarted) r.problems.push_back(op.err + ": " + describe(op));
  }
  listing groups;
  std::set<std::string> partly;
  if (!read_listing(in, &groups, &partly, &r)) return r;
  check_order(groups, &r);
  std::string doctor;  // one run of doctor for both checks that read it
  in.ktsmctl({"doctor"}, &doctor);
  check_doctor(doctor, groups, &r);
  check_reported(in, groups, &r);
  check_blocks(in, groups, &r);
  check_contents(in, groups, partly, &r);
  check_partly_named(doctor, partly, &r);
  return r;
}

}  // namespace ktsm_soak
