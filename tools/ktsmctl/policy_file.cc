#include "policy_file.h"

#include <toml++/toml.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>

#include "names.h"

namespace ktsmctl {

const char* const kDefaultPolicyFile = "/etc/ktsm/policy.conf";

namespace {

const char kSettings[] =
    "every, keep_last, keep_hourly, keep_daily, keep_weekly, keep_monthly, keep_within, "
    "prune_foreign, template";

// The first fault found, with the line it is on.
struct fault {
  int line = 0;
  std::string reason;
};

bool fail_at(const toml::node& node, const std::string& reason, fault* f) {
  f->line = static_cast<int>(node.source().begin.line);
  f->reason = reason;
  return false;
}

// "15min", "6h", "2d", "1w": a count of 1 or more and its unit.
bool parse_interval(const std::string& text, int64_t* seconds) {
  static const std::pair<const char*, int64_t> kUnits[] = {
      {"min", 60}, {"h", 3600}, {"d", 86400}, {"w", 604800}};
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 6) return false;
  int64_t n = std::stoll(text.substr(0, digits));
  for (const auto& [unit, size] : kUnits) {
    if (text.substr(digits) == unit && n > 0) {
      *seconds = n * size;
      return true;
    }
  }
  return false;
}

bool parse_every(const toml::node& node, schedule* s, fault* f) {
  static const std::pair<const char*, schedule::kind_t> kNamed[] = {{"never", schedule::never},
                                                                    {"hourly", schedule::hourly},
                                                                    {"daily", schedule::daily},
                                                                    {"weekly", schedule::weekly},
                                                                    {"monthly", schedule::monthly}};
  std::optional<std::string> text = node.value<std::string>();
  if (text) {
    for (const auto& [name, kind] : kNamed) {
      if (*text == name) {
        *s = schedule{kind, 0};
        return true;
      }
    }
    if (parse_interval(*text, &s->seconds)) {
      s->kind = schedule::interval;
      return true;
    }
  }
  return fail_at(node,
                 "every must be \"hourly\", \"daily\", \"weekly\", \"monthly\", \"never\" or an "
                 "interval such as \"15min\", \"6h\", \"2d\" or \"1w\"",
                 f);
}

// keep_NAME = value: a count of 0 (off) or more, or for within a duration.
bool parse_keep(const std::string& rule, const toml::node& node, keep_rules* keep, fault* f) {
  if (rule == "within") {
    std::optional<std::string> text = node.value<std::string>();
    if (text && set_rule(rule, *text, keep)) return true;
    return fail_at(node, "keep_within must be " + rule_wants(rule) + ", as a string", f);
  }
  const toml::value<int64_t>* n = node.as_integer();
  if (n == nullptr || n->get() < 0 || n->get() > 999999) {
    return fail_at(node, "keep_" + rule + " must be a whole number from 0 (off) to 999999", f);
  }
  if (n->get() == 0) {  // off: a template's or the default's rule undone
    if (rule == "last") keep->last = 0;
    for (int i = 0; i < 4; ++i) {
      if (rule == kRuleNames[i + 1]) keep->buckets[i] = 0;
    }
    return true;
  }
  return set_rule(rule, std::to_string(n->get()), keep) ||
         fail_at(node, "keep_" + rule + " is out of range", f);
}

// "keep_daily" -> "daily"; false for a name that is no keep setting.
bool keep_setting(const std::string& name, std::string* rule) {
  for (const char* r : kRuleNames) {
    if (name == std::string("keep_") + r) {
      *rule = r;
      return true;
    }
  }
  return false;
}

// Applies the settings of table to *p, but its template, which the caller
// applied first; in a template, template is refused.
bool apply_table(const toml::table& table, bool in_template, group_policy* p, fault* f) {
  for (auto&& [key, node] : table) {
    std::string name(key.str()), rule;
    if (name == "every") {
      if (!parse_every(node, &p->every, f)) return false;
    } else if (keep_setting(name, &rule)) {
      if (!parse_keep(rule, node, &p->keep, f)) return false;
    } else if (name == "prune_foreign") {
      if (!node.is_boolean()) return fail_at(node, "prune_foreign must be true or false", f);
      p->prune_foreign = *node.value<bool>();
    } else if (name != "template" || in_template) {
      f->line = static_cast<int>(key.source().begin.line);
      f->reason = "unknown setting \"" + escaped(name) + "\"" +
                  (name == "template" ? " in a template (a template cannot use another)"
                                      : std::string(" (settings: ") + kSettings + ")");
      return false;
    }
  }
  return true;
}

// A table's settings over base, its template's first.
bool resolve(const toml::table& table, const std::map<std::string, const toml::table*>& templates,
             const group_policy& base, group_policy* out, fault* f) {
  *out = base;
  if (const toml::node* used = table.get("template")) {
    std::optional<std::string> name = used->value<std::string>();
    if (!name || !used->is_string()) return fail_at(*used, "template must be a template's name", f);
    auto found = templates.find(*name);
    if (found == templates.end()) {
      return fail_at(*used, "no template \"" + escaped(*name) + "\" ([template." + *name + "])", f);
    }
    if (!apply_table(*found->second, true, out, f)) return false;
  }
  return apply_table(table, false, out, f);
}

// The tables of a table of tables ([template.NAME], [group.NAME]).
bool subtables(const toml::node& node, const char* what,
               std::vector<std::pair<std::string, const toml::table*>>* out, fault* f) {
  if (!node.is_table()) return fail_at(node, std::string(what) + " must be a table", f);
  for (auto&& [key, sub] : *node.as_table()) {
    if (!sub.is_table()) {
      return fail_at(sub,
                     "\"" + escaped(std::string(key.str())) + "\" is no table: write [" + what +
                         "." + std::string(key.str()) + "]",
                     f);
    }
    out->emplace_back(std::string(key.str()), sub.as_table());
  }
  return true;
}

bool read_tables(const toml::table& root, policy_file* out, fault* f) {
  std::vector<std::pair<std::string, const toml::table*>> templates, groups;
  const toml::table* defaults = nullptr;
  for (auto&& [key, node] : root) {
    std::string name(key.str());
    if (name == "default") {
      if (!node.is_table()) return fail_at(node, "default must be a table: write [default]", f);
      defaults = node.as_table();
    } else if (name == "template" || name == "group") {
      if (!subtables(node, name.c_str(), name == "group" ? &groups : &templates, f)) return false;
    } else {
      f->line = static_cast<int>(key.source().begin.line);
      f->reason = "unknown table or setting \"" + escaped(name) +
                  "\" at the top (tables: [default], [template.NAME], [group.NAME])";
      return false;
    }
  }
  std::map<std::string, const toml::table*> by_name(templates.begin(), templates.end());
  for (const auto& t : templates) {
    group_policy scratch;
    if (!apply_table(*t.second, true, &scratch, f)) return false;
  }
  if (defaults != nullptr && !resolve(*defaults, by_name, group_policy(), &out->defaults, f)) {
    return false;
  }
  out->default_applies = defaults != nullptr && out->defaults.every.kind != schedule::never;
  for (const auto& [written, table] : groups) {
    std::string name;
    if (!group_set_name(written, &name) || !control_character(written).empty()) {
      return fail_at(*table, "\"" + escaped(written) + "\" is not a group name", f);
    }
    group_policy g;
    if (!resolve(*table, by_name, out->defaults, &g, f)) return false;
    g.group = name;
    out->groups.push_back(g);
  }
  return true;
}

}  // namespace

bool read_policy_file(const std::string& path, policy_file* out, std::string* error) {
  *out = policy_file();
  out->path = path;
  std::ifstream probe(path);
  if (!probe) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  probe.close();
  fault f;
  try {
    toml::table root = toml::parse_file(path);
    if (read_tables(root, out, &f)) return true;
  } catch (const toml::parse_error& e) {
    f.line = static_cast<int>(e.source().begin.line);
    f.reason = std::string(e.description());
  }
  *error = path + ":" + std::to_string(f.line) + ": " + f.reason;
  return false;
}

std::string schedule_words(const schedule& s) {
  static const char* const kWords[] = {"never", "hourly", "daily", "weekly", "monthly"};
  if (s.kind != schedule::interval) return kWords[s.kind];
  static const std::pair<const char*, int64_t> kUnits[] = {
      {"w", 604800}, {"d", 86400}, {"h", 3600}, {"min", 60}};
  for (const auto& [unit, size] : kUnits) {
    if (s.seconds % size == 0) return "every " + std::to_string(s.seconds / size) + unit;
  }
  return "every " + std::to_string(s.seconds) + "s";
}

}  // namespace ktsmctl
