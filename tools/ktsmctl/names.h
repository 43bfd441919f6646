// Names as the user writes them and as the library keeps them, and the
// words for the snapshot states (read from the library's table of states;
// the name rules themselves are the library's).
#ifndef KTSMCTL_NAMES_H_
#define KTSMCTL_NAMES_H_

#include <string>

namespace ktsmctl {

// "byte 0x0a" for the first control character (below 0x20, or 0x7f) of
// name; empty when it has none.
std::string control_character(const std::string& name);

// A name as people read it, in one line, every byte accounted for: the one
// escaping of every name ktsmctl prints for people (and in -H fields).
// Printable UTF-8 stays as it is; a backslash is written "\\", a tab,
// newline and carriage return "\t", "\n" and "\r", and every other byte
// "\xNN" (two lower-case hexadecimal digits) when it is a control character
// (below 0x20, 0x7f), not valid UTF-8, or part of a character that controls
// the display (a C1 control, a line or paragraph separator, a mark that
// changes the text's direction).  also: more ASCII characters to write as
// "\xNN" (a list's separator).  The escapes are those of bash's $'...' and
// printf %b, which read the name back.
std::string escaped(const std::string& name, const std::string& also = "");

// A line whose names are already escaped, made safe to print as one line:
// escapes what escaped() escapes except backslashes, which stay as the
// escapes wrote them.  For text from elsewhere (the library's messages).
std::string one_line(const std::string& line);

// Whether text is valid UTF-8 (shortest forms, no surrogates, at most
// U+10FFFF).
bool valid_utf8(const std::string& text);

// word as the shell reads it back, in one line: the library's shell_word
// when escaped() leaves it as it is, else $'...' with escaped()'s escapes.
std::string shell_escaped(const std::string& word);

// "a", "/a" and "//a" all name the group whose set start-up recovery calls
// "//a".  Returns false when that is no valid set name.
bool group_set_name(const std::string& written, std::string* set_name);

// The short form of a set name for messages and commands: "//a" -> "a".
std::string group_label(const std::string& set_name);

// "active", "exported", "create in progress", ...; "unknown (TEXT)" for
// any other text (escaped), "live" for the production version's empty
// state.
std::string state_name(const std::string& text, bool production);

// Whether the state is one an operation writes while it runs: create,
// delete, export or unexport in progress.
bool in_progress_state(const std::string& text);

// Whether a snapshot version in this state needs attention: in progress,
// failed, deleted but still there, or not one of the library's states.
bool state_needs_attention(const std::string& text);

// Whether a version in this state is what a failed or interrupted snapshot
// or deletion left (create in progress or failed, delete in progress or
// failed): with the group's lock held, nobody works on it, and deleting it
// loses nothing.
bool left_over_state(const std::string& text);

// A ktsmctl command line to suggest, each word quoted for the shell when it
// needs it (shell_escaped), so it can be pasted as printed: "ktsmctl delete
// a v3", with "--" after the command when an argument starts with "-".
std::string suggested_command(const std::string& command, const std::string& group,
                              const std::string& version = "");

}  // namespace ktsmctl

#endif  // KTSMCTL_NAMES_H_
