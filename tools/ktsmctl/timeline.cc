// timeline: for every group of the policy file, takes a snapshot when one
// is due and prunes by the group's rules.  Each decision is made under the
// group's lock from what the volume holds then (the library's
// create_by_plan and delete_by_plan), so runs that overlap, on this host or
// on others, take one snapshot between them.
#include <algorithm>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>

#include "commands.h"
#include "interrupt.h"
#include "lookup.h"
#include "names.h"
#include "output.h"
#include "policy_file.h"
#include "time_names.h"

namespace ktsmctl {

namespace {

const int64_t kNs = 1000000000;

// The start of the calendar period (local time) that time falls in.
int64_t period_start(schedule::kind_t kind, int64_t time) {
  time_t seconds = static_cast<time_t>(time);
  struct tm t;
  ::localtime_r(&seconds, &t);
  t.tm_sec = 0;
  t.tm_min = 0;
  if (kind != schedule::hourly) t.tm_hour = 0;
  if (kind == schedule::weekly) t.tm_mday -= (t.tm_wday + 6) % 7;  // back to Monday
  if (kind == schedule::monthly) t.tm_mday = 1;
  t.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&t));
}

// Whether a snapshot is due at now when the newest of the timeline's own
// was taken at newest (-1: none).  Once per period or interval, however
// long the timeline did not run: catching up takes one snapshot.
bool is_due(const schedule& s, int64_t newest, int64_t now) {
  if (s.kind == schedule::never) return false;
  if (newest < 0) return true;
  if (s.kind == schedule::interval) return newest + s.seconds <= now;
  return newest < period_start(s.kind, now);
}

// The time a snapshot stands for: the time in a timeline name, else its
// creation time.  *own says which.
int64_t snapshot_time_ns(const version_ptr& v, bool* own) {
  int64_t named = 0;
  *own = parse_time_name(v->get_name(), &named);
  return *own ? named * kNs : v->get_creation().time_ns;
}

// The newest finished snapshot of the timeline's own, in seconds; -1: none.
int64_t newest_own(const std::list<version_ptr>& versions) {
  int64_t newest = -1;
  for (const version_ptr& v : versions) {
    bool own = false;
    int64_t t = snapshot_time_ns(v, &own) / kNs;
    if (own && !v->is_production_version() && finished(v->get_state())) {
      newest = std::max(newest, t);
    }
  }
  return newest;
}

// What one group's run did, for the text and JSON reports.
struct group_run {
  std::string label;
  std::string schedule;
  bool due = false;
  std::string taken;  // the snapshot taken (or that a dry run would take)
  std::vector<std::string> deleted, failed, kept;
  std::vector<std::string> errors;
};

class timeline {
 public:
  timeline(context& ctx, int64_t now) : m_ctx(ctx), m_now(now), m_dry(ctx.opts.dry_run) {}

  group_run run_group(const group_policy& p) {
    group_run r;
    r.label = group_label(p.group);
    r.schedule = schedule_words(p.every);
    set_ptr set;
    if (vs::get_version_set(p.group, set) != 0 || !set) {
      r.errors.push_back("group " + ktsmctl::quoted(r.label) +
                         " of the policy is not on the volume");
      return r;
    }
    if (snapshot(p, set, &r) && p.keep.any()) prune(p, set, &r);
    return r;
  }

 private:
  // Takes the snapshot when one is due; false when it failed.
  bool snapshot(const group_policy& p, const set_ptr& set, group_run* r) {
    std::string chosen;
    auto plan = [&](const std::list<version_ptr>& versions, const vs::holds_map&) {
      r->due = is_due(p.every, newest_own(versions), m_now);
      if (r->due) chosen = time_name(m_now, versions);
      return chosen;
    };
    size_t mark = m_ctx.lib.log_mark();
    if (m_dry) {
      std::list<version_ptr> versions;
      if (!picture(set, &versions, r)) return false;
      r->taken = plan(versions, {});
      return true;
    }
    vs::refresh_report report;
    version_ptr version;
    if (set->create_by_plan(plan, report, version) == 0) {
      r->taken = chosen;
      return true;
    }
    std::string what = chosen.empty() ? "snapshot" : "snapshot " + ktsmctl::quoted(chosen);
    r->errors.push_back(
        what + " of group " + ktsmctl::quoted(r->label) + " failed" +
        (interrupted() ? " (" + interrupted_words() + ")" : m_ctx.lib.library_note(mark)) +
        (version ? "; it is left in state \"create in progress\"" : "") +
        "; the group was not pruned");
    return false;
  }

  void prune(const group_policy& p, const set_ptr& set, group_run* r) {
    bool foreign = p.prune_foreign;
    auto plan = [&](const std::list<version_ptr>& versions, const vs::holds_map& holds) {
      std::list<version_ptr> counted;
      for (const version_ptr& v : versions) {
        int64_t t;
        if (foreign || parse_time_name(v->get_name(), &t)) counted.push_back(v);
      }
      auto time_of = [](const version_ptr& v) {
        bool own;
        return snapshot_time_ns(v, &own);
      };
      auto none = [](const std::string&) { return false; };
      std::vector<std::string> doomed;
      for (const candidate& c : plan_snapshots(p.keep, counted, holds, time_of, none)) {
        (c.reasons.empty() ? doomed : r->kept).push_back(c.version->get_name());
      }
      return doomed;
    };
    size_t mark = m_ctx.lib.log_mark();
    if (m_dry) {
      std::list<version_ptr> versions;
      vs::holds_map holds;
      if (picture(set, &versions, r, &holds)) r->deleted = plan(versions, holds);
      return;
    }
    vs::plan_report report;
    if (set->delete_by_plan(plan, report) != 0 && report.deleted.empty() && report.failed.empty() &&
        report.not_tried.empty()) {
      r->errors.push_back("cannot prune group " + ktsmctl::quoted(r->label) +
                          m_ctx.lib.library_note(mark));
      return;
    }
    r->deleted = report.deleted;
    r->failed = report.failed;
    for (const std::string& name : report.failed) {
      r->errors.push_back("deleting " + version_words(set, name) + " failed");
    }
    if (!report.not_tried.empty()) {
      r->errors.push_back(
          "prune of group " + ktsmctl::quoted(r->label) + " " + interrupted_words() + ": " +
          counted(report.not_tried.size(), "snapshot") + " it would delete are kept");
    }
  }

  // A dry run's picture, read without the lock.
  bool picture(const set_ptr& set, std::list<version_ptr>* versions, group_run* r,
               vs::holds_map* holds = nullptr) {
    vs::holds_map read;
    vs::refresh_report report;
    size_t mark = m_ctx.lib.log_mark();
    if (set->refresh_versions(holds ? *holds : read, report) != 0) {
      r->errors.push_back("cannot read the snapshots of group " + ktsmctl::quoted(r->label) +
                          m_ctx.lib.library_note(mark));
      return false;
    }
    set->list_versions(*versions);
    return true;
  }

  context& m_ctx;
  const int64_t m_now;
  const bool m_dry;
};

// The groups to run: those named, or every group of the policy.
bool chosen_groups(const policy_file& policy, const arguments& args,
                   std::vector<group_policy>* out) {
  std::set<std::string> listed;
  for (const group_policy& g : policy.groups) listed.insert(g.group);
  std::vector<group_policy> all = policy.groups;
  if (policy.default_applies) {
    std::list<set_ptr> sets;
    vs::list_version_sets(sets);
    for (const set_ptr& s : sets) {
      if (listed.count(s->get_name()) != 0) continue;
      group_policy g = policy.defaults;
      g.group = s->get_name();
      all.push_back(g);
    }
  }
  std::sort(all.begin(), all.end(),
            [](const group_policy& a, const group_policy& b) { return a.group < b.group; });
  if (args.empty()) {
    *out = all;
    return true;
  }
  for (const std::string& written : args) {
    std::string name;
    group_set_name(written, &name);
    auto found = std::find_if(all.begin(), all.end(),
                              [&name](const group_policy& g) { return g.group == name; });
    if (found == all.end()) {
      return report_failure("group " + ktsmctl::quoted(group_label(name)) + " has no policy in " +
                            policy.path + "; nothing was done");
    }
    out->push_back(*found);
  }
  return true;
}

void print_text(const group_run& r, bool dry) {
  std::string g = "group " + escaped(r.label) + ": ";
  if (!r.taken.empty()) {
    std::cout << g << (dry ? "would take " : "took ") << escaped(r.taken) << " (" << r.schedule
              << ")\n";
  } else if (r.errors.empty() || r.due) {
    std::cout << g << "no snapshot due (" << r.schedule << ")\n";
  }
  for (const std::string& name : r.deleted) {
    std::cout << g << (dry ? "would delete " : "deleted ") << escaped(name) << "\n";
  }
  if (!r.kept.empty()) std::cout << g << "kept " << counted(r.kept.size(), "snapshot") << "\n";
  for (const std::string& e : r.errors) report_failure(e);
}

nlohmann::json json_of(const group_run& r) {
  return {{"group", json_name(r.label)},
          {"schedule", r.schedule},
          {"due", r.due},
          {"snapshot", r.taken.empty() ? nlohmann::json() : json_name(r.taken)},
          {"deleted", json_names(r.deleted)},
          {"kept", json_names(r.kept)},
          {"failed", json_names(r.failed)},
          {"errors", r.errors}};
}

}  // namespace

int check_timeline_options(const command_options& opts) {
  policy_file policy;
  std::string error;
  std::string path = opts.policy.empty() ? kDefaultPolicyFile : opts.policy;
  if (!read_policy_file(path, &policy, &error)) return fail(error + "; nothing was done");
  return exit_ok;
}

int cmd_timeline(context& ctx, const arguments& args) {
  int64_t now = 0;
  std::string error;
  if (!now_seconds(&now, &error)) return fail(error);
  policy_file policy;
  std::string path = ctx.opts.policy.empty() ? kDefaultPolicyFile : ctx.opts.policy;
  if (!read_policy_file(path, &policy, &error)) return fail(error + "; nothing was done");
  std::vector<group_policy> groups;
  if (!chosen_groups(policy, args, &groups)) return exit_failed;
  timeline t(ctx, now);
  nlohmann::json runs = nlohmann::json::array();
  bool failed = false;
  for (const group_policy& g : groups) {
    if (interrupted()) break;
    group_run r = t.run_group(g);
    failed = failed || !r.errors.empty();
    if (ctx.json) {
      runs.push_back(json_of(r));
      for (const std::string& e : r.errors) report_failure(e);
    } else {
      print_text(r, ctx.opts.dry_run);
    }
  }
  if (ctx.json) {
    std::cout << json_text(runs);
  } else if (groups.empty()) {
    std::cout << "no group in " << escaped(policy.path) << " (nothing to do)\n";
  }
  return failed || interrupted() ? exit_failed : exit_ok;
}

}  // namespace ktsmctl

namespace ktsmctl {

int cmd_policy(context& ctx, const arguments&) {
  policy_file policy;
  std::string error;
  std::string path = ctx.opts.policy.empty() ? kDefaultPolicyFile : ctx.opts.policy;
  if (!read_policy_file(path, &policy, &error)) return fail(error);
  std::cout << "policy " << escaped(path) << " is valid\n";
  auto show = [](const std::string& who, const group_policy& g) {
    std::cout << "  " << who << ": " << schedule_words(g.every) << "; "
              << (g.keep.any() ? "keep " + rules_words(g.keep) : "no keep rule: never prunes")
              << (g.prune_foreign ? "; prunes snapshots of any name" : "") << "\n";
  };
  if (policy.default_applies) show("every other group", policy.defaults);
  for (const group_policy& g : policy.groups) show("group " + escaped(group_label(g.group)), g);
  return exit_ok;
}

}  // namespace ktsmctl
