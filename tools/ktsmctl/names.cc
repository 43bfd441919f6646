#include "names.h"

#include <cstdio>

#include "ktsm/ktsm_filegroup_version_set.h"

namespace ktsmctl {

namespace {

const char* const k_state_names[] = {"create in progress",   "active",     "create failed",
                                     "delete in progress",   "deleted",    "delete failed",
                                     "export in progress",   "exported",   "export failed",
                                     "unexport in progress", "unexported", "unexport failed"};
const int k_state_count = 12;

// 1..12 for a known state text, else 0.
int state_number(const std::string& text) {
  for (int n = 1; n <= k_state_count; ++n) {
    if (text == std::to_string(n)) return n;
  }
  return 0;
}

}  // namespace

bool plain_component(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

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
  if (!plain_component(bare)) return false;
  *set_name = "//" + bare;
  return true;
}

std::string group_label(const std::string& set_name) {
  size_t start = set_name.find_first_not_of('/');
  return start == std::string::npos ? set_name : set_name.substr(start);
}

bool known_state(const std::string& text) { return state_number(text) != 0; }

std::string state_name(const std::string& text, bool production) {
  int n = state_number(text);
  if (n != 0) return k_state_names[n - 1];
  if (production && text.empty()) return "live";
  return "unknown (" + text + ")";
}

bool in_progress_state(const std::string& text) {
  typedef ktsm_filegroup_version_set vs;
  return text == vs::SNAP_STATE_CREATE_IN_PROGRESS || text == vs::SNAP_STATE_DELETE_IN_PROGRESS ||
         text == vs::SNAP_STATE_EXPORT_IN_PROGRESS || text == vs::SNAP_STATE_UNEXPORT_IN_PROGRESS;
}

bool state_needs_attention(const std::string& text) {
  return text != "2" && text != "8" && text != "11";
}

std::string shell_word(const std::string& word) {
  static const char k_plain[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./+:@,=";
  if (!word.empty() && word.find_first_not_of(k_plain) == std::string::npos) return word;
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string suggested_command(const std::string& command, const std::string& group,
                              const std::string& version) {
  bool dash = group[0] == '-' || (!version.empty() && version[0] == '-');
  std::string line = "ktsmctl " + command + (dash ? " -- " : " ") + shell_word(group);
  return version.empty() ? line : line + " " + shell_word(version);
}

}  // namespace ktsmctl
