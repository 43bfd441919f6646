// prune: deletes the snapshots that retention rules do not keep, by their
// creation times: the newest N (--keep-last), the newest of each of the
// last N hours, days, ISO weeks and months that have one, and every one
// made within a duration of the newest.  Held, exported and unfinished
// snapshots are never deleted.  The plan is made and carried out under the
// group's lock, from what the volume holds then (the library's
// delete_by_plan).
#include <algorithm>
#include <iostream>
#include <list>
#include <map>

#include "commands.h"
#include "handles.h"
#include "interrupt.h"
#include "listing.h"
#include "lookup.h"
#include "names.h"
#include "output.h"
#include "retention.h"

namespace ktsmctl {

namespace {

struct policy {
  keep_rules rules;
  bool leftovers = false;  // --leftovers
  bool no_rules = false;   // --leftovers alone: every finished snapshot stays
};

// Reads the rules from the options; a usage error's status, or exit_ok.
int read_policy(const command_options& opts, policy* p) {
  p->leftovers = opts.leftovers;
  p->no_rules = opts.keep.empty() && opts.leftovers;
  if (opts.keep.empty() && !opts.leftovers) {
    return usage_error(
        "prune needs at least one --keep rule, or it would delete every snapshot (see "
        "\"ktsmctl help prune\")");
  }
  for (const auto& [option, value] : opts.keep) {
    std::string rule = option.substr(std::string("keep-").size());
    if (!set_rule(rule, value, &p->rules)) {
      return usage_error("--" + option + " " + quoted(value) + " is not " + rule_wants(rule) +
                         " (see \"ktsmctl help prune\")");
    }
  }
  return exit_ok;
}

bool named(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Every snapshot of the picture, with why the rules and its state keep it.
std::vector<candidate> plan_from(const policy& p, const std::list<version_ptr>& versions,
                                 const vs::holds_map& holds) {
  auto created = [](const version_ptr& v) { return v->get_creation().time_ns; };
  bool leftovers = p.leftovers;
  auto spare = [leftovers](const std::string& state) {
    return leftovers && left_over_state(state);
  };
  std::vector<candidate> all = plan_snapshots(p.rules, versions, holds, created, spare);
  for (candidate& c : all) {
    if (p.no_rules && finished(c.version->get_state())) c.reasons.push_back("finished");
  }
  return all;
}

// What other processes changed since this one listed the group: versions
// gone (never counted or kept) and states changed (planned as they are now).
void print_changes(const vs::refresh_report& r) {
  for (const std::string& name : r.vanished) {
    std::cout << "gone    " << escaped(name) << "\tdeleted elsewhere since the group was listed\n";
  }
  for (const vs::state_change& c : r.changed) {
    std::cout << "changed " << escaped(c.name) << "\twas " << state_name(c.was, false)
              << " when the group was listed\n";
  }
}

// Plans from the group as the volume holds it once prune has its lock, and
// deletes under that lock (the library's delete_by_plan): what other
// processes did since this one started counts, and nothing changes
// between.  A dry run reads the same picture without the lock.  False when
// no plan could be made (nothing was deleted).
bool run_plan(const context& ctx, const set_ptr& set, const policy& p, std::vector<candidate>* all,
              vs::plan_report* report) {
  bool planned = false;
  auto plan = [&](const std::list<version_ptr>& versions, const vs::holds_map& holds) {
    *all = plan_from(p, versions, holds);
    planned = true;
    std::vector<std::string> doomed;
    for (const candidate& c : *all) {
      if (c.reasons.empty() && !ctx.opts.dry_run) doomed.push_back(c.version->get_name());
    }
    return doomed;
  };
  if (!ctx.opts.dry_run) {
    set->delete_by_plan(plan, *report);
    return planned;
  }
  vs::holds_map holds;
  if (set->refresh_versions(holds, report->refreshed) != 0) return false;
  std::list<version_ptr> versions;
  set->list_versions(versions);
  plan(versions, holds);
  return true;
}

// Prints what was kept and why, and what went; returns how many went.
size_t print_plan(const std::vector<candidate>& all, const vs::plan_report& report, bool dry_run) {
  print_changes(report.refreshed);
  size_t removed = 0;
  for (const candidate& c : all) {
    const std::string& name = c.version->get_name();
    std::string when = shown_time(c.time_ns, false);
    if (!c.reasons.empty()) {
      std::cout << "keep    " << escaped(name) << "\t" << when << "\t" << joined(c.reasons) << "\n";
    } else if (dry_run || named(report.deleted, name)) {
      std::cout << (dry_run ? "remove  " : "deleted ") << escaped(name) << "\t" << when;
      if (!finished(c.version->get_state())) {
        std::cout << "\tleft " << state_name(c.version->get_state(), false);
      }
      std::cout << "\n";
      ++removed;
    }
  }
  return removed;
}

}  // namespace

int check_prune_options(const command_options& opts) {
  policy p;
  return read_policy(opts, &p);
}

int cmd_prune(context& ctx, const arguments& args) {
  policy p;
  if (int status = read_policy(ctx.opts, &p)) return status;
  set_ptr set;
  if (!find_group(args[0], &set)) return exit_failed;
  std::string label = group_label(set->get_name());
  std::vector<candidate> all;
  vs::plan_report report;
  size_t mark = ctx.lib.log_mark();
  if (!run_plan(ctx, set, p, &all, &report)) {
    return fail("cannot read the snapshots of group " + quoted(label) + ctx.lib.library_note(mark) +
                "; nothing was deleted");
  }
  size_t removed = print_plan(all, report, ctx.opts.dry_run);
  for (size_t i = 0; i < report.failed.size(); ++i) {
    // The library's last message is the last failure's.
    bool last = i + 1 == report.failed.size();
    report_failure("deleting " + version_words(set, report.failed[i]) + " failed" +
                   (last ? ctx.lib.library_note(mark) : std::string()) +
                   "; run \"ktsmctl doctor\"");
  }
  std::cout << (ctx.opts.dry_run ? "would delete " : "deleted ") << removed << " of "
            << counted(all.size(), "snapshot") << " of group " << escaped(label)
            << (ctx.opts.dry_run ? " (dry run: nothing changed)" : "") << "\n";
  if (!report.not_tried.empty()) {
    return fail("prune of group " + quoted(label) + " " + interrupted_words() + ": " +
                counted(report.not_tried.size(), "snapshot") +
                " it would have deleted are kept; run it again to finish");
  }
  return report.failed.empty() ? exit_ok : exit_failed;
}

}  // namespace ktsmctl
