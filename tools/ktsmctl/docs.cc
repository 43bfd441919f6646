// The man page and the bash completion script, both made from the command
// table and the options that --help shows, so that nothing is written twice.
#include <sstream>

#include "cli.h"

namespace ktsmctl {

namespace {

// Text as roff shows it: backslashes and hyphens escaped, and a line that
// would start with a control character protected.
std::string roff(const std::string& text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    line_start = c == '\n';
  }
  return out;
}

std::string words(const std::vector<std::string>& list) {
  std::string out;
  for (const std::string& w : list) out += (out.empty() ? "" : " ") + w;
  return out;
}

}  // namespace

std::string man_page() {
  std::ostringstream m;
  m << ".TH KTSMCTL 1 \"\" \"ktsmctl " << KTSMCTL_VERSION << "\" \"User Commands\"\n"
    << ".SH NAME\nktsmctl \\- file groups and their versions (snapshots) on a GlusterFS volume\n"
    << ".SH SYNOPSIS\n.B ktsmctl\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR]\n"
    << ".SH DESCRIPTION\n"
    << roff(
           "ktsmctl manages the file groups of a volume (its top-level directories) and\n"
           "their versions, kept under each group's .snaps directory.  GROUP is written\n"
           "\"a\", \"/a\" or \"//a\"; VERSION is one path component.  Names are printed\n"
           "escaped, one entry per line (see ktsmctl --help); the bash completion offers\n"
           "them quoted and never evaluates them.\n")
    << ".SH COMMANDS\n";
  for (const command_doc& c : command_docs()) {
    m << ".TP\n.B " << roff(c.name) << (c.synopsis.empty() ? "" : " " + roff(c.synopsis)) << "\n"
      << roff(c.summary) << ".\n.br\n"
      << roff(c.details);
  }
  m << ".TP\n.B help [COMMAND]\nThe tool's help, or a command's.\n.SH OPTIONS\n";
  for (const option_doc& o : option_docs()) {
    m << ".TP\n.B " << roff(o.name) << "\n" << roff(o.description) << "\n";
  }
  m << ".SH ENVIRONMENT\n"
    << roff(
           "KTSM_LOCAL, or KTSM_SERVER with KTSM_VOLUME, choose the volume when no option\n"
           "does; KTSM_HOME or XDG_DATA_HOME place the default local volume; KTSM_LOG names\n"
           "the log file.  KTSM_COMPLETION, set by the bash completion, makes a command\n"
           "create nothing: no default volume, no log file.\n")
    << ".SH EXIT STATUS\n"
    << roff("0 success; 1 the operation failed (for needed: not needed); 2 usage error.\n");
  return m.str();
}

namespace {

// The completion asks "ktsmctl list -H" for groups and versions, with
// KTSM_COMPLETION=1 so that it makes no volume and writes no log.  Names are
// data, never code: each line is read with read -r, its escapes undone with
// printf %b (they are bash's own), the name matched with [[ ]] and offered
// quoted by printf %q; nothing a name holds is expanded.
const char kNamesFunction[] =
    R"(# The names that start with $cur (as typed, or after its opening quote),
# quoted: groups (field 1), or the versions of the group written $2 (field
# 2).  The rest are the volume options.
_ktsmctl_names() {
  local field=$1 group=$2 typed=${cur#[\'\"]} line name q last= only=()
  shift 2
  while [[ $group == /* ]]; do group=${group#/}; done
  printf -v q '%q' "$group"
  [[ $field == 2 && $q == "$group" ]] && only=(-- "$group")
  while IFS= read -r line; do
    printf -v name '%b' "${line%%$'\t'*}"
    if [[ $field == 2 ]]; then
      printf -v q '%q' "$name"
      [[ $name == "$group" || $q == "$group" ]] || continue
      line=${line#*$'\t'}
      [[ $line == //* ]] && continue
      printf -v name '%b' "${line%%$'\t'*}"
    fi
    [[ $name == "$last" ]] && continue
    last=$name
    printf -v q '%q' "$name"
    [[ $name == "$typed"* || $q == "$cur"* ]] && COMPREPLY+=("$q")
  done < <(KTSM_COMPLETION=1 ktsmctl "$@" list -H "${only[@]}" 2>/dev/null)
}

)";

const char kMainFunction[] = R"(
  COMPREPLY=()
  case " $values " in *" $prev "*)
    if [[ $prev == --local || $prev == --log ]]; then
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
    return ;;
  esac
  local i w cmd= vol=() args=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    case " $values " in *" $w "*)
      case $w in --local|--server|--volume) vol+=("$w" "${COMP_WORDS[i+1]}") ;; esac
      ((i++)); continue ;;
    esac
    [[ $w == -* ]] && continue
    if [[ -z $cmd ]]; then cmd=$w; else args+=("$w"); fi
  done
  local words=$commands
  [[ $cur == -* ]] && words=$options
  if [[ $cur == -* || -z $cmd ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
    return
  fi
  local kind=$(_ktsmctl_param "$cmd" ${#args[@]})
  [[ -z $kind ]] && kind=$(_ktsmctl_param "$cmd" '*')
  case $kind in
    command) mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur") ;;
    group) _ktsmctl_names 1 "" "${vol[@]}" ;;
    version) _ktsmctl_names 2 "${args[0]}" "${vol[@]}" ;;
  esac
}
complete -F _ktsmctl ktsmctl
)";

}  // namespace

std::string bash_completion() {
  std::ostringstream b;
  std::vector<std::string> names, values, switches;
  for (const command_doc& c : command_docs()) names.push_back(c.name);
  for (const option_doc& o : option_docs()) {
    std::istringstream flags(o.flags);
    std::string flag;
    while (flags >> flag) (o.takes_value ? values : switches).push_back(flag);
  }
  b << "# bash completion for ktsmctl, made by \"ktsmctl --bash-completion\" from its\n"
    << "# command table.  Groups and versions come from \"ktsmctl list -H\"; names are\n"
    << "# matched and quoted as data, never expanded.\n"
    << "_ktsmctl_param() {\n  case \"$1 $2\" in\n";
  for (const command_doc& c : command_docs()) {
    for (size_t i = 0; i < c.params.size(); ++i) {
      bool many = c.params[i] == "path" || c.params[i] == "groups";
      bool last_many = many && i + 1 == c.params.size();
      b << "    \"" << c.name << " " << (last_many ? "*" : std::to_string(i)) << "\") echo "
        << (c.params[i] == "groups" ? "group" : c.params[i]) << " ;;\n";
    }
  }
  b << "    \"help 0\") echo command ;;\n  esac\n}\n\n"
    << kNamesFunction << "_ktsmctl() {\n"
    << "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
    << "  local values=\"" << words(values) << "\"\n"
    << "  local options=\"" << words(values) << " " << words(switches) << "\"\n"
    << "  local commands=\"" << words(names) << " help\"" << kMainFunction;
  return b.str();
}

}  // namespace ktsmctl
