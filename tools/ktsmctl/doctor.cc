// doctor: finds what interrupted or failed operations left on the volume,
// says in plain words what left it there, and which command resolves it.
#include <iostream>
#include <list>

#include "commands.h"
#include "handles.h"
#include "names.h"
#include "output.h"
#include "volume_client.h"

namespace ktsmctl {

namespace {

struct finding {
  std::string subject;  // "group a, version v3: create in progress"
  std::string what;     // what left it there
  std::string resolve;  // the command (or step) that resolves it
};

void print(const finding& f) {
  std::cout << f.subject << "\n  " << f.what << "\n  resolve: " << f.resolve << "\n";
}

// What leaves a snapshot version in a state that needs attention.
std::string state_story(const std::string& state) {
  if (const vs::state_info* info = vs::find_state(state)) return info->meaning;
  if (state.empty()) return "its state attribute is empty, which is none of the library's states";
  return "its state attribute holds \"" + escaped(state) +
         "\", which is none of the library's states";
}

// "group a, version v3": names escaped, so that each finding keeps to its
// lines whatever the names hold.
std::string version_subject(const std::string& group, const std::string& version) {
  return "group " + escaped(group) + ", version " + escaped(version);
}

finding version_finding(const set_ptr& set, const version_ptr& v) {
  std::string group = group_label(set->get_name());
  std::string resolve = suggested_command("delete", group, v->get_name());
  // A version without a state is most often a snapshot killed before its
  // first state write.
  if (v->get_state() == vs::SNAP_STATE_CREATE_IN_PROGRESS ||
      v->get_state() == vs::SNAP_STATE_CREATE_FAILED || v->get_state().empty()) {
    resolve += ", then take the snapshot again";
  }
  // Withdrawing settles every unsettled export state as active.
  if (vs::may_be_exported(v->get_state())) {
    resolve = suggested_command("unexport", group, v->get_name()) +
              ", then export it again if "
              "it should be exported";
  }
  return {version_subject(group, v->get_name()) + ": " + state_name(v->get_state(), false),
          state_story(v->get_state()), resolve};
}

// A version in progress while another process holds its group's lock is
// being worked on now: told apart from one a crash left, and no problem.
bool running_elsewhere(const set_ptr& set, const version_ptr& v) {
  if (!in_progress_state(v->get_state())) return false;
  bool locked = false;
  return set->is_group_locked(locked) == 0 && locked;
}

// Whether deleting v, as its finding resolves it, loses nothing: what a
// failed or interrupted snapshot copied (the live files have it), or what
// a deletion had begun, or finished but for the directory, to remove.
bool fix_loses_nothing(const version_ptr& v) {
  return left_over_state(v->get_state()) || v->get_state() == vs::SNAP_STATE_DELETED;
}

// Runs the finding's fix (the deletion it names); true when it is done.
bool fix(context& ctx, const set_ptr& set, const version_ptr& v) {
  std::string command = suggested_command("delete", group_label(set->get_name()), v->get_name());
  size_t mark = ctx.lib.log_mark();
  if (set->delete_version(v->get_name()) != 0) {
    std::cout << "  fix failed: " << command << ctx.lib.library_note(mark) << "\n";
    return false;
  }
  std::cout << "  fixed: " << command << "\n";
  return true;
}

size_t check_versions(context& ctx) {
  std::list<set_ptr> sets;
  vs::list_version_sets(sets);
  size_t found = 0;
  for (const set_ptr& set : sets) {
    std::list<version_ptr> versions;
    set->list_versions(versions);
    for (const version_ptr& v : versions) {
      if (v->is_production_version() || !state_needs_attention(v->get_state())) continue;
      if (running_elsewhere(set, v)) {
        std::cout << version_subject(group_label(set->get_name()), v->get_name()) << ": "
                  << state_name(v->get_state(), false)
                  << ", locked by another host\n  another process is running this operation "
                     "now; not a problem (run \"ktsmctl doctor\" again once it ends)\n";
        continue;
      }
      print(version_finding(set, v));
      if (ctx.opts.fix && fix_loses_nothing(v) && fix(ctx, set, v)) continue;
      ++found;
    }
  }
  return found;
}

// The command that finishes a restore the volume records as half done.
std::string finish_command(const std::string& label, const std::string& version,
                           const std::vector<std::string>& paths) {
  std::string command = suggested_command("restore", label, version);
  for (const std::string& p : paths) command += " " + shell_escaped(p);
  return command;
}

// Groups a restore left partly restored (interrupted, killed or failed),
// as the volume records them for every host.
size_t check_restores() {
  std::list<set_ptr> sets;
  vs::list_version_sets(sets);
  size_t found = 0;
  for (const set_ptr& set : sets) {
    std::string version, safety, label = group_label(set->get_name());
    std::vector<std::string> paths;
    if (set->partial_restore(version, safety, paths) != 0) {
      print({"group " + escaped(label) + ": restore record unreadable",
             "the record of a restore under way cannot be read", "see the log"});
      ++found;
      continue;
    }
    if (version.empty()) continue;
    bool locked = false;
    if (set->is_group_locked(locked) == 0 && locked) {
      std::cout << "group " << escaped(label) << ": being restored from " << escaped(version)
                << ", locked by another host\n  another process is running this restore now; "
                   "not a problem (run \"ktsmctl doctor\" again once it ends)\n";
      continue;
    }
    std::string resolve = "finish with \"" + finish_command(label, version, paths) + "\"";
    if (!safety.empty()) {
      resolve += ", or undo with \"" + suggested_command("restore", label, safety) + "\"";
    }
    print({"group " + escaped(label) + ": partly restored from " + escaped(version),
           "a restore of " + (paths.empty() ? std::string("the live files") : "some paths") +
               " did not finish (interrupted, killed or failed): the live files are a mix of " +
               escaped(version) + " and what they were" +
               (safety.empty() ? "" : " (kept in the safety snapshot " + escaped(safety) + ")"),
           resolve});
    ++found;
  }
  return found;
}

// Top-level entries that are no file group: said once, not problems.
void note_not_groups(const session& lib) {
  for (const std::string& entry : lib.not_groups()) {
    std::string label = group_label(entry);
    std::cout << "top-level entry " << escaped(label)
              << ": not a file group (no .snaps directory in it)"
              << "\n  ktsmctl leaves it alone; to make it one: "
              << suggested_command("create-group", label) << "\n";
  }
}

// The subject of a top-level entry start-up did not rebuild.
std::string unrebuilt(const std::string& label) {
  return "top-level entry " + escaped(label) + ": not a file group the library could rebuild";
}

// Looks into the snapshot directory of a group that did not recover.
finding diagnose_snaps(volume_client& client, const std::string& label) {
  std::string snaps = "/" + label + "/.snaps", subject = unrebuilt(label);
  std::vector<std::string> names;
  if (std::error_code ec = client.list(snaps, &names)) {
    return {subject, "its .snaps directory cannot be listed: " + ec.message(),
            "check the directory's permissions, then run \"ktsmctl doctor\" again"};
  }
  for (const std::string& name : names) {
    std::string state;
    if (client.read_attribute(snaps + "/" + name, vs::SNAP_STATE_NAME, &state)) continue;
    return {subject,
            "its snapshot directory .snaps/" + escaped(name) +
                " carries no state attribute (a snapshot interrupted before its state was "
                "written, or a directory made by hand)",
            "remove " + escaped(label + "/.snaps/" + name) + " from the volume by hand"};
  }
  return {subject, "the library could not rebuild it for a reason the volume does not show",
          "see the log, then run \"ktsmctl doctor\" again"};
}

finding diagnose_entry(volume_client& client, const std::string& label) {
  std::string subject = unrebuilt(label);
  struct stat st;
  if (std::error_code ec = client.stat("/" + label, &st)) {
    return {subject, "it cannot be read: " + ec.message(), "check the volume"};
  }
  if (!S_ISDIR(st.st_mode)) {
    return {subject, "it is not a directory, and file groups are directories",
            "move it off the top of the volume (no ktsmctl command does that)"};
  }
  if (client.stat("/" + label + "/.snaps", &st)) {
    return {subject, "it has no .snaps directory, so it is not a file group yet",
            suggested_command("create-group", label)};
  }
  if (!S_ISDIR(st.st_mode)) {
    return {subject, "its .snaps is not a directory",
            "move " + escaped(label) + "/.snaps away, then " +
                suggested_command("create-group", label)};
  }
  return diagnose_snaps(client, label);
}

size_t check_unrecovered(const session& lib) {
  if (lib.unrecovered().empty()) return 0;
  volume_client client;
  bool connected = client.connect(lib.volume());
  for (const std::string& entry : lib.unrecovered()) {
    std::string label = group_label(entry);
    if (connected) {
      print(diagnose_entry(client, label));
    } else {
      print({unrebuilt(label), "the volume cannot be looked into from here",
             "see the log " + escaped(lib.log_description())});
    }
  }
  return lib.unrecovered().size();
}

}  // namespace

int cmd_doctor(context& ctx, const arguments&) {
  note_not_groups(ctx.lib);
  size_t found = check_versions(ctx) + check_restores() + check_unrecovered(ctx.lib);
  if (found == 0) {
    std::cout << "no problems found on the " << ctx.lib.volume().describe() << "\n";
    return exit_ok;
  }
  std::cout << found << (found == 1 ? " problem" : " problems") << " found on the "
            << ctx.lib.volume().describe() << "\n";
  return exit_failed;
}

}  // namespace ktsmctl
