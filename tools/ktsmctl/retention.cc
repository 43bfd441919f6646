#include "retention.h"

#include <algorithm>
#include <cctype>

#include "names.h"

namespace ktsmctl {

const char* const kRuleNames[6] = {"last", "hourly", "daily", "weekly", "monthly", "within"};

namespace {

const int64_t kNs = 1000000000;

struct bucket_rule {
  const char* label;   // "hourly"
  const char* format;  // strftime format of the bucket a time falls in
};
const bucket_rule kBucketRules[] = {{"hourly", "%Y-%m-%d %H:00"},
                                    {"daily", "%Y-%m-%d"},
                                    {"weekly", "%G-W%V"},
                                    {"monthly", "%Y-%m"}};

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

// Marks the finished snapshots (newest first) the rules keep, with why.
void apply_rules(const keep_rules& p, std::vector<candidate*>& newest_first) {
  for (size_t i = 0; i < newest_first.size() && i < p.last; ++i) {
    newest_first[i]->reasons.push_back("last " + std::to_string(i + 1));
  }
  for (size_t r = 0; r < 4; ++r) {
    std::string previous;
    unsigned kept = 0;
    for (candidate* c : newest_first) {
      if (kept == p.buckets[r]) break;
      std::string key = bucket(c->time_ns, kBucketRules[r].format);
      if (key == previous) continue;
      previous = key;
      ++kept;
      c->reasons.push_back(std::string(kBucketRules[r].label) + " " + key);
    }
  }
  if (!p.within || newest_first.empty()) return;
  int64_t start = within_start(newest_first.front()->time_ns, p.span);
  for (candidate* c : newest_first) {
    if (c->time_ns >= start) c->reasons.push_back("within");
  }
}

// Adds what keeps a snapshot whatever the rules say.
void protect(const std::function<bool(const std::string&)>& spare, candidate* c) {
  const std::string& state = c->version->get_state();
  if (!c->holds.empty()) c->reasons.push_back("held (" + joined(c->holds) + ")");
  if (vs::may_be_exported(state)) c->reasons.push_back("exported");
  if (!finished(state) && !spare(state)) {
    c->reasons.push_back("not finished (" + state_name(state, false) + ")");
  }
}

}  // namespace

bool keep_rules::any() const {
  return last > 0 || within || std::any_of(buckets, buckets + 4, [](unsigned n) { return n > 0; });
}

bool set_rule(const std::string& rule, const std::string& text, keep_rules* rules) {
  keep_rules changed = *rules;
  bool good = false;
  if (rule == "within") {
    good = parse_duration(text, &changed.span);
    changed.within = true;
  } else if (rule == "last") {
    good = parse_count(text, &changed.last);
  }
  for (size_t i = 0; i < 4; ++i) {
    if (rule == kBucketRules[i].label) good = parse_count(text, &changed.buckets[i]);
  }
  if (good) *rules = changed;
  return good;
}

std::string rule_wants(const std::string& rule) {
  return rule == "within" ? "a duration such as 2d, 1m2w or 1y" : "a count of 1 or more";
}

bool finished(const std::string& state) {
  return state == vs::SNAP_STATE_ACTIVE || state == vs::SNAP_STATE_UNEXPORTED ||
         vs::may_be_exported(state);
}

std::vector<candidate> plan_snapshots(const keep_rules& rules,
                                      const std::list<version_ptr>& versions,
                                      const vs::holds_map& holds,
                                      const std::function<int64_t(const version_ptr&)>& time_of,
                                      const std::function<bool(const std::string&)>& spare) {
  std::vector<candidate> all;
  for (const version_ptr& v : versions) {
    if (v->is_production_version()) continue;
    auto held = holds.find(v->get_name());
    all.push_back(
        {v, held != holds.end() ? held->second : std::vector<std::string>(), time_of(v), {}});
  }
  std::vector<candidate*> newest_first;
  for (candidate& c : all) {
    if (finished(c.version->get_state())) newest_first.push_back(&c);
  }
  std::stable_sort(newest_first.begin(), newest_first.end(), [](candidate* a, candidate* b) {
    if (a->time_ns != b->time_ns) return a->time_ns > b->time_ns;
    return a->version->get_creation().sequence > b->version->get_creation().sequence;
  });
  apply_rules(rules, newest_first);
  for (candidate& c : all) protect(spare, &c);
  return all;
}

std::string rules_words(const keep_rules& rules) {
  std::vector<std::string> on;
  if (rules.last > 0) on.push_back("last " + std::to_string(rules.last));
  for (size_t i = 0; i < 4; ++i) {
    if (rules.buckets[i] > 0) {
      on.push_back(std::string(kBucketRules[i].label) + " " + std::to_string(rules.buckets[i]));
    }
  }
  if (rules.within) {
    const struct tm& s = rules.span;
    std::string span;
    if (s.tm_year) span += std::to_string(s.tm_year) + "y";
    if (s.tm_mon) span += std::to_string(s.tm_mon) + "m";
    if (s.tm_mday) span += std::to_string(s.tm_mday) + "d";
    if (s.tm_hour) span += std::to_string(s.tm_hour) + "h";
    on.push_back("within " + span);
  }
  return joined(on);
}

std::string joined(const std::vector<std::string>& reasons) {
  std::string text;
  for (const std::string& r : reasons) text += (text.empty() ? "" : ", ") + r;
  return text;
}

}  // namespace ktsmctl
