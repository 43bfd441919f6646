#include "names.h"

#include <cstdio>

#include "handles.h"
#include "ktsm/ktsm_filegroup_version_set.h"

namespace ktsmctl {

std::string control_character(const std::string& name) {
  for (char c : name) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7f) continue;
    char text[16];
    std::snprintf(text, sizeof text, "byte 0x%02x", b);
    return text;
  }
  return "";
}

std::string visible(const std::string& name) {
  std::string out;
  for (char c : name) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7f) {
      out += c;
      continue;
    }
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02x", b);
    out += text;
  }
  return out;
}

bool group_set_name(const std::string& written, std::string* set_name) {
  std::string bare = written.substr(std::min(written.find_first_not_of('/'), written.size()));
  if (bare.empty() || !vs::valid_set_name("//" + bare)) return false;
  *set_name = "//" + bare;
  return true;
}

std::string group_label(const std::string& set_name) {
  size_t start = set_name.find_first_not_of('/');
  return start == std::string::npos ? set_name : set_name.substr(start);
}

std::string state_name(const std::string& text, bool production) {
  if (const vs::state_info* state = vs::find_state(text)) return state->name;
  if (production && text.empty()) return "live";
  return "unknown (" + text + ")";
}

bool in_progress_state(const std::string& text) {
  const vs::state_info* state = vs::find_state(text);
  return state != nullptr && state->in_progress;
}

bool state_needs_attention(const std::string& text) {
  const vs::state_info* state = vs::find_state(text);
  return state == nullptr || !state->settled;
}

std::string suggested_command(const std::string& command, const std::string& group,
                              const std::string& version) {
  bool dash = group[0] == '-' || (!version.empty() && version[0] == '-');
  std::string line = "ktsmctl " + command + (dash ? " -- " : " ") + vs::shell_word(group);
  return version.empty() ? line : line + " " + vs::shell_word(version);
}

}  // namespace ktsmctl
