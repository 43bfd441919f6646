#include "time_names.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "volume.h"

namespace ktsmctl {

namespace {

const char kPrefix[] = "auto-";
const char kTimeFormat[] = "%Y%m%dT%H%M%SZ";
const size_t kTimeLength = 16;  // "20261209T081500Z"

bool digits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// text in format, read as UTC; false unless all of it is one real time
// (a 31st of a month that has none is refused, not moved on).
bool parse_utc(const std::string& text, const char* format, int64_t* time) {
  struct tm parts = {};
  const char* end = ::strptime(text.c_str(), format, &parts);
  if (end == nullptr || *end != '\0') return false;
  struct tm given = parts;
  time_t seconds = ::timegm(&parts);
  if (parts.tm_mday != given.tm_mday || parts.tm_mon != given.tm_mon ||
      parts.tm_hour != given.tm_hour) {
    return false;
  }
  *time = static_cast<int64_t>(seconds);
  return true;
}

}  // namespace

bool now_seconds(int64_t* now, std::string* error) {
  std::string given = env_value("KTSM_NOW");
  if (given.empty()) {
    *now = static_cast<int64_t>(std::time(nullptr));
    return true;
  }
  if (given.size() == 20 && parse_utc(given, "%Y-%m-%dT%H:%M:%SZ", now)) return true;
  *error = "KTSM_NOW is not a UTC time such as 2026-12-09T08:15:00Z";
  return false;
}

std::string time_name(int64_t time, const std::list<version_ptr>& versions) {
  auto taken = [&versions](const std::string& name) {
    return std::any_of(versions.begin(), versions.end(),
                       [&name](const version_ptr& v) { return v->get_name() == name; });
  };
  time_t seconds = static_cast<time_t>(time);
  struct tm parts;
  ::gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, kTimeFormat, &parts);
  std::string base = kPrefix + std::string(text);
  std::string name = base;
  for (int n = 2; taken(name); ++n) name = base + "-" + std::to_string(n);
  return name;
}

bool parse_time_name(const std::string& name, int64_t* time) {
  const size_t prefix = sizeof kPrefix - 1;
  if (name.compare(0, prefix, kPrefix) != 0 || name.size() < prefix + kTimeLength) return false;
  std::string rest = name.substr(prefix + kTimeLength);
  if (!rest.empty()) {
    // "-N", N from 2 on, no leading zero: as time_name writes it.
    std::string n = rest.substr(1);
    if (rest[0] != '-' || !digits(n) || n[0] == '0' || n == "1" || n.size() > 9) return false;
  }
  std::string stamp = name.substr(prefix, kTimeLength);
  return digits(stamp.substr(0, 8)) && digits(stamp.substr(9, 6)) &&
         parse_utc(stamp, kTimeFormat, time);
}

}  // namespace ktsmctl
