#include "cli.h"

#include <boost/program_options.hpp>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "names.h"
#include "output.h"

namespace ktsmctl {

namespace po = boost::program_options;

namespace {

enum class param { group, version, file };

struct command_info {
  const char* name;
  const char* synopsis;  // the arguments, as shown in help
  std::vector<param> params;
  size_t optional;  // how many trailing params may be left out
  bool json;        // takes --json
  int (*run)(context&, const arguments&);
  const char* summary;
  const char* details;
};

const std::vector<command_info>& commands() {
  static const std::vector<command_info> kCommands = {
      {"list",
       "[GROUP]",
       {param::group},
       1,
       true,
       cmd_list,
       "groups and their versions",
       "Shows every file group (or only GROUP) with its versions in list order: the\n"
       "production version (the live group) first, then each snapshot with its state\n"
       "and the older version it is linked to.  --json prints an array of groups, each\n"
       "with its versions: name, state (the text on the volume), state_name,\n"
       "production, older (null when none).\n"},
      {"create-group",
       "GROUP",
       {param::group},
       0,
       false,
       cmd_create_group,
       "make a file group",
       "Makes the top-level directory GROUP and its .snaps directory where missing, so\n"
       "an existing directory becomes a file group with its files kept.\n"},
      {"delete-group",
       "GROUP",
       {param::group},
       0,
       false,
       cmd_delete_group,
       "remove an empty file group",
       "Removes GROUP and its .snaps directory.  Refuses while the group has snapshots\n"
       "or live files: ktsmctl never removes live files.\n"},
      {"snapshot",
       "GROUP VERSION",
       {param::group, param::version},
       0,
       false,
       cmd_snapshot,
       "take a snapshot of the group's live files",
       "Copies the live files of GROUP into the new version VERSION and links it to the\n"
       "version before it.  When standard error is a terminal, a long copy shows its\n"
       "progress (files and bytes copied).\n"},
      {"delete",
       "GROUP VERSION",
       {param::group, param::version},
       0,
       false,
       cmd_delete,
       "delete a snapshot",
       "Deletes the snapshot VERSION of GROUP and its directory; its list of deleted\n"
       "files passes to the older snapshot.  Refuses an exported snapshot (unexport it\n"
       "first).  Also removes versions that doctor reports.\n"},
      {"export",
       "GROUP VERSION",
       {param::group, param::version},
       0,
       false,
       cmd_export,
       "export a snapshot through the export command",
       "Exports the active snapshot VERSION of GROUP by running\n"
       "\"storhaug exportdir /VOLUME/PATH\" (storhaug must be on PATH; for a local volume\n"
       "VOLUME is \"local\").  A snapshot already exported is left as it is.\n"},
      {"unexport",
       "GROUP VERSION",
       {param::group, param::version},
       0,
       false,
       cmd_unexport,
       "take an exported snapshot back to active",
       "Takes the exported snapshot VERSION of GROUP back to active.  A snapshot that is\n"
       "not exported is left as it is.\n"},
      {"link",
       "GROUP VERSION",
       {param::group, param::version},
       0,
       false,
       cmd_link,
       "link a snapshot to the version before it, and show the link",
       "Links VERSION to the version before it in GROUP's list (the first snapshot to\n"
       "the production version).  The library keeps links in memory only, so every\n"
       "ktsmctl command links all versions this way when it starts.\n"},
      {"needed",
       "GROUP VERSION FILE",
       {param::group, param::version, param::file},
       0,
       false,
       cmd_needed,
       "whether FILE is the same file in VERSION and its older version",
       "Compares the attribute trusted.cloudsync.uuid of FILE (a path inside the\n"
       "version) in VERSION and in the version it is linked to.  Exit status 0: needed\n"
       "(the same file); 1: not needed, or it cannot be compared (a line on standard\n"
       "error says why).\n"},
      {"doctor",
       "",
       {},
       0,
       false,
       cmd_doctor,
       "find what needs attention",
       "Reports every snapshot left in progress, failed, deleted but still there, or in\n"
       "a state the library does not know, and every top-level entry start-up could not\n"
       "rebuild as a file group: what left it there, and the command that resolves it.\n"
       "Exit status 1 when it finds anything.\n"},
      {"demo",
       "",
       {},
       0,
       false,
       nullptr,
       "a guided run on a fresh temporary volume",
       "Makes a local volume in a temporary directory, and there a file group with a few\n"
       "files, two snapshots, a changed file, a \"needed\" question, an export and an\n"
       "unexport (with the stand-in export command storhaug), a deletion; then starts a\n"
       "fresh ktsmctl process that rebuilds the same picture from the volume alone.\n"
       "Removes the temporary directory at the end.\n"},
  };
  return kCommands;
}

const command_info* find_command(const std::string& name) {
  for (const command_info& c : commands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

po::options_description visible_options() {
  po::options_description options("Options");
  options.add_options()("local", po::value<std::string>()->value_name("DIR"),
                        "use the local directory DIR as the volume")(
      "server", po::value<std::string>()->value_name("HOST[:PORT]"),
      "use a GlusterFS volume on this server...")(
      "volume", po::value<std::string>()->value_name("NAME"), "...named NAME")(
      "log", po::value<std::string>()->value_name("FILE"), "write the library's log to FILE")(
      "verbose,v", po::bool_switch(), "write the library's log to standard error")(
      "json", po::bool_switch(), "list: print JSON")(
      "help,h", po::bool_switch(), "show help (for a command: ktsmctl COMMAND --help)");
  return options;
}

std::string string_option(const po::variables_map& vm, const char* name) {
  return vm.count(name) ? vm[name].as<std::string>() : std::string();
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, invocation* out, std::string* error) {
  po::options_description all = visible_options();
  all.add_options()("words", po::value<std::vector<std::string>>());
  po::positional_options_description positional;
  positional.add("words", -1);
  po::variables_map vm;
  try {
    int style = po::command_line_style::default_style & ~po::command_line_style::allow_guessing;
    po::store(
        po::command_line_parser(argc, argv).options(all).positional(positional).style(style).run(),
        vm);
    po::notify(vm);
  } catch (const po::error& e) {
    *error = e.what();
    return false;
  }
  for (const char* name : {"local", "server", "volume", "log"}) {
    if (vm.count(name) && string_option(vm, name).empty()) {
      *error = std::string("--") + name + " needs a value that is not empty";
      return false;
    }
  }
  if (vm.count("words")) out->words = vm["words"].as<std::vector<std::string>>();
  out->volume = {string_option(vm, "local"), string_option(vm, "server"),
                 string_option(vm, "volume")};
  out->log_file = string_option(vm, "log");
  out->verbose = vm["verbose"].as<bool>();
  out->json = vm["json"].as<bool>();
  out->help = vm["help"].as<bool>();
  return true;
}

namespace {

std::string synopsis(const command_info& c) {
  return std::string(c.name) + (*c.synopsis ? std::string(" ") + c.synopsis : "");
}

std::string where(const std::string& path) { return path.empty() ? "(unset)" : path; }

int print_tool_help() {
  std::ostringstream text;
  text << "usage: ktsmctl [OPTIONS] COMMAND [ARGS]\n\n"
          "File groups and their versions (snapshots) on a GlusterFS volume or on a local\n"
          "directory standing in for one.\n\nCommands:\n";
  for (const command_info& c : commands()) {
    std::string left = synopsis(c);
    text << "  " << left << std::string(left.size() < 28 ? 28 - left.size() : 1, ' ') << c.summary
         << "\n";
  }
  text << "  help [COMMAND]              this text, or a command's\n\n"
          "GROUP is a top-level directory of the volume, written \"a\", \"/a\" or \"//a\".\n"
          "VERSION is one path component.\n\n"
       << visible_options()
       << "\nThe volume is the first of:\n"
          "  --local DIR, or --server HOST[:PORT] with --volume NAME;\n"
          "  KTSM_LOCAL=DIR, or KTSM_SERVER=HOST[:PORT] with KTSM_VOLUME=NAME;\n"
          "  the embedded default, a local directory made on first use: $KTSM_HOME, else\n"
          "  $XDG_DATA_HOME/ktsm/volume, else $HOME/.local/share/ktsm/volume\n"
          "  (here: "
       << where(embedded_volume_dir())
       << ").\n\n"
          "The library's log goes to --log FILE, else $KTSM_LOG, else ktsmctl.log beside\n"
          "the default volume (here: "
       << where(log_file_path(""))
       << "); -v sends it to\n"
          "standard error instead.\n\n"
          "Exit status: 0 success, 1 the operation failed (for needed: not needed),\n"
          "2 usage error.\n";
  std::cout << text.str();
  return exit_ok;
}

int print_command_help(const command_info& c) {
  std::cout << "usage: ktsmctl [OPTIONS] " << synopsis(c) << "\n\n"
            << c.details
            << "\nSee \"ktsmctl --help\" for the options and how the volume is chosen.\n";
  return exit_ok;
}

std::string see_help(const command_info& c) {
  return std::string(" (see \"ktsmctl help ") + c.name + "\")";
}

// Checks the number and the form of the arguments before the volume is
// touched; returns the usage error's exit status, or exit_ok.
int check_arguments(const command_info& c, const arguments& args) {
  if (args.size() > c.params.size() || args.size() + c.optional < c.params.size()) {
    std::string takes = *c.synopsis ? std::string("takes ") + c.synopsis : "takes no arguments";
    return usage_error(std::string(c.name) + " " + takes + see_help(c));
  }
  for (size_t i = 0; i < args.size(); ++i) {
    std::string set_name;
    if (c.params[i] == param::group && !group_set_name(args[i], &set_name)) {
      return usage_error("\"" + args[i] +
                         "\" is not a group name: a group is one top-level "
                         "directory, written \"a\", \"/a\" or \"//a\"" +
                         see_help(c));
    }
    if (c.params[i] == param::version && !ktsm_filegroup_version_set::valid_version_name(args[i])) {
      return usage_error("\"" + args[i] +
                         "\" is not a version name: a version name is one "
                         "path component, not \".\", \"..\" or \".ktsm-lock\"" +
                         see_help(c));
    }
    if (c.params[i] == param::file && args[i].empty()) {
      return usage_error("the file name is empty" + see_help(c));
    }
  }
  return exit_ok;
}

int help_command(const arguments& words) {
  if (words.size() == 1) return print_tool_help();
  const command_info* c = find_command(words[1]);
  if (words.size() > 2 || c == nullptr) {
    return usage_error("help takes one of the commands listed by \"ktsmctl --help\"");
  }
  return print_command_help(*c);
}

int run_command(const command_info& c, const invocation& inv) {
  arguments args(inv.words.begin() + 1, inv.words.end());
  if (int status = check_arguments(c, args)) return status;
  if (inv.json && !c.json)
    return usage_error(std::string("--json applies to list only") + see_help(c));
  if (c.run == nullptr) return run_demo(inv.verbose);
  volume_choice volume;
  std::string error;
  if (!choose_volume(inv.volume, &volume, &error)) {
    return usage_error(error + " (see \"ktsmctl --help\")");
  }
  session lib;
  if (!lib.open(volume, log_choice{log_file_path(inv.log_file), inv.verbose})) return exit_failed;
  if (c.run != cmd_doctor) warn_unrecovered(lib);
  context ctx{lib, inv.json};
  return c.run(ctx, args);
}

}  // namespace

int run(int argc, const char* const* argv) {
  invocation inv;
  std::string error;
  if (!parse_command_line(argc, argv, &inv, &error)) {
    return usage_error(error + " (see \"ktsmctl --help\")");
  }
  if (inv.words.empty()) {
    return inv.help ? print_tool_help() : usage_error("no command given (see \"ktsmctl --help\")");
  }
  if (inv.words[0] == "help") return help_command(inv.words);
  const command_info* c = find_command(inv.words[0]);
  if (c == nullptr) {
    return usage_error("unknown command \"" + inv.words[0] + "\" (see \"ktsmctl --help\")");
  }
  return inv.help ? print_command_help(*c) : run_command(*c, inv);
}

}  // namespace ktsmctl
