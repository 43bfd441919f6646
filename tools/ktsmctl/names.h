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
// name with each control character written as \xNN, safe to print.
std::string visible(const std::string& name);

// "a", "/a" and "//a" all name the group whose set start-up recovery calls
// "//a".  Returns false when that is no valid set name.
bool group_set_name(const std::string& written, std::string* set_name);

// The short form of a set name for messages and commands: "//a" -> "a".
std::string group_label(const std::string& set_name);

// "active", "exported", "create in progress", ...; "unknown (TEXT)" for
// any other text, "live" for the production version's empty state.
std::string state_name(const std::string& text, bool production);

// Whether the state is one an operation writes while it runs: create,
// delete, export or unexport in progress.
bool in_progress_state(const std::string& text);

// Whether a snapshot version in this state needs attention: in progress,
// failed, deleted but still there, or not one of the library's states.
bool state_needs_attention(const std::string& text);

// A ktsmctl command line to suggest, each word quoted for the shell when it
// needs it, so it can be pasted as printed: "ktsmctl delete a v3", with "--"
// after the command when an argument starts with "-".
std::string suggested_command(const std::string& command, const std::string& group,
                              const std::string& version = "");

}  // namespace ktsmctl

#endif  // KTSMCTL_NAMES_H_
