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
           "\"a\", \"/a\" or \"//a\"; VERSION is one path component.\n")
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
           "the log file.\n")
    << ".SH EXIT STATUS\n"
    << roff("0 success; 1 the operation failed (for needed: not needed); 2 usage error.\n");
  return m.str();
}

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
    << "# command table.  Groups and versions come from \"ktsmctl list -H\".\n"
    << "_ktsmctl_param() {\n  case \"$1 $2\" in\n";
  for (const command_doc& c : command_docs()) {
    for (size_t i = 0; i < c.params.size(); ++i) {
      bool last_many = c.params[i] == "path" && i + 1 == c.params.size();
      b << "    \"" << c.name << " " << (last_many ? "*" : std::to_string(i)) << "\") echo "
        << c.params[i] << " ;;\n";
    }
  }
  b << "    \"help 0\") echo command ;;\n  esac\n}\n\n"
    << "_ktsmctl() {\n"
    << "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
    << "  local values=\"" << words(values) << "\"\n"
    << "  local options=\"" << words(values) << " " << words(switches) << "\"\n"
    << "  local commands=\"" << words(names) << " help\"\n"
    << "  case \" $values \" in *\" $prev \"*)\n"
    << "    [[ $prev == --local || $prev == --log ]] && COMPREPLY=($(compgen -f -- \"$cur\"))\n"
    << "    return ;;\n  esac\n"
    << "  local i w cmd= vol=() args=()\n"
    << "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
    << "    w=${COMP_WORDS[i]}\n"
    << "    case \" $values \" in *\" $w \"*)\n"
    << "      case $w in --local|--server|--volume) vol+=(\"$w\" \"${COMP_WORDS[i+1]}\") ;; esac\n"
    << "      ((i++)); continue ;;\n    esac\n"
    << "    [[ $w == -* ]] && continue\n"
    << "    if [[ -z $cmd ]]; then cmd=$w; else args+=(\"$w\"); fi\n"
    << "  done\n"
    << "  if [[ $cur == -* ]]; then COMPREPLY=($(compgen -W \"$options\" -- \"$cur\")); return; "
       "fi\n"
    << "  if [[ -z $cmd ]]; then COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\")); return; fi\n"
    << "  local kind=$(_ktsmctl_param \"$cmd\" ${#args[@]})\n"
    << "  [[ -z $kind ]] && kind=$(_ktsmctl_param \"$cmd\" '*')\n"
    << "  case $kind in\n"
    << "    command) COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\")) ;;\n"
    << "    group) COMPREPLY=($(compgen -W \"$(ktsmctl \"${vol[@]}\" list -H 2>/dev/null | "
       "cut -f1 | sort -u)\" -- \"$cur\")) ;;\n"
    << "    version) COMPREPLY=($(compgen -W \"$(ktsmctl \"${vol[@]}\" list -H -- \"${args[0]}\" "
       "2>/dev/null | cut -f2 | grep -v '^//')\" -- \"$cur\")) ;;\n"
    << "  esac\n}\n"
    << "complete -F _ktsmctl ktsmctl\n";
  return b.str();
}

}  // namespace ktsmctl
