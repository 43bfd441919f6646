// prune: deletes the snapshots that retention rules do not keep, by their
// creation times: the newest N (--keep-last), the newest of each of the
// last N hours, days, ISO weeks and months that have one, and every one
// made within a duration of the newest.  Held, exported and unfinished
// snapshots are never deleted.  The plan is made and carried out under the
// group's lock, from what the volume holds then (the library's
// delete_by_plan).
#include <algorithm>
#include <cctype>
#include <ctime>
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

namespace ktsmctl {

namespace {

const int64_t kNs = 1000000000;

struct bucket_rule {
  const char* option;
  const char* label;   // "hourly"
  const char* format;  // strftime format of the bucket a time falls in
};
const bucket_rule kBucketRules[] = {{"keep-hourly", "hourly", "%Y-%m-%d %H:00"},
                                    {"keep-daily", "daily", "%Y-%m-%d"},
                                    {"keep-weekly", "weekly", "%G-W%V"},
                                    {"keep-monthly", "monthly", "%Y-%m"}};

struct candidate {
  version_ptr version;
  std::vector<std::string> holds;
  std::vector<std::string> reasons;  // why it is kept; none: it goes
};

// A positive count; false when the text is not one.
bool parse_count(const std::string& text, unsigned* n) {
  if (text.empty() || text.size() > 6 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(c) != 0; })) {
    return false;
  }
  *n = static_cast<unsigned>(std::stoul(text));
  return *n > 0;
}

// "1y2m3w4d5h" -> its parts; false when it is not such a duration.
bool parse_duration(const std::string& text, struct tm* span) {
  *span = {};
  size_t i = 0;
  while (i < text.size()) {
    size_t digits = i;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits == i || digits == text.size() || digits - i > 6) return false;
    int n = std::stoi(text.substr(i, digits - i));
    switch (text[digits]) {
      case 'y':
        span->tm_year += n;
        break;
      case 'm':
        span->tm_mon += n;
        break;
      case 'w':
        span->tm_mday += 7 * n;
        break;
      case 'd':
        span->tm_mday += n;
        break;
      case 'h':
        span->tm_hour += n;
        break;
      default:
        return false;
    }
    i = digits + 1;
  }
  return !text.empty();
}

// The time span back from the newest, in the calendar of local time.
int64_t within_start(int64_t newest_ns, const struct tm& span) {
  time_t newest = static_cast<time_t>(newest_ns / kNs);
  struct tm t;
  ::localtime_r(&newest, &t);
  t.tm_year -= span.tm_year;
  t.tm_mon -= span.tm_mon;
  t.tm_mday -= span.tm_mday;
  t.tm_hour -= span.tm_hour;
  t.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&t)) * kNs + newest_ns % kNs;
}

std::string bucket(int64_t time_ns, const char* format) {
  time_t seconds = static_cast<time_t>(time_ns / kNs);
  struct tm parts;
  ::localtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

// Whether the version's copy finished, so that the rules may count it.
bool finished(const std::string& state) {
  return state == vs::SNAP_STATE_ACTIVE || state == vs::SNAP_STATE_UNEXPORTED ||
         vs::may_be_exported(state);
}

struct policy {
  unsigned last = 0;
  unsigned buckets[4] = {0, 0, 0, 0};  // as kBucketRules
  bool within = false;
  struct tm span = {};
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
    bool good = true;
    if (option == "keep-within") {
      good = parse_duration(value, &p->span);
      p->within = true;
    } else if (option == "keep-last") {
      good = parse_count(value, &p->last);
    }
    for (size_t i = 0; i < 4; ++i) {
      if (option == kBucketRules[i].option) good = parse_count(value, &p->buckets[i]);
    }
    if (!good) {
      return usage_error(
          "--" + option + " " + quoted(value) + " is not " +
          (option == "keep-within" ? "a duration such as 2d, 1m2w or 1y" : "a count of 1 or more") +
          " (see \"ktsmctl help prune\")");
    }
  }
  return exit_ok;
}

// Marks the finished snapshots (newest first) the rules keep, with why.
void apply_rules(const policy& p, std::vector<candidate*>& newest_first) {
  for (size_t i = 0; i < newest_first.size() && i < p.last; ++i) {
    newest_first[i]->reasons.push_back("last " + std::to_string(i + 1));
  }
  for (size_t r = 0; r < 4; ++r) {
    std::string previous;
    unsigned kept = 0;
    for (candidate* c : newest_first) {
      if (kept == p.buckets[r]) break;
      std::string key = bucket(c->version->get_creation().time_ns, kBucketRules[r].format);
      if (key == previous) continue;
      previous = key;
      ++kept;
      c->reasons.push_back(std::string(kBucketRules[r].label) + " " + key);
    }
  }
  if (!p.within || newest_first.empty()) return;
  int64_t start = within_start(newest_first.front()->version->get_creation().time_ns, p.span);
  for (candidate* c : newest_first) {
    if (c->version->get_creation().time_ns >= start) c->reasons.push_back("within");
  }
}

// Adds what keeps a snapshot whatever the rules say.
void protect(const policy& p, candidate* c) {
  const std::string& state = c->version->get_state();
  if (!c->holds.empty()) {
    std::string tags;
    for (const std::string& t : c->holds) tags += (tags.empty() ? "" : ", ") + t;
    c->reasons.push_back("held (" + tags + ")");
  }
  if (vs::may_be_exported(state)) c->reasons.push_back("exported");
  if (!finished(state) && !(p.leftovers && left_over_state(state))) {
    c->reasons.push_back("not finished (" + state_name(state, false) + ")");
  }
  if (finished(state) && p.no_rules) c->reasons.push_back("finished");
}

std::string joined(const std::vector<std::string>& reasons) {
  std::string text;
  for (const std::string& r : reasons) text += (text.empty() ? "" : ", ") + r;
  return text;
}

bool named(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Every snapshot of the picture, with why the rules and its state keep it.
std::vector<candidate> plan_from(const policy& p, const std::list<version_ptr>& versions,
                                 const vs::holds_map& holds) {
  std::vector<candidate> all;
  for (const version_ptr& v : versions) {
    if (v->is_production_version()) continue;
    auto held = holds.find(v->get_name());
    all.push_back({v, held != holds.end() ? held->second : std::vector<std::string>(), {}});
  }
  std::vector<candidate*> newest_first;
  for (candidate& c : all) {
    if (finished(c.version->get_state())) newest_first.push_back(&c);
  }
  std::stable_sort(newest_first.begin(), newest_first.end(), [](candidate* a, candidate* b) {
    auto ca = a->version->get_creation(), cb = b->version->get_creation();
    return ca.time_ns != cb.time_ns ? ca.time_ns > cb.time_ns : ca.sequence > cb.sequence;
  });
  apply_rules(p, newest_first);
  for (candidate& c : all) protect(p, &c);
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
    std::string when = shown_time(c.version->get_creation().time_ns, false);
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
