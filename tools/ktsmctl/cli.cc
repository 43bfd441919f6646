#include "cli.h"

#include <algorithm>
#include <boost/program_options.hpp>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "interrupt.h"
#include "names.h"
#include "output.h"

namespace ktsmctl {

namespace po = boost::program_options;

namespace {

// path: any number of paths, last; groups: any number of groups, last.
// tag: a hold's tag.  action: the word naming what the command does.
enum class param { group, version, file, path, tag, groups, action };

struct command_info {
  const char* name;
  const char* synopsis;  // the arguments, as shown in help
  std::vector<param> params;
  size_t optional;                   // how many trailing params may be left out
  std::vector<std::string> options;  // the command's own options ("json", "dry-run", ...)
  int (*run)(context&, const arguments&);
  const char* summary;
  const char* details;
  bool changes = false;  // changes its group: waits for the group's lock
  // Checks the command's own options before the volume is touched: a usage
  // error's status, or exit_ok.
  int (*check)(const command_options&) = nullptr;
  bool offline = false;  // reads no volume: runs without opening one
};

const std::vector<command_info>& commands() {
  static const std::vector<command_info> kCommands = {
      {"list",
       "[GROUP]",
       {param::group},
       1,
       {"--json", "-H", "-p"},
       cmd_list,
       "groups and their versions",
       "Shows every file group (or only GROUP) with its versions in list order: the\n"
       "production version (the live group) first, then each snapshot with its state,\n"
       "creation time, size (bytes of its files), the bytes that deleting it would\n"
       "free (of its files, those no other snapshot shares), holds and the older\n"
       "version it is linked to.  A snapshot whose operation is still running in another process "
       "is\n"
       "marked \"(running elsewhere)\".  --json prints an array of groups, each with its\n"
       "versions: name, state (the text on the volume), state_number (null when not\n"
       "one of the library's), state_name, production, older (null when none),\n"
       "created (UTC, null for the live group), created_ns, size, frees (null for the\n"
       "live group), holds, busy.  -H prints one line per version, fields separated by\n"
       "one tab: group, version, state, created, size, holds (comma-separated, \"-\"\n"
       "when none), older, frees (\"-\" for the live group); every\n"
       "field escaped as names are (see \"ktsmctl --help\"), a comma in a tag as \\x2c,\n"
       "so no name adds a field or a line.  -p prints creation times as seconds since\n"
       "the epoch and sizes in bytes.\n"},
      {"create-group",
       "GROUP",
       {param::group},
       0,
       {},
       cmd_create_group,
       "make a file group",
       "Makes the top-level directory GROUP and its .snaps directory where missing, so\n"
       "an existing directory becomes a file group with its files kept.\n"},
      {"delete-group",
       "GROUP",
       {param::group},
       0,
       {},
       cmd_delete_group,
       "remove an empty file group",
       "Removes GROUP and its .snaps directory.  Refuses while the group has snapshots\n"
       "or live files: ktsmctl never removes live files.\n",
       true},
      {"snapshot",
       "GROUP [VERSION]",
       {param::group, param::version},
       1,
       {"--full"},
       cmd_snapshot,
       "take a snapshot of the group's live files",
       "Copies the live files of GROUP into the new version VERSION and links it to the\n"
       "version before it.  Without VERSION the snapshot is named by its UTC time, as\n"
       "the timeline names its own: auto-20261209T081500Z (auto-20261209T081500Z-2 for\n"
       "a second one in that second).  A file unchanged since the newest whole snapshot was taken\n"
       "is not copied again: the new snapshot shares that snapshot's file (a hard\n"
       "link; see the README, \"Linked snapshots\").  --full copies every file.  When\n"
       "standard error is a terminal, a long copy shows its progress (files and bytes\n"
       "copied).\n",
       true},
      {"delete",
       "GROUP VERSION",
       {param::group, param::version},
       0,
       {},
       cmd_delete,
       "delete a snapshot",
       "Deletes the snapshot VERSION of GROUP and its directory; its list of deleted\n"
       "files passes to the older snapshot.  Refuses an exported snapshot (unexport it\n"
       "first).  Also removes versions that doctor reports.\n",
       true},
      {"restore",
       "GROUP VERSION [PATH...]",
       {param::group, param::version, param::path},
       1,
       {"--to", "--delete", "--dry-run"},
       cmd_restore,
       "put a snapshot's files back",
       "Without PATH, makes the live files of GROUP equal to the snapshot VERSION: it\n"
       "first takes a safety snapshot of the live files, named pre-restore-TIME (UTC),\n"
       "then removes the live files the snapshot lacks and brings back every file it\n"
       "holds, with owners, modes, times, attributes, hard links and holes.  With PATH\n"
       "(a file or directory inside the snapshot), restores only those: what the live\n"
       "group lacks is copied, what it holds is replaced by the snapshot's, and what the\n"
       "snapshot lacks (files made since) is kept and counted; --delete removes those\n"
       "too, after a safety snapshot.  --to DIR restores into the directory DIR of the\n"
       "volume instead (made where missing; an entry already there is refused) and\n"
       "leaves the live group alone.  --dry-run prints what would change, and changes\n"
       "nothing.\n",
       true},
      {"diff",
       "GROUP A [B]",
       {param::group, param::version, param::version},
       1,
       {"--json", "--checksum"},
       cmd_diff,
       "what differs between two snapshots, or a snapshot and the live files",
       "Lists what was added (+), removed (-) and changed (M) from snapshot A to\n"
       "snapshot B, or to the live files when B is left out, and entries whose content\n"
       "is the same but whose metadata is not (m, with what: mode, owner, times,\n"
       "attributes, hard links), then a summary line.  A file is unchanged when both\n"
       "sides carry the same trusted.cloudsync.uuid; when either lacks one, when size\n"
       "and modification time agree, or else its bytes.  --checksum compares the bytes\n"
       "of every two files of one size, whatever their identities and times say (a\n"
       "file rewritten with its old time put back).  Directories are marked with a\n"
       "trailing \"/\".  --json prints an object with from, to, added, removed,\n"
       "changed, changes (each with its kind) and summary.\n"},
      {"prune",
       "GROUP --keep-RULE N...",
       {param::group},
       0,
       {"--keep-last", "--keep-hourly", "--keep-daily", "--keep-weekly", "--keep-monthly",
        "--keep-within", "--leftovers", "--dry-run"},
       cmd_prune,
       "delete the snapshots a retention policy does not keep",
       "Keeps the snapshots the rules name, by their creation times, and deletes the\n"
       "others: --keep-last N the N newest; --keep-hourly, --keep-daily, --keep-weekly\n"
       "and --keep-monthly N the newest snapshot of each of the last N hours, days, ISO\n"
       "weeks and months (local time) that have one; --keep-within DURATION every\n"
       "snapshot made within DURATION (such as 2d, 1m2w, 1y; h, d, w, m, y) of the\n"
       "newest.  Held, exported and unfinished snapshots are never deleted, nor counted\n"
       "by the rules when unfinished.  At least one rule is needed, or --leftovers:\n"
       "it also deletes the snapshots a failed or interrupted snapshot or deletion left\n"
       "(create in progress, create failed, delete in progress, delete failed), which\n"
       "no process is working on once prune holds the group's lock; alone, it deletes\n"
       "those only.  --dry-run prints what would be deleted and why each kept snapshot\n"
       "is kept.\n",
       true,
       check_prune_options},
      {"timeline",
       "[GROUP...]",
       {param::groups},
       1,
       {"--policy", "--dry-run", "--json"},
       cmd_timeline,
       "take the snapshots a policy says are due, and prune by its rules",
       "For every group of the policy file (--policy FILE, default\n"
       "/etc/ktsm/policy.conf), or only the GROUPs named: takes a snapshot when one\n"
       "is due by the group's schedule (hourly, daily, weekly, monthly: once in each\n"
       "hour, day, ISO week or month of local time; or an interval), named by its UTC\n"
       "time (see snapshot), then deletes the snapshots the group's keep rules do not\n"
       "keep (as prune does).  After downtime it takes one snapshot, not one for each\n"
       "period missed.  Only snapshots of its own names are counted and pruned, unless\n"
       "the group's policy has prune_foreign = true; held, exported and unfinished\n"
       "snapshots are never deleted.  Each decision is made under the group's lock, so\n"
       "runs that overlap, here or on other hosts, take one snapshot between them.  A\n"
       "group whose snapshot fails is not pruned.  --dry-run prints what it would do.\n"
       "--json prints an array of {group, schedule, due, snapshot, deleted, kept,\n"
       "failed, errors}.  KTSM_NOW=2026-12-09T08:15:00Z runs it as at that UTC time.\n"
       "Exit status 1 when anything failed.  The policy file's form: see \"ktsmctl\n"
       "help policy\" and the README, \"Snapshots on a schedule\".\n",
       true,
       check_timeline_options},
      {"policy",
       "check",
       {param::action},
       0,
       {"--policy"},
       cmd_policy,
       "check the timeline's policy file",
       "Reads the policy file (--policy FILE, default /etc/ktsm/policy.conf) and prints\n"
       "each group's schedule and keep rules, or the first fault as FILE:LINE: reason.\n"
       "The file is TOML: a [default] table every group of the volume starts from (it\n"
       "applies to every group once it sets every), [template.NAME] tables, and a\n"
       "[group.NAME] table per group, which may name a template.  Settings: every\n"
       "(\"hourly\", \"daily\", \"weekly\", \"monthly\", \"never\", or an interval such as\n"
       "\"15min\", \"6h\", \"2d\", \"1w\"), keep_last, keep_hourly, keep_daily,\n"
       "keep_weekly, keep_monthly (counts, 0 for off), keep_within (a duration such as\n"
       "\"2d\"), prune_foreign (true: prune snapshots of any name) and template.  A group\n"
       "takes the default's settings, then its template's, then its own.  No keep rule:\n"
       "the timeline never prunes that group.\n",
       false,
       nullptr,
       true},
      {"hold",
       "GROUP VERSION [TAG]",
       {param::group, param::version, param::tag},
       1,
       {},
       cmd_hold,
       "keep a snapshot from being deleted",
       "Puts the hold TAG (default \"keep\") on the snapshot VERSION.  A held snapshot\n"
       "is refused by delete and left by prune, from any host: the hold is kept on the\n"
       "volume.  A snapshot may carry several tags, each released on its own.\n",
       true},
      {"release",
       "GROUP VERSION [TAG]",
       {param::group, param::version, param::tag},
       1,
       {},
       cmd_release,
       "take a hold off a snapshot",
       "Takes the hold TAG (default \"keep\") off the snapshot VERSION.  The snapshot\n"
       "can be deleted once it carries no tag.\n",
       true},
      {"holds",
       "[GROUP]",
       {param::group},
       1,
       {"--json"},
       cmd_holds,
       "the held snapshots and their tags",
       "Lists every held snapshot (of GROUP, or of every group) with its tags.  --json\n"
       "prints an array of {group, version, tags}.\n"},
      {"export",
       "GROUP VERSION|--live",
       {param::group, param::version},
       1,
       {"--live"},
       cmd_export,
       "export a snapshot, or the live group, through the export command",
       "Exports the active snapshot VERSION of GROUP, or with --live the live group\n"
       "itself (its production version), by running \"storhaug exportdir /VOLUME/PATH\"\n"
       "(storhaug must be on PATH; a local volume is named \"local-\" and a hash of its\n"
       "directory, so that no two share an export).  A snapshot\n"
       "is exported read-only at /VOLUME/.snapshots/GROUP/VERSION, the live group\n"
       "read-write at /VOLUME/GROUP, root squashed in both.  What is already exported is\n"
       "left as it is.\n",
       true},
      {"unexport",
       "GROUP VERSION|--live",
       {param::group, param::version},
       1,
       {"--live"},
       cmd_unexport,
       "take an exported snapshot back to active, or withdraw the live group's export",
       "Takes the exported snapshot VERSION of GROUP back to active, or with --live\n"
       "withdraws the export of the live group.  What is not exported is left as it is.\n",
       true},
      {"link",
       "GROUP VERSION",
       {param::group, param::version},
       0,
       {},
       cmd_link,
       "link a snapshot to the version before it, and show the link",
       "Links VERSION to the version before it in GROUP's list (the first snapshot to\n"
       "the production version).  The library keeps links in memory only, so every\n"
       "ktsmctl command links all versions this way when it starts.\n"},
      {"needed",
       "GROUP VERSION FILE",
       {param::group, param::version, param::file},
       0,
       {},
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
       {"--fix"},
       cmd_doctor,
       "find what needs attention",
       "Reports every snapshot left in progress, failed, deleted but still there, or in\n"
       "a state the library does not know, every group a restore left partly restored,\n"
       "and every top-level entry start-up could not rebuild as a file group: what left\n"
       "it there, and the command that resolves it.  --fix runs the fixes that lose\n"
       "nothing (deleting what a failed or interrupted snapshot or deletion left), each\n"
       "shown as it runs; the others stay for a person to choose.  Exit status 1 when\n"
       "anything is left that needs attention.\n"},
      {"demo",
       "",
       {},
       0,
       {},
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

const char* const kKeepRules[] = {"keep-last",   "keep-hourly",  "keep-daily",
                                  "keep-weekly", "keep-monthly", "keep-within"};

po::options_description visible_options() {
  po::options_description options("Options");
  options.add_options()("local", po::value<std::string>()->value_name("DIR"),
                        "use the local directory DIR as the volume")(
      "server", po::value<std::string>()->value_name("HOST[:PORT]"),
      "use a GlusterFS volume on this server...")(
      "volume", po::value<std::string>()->value_name("NAME"), "...named NAME")(
      "log", po::value<std::string>()->value_name("FILE"), "write the library's log to FILE")(
      "verbose,v", po::bool_switch(), "write the library's log to standard error")(
      "wait", po::value<unsigned>()->value_name("SECONDS"),
      "how long a change waits while another process holds its group (default 10)")(
      "json", po::bool_switch(), "list, diff, holds: print JSON")(
      "scripted,H", po::bool_switch(), "list: one tab-separated line per version, no padding")(
      "parsable,p", po::bool_switch(), "list: times in seconds since the epoch, sizes in bytes")(
      "dry-run", po::bool_switch(), "restore, prune: print what would change, change nothing")(
      "live", po::bool_switch(), "export, unexport: the live group, in place of a VERSION")(
      "full", po::bool_switch(), "snapshot: copy every file, share none with an older snapshot")(
      "checksum", po::bool_switch(),
      "diff: compare the content of files of one size byte by byte, whatever their times say")(
      "fix", po::bool_switch(), "doctor: run the fixes that lose nothing")(
      "leftovers", po::bool_switch(),
      "prune: also delete what failed or interrupted snapshots and deletions left")(
      "delete", po::bool_switch(),
      "restore PATH: also remove what the snapshot lacks there (after a safety snapshot)")(
      "to", po::value<std::string>()->value_name("DIR"),
      "restore: into the volume directory DIR instead of in place")(
      "policy", po::value<std::string>()->value_name("FILE"),
      "timeline, policy: the policy file (default /etc/ktsm/policy.conf)");
  for (const char* rule : kKeepRules) {
    options.add_options()(
        rule,
        po::value<std::string>()->value_name(std::string(rule) == "keep-within" ? "DURATION" : "N"),
        "prune: a retention rule (see \"ktsmctl help prune\")");
  }
  options.add_options()("version", po::bool_switch(), "print ktsmctl's version")(
      "help,h", po::bool_switch(), "show help (for a command: ktsmctl COMMAND --help)");
  return options;
}

std::string string_option(const po::variables_map& vm, const char* name) {
  return vm.count(name) ? vm[name].as<std::string>() : std::string();
}

}  // namespace

std::vector<command_doc> command_docs() {
  static const char* const kParamWords[] = {"group", "version", "file",  "path",
                                            "tag",   "groups",  "action"};
  std::vector<command_doc> docs;
  for (const command_info& c : commands()) {
    command_doc d{c.name, c.synopsis, c.summary, c.details, {}, c.options};
    for (param p : c.params) d.params.push_back(kParamWords[static_cast<int>(p)]);
    docs.push_back(d);
  }
  return docs;
}

std::vector<option_doc> option_docs() {
  std::vector<option_doc> docs;
  po::options_description options = visible_options();
  for (const auto& o : options.options()) {
    std::string flags = "--" + o->long_name();
    std::string short_name =
        o->canonical_display_name(po::command_line_style::allow_dash_for_short);
    if (short_name.size() == 2 && short_name[0] == '-') flags = short_name + " " + flags;
    std::string parameter = o->format_parameter();
    docs.push_back({o->format_name() + (parameter.empty() ? "" : " " + parameter), flags,
                    !parameter.empty(), o->description()});
  }
  return docs;
}

bool parse_command_line(int argc, const char* const* argv, invocation* out, std::string* error) {
  po::options_description all = visible_options();
  all.add_options()("words", po::value<std::vector<std::string>>())("man-page", po::bool_switch())(
      "bash-completion", po::bool_switch());
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
  for (const char* name : {"local", "server", "volume", "log", "to", "policy"}) {
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
  out->version = vm["version"].as<bool>();
  out->man = vm["man-page"].as<bool>();
  out->completion = vm["bash-completion"].as<bool>();
  if (vm.count("wait")) out->wait = vm["wait"].as<unsigned>();
  command_options& opts = out->opts;
  opts.dry_run = vm["dry-run"].as<bool>();
  opts.live = vm["live"].as<bool>();
  opts.full = vm["full"].as<bool>();
  opts.remove_extra = vm["delete"].as<bool>();
  opts.checksum = vm["checksum"].as<bool>();
  opts.leftovers = vm["leftovers"].as<bool>();
  opts.fix = vm["fix"].as<bool>();
  opts.scripted = vm["scripted"].as<bool>();
  opts.parsable = vm["parsable"].as<bool>();
  opts.to = string_option(vm, "to");
  opts.policy = string_option(vm, "policy");
  for (const char* rule : kKeepRules) {
    if (vm.count(rule)) opts.keep[rule] = vm[rule].as<std::string>();
  }
  const std::pair<const char*, const char*> kSwitches[] = {
      {"json", "--json"},     {"scripted", "-H"},        {"parsable", "-p"},
      {"live", "--live"},     {"full", "--full"},        {"dry-run", "--dry-run"},
      {"delete", "--delete"}, {"checksum", "--checksum"}};
  for (const auto& sw : kSwitches) {
    if (vm[sw.first].as<bool>()) out->given.push_back(sw.second);
  }
  if (!opts.to.empty()) out->given.push_back("--to");
  if (!opts.policy.empty()) out->given.push_back("--policy");
  for (const auto& rule : opts.keep) out->given.push_back("--" + rule.first);
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
  size_t width = 0;
  for (const command_info& c : commands()) width = std::max(width, synopsis(c).size() + 2);
  for (const command_info& c : commands()) {
    std::string left = synopsis(c);
    text << "  " << left << std::string(width - left.size(), ' ') << c.summary << "\n";
  }
  text << "  help [COMMAND]" << std::string(width - 14, ' ')
       << "this text, or a command's\n\n"
          "GROUP is a top-level directory of the volume, written \"a\", \"/a\" or \"//a\".\n"
          "VERSION is one path component.\n\n"
          "Names are printed escaped, one entry per line: a backslash as \\\\, tab,\n"
          "newline and carriage return as \\t, \\n and \\r, and each byte of other control\n"
          "characters and of what is not valid UTF-8 as \\xNN, as bash's $'...' writes\n"
          "them.  With --json, a name that is not valid UTF-8 is an object: display (the\n"
          "name escaped) and bytes (the value of each byte).\n\n"
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

// "\"x\" is not a version name: ..." for a name with a control character,
// whose reason comes first: such a name could not be shown or pasted.
int bad_name(const command_info& c, const std::string& name, const std::string& kind,
             const std::string& rule) {
  std::string control = control_character(name);
  if (!control.empty()) {
    return usage_error("the " + kind + " \"" + escaped(name) + "\" contains a control character (" +
                       control + "); names are shown and typed, so ktsmctl refuses them" +
                       see_help(c));
  }
  return usage_error("\"" + escaped(name) + "\" is not a " + kind + ": " + rule + see_help(c));
}

// Checks one argument's form; exit_ok when it is good.
int check_argument(const command_info& c, param kind, const std::string& arg) {
  std::string set_name;
  bool control = !control_character(arg).empty();
  switch (kind) {
    case param::action:
      if (arg != "check")
        return usage_error(std::string(c.name) + " takes \"check\"" + see_help(c));
      break;
    case param::group:
    case param::groups:
      if (control || !group_set_name(arg, &set_name)) {
        return bad_name(c, arg, "group name",
                        "a group is one top-level directory, written \"a\", \"/a\" or \"//a\"");
      }
      break;
    case param::version:
      if (control || !ktsm_filegroup_version_set::valid_version_name(arg)) {
        return bad_name(c, arg, "version name",
                        "a version name is one path component, not \".\", \"..\", "
                        "\".ktsm-lock\" or \".ktsm-deleted-files\"");
      }
      break;
    case param::tag:
      if (!ktsm_filegroup_version_set::valid_hold_tag(arg)) {
        return bad_name(c, arg, "hold tag", "a tag is 1 to 64 bytes");
      }
      break;
    case param::file:
    case param::path:
      if (arg.empty()) return usage_error("the file name is empty" + see_help(c));
      if (control) return bad_name(c, arg, "path", "");
      if (kind == param::path && ("/" + arg + "/").find("/../") != std::string::npos) {
        return bad_name(c, arg, "path inside the snapshot", "it has a \"..\" component");
      }
      break;
  }
  return exit_ok;
}

// Checks the number and the form of the arguments before the volume is
// touched; returns the usage error's exit status, or exit_ok.
int check_arguments(const command_info& c, const arguments& args) {
  bool any_paths =
      !c.params.empty() && (c.params.back() == param::path || c.params.back() == param::groups);
  if ((args.size() > c.params.size() && !any_paths) || args.size() + c.optional < c.params.size()) {
    std::string takes = *c.synopsis ? std::string("takes ") + c.synopsis : "takes no arguments";
    return usage_error(std::string(c.name) + " " + takes + see_help(c));
  }
  for (size_t i = 0; i < args.size(); ++i) {
    if (int status = check_argument(c, c.params[std::min(i, c.params.size() - 1)], args[i])) {
      return status;
    }
  }
  return exit_ok;
}

// Refuses an option the command does not take, naming the commands that do.
int check_options(const command_info& c, const invocation& inv) {
  for (const std::string& given : inv.given) {
    if (std::find(c.options.begin(), c.options.end(), given) != c.options.end()) continue;
    std::string takers;
    for (const command_info& other : commands()) {
      if (std::find(other.options.begin(), other.options.end(), given) == other.options.end()) {
        continue;
      }
      takers += (takers.empty() ? "" : ", ") + std::string(other.name);
    }
    return usage_error(given + " applies to " + takers + " only" + see_help(c));
  }
  return exit_ok;
}

// A command that takes --live names a snapshot, or with --live the live
// group: one of the two.
int check_version_or_live(const command_info& c, const command_options& opts,
                          const arguments& args) {
  if (std::find(c.options.begin(), c.options.end(), "--live") == c.options.end()) return exit_ok;
  bool version = args.size() == c.params.size();
  if (version && opts.live) {
    return usage_error(std::string(c.name) + " takes a VERSION or --live, not both" + see_help(c));
  }
  if (!version && !opts.live) {
    return usage_error(std::string(c.name) + " needs a VERSION, or --live for the live group" +
                       see_help(c));
  }
  return exit_ok;
}

// --to names a directory of the volume: refused like a name argument when it
// holds a control character.
int check_named_options(const command_info& c, const command_options& opts) {
  if (control_character(opts.to).empty()) return exit_ok;
  return bad_name(c, opts.to, "directory", "");
}

// Under the bash completion (KTSM_COMPLETION set) a command makes nothing:
// no default volume where there is none, no log file (the log goes to
// standard error, which the completion drops), no GlusterFS client log.
log_choice make_nothing(volume_choice* volume) {
  ::setenv("KTFS_GFAPI_LOG", "/dev/null", 1);
  volume->embedded = false;
  return log_choice{"", true};
}

// Before a change of a group: says so when another process holds the
// group's lock, since the command then waits for it.
void announce_wait(const arguments& args, unsigned wait) {
  std::string set_name;
  ktsm_filegroup_version_set::set_ptr set;
  if (args.empty() || !group_set_name(args[0], &set_name) ||
      ktsm_filegroup_version_set::get_version_set(set_name, set) != 0) {
    return;
  }
  bool locked = false;
  if (set->is_group_locked(locked) != 0 || !locked) return;
  report_warning("group " + escaped(group_label(set_name)) +
                 " is locked by another process (an operation in progress elsewhere); " +
                 (wait == 0 ? std::string("not waiting (--wait 0)")
                            : "waiting up to " + counted(wait, "second") + " (--wait SECONDS)"));
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
  if (int status = check_options(c, inv)) return status;
  if (int status = check_version_or_live(c, inv.opts, args)) return status;
  if (int status = check_named_options(c, inv.opts)) return status;
  if (c.check != nullptr) {
    if (int status = c.check(inv.opts)) return status;
  }
  if (c.run == nullptr) return run_demo(inv.verbose);
  if (c.offline) {
    session none;
    context ctx{none, inv.json, inv.opts};
    return c.run(ctx, args);
  }
  volume_choice volume;
  std::string error;
  if (!choose_volume(inv.volume, &volume, &error)) {
    return usage_error(error + " (see \"ktsmctl --help\")");
  }
  log_choice log{log_file_path(inv.log_file, volume), inv.verbose, !c.changes};
  if (!env_value("KTSM_COMPLETION").empty()) log = make_nothing(&volume);
  session lib;
  if (!lib.open(volume, log)) {
    lib.end_log(true);
    return exit_failed;
  }
  if (c.run != cmd_doctor) warn_unrecovered(lib);
  ktsm_filegroup_version_set::set_lock_wait(inv.wait);
  if (c.changes) announce_wait(args, inv.wait);
  context ctx{lib, inv.json, inv.opts};
  if (c.changes) catch_interrupts();
  int status = interrupted_status(c.run(ctx, args));
  lib.end_log(status != exit_ok);
  return status;
}

}  // namespace

int run(int argc, const char* const* argv) {
  // The GlusterFS client writes to the sockets of servers that may have gone
  // (a brick killed under an operation): SIGPIPE would end ktsmctl at once,
  // without a word.  Ignored, such a write fails and the operation says so;
  // a closed standard output ends the run as a killed writer would.
  std::signal(SIGPIPE, SIG_IGN);
  invocation inv;
  std::string error;
  if (!parse_command_line(argc, argv, &inv, &error)) {
    return usage_error(error + " (see \"ktsmctl --help\")");
  }
  if (inv.man || inv.completion) {
    std::cout << (inv.man ? man_page() : bash_completion());
    return exit_ok;
  }
  if (inv.version) {
    std::cout << "ktsmctl " << KTSMCTL_VERSION << "\n";
    return exit_ok;
  }
  if (inv.words.empty()) {
    // A bare ktsmctl shows what it can do; nothing was done, hence status 2.
    print_tool_help();
    return inv.help ? exit_ok : exit_usage;
  }
  if (inv.words[0] == "help") return help_command(inv.words);
  const command_info* c = find_command(inv.words[0]);
  if (c == nullptr) {
    return usage_error("unknown command \"" + escaped(inv.words[0]) +
                       "\" (see \"ktsmctl --help\")");
  }
  return inv.help ? print_command_help(*c) : run_command(*c, inv);
}

}  // namespace ktsmctl
