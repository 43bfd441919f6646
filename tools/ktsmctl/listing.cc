#include "listing.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

#include "lookup.h"
#include "names.h"
#include "tree.h"
#include "volume_client.h"

namespace ktsmctl {

namespace {

const int64_t kNs = 1000000000;

// What list knows of one version beyond its record.
struct version_facts {
  version_ptr version;
  bool has_size = false;
  uint64_t size = 0;   // bytes it refers to
  uint64_t frees = 0;  // bytes only it holds (a snapshot's)
  std::vector<std::string> holds;
  bool holds_known = true;
  bool busy = false;  // in progress, its group locked by another process
};

std::vector<version_facts> gather(const set_ptr& set, volume_client* client) {
  std::list<version_ptr> versions;
  set->list_versions(versions);
  bool locked = false, asked = false;
  // Holds that cannot be read show as "?" (null in JSON), never as none.
  std::map<std::string, std::vector<std::string>> holds;
  bool holds_known = set->get_all_holds(holds) == 0;
  std::vector<version_facts> facts;
  for (const version_ptr& v : versions) {
    version_facts f;
    f.version = v;
    tree files;
    std::string failed;
    if (client != nullptr && !read_tree(*client, files_path(set, v), &files, &failed, false)) {
      f.has_size = true;
      f.size = tree_bytes(files);
      f.frees = tree_frees(files);
    }
    auto held = holds.find(v->get_name());
    if (!v->is_production_version() && held != holds.end()) f.holds = std::move(held->second);
    f.holds_known = holds_known || v->is_production_version();
    if (in_progress_state(v->get_state())) {
      if (!asked) asked = set->is_group_locked(locked) == 0;
      f.busy = locked;
    }
    facts.push_back(std::move(f));
  }
  return facts;
}

// The tags, escaped and comma-separated; a comma inside a tag is escaped
// too, so the list splits back into its tags.
std::string joined(const std::vector<std::string>& tags, const char* none) {
  std::string text;
  for (const std::string& t : tags) text += (text.empty() ? "" : ",") + escaped(t, ",");
  return text.empty() ? none : text;
}

// The bytes a snapshot alone holds ("-" for the live group or unknown).
std::string frees_text(const version_facts& f, bool parsable) {
  if (!f.has_size || f.version->is_production_version()) return "-";
  return parsable ? std::to_string(f.frees) : human_bytes(f.frees);
}

// The columns of one version, escaped: name, state, created, size, what
// deleting it frees, holds, link.
std::vector<std::string> columns(const version_facts& f, bool parsable) {
  const version_ptr& v = f.version;
  std::string state = state_name(v->get_state(), v->is_production_version());
  if (f.busy) state += " (running elsewhere)";
  std::string created =
      v->is_production_version() ? "-" : shown_time(v->get_creation().time_ns, parsable);
  std::string size = !f.has_size ? "-" : parsable ? std::to_string(f.size) : human_bytes(f.size);
  std::string link = v->is_production_version() ? "production" : "older: " + escaped(older_name(v));
  std::string holds = "held: " + (f.holds_known ? joined(f.holds, "-") : "?");
  return {escaped(v->get_name()),
          state,
          created,
          size,
          "frees: " + frees_text(f, parsable),
          holds,
          link};
}

std::string padded_block(const set_ptr& set, const std::vector<version_facts>& facts) {
  std::vector<std::vector<std::string>> rows;
  for (const version_facts& f : facts) rows.push_back(columns(f, false));
  std::vector<size_t> widths(7, 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string block = "group " + escaped(group_label(set->get_name())) + " (" +
                      counted(facts.empty() ? 0 : facts.size() - 1, "snapshot") + ")";
  std::string version, safety;
  std::vector<std::string> paths;
  if (set->partial_restore(version, safety, paths) == 0 && !version.empty()) {
    block += ": partly restored from " + escaped(version) + " (see \"ktsmctl doctor\")";
  }
  block += "\n";
  for (const auto& row : rows) {
    std::string line = " ";
    for (size_t i = 0; i + 1 < row.size(); ++i) {
      line += " " + row[i] + std::string(widths[i] - row[i].size() + 1, ' ');
    }
    block += line + " " + row.back() + "\n";
  }
  return block;
}

std::string tab_lines(const set_ptr& set, const std::vector<version_facts>& facts, bool parsable) {
  std::string text;
  for (const version_facts& f : facts) {
    std::vector<std::string> row = columns(f, parsable);
    // Fields keep their places: what deleting it frees comes last.
    row.erase(row.begin() + 4);
    row[4] = f.holds_known ? joined(f.holds, "-") : "?";
    row[5] = escaped(older_name(f.version));
    row.push_back(frees_text(f, parsable));
    text += escaped(group_label(set->get_name()));
    for (const std::string& field : row) text += "\t" + field;
    text += "\n";
  }
  return text;
}

nlohmann::json version_json(const version_facts& f) {
  const version_ptr& v = f.version;
  version_ptr older = v->get_older_version();
  nlohmann::json number;
  if (ktsm_filegroup_version_set::find_state(v->get_state())) number = std::stoi(v->get_state());
  nlohmann::json created, created_ns;
  if (!v->is_production_version()) {
    int64_t ns = v->get_creation().time_ns;
    time_t seconds = static_cast<time_t>(ns / kNs);
    struct tm parts;
    char text[32];
    ::gmtime_r(&seconds, &parts);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    created = text;
    created_ns = ns;
  }
  return nlohmann::json{
      {"name", json_name(v->get_name())},
      {"state", json_name(v->get_state())},
      {"state_number", number},
      {"state_name", state_name(v->get_state(), v->is_production_version())},
      {"production", v->is_production_version()},
      {"older", older ? json_name(older->get_name()) : nlohmann::json()},
      {"created", created},
      {"created_ns", created_ns},
      {"size", f.has_size ? nlohmann::json(f.size) : nlohmann::json()},
      {"frees",
       f.has_size && !v->is_production_version() ? nlohmann::json(f.frees) : nlohmann::json()},
      {"holds", f.holds_known ? json_names(f.holds) : nlohmann::json()},
      {"busy", f.busy}};
}

}  // namespace

std::string shown_time(int64_t time_ns, bool parsable) {
  time_t seconds = static_cast<time_t>(time_ns / kNs);
  if (parsable) return std::to_string(seconds);
  struct tm parts;
  ::localtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

std::string render_listing(const std::list<set_ptr>& sets, const context& ctx) {
  volume_client client;
  volume_client* reader = client.connect(ctx.lib.volume()) ? &client : nullptr;
  if (ctx.json) {
    nlohmann::json groups = nlohmann::json::array();
    for (const set_ptr& set : sets) {
      nlohmann::json versions = nlohmann::json::array();
      for (const version_facts& f : gather(set, reader)) versions.push_back(version_json(f));
      std::string version, safety;
      std::vector<std::string> paths;
      nlohmann::json partly;  // null: no restore left half done
      if (set->partial_restore(version, safety, paths) == 0 && !version.empty()) {
        partly = {{"version", json_name(version)},
                  {"safety", safety.empty() ? nlohmann::json() : json_name(safety)},
                  {"paths", json_names(paths)}};
      }
      groups.push_back({{"name", json_name(set->get_name())},
                        {"group", json_name(group_label(set->get_name()))},
                        {"partly_restored", partly},
                        {"versions", versions}});
    }
    return json_text(groups);
  }
  bool tabs = ctx.opts.scripted || ctx.opts.parsable;
  if (sets.empty() && !tabs)
    return "no file groups (make one with \"ktsmctl create-group NAME\")\n";
  std::string text;
  for (const set_ptr& set : sets) {
    std::vector<version_facts> facts = gather(set, reader);
    text += tabs ? tab_lines(set, facts, ctx.opts.parsable) : padded_block(set, facts);
  }
  return text;
}

}  // namespace ktsmctl
