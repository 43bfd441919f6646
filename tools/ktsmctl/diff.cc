// diff: what was added, removed and changed from one snapshot to another,
// or to the live files.
#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "lookup.h"
#include "names.h"
#include "output.h"
#include "tree.h"
#include "volume_client.h"

namespace ktsmctl {

namespace {

std::string summary(const tree_diff& d) {
  return std::to_string(d.added.size()) + " added, " + std::to_string(d.removed.size()) +
         " removed, " + std::to_string(d.changed.size()) + " changed, " +
         std::to_string(d.metadata.size()) + " with other metadata";
}

std::string joined_words(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& w : words) text += (text.empty() ? "" : ", ") + w;
  return text;
}

void print_text(const tree_diff& d) {
  // One listing in path order, as a reader scans it: "+" added, "-"
  // removed, "M" content changed, "m" metadata only (what, in brackets).
  std::vector<std::pair<std::string, std::string>> lines;
  for (const std::string& p : d.added) lines.push_back({p, "+ " + escaped(p)});
  for (const std::string& p : d.removed) lines.push_back({p, "- " + escaped(p)});
  for (const std::string& p : d.changed) lines.push_back({p, "M " + escaped(p)});
  for (const metadata_change& m : d.metadata) {
    lines.push_back({m.path, "m " + escaped(m.path) + "\t(" + joined_words(m.what) + ")"});
  }
  std::sort(lines.begin(), lines.end());
  for (const auto& line : lines) std::cout << line.second << "\n";
}

// Every change with its kind, in path order.
nlohmann::json changes_json(const tree_diff& d) {
  std::vector<std::pair<std::string, nlohmann::json>> all;
  auto add = [&all](const std::string& path, const char* kind) {
    all.push_back({path, {{"path", json_name(path)}, {"kind", kind}}});
  };
  for (const std::string& p : d.added) add(p, "added");
  for (const std::string& p : d.removed) add(p, "removed");
  for (const std::string& p : d.changed) add(p, "content");
  for (const metadata_change& m : d.metadata) {
    all.push_back({m.path, {{"path", json_name(m.path)}, {"kind", "metadata"}, {"what", m.what}}});
  }
  std::sort(all.begin(), all.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  nlohmann::json out = nlohmann::json::array();
  for (auto& entry : all) out.push_back(std::move(entry.second));
  return out;
}

// False after one message when some part of the volume does not answer
// for the group.
bool whole_volume(context& ctx, volume_client& client, const set_ptr& set) {
  std::error_code ec = client.reachable(set->get_name());
  if (!ec) return true;
  std::string why =
      ec.value() == ENOTCONN
          ? "part of the " + ctx.lib.volume().describe() + " is unreachable (a brick is down)"
          : "the " + ctx.lib.volume().describe() + " cannot be checked: " + ec.message();
  fail("cannot compare snapshots of group " + group_label(set->get_name()) + ": " + why +
       "; nothing was compared");
  return false;
}

}  // namespace

int cmd_diff(context& ctx, const arguments& args) {
  set_ptr set;
  version_ptr from, to;
  if (!find_group(args[0], &set) || !find_version(set, args[1], &from)) return exit_failed;
  if (args.size() > 2) {
    if (!find_version(set, args[2], &to)) return exit_failed;
  } else {
    set->get_version(set->get_name(), to);  // the live files
  }
  volume_client client;
  if (!to || !client.connect(ctx.lib.volume())) {
    return fail("cannot reach the " + ctx.lib.volume().describe());
  }
  std::string root_a = files_path(set, from), root_b = files_path(set, to), failed;
  tree a, b;
  tree_diff d;
  // The trees come from listings, which leave out a lost brick's entries
  // without an error: every part of the volume must answer before and after.
  if (!whole_volume(ctx, client, set)) return exit_failed;
  bool read = !read_tree(client, root_a, &a, &failed) && !read_tree(client, root_b, &b, &failed) &&
              !compare_trees(client, root_a, a, root_b, b, &d, &failed, ctx.opts.checksum);
  if (!whole_volume(ctx, client, set)) return exit_failed;
  if (!read)
    return fail("cannot read " + escaped(failed) + " on the " + ctx.lib.volume().describe());
  std::string to_name = to->is_production_version() ? "live" : to->get_name();
  if (ctx.json) {
    nlohmann::json out = {{"group", json_name(group_label(set->get_name()))},
                          {"from", json_name(from->get_name())},
                          {"to", json_name(to_name)},
                          {"added", json_names(d.added)},
                          {"removed", json_names(d.removed)},
                          {"changed", json_names(d.changed)},
                          {"changes", changes_json(d)},
                          {"summary",
                           {{"added", d.added.size()},
                            {"removed", d.removed.size()},
                            {"changed", d.changed.size()},
                            {"metadata", d.metadata.size()}}}};
    std::cout << json_text(out);
    return exit_ok;
  }
  print_text(d);
  std::cout << escaped(from->get_name()) << " -> " << escaped(to_name) << ": " << summary(d)
            << "\n";
  return exit_ok;
}

}  // namespace ktsmctl
