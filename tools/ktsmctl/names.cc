#include "names.h"

#include <algorithm>
#include <cstdint>
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

namespace {

// The length of the valid UTF-8 character that starts at text[i], with its
// code point in *code; 0 when the bytes there are no valid UTF-8.
size_t utf8_char(const std::string& text, size_t i, uint32_t* code) {
  unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t length = lead < 0x80                   ? 1
                  : lead >= 0xc2 && lead < 0xe0 ? 2
                  : lead >= 0xe0 && lead < 0xf0 ? 3
                  : lead >= 0xf0 && lead < 0xf5 ? 4
                                                : 0;
  if (length == 0 || i + length > text.size()) return 0;
  static const unsigned char kLeadBits[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
  static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  uint32_t c = lead & kLeadBits[length];
  for (size_t k = 1; k < length; ++k) {
    unsigned char next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xc0) != 0x80) return 0;
    c = (c << 6) | (next & 0x3f);
  }
  if (c < kSmallest[length] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return 0;
  *code = c;
  return length;
}

// Characters that change how a terminal shows what follows rather than
// showing themselves: controls (C0, DEL, C1), the line and paragraph
// separators, and the marks that change the text's direction.
bool controls_display(uint32_t c) {
  return c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x061c || c == 0x200e || c == 0x200f ||
         (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

void escape_byte(unsigned char b, std::string* out) {
  switch (b) {
    case '\t':
      *out += "\\t";
      return;
    case '\n':
      *out += "\\n";
      return;
    case '\r':
      *out += "\\r";
      return;
  }
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02x", b);
  *out += text;
}

std::string escape(const std::string& text, bool backslash, const std::string& also) {
  std::string out;
  size_t length = 0;
  for (size_t i = 0; i < text.size(); i += length) {
    uint32_t code = 0;
    length = utf8_char(text, i, &code);
    bool shown = length > 0 && !controls_display(code) &&
                 (length > 1 || also.find(text[i]) == std::string::npos);
    if (text[i] == '\\' && backslash) {
      out += "\\\\";
    } else if (shown) {
      out.append(text, i, length);
    } else {
      // Every byte of a character that is not shown, one by one.
      length = std::max<size_t>(length, 1);
      for (size_t k = 0; k < length; ++k)
        escape_byte(static_cast<unsigned char>(text[i + k]), &out);
    }
  }
  return out;
}

}  // namespace

std::string escaped(const std::string& name, const std::string& also) {
  return escape(name, true, also);
}

std::string one_line(const std::string& line) { return escape(line, false, ""); }

bool valid_utf8(const std::string& text) {
  uint32_t code = 0;
  for (size_t i = 0, length = 0; i < text.size(); i += length) {
    length = utf8_char(text, i, &code);
    if (length == 0) return false;
  }
  return true;
}

std::string shell_escaped(const std::string& word) {
  if (escaped(word) == word) return vs::shell_word(word);
  return "$'" + escaped(word, "'") + "'";
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
  return "unknown (" + escaped(text) + ")";
}

bool in_progress_state(const std::string& text) {
  const vs::state_info* state = vs::find_state(text);
  return state != nullptr && state->in_progress;
}

bool state_needs_attention(const std::string& text) {
  const vs::state_info* state = vs::find_state(text);
  return state == nullptr || !state->settled;
}

bool left_over_state(const std::string& text) {
  return text == vs::SNAP_STATE_CREATE_IN_PROGRESS || text == vs::SNAP_STATE_CREATE_FAILED ||
         text == vs::SNAP_STATE_DELETE_IN_PROGRESS || text == vs::SNAP_STATE_DELETE_FAILED;
}

std::string suggested_command(const std::string& command, const std::string& group,
                              const std::string& version) {
  bool dash = group[0] == '-' || (!version.empty() && version[0] == '-');
  std::string line = "ktsmctl " + command + (dash ? " -- " : " ") + shell_escaped(group);
  return version.empty() ? line : line + " " + shell_escaped(version);
}

}  // namespace ktsmctl
