#include "output.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

#include "names.h"

namespace ktsmctl {

bool report_failure(const std::string& what) {
  std::cerr << "ktsmctl: " << one_line(what) << std::endl;
  return false;
}

bool report_warning(const std::string& what) {
  std::cerr << "ktsmctl: warning: " << one_line(what) << std::endl;
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

int finish_output(int status) {
  std::cout.flush();
  bool failed = !std::cout.good() || std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  if (!failed) return status;
  int err = errno;
  // A reader that stopped reading (ktsmctl list | head): as a shell expects
  // of a writer SIGPIPE ended, without a word.
  if (err == EPIPE) return 128 + SIGPIPE;
  report_failure(std::string("cannot write standard output") +
                 (err != 0 ? std::string(": ") + std::strerror(err) : std::string()));
  return exit_failed;
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

nlohmann::json json_name(const std::string& name) {
  if (valid_utf8(name)) return name;
  return {{"display", escaped(name)},
          {"bytes", std::vector<unsigned char>(name.begin(), name.end())}};
}

nlohmann::json json_names(const std::vector<std::string>& names) {
  nlohmann::json list = nlohmann::json::array();
  for (const std::string& name : names) list.push_back(json_name(name));
  return list;
}

std::string json_text(const nlohmann::json& value) { return value.dump(2) + "\n"; }

}  // namespace ktsmctl
