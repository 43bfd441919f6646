// Retention rules: which snapshots a policy keeps, by the times they stand
// for.  Used by prune (rules from the command line) and by the timeline
// (rules from the policy file).
#ifndef KTSMCTL_RETENTION_H_
#define KTSMCTL_RETENTION_H_

#include <ctime>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "handles.h"

namespace ktsmctl {

// The rule names, as the command line (--keep-last) and the policy file
// (keep_last) spell them without their prefix: "last", "hourly", "daily",
// "weekly", "monthly", "within".
extern const char* const kRuleNames[6];

struct keep_rules {
  unsigned last = 0;
  unsigned buckets[4] = {0, 0, 0, 0};  // hourly, daily, weekly, monthly
  bool within = false;
  struct tm span = {};
  bool any() const;
};

// Sets the rule named (one of kRuleNames) from its text: a count of 1 or
// more, or for "within" a duration such as 2d, 1m2w or 1y.  false when
// the text is not one; *rules then is as it was.
bool set_rule(const std::string& rule, const std::string& text, keep_rules* rules);
// What set_rule wants for the rule, for messages: "a count of 1 or more".
std::string rule_wants(const std::string& rule);

// One snapshot of a plan and why it is kept (no reasons: it goes).
struct candidate {
  version_ptr version;
  std::vector<std::string> holds;
  int64_t time_ns = 0;               // the time the rules count it at
  std::vector<std::string> reasons;  // why it is kept; none: it goes
};

// Whether the version's copy finished, so that the rules may count it.
bool finished(const std::string& state);

// Every snapshot version of the picture, with its holds and the time
// time_of gives it; then the rules' reasons on the finished ones (newest
// first) and, whatever the rules say, "held (TAGS)", "exported" and "not
// finished (STATE)" (unless spare(state): a left-over state prune was
// asked to delete).
std::vector<candidate> plan_snapshots(const keep_rules& rules,
                                      const std::list<version_ptr>& versions,
                                      const vs::holds_map& holds,
                                      const std::function<int64_t(const version_ptr&)>& time_of,
                                      const std::function<bool(const std::string&)>& spare);

// "hourly 24, daily 7, within 2d": the rules that are on.
std::string rules_words(const keep_rules& rules);

// "a, b, c"
std::string joined(const std::vector<std::string>& reasons);

}  // namespace ktsmctl

#endif  // KTSMCTL_RETENTION_H_
