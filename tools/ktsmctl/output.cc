#include "output.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "names.h"

namespace ktsmctl {

bool report_failure(const std::string& what) {
  std::cerr << "ktsmctl: " << what << std::endl;
  return false;
}

bool report_warning(const std::string& what) {
  std::cerr << "ktsmctl: warning: " << what << std::endl;
  return false;
}

int fail(const std::string& what) {
  report_failure(what);
  return exit_failed;
}

int usage_error(const std::string& what) {
  report_failure(what);
  return exit_usage;
}

std::string human_bytes(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string counted(uint64_t count, const std::string& word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string older_name(const version_ptr& version) {
  version_ptr older = version->get_older_version();
  return older ? older->get_name() : "-";
}

namespace {

std::list<version_ptr> versions_of(const set_ptr& set) {
  std::list<version_ptr> versions;
  set->list_versions(versions);
  return versions;
}

// One version's line, its name and state padded to the given widths.
std::string version_line(const version_ptr& v, size_t name_width, size_t state_width) {
  std::string name = v->get_name();
  std::string state = state_name(v->get_state(), v->is_production_version());
  std::string line = "  " + name + std::string(name_width - name.size() + 2, ' ') + state;
  std::string tail = v->is_production_version() ? "production" : "older: " + older_name(v);
  return line + std::string(state_width - state.size() + 2, ' ') + tail + "\n";
}

std::string group_block(const set_ptr& set) {
  std::list<version_ptr> versions = versions_of(set);
  size_t name_width = 0, state_width = 0;
  for (const version_ptr& v : versions) {
    name_width = std::max(name_width, v->get_name().size());
    state_width =
        std::max(state_width, state_name(v->get_state(), v->is_production_version()).size());
  }
  size_t snapshots = versions.empty() ? 0 : versions.size() - 1;
  std::string block =
      "group " + group_label(set->get_name()) + " (" + counted(snapshots, "snapshot") + ")\n";
  for (const version_ptr& v : versions) block += version_line(v, name_width, state_width);
  return block;
}

nlohmann::json version_json(const version_ptr& v) {
  version_ptr older = v->get_older_version();
  return nlohmann::json{{"name", v->get_name()},
                        {"state", v->get_state()},
                        {"state_name", state_name(v->get_state(), v->is_production_version())},
                        {"production", v->is_production_version()},
                        {"older", older ? nlohmann::json(older->get_name()) : nlohmann::json()}};
}

}  // namespace

std::string render_text(const std::list<set_ptr>& sets) {
  if (sets.empty()) return "no file groups (make one with \"ktsmctl create-group NAME\")\n";
  std::string text;
  for (const set_ptr& set : sets) text += group_block(set);
  return text;
}

std::string render_json(const std::list<set_ptr>& sets) {
  nlohmann::json groups = nlohmann::json::array();
  for (const set_ptr& set : sets) {
    nlohmann::json versions = nlohmann::json::array();
    for (const version_ptr& v : versions_of(set)) versions.push_back(version_json(v));
    groups.push_back({{"name", set->get_name()},
                      {"group", group_label(set->get_name())},
                      {"versions", versions}});
  }
  // Names read from the volume need not be UTF-8: replace what is not.
  return groups.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace ktsmctl
