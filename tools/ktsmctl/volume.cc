#include "volume.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace ktsmctl {

namespace fs = std::filesystem;

namespace {

volume_choice local_volume(const std::string& dir) {
  volume_choice choice;
  std::error_code ec;
  fs::path absolute = fs::absolute(dir, ec);
  choice.local_dir = ec ? dir : absolute.lexically_normal().string();
  if (choice.local_dir.size() > 1 && choice.local_dir.back() == '/') choice.local_dir.pop_back();
  return choice;
}

volume_choice gluster_volume(const std::string& server, const std::string& volume) {
  volume_choice choice;
  choice.local = false;
  choice.server = server;
  choice.volume = volume;
  return choice;
}

// The command-line options; true when they chose a volume.
bool from_options(const volume_options& given, volume_choice* out, std::string* error) {
  if (!given.local.empty() && (!given.server.empty() || !given.volume.empty())) {
    *error = "choose either --local DIR or --server HOST[:PORT] --volume NAME, not both";
  } else if (!given.local.empty()) {
    *out = local_volume(given.local);
    return true;
  } else if (!given.server.empty() && given.volume.empty()) {
    *error = "--server needs --volume NAME, the GlusterFS volume to use";
  } else if (given.server.empty() && !given.volume.empty()) {
    *error = "--volume needs --server HOST[:PORT], the volume's server";
  } else if (!given.server.empty()) {
    *out = gluster_volume(given.server, given.volume);
    return true;
  }
  return false;
}

// The environment; true when it chose a volume.
bool from_environment(volume_choice* out, std::string* error) {
  std::string local = env_value("KTSM_LOCAL");
  std::string server = env_value("KTSM_SERVER");
  std::string volume = env_value("KTSM_VOLUME");
  if (!local.empty()) {
    *out = local_volume(local);
    return true;
  }
  if (server.empty() != volume.empty()) {
    *error = server.empty() ? "KTSM_VOLUME is set but KTSM_SERVER is not: set both, or neither"
                            : "KTSM_SERVER is set but KTSM_VOLUME is not: set both, or neither";
    return false;
  }
  if (server.empty()) return false;
  *out = gluster_volume(server, volume);
  return true;
}

}  // namespace

std::string env_value(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string local_volume_name(const std::string& dir) {
  std::error_code ec;
  fs::path canonical = fs::weakly_canonical(dir, ec);
  std::string key = ec ? dir : canonical.string();
  uint64_t hash = 14695981039346656037ull;  // FNV-1a: stable across builds and hosts
  for (unsigned char c : key) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char text[24];
  std::snprintf(text, sizeof text, "local-%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string volume_choice::describe() const {
  if (local) return "local volume " + local_dir;
  return "GlusterFS volume " + volume + " at " + server;
}

ktfs::iopx_tree_cfg volume_choice::client_config() const {
  ktfs::iopx_tree_cfg cfg;
  cfg.fs_type = "glusterfs";
  cfg.volume_name = init_name();
  if (local) {
    cfg.local_root = local_dir;
  } else {
    cfg.volfile_server = server;
  }
  return cfg;
}

std::string embedded_volume_dir() {
  std::string home = env_value("KTSM_HOME");
  if (!home.empty()) return home;
  std::string data = env_value("XDG_DATA_HOME");
  if (!data.empty()) return data + "/ktsm/volume";
  std::string user_home = env_value("HOME");
  if (!user_home.empty()) return user_home + "/.local/share/ktsm/volume";
  return "";
}

bool choose_volume(const volume_options& given, volume_choice* out, std::string* error) {
  error->clear();
  if (from_options(given, out, error)) return true;
  if (!error->empty()) return false;
  if (from_environment(out, error)) return true;
  if (!error->empty()) return false;
  std::string dir = embedded_volume_dir();
  if (dir.empty()) {
    *error = "no volume: set HOME or KTSM_HOME, or use --local DIR";
    return false;
  }
  *out = local_volume(dir);
  out->embedded = true;
  return true;
}

std::string log_file_path(const std::string& given) {
  if (!given.empty()) return given;
  std::string from_env = env_value("KTSM_LOG");
  if (!from_env.empty()) return from_env;
  std::string dir = embedded_volume_dir();
  if (dir.empty()) return "";
  fs::path volume = fs::path(dir).lexically_normal();
  if (!volume.has_filename()) volume = volume.parent_path();  // a trailing "/"
  fs::path parent = volume.parent_path();
  if (parent.empty()) parent = ".";
  return (parent / "ktsmctl.log").string();
}

std::string log_file_path(const std::string& given, const volume_choice& volume) {
  if (!given.empty() || !env_value("KTSM_LOG").empty() || volume.embedded) {
    return log_file_path(given);
  }
  if (volume.local) {
    fs::path parent = fs::path(volume.local_dir).parent_path();
    return ((parent.empty() ? fs::path(".") : parent) / "ktsmctl.log").string();
  }
  std::string beside_default = log_file_path("");
  if (beside_default.empty()) return "";
  std::string server = volume.server;
  std::replace(server.begin(), server.end(), '/', '_');
  return (fs::path(beside_default).parent_path() /
          ("ktsmctl-" + volume.volume + "@" + server + ".log"))
      .string();
}

bool make_directories(const std::string& dir, std::string* error) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) *error = "cannot make directory " + dir + ": " + ec.message();
  return !ec;
}

}  // namespace ktsmctl
