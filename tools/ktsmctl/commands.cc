#include "commands.h"

#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <list>

#include "handles.h"
#include "interrupt.h"
#include "ktfssnapcore/ktfssnapcore.h"
#include "listing.h"
#include "lookup.h"
#include "names.h"
#include "output.h"
#include "progress.h"
#include "time_names.h"
#include "volume.h"
#include "volume_client.h"

namespace ktsmctl {

namespace {

// The group as the user sees it: "a" for the set "//a".
std::string label_of(const std::string& written) {
  std::string set_name;
  group_set_name(written, &set_name);
  return group_label(set_name);
}

std::string doctor_hint() { return "run \"ktsmctl doctor\""; }

// Whether an executable named name lies in a directory of PATH.
bool on_path(const std::string& name) {
  std::string path = env_value("PATH");
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = end > start ? path.substr(start, end - start) : ".";
    if (::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

std::string older_words(const version_ptr& v) {
  version_ptr older = v->get_older_version();
  if (!older) return "no older version";
  if (older->is_production_version()) return "the production version " + escaped(older->get_name());
  return "older version " + escaped(older->get_name());
}

// The state attribute of a version's directory as the volume holds it now;
// empty when it has none or cannot be read.
std::string state_on_volume(context& ctx, const std::string& path) {
  volume_client client;
  std::string state;
  if (!client.connect(ctx.lib.volume()) ||
      !client.read_attribute(path, vs::SNAP_STATE_NAME, &state)) {
    return "";
  }
  return state;
}

// "version v1 of group a", as a result line names a version: escaped.
std::string version_result(const set_ptr& set, const std::string& name) {
  return "version " + escaped(name) + " of group " + escaped(group_label(set->get_name()));
}

}  // namespace

void warn_unrecovered(const session& lib) {
  size_t n = lib.unrecovered().size();
  if (n == 0) return;
  report_warning(std::string(n == 1 ? "1 entry" : std::to_string(n) + " entries") +
                 " at the top of the volume could not be read as a file group (run \"ktsmctl "
                 "doctor\")");
}

int cmd_list(context& ctx, const arguments& args) {
  std::list<set_ptr> sets;
  if (args.empty()) {
    vs::list_version_sets(sets);
  } else {
    set_ptr set;
    if (!find_group(args[0], &set)) return exit_failed;
    sets.push_back(set);
  }
  std::cout << render_listing(sets, ctx);
  return exit_ok;
}

int cmd_create_group(context& ctx, const arguments& args) {
  std::string set_name, label = label_of(args[0]);
  group_set_name(args[0], &set_name);
  set_ptr set;
  if (vs::get_version_set(set_name, set) == 0) {
    return fail("group " + quoted(label) + " already exists (see \"" +
                suggested_command("list", label) + "\")");
  }
  size_t mark = ctx.lib.log_mark();
  if (vs::create_version_set(set_name, set) != 0) {
    return fail("cannot create group " + quoted(label) + ctx.lib.library_note(mark) +
                "; check that nothing but a directory is named " + quoted(label) +
                " at the top of the volume");
  }
  std::cout << "group " << escaped(label) << " created\n";
  return exit_ok;
}

namespace {

// Refuses a group that still has snapshots or live entries: the library
// removes only empty directories, and would remove ".snaps" before finding
// the group itself not empty.
bool group_is_empty(const set_ptr& set) {
  std::string label = group_label(set->get_name());
  std::list<version_ptr> versions;
  set->list_versions(versions);
  for (const version_ptr& v : versions) {
    if (v->is_production_version()) continue;
    return report_failure("group " + quoted(label) + " still has snapshots; delete them first (\"" +
                          suggested_command("delete", label, v->get_name()) + "\")");
  }
  std::list<std::string> entries;
  if (vs::read_live_directory(set->get_name(), entries) != 0) {
    return report_failure("cannot list group " + quoted(label) + " to see whether it is empty");
  }
  entries.remove(set->get_name() + "/.snaps");
  if (entries.empty()) return true;
  return report_failure("group " + quoted(label) + " still holds " +
                        std::to_string(entries.size()) +
                        (entries.size() == 1 ? " live entry" : " live entries") +
                        "; move or remove them first (ktsmctl never removes live files)");
}

}  // namespace

int cmd_delete_group(context& ctx, const arguments& args) {
  set_ptr set;
  if (!find_group(args[0], &set) || !group_is_empty(set)) return exit_failed;
  std::string label = group_label(set->get_name());
  size_t mark = ctx.lib.log_mark();
  if (vs::delete_version_set(set->get_name()) != 0) {
    return fail("cannot delete group " + quoted(label) + ctx.lib.library_note(mark) + "; " +
                doctor_hint());
  }
  std::cout << "group " << escaped(label) << " deleted\n";
  return exit_ok;
}

namespace {

// Takes the snapshot with the progress line running; a version left
// behind by a failure is reported with where it stands.  An empty *name is
// chosen from the time under the group's lock, so that it is free.
bool take_snapshot(context& ctx, const set_ptr& set, std::string* name) {
  size_t mark = ctx.lib.log_mark();
  version_ptr version;
  int32_t status = 1;
  int64_t now = 0;
  std::string error;
  if (name->empty() && !now_seconds(&now, &error)) return report_failure(error);
  {
    progress_line progress;
    if (!name->empty()) {
      status = set->create_version(*name, version, ctx.opts.full);
    } else {
      auto plan = [name, now](const std::list<version_ptr>& versions, const vs::holds_map&) {
        return *name = time_name(now, versions);
      };
      vs::refresh_report report;
      status = set->create_by_plan(plan, report, version, ctx.opts.full);
    }
  }
  if (status == 0) return true;
  std::string label = group_label(set->get_name());
  std::string named = name->empty() ? "snapshot" : "snapshot " + quoted(*name);
  if (interrupted() && version) {
    return report_failure(named + " of group " + quoted(label) + " " + interrupted_words() +
                          " before it was whole: what it copied is left in state \"create in "
                          "progress\"; remove it with \"" +
                          suggested_command("delete", label, *name) + "\", then take it again");
  }
  std::string what =
      named + " of group " + quoted(label) + " failed" +
      (interrupted() ? " (" + interrupted_words() + ")" : ctx.lib.library_note(mark));
  if (version) what += "; it is left in state \"create in progress\": " + doctor_hint();
  return report_failure(what);
}

}  // namespace

int cmd_snapshot(context& ctx, const arguments& args) {
  set_ptr set;
  if (!find_group(args[0], &set)) return exit_failed;
  std::string label = group_label(set->get_name());
  std::string name = args.size() > 1 ? args[1] : std::string();
  version_ptr existing;
  if (!name.empty()) set->get_version(name, existing);
  if (existing) {
    return fail("version " + quoted(name) + " already exists in group " + quoted(label) +
                " (choose another name, or \"" + suggested_command("delete", label, name) +
                "\" first)");
  }
  if (!take_snapshot(ctx, set, &name)) return exit_failed;
  version_ptr version;
  set->get_version(name, version);
  const ktfssnapcore::copy_progress& copied = ktfssnapcore::snap_progress();
  std::cout << "snapshot " << escaped(name) << " of group " << escaped(label)
            << " taken: " << counted(copied.files.load(), "file") << " (" << copied.linked.load()
            << " unchanged, shared with an older snapshot), " << human_bytes(copied.bytes.load())
            << " copied; linked to " << older_words(version) << "\n";
  return exit_ok;
}

int cmd_delete(context& ctx, const arguments& args) {
  set_ptr set;
  version_ptr version;
  if (!find_group(args[0], &set) || !find_version(set, args[1], &version)) return exit_failed;
  std::string label = group_label(set->get_name());
  if (vs::may_be_exported(version->get_state())) {
    return fail(version_words(set, args[1]) + " is exported or its export did not settle; " +
                "unexport it first (\"" + suggested_command("unexport", label, args[1]) + "\")");
  }
  std::vector<std::string> holds;
  set->get_holds(args[1], holds);
  if (!holds.empty()) {
    return fail(version_words(set, args[1]) + " is held (" + counted(holds.size(), "tag") + ": " +
                escaped(holds.front()) + (holds.size() > 1 ? ", ..." : "") +
                "); release it first (\"" + suggested_command("release", label, args[1]) + " " +
                shell_escaped(holds.front()) + "\")");
  }
  size_t mark = ctx.lib.log_mark();
  if (set->delete_version(args[1]) != 0) {
    if (interrupted()) {
      return fail("deleting " + version_words(set, args[1]) + " " + interrupted_words() +
                  ": it may be left half deleted; finish with \"" +
                  suggested_command("delete", label, args[1]) + "\"");
    }
    // A deletion refused before its first change (a brick down) leaves the
    // snapshot as it was, which the volume still says.
    std::string state = state_on_volume(ctx, files_path(set, version));
    bool untouched = !state.empty() && state == version->get_state();
    return fail("deleting " + version_words(set, args[1]) + " failed" + ctx.lib.library_note(mark) +
                (untouched ? "; the snapshot is unchanged"
                           : "; it may be left half deleted: " + doctor_hint()));
  }
  std::cout << version_result(set, args[1]) << " deleted\n";
  return exit_ok;
}

namespace {

// Nothing is exported without the export command.
bool export_command_found() {
  return on_path("storhaug") ||
         report_failure(
             "the export command \"storhaug\" is not on PATH; install it or add its "
             "directory to PATH, then export again");
}

// The state of the live group's directory on the volume, where the library
// keeps the production version's (start-up does not read it into the
// record).
std::string live_state(context& ctx, const set_ptr& set) {
  return state_on_volume(ctx, "/" + group_label(set->get_name()));
}

int export_live(context& ctx, const set_ptr& set) {
  std::string label = group_label(set->get_name());
  if (live_state(ctx, set) == vs::SNAP_STATE_EXPORTED) {
    std::cout << "live group " << quoted(label) << " is already exported\n";
    return exit_ok;
  }
  if (!export_command_found()) return exit_failed;
  size_t mark = ctx.lib.log_mark();
  if (set->export_version(set->get_name()) != 0) {
    return fail("exporting live group " + quoted(label) + " failed" + ctx.lib.library_note(mark));
  }
  std::cout << "live group " << escaped(label) << " exported\n";
  return exit_ok;
}

int unexport_live(context& ctx, const set_ptr& set) {
  std::string label = group_label(set->get_name());
  if (!vs::may_be_exported(live_state(ctx, set))) {
    std::cout << "live group " << quoted(label) << " is not exported; nothing to do\n";
    return exit_ok;
  }
  size_t mark = ctx.lib.log_mark();
  if (set->unexport_version(set->get_name()) != 0) {
    return fail("unexporting live group " + quoted(label) + " failed" + ctx.lib.library_note(mark));
  }
  std::cout << "live group " << escaped(label) << " unexported\n";
  return exit_ok;
}

}  // namespace

int cmd_export(context& ctx, const arguments& args) {
  set_ptr set;
  if (!find_group(args[0], &set)) return exit_failed;
  if (ctx.opts.live) return export_live(ctx, set);
  version_ptr version;
  if (!find_version(set, args[1], &version)) return exit_failed;
  if (version->get_state() == vs::SNAP_STATE_EXPORTED) {
    std::cout << version_words(set, args[1]) << " is already exported\n";
    return exit_ok;
  }
  if (!export_command_found()) return exit_failed;
  size_t mark = ctx.lib.log_mark();
  if (set->export_version(args[1]) != 0) {
    return fail("exporting " + version_words(set, args[1]) + " failed" +
                ctx.lib.library_note(mark) + "; " + doctor_hint());
  }
  std::cout << version_result(set, args[1]) << " exported\n";
  return exit_ok;
}

int cmd_unexport(context& ctx, const arguments& args) {
  set_ptr set;
  if (!find_group(args[0], &set)) return exit_failed;
  if (ctx.opts.live) return unexport_live(ctx, set);
  version_ptr version;
  if (!find_version(set, args[1], &version)) return exit_failed;
  if (!vs::may_be_exported(version->get_state())) {
    std::cout << version_words(set, args[1]) << " is not exported; nothing to do\n";
    return exit_ok;
  }
  size_t mark = ctx.lib.log_mark();
  if (set->unexport_version(args[1]) != 0) {
    return fail("unexporting " + version_words(set, args[1]) + " failed" +
                ctx.lib.library_note(mark) + "; " + doctor_hint());
  }
  std::cout << version_result(set, args[1]) << " unexported\n";
  return exit_ok;
}

int cmd_link(context&, const arguments& args) {
  set_ptr set;
  version_ptr version;
  if (!find_group(args[0], &set) || !find_version(set, args[1], &version)) return exit_failed;
  set->set_previous_version(args[1]);
  std::cout << version_result(set, args[1]) << " is linked to " << older_words(version) << "\n";
  return exit_ok;
}

namespace {

// Why file cannot be compared between versions, for the first version
// whose read of its identity fails (the library's read, confined to the
// version): "it is missing in v1", "it carries no ... in v2".
std::string what_is_missing(const std::vector<version_ptr>& versions, const std::string& file) {
  for (const version_ptr& v : versions) {
    std::string uuid, name = escaped(v->get_name());
    std::error_code ec = v->file_identity(file, uuid);
    if (ec.value() == ENOENT) return "it is missing in " + name;
    if (ec.value() == ENODATA)
      return "it carries no trusted.cloudsync.uuid (no identity) in " + name;
    if (ec.value() == ENOTDIR)
      return "its path goes through a symbolic link or a non-directory in " + name;
    if (ec) return "it could not be read in " + name;
  }
  return "it could not be read in one of them";
}

}  // namespace

int cmd_needed(context& ctx, const arguments& args) {
  set_ptr set;
  version_ptr version;
  if (!find_group(args[0], &set) || !find_version(set, args[1], &version)) return exit_failed;
  const std::string& file = args[2];
  if (!vs::valid_entry_path(file)) {
    return usage_error(quoted(file) +
                       " is not a path inside the version: a relative path without \".\" or "
                       "\"..\" components (see \"ktsmctl help needed\")");
  }
  version_ptr older = version->get_older_version();
  std::string pair = escaped(args[1]) + " and " + escaped(older_name(version));
  size_t mark = ctx.lib.log_mark();
  if (version->is_file_needed(file)) {
    std::cout << "needed: " << escaped(file) << " is the same file in " << pair << "\n";
    return exit_ok;
  }
  std::string said = ctx.lib.library_note(mark);
  if (!older || !said.empty()) {
    return fail("cannot compare " + quoted(file) + " in " + version_words(set, args[1]) +
                (older ? " with " + escaped(older->get_name()) + ": " +
                             what_is_missing({version, older}, file) + said
                       : ": it has no older version to compare with"));
  }
  std::cout << "not needed: " << escaped(file) << " differs between " << pair << "\n";
  return exit_failed;
}

}  // namespace ktsmctl
