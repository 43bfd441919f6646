// hold, release, holds: tags that keep a snapshot from being deleted, kept
// on the volume by the library.
#include <algorithm>
#include <iostream>
#include <list>
#include <map>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "lookup.h"
#include "names.h"
#include "output.h"

namespace ktsmctl {

namespace {

const char kDefaultTag[] = "keep";

std::string tag_of(const arguments& args) { return args.size() > 2 ? args[2] : kDefaultTag; }

// The group's set and a snapshot version of it (not the live group).
bool find_snapshot(const arguments& args, set_ptr* set, version_ptr* version) {
  if (!find_group(args[0], set) || !find_version(*set, args[1], version)) return false;
  if (!(*version)->is_production_version()) return true;
  return report_failure("the live group cannot be held; hold one of its snapshots");
}

}  // namespace

int cmd_hold(context& ctx, const arguments& args) {
  set_ptr set;
  version_ptr version;
  if (!find_snapshot(args, &set, &version)) return exit_failed;
  size_t mark = ctx.lib.log_mark();
  if (set->hold_version(args[1], tag_of(args)) != 0) {
    return fail("holding " + version_words(set, args[1]) + " failed" + ctx.lib.library_note(mark));
  }
  std::cout << "version " << escaped(args[1]) << " of group "
            << escaped(group_label(set->get_name())) << " held (tag " << escaped(tag_of(args))
            << ")\n";
  return exit_ok;
}

int cmd_release(context& ctx, const arguments& args) {
  set_ptr set;
  version_ptr version;
  if (!find_snapshot(args, &set, &version)) return exit_failed;
  std::vector<std::string> tags;
  set->get_holds(args[1], tags);
  if (std::find(tags.begin(), tags.end(), tag_of(args)) == tags.end()) {
    return fail(version_words(set, args[1]) + " has no hold " + quoted(tag_of(args)) +
                (tags.empty()
                     ? std::string(" (it is not held)")
                     : " (its tags: " + tags.front() + (tags.size() > 1 ? ", ...)" : ")")));
  }
  size_t mark = ctx.lib.log_mark();
  if (set->release_version(args[1], tag_of(args)) != 0) {
    return fail("releasing " + version_words(set, args[1]) + " failed" +
                ctx.lib.library_note(mark));
  }
  std::cout << "version " << escaped(args[1]) << " of group "
            << escaped(group_label(set->get_name())) << " released (tag " << escaped(tag_of(args))
            << ")\n";
  return exit_ok;
}

int cmd_holds(context& ctx, const arguments& args) {
  std::list<set_ptr> sets;
  if (args.empty()) {
    ktsm_filegroup_version_set::list_version_sets(sets);
  } else {
    set_ptr set;
    if (!find_group(args[0], &set)) return exit_failed;
    sets.push_back(set);
  }
  nlohmann::json all = nlohmann::json::array();
  std::string text;
  for (const set_ptr& set : sets) {
    // The versions and their holds as the volume holds them now, read in
    // one pass: other processes may have made, held or deleted versions
    // since this one started.
    vs::holds_map holds;
    vs::refresh_report changes;
    if (set->refresh_versions(holds, changes) != 0) {
      return fail("cannot read the holds of group " + group_label(set->get_name()));
    }
    std::list<version_ptr> versions;
    set->list_versions(versions);
    for (const version_ptr& v : versions) {
      const std::vector<std::string>& tags = holds[v->get_name()];
      if (v->is_production_version() || tags.empty()) continue;
      std::string label = group_label(set->get_name());
      all.push_back({{"group", json_name(label)},
                     {"version", json_name(v->get_name())},
                     {"tags", json_names(tags)}});
      for (const std::string& tag : tags) {
        text += escaped(label) + "\t" + escaped(v->get_name()) + "\t" + escaped(tag) + "\n";
      }
    }
  }
  if (ctx.json) {
    std::cout << json_text(all);
  } else {
    std::cout << (text.empty() ? "no held snapshots\n" : "GROUP\tVERSION\tTAG\n" + text);
  }
  return exit_ok;
}

}  // namespace ktsmctl
