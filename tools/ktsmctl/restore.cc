// restore: puts a snapshot's files back, the whole group (after a safety
// snapshot), some paths merged into the live group, or into another
// directory; --dry-run shows what would change.
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <iostream>

#include "commands.h"
#include "interrupt.h"
#include "ktfssnapcore/ktfssnapcore.h"
#include "lookup.h"
#include "names.h"
#include "output.h"
#include "progress.h"
#include "tree.h"
#include "volume_client.h"

namespace ktsmctl {

namespace {

// "./dir//a/" -> "dir/a"; false for an empty path or a ".." component.
bool normal_path(const std::string& written, std::string* out) {
  out->clear();
  size_t start = 0;
  while (start <= written.size()) {
    size_t end = std::min(written.find('/', start), written.size());
    std::string part = written.substr(start, end - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") *out += (out->empty() ? "" : "/") + part;
    start = end + 1;
  }
  return !out->empty();
}

// The name asked for the safety snapshot: pre-restore-20240501T120000Z.
// The library adds "-2", "-3", ... under the group's lock when one of that
// second exists: a name checked against this process's listing could have
// been taken since.
std::string safety_name() {
  time_t now = std::time(nullptr);
  struct tm parts;
  ::gmtime_r(&now, &parts);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &parts);
  return std::string("pre-restore-") + stamp;
}

// The entries of t at or under one of paths (all of t when paths is empty).
tree under(const tree& t, const std::vector<std::string>& paths) {
  if (paths.empty()) return t;
  tree out;
  for (const auto& [path, entry] : t) {
    for (const std::string& p : paths) {
      if (path == p || path.compare(0, p.size() + 1, p + "/") == 0) {
        out.emplace(path, entry);
        break;
      }
    }
  }
  return out;
}

struct restore_request {
  set_ptr set;
  version_ptr version;
  std::vector<std::string> paths;  // normal, relative to the version
  std::string to;                  // volume directory, empty: in place
  bool remove_extra = false;       // --delete
};

// "2 copied, 1 replaced, 0 removed and 1 kept (3 as in the snapshot already)"
std::string merge_words(const vs::restore_counts& n) {
  return std::to_string(n.copied) + " copied, " + std::to_string(n.replaced) + " replaced, " +
         std::to_string(n.removed) + " removed and " + std::to_string(n.kept) + " kept (" +
         std::to_string(n.unchanged) + " as in the snapshot already)";
}

// What a restore of paths in place would do, as the library plans it.
bool merge_plan(const restore_request& r, vs::restore_counts* counts) {
  vs::restore_options options;
  options.remove_extra = r.remove_extra;
  version_ptr none;
  return r.set->merge_paths(r.version->get_name(), r.paths, options, true, *counts, none) == 0;
}

// Prints what the restore would change: in place, live against the
// version; elsewhere, what would be copied.
int preview(context& ctx, const restore_request& r) {
  // Refused as the restore itself would be, by the library's own checks
  // (a whole restore's are those of its paths, all of them, in place).
  size_t mark = ctx.lib.log_mark();
  if (r.set->check_restore_paths(r.version->get_name(), r.paths, r.to) != 0) {
    return fail("the restore would be refused" + ctx.lib.library_note(mark) + "; nothing changed");
  }
  volume_client client;
  if (!client.connect(ctx.lib.volume()))
    return fail("cannot reach the " + ctx.lib.volume().describe());
  std::string from = files_path(r.set, r.version), label = group_label(r.set->get_name());
  tree saved, live;
  std::string failed;
  if (read_tree(client, from, &saved, &failed)) return fail("cannot read " + escaped(failed));
  for (const std::string& p : r.paths) {
    if (saved.count(p) == 0) {
      return fail("path " + quoted(p) + " is not in " +
                  version_words(r.set, r.version->get_name()));
    }
  }
  std::string root = r.to.empty() ? "/" + label : r.to;
  std::vector<std::string> paths = r.paths;
  if (!r.to.empty() && paths.empty()) {
    for (const auto& entry : saved) {
      if (entry.first.find('/') == std::string::npos) paths.push_back(entry.first);
    }
  }
  std::string version = escaped(r.version->get_name());
  if (!r.to.empty()) {
    // Nothing is replaced there: every entry comes new.
    for (const auto& entry : under(saved, paths))
      std::cout << "+ " << escaped(root + "/" + entry.first) << "\n";
    std::cout << "would copy " << counted(under(saved, paths).size(), "entry") << " of " << version
              << " into volume path " << escaped(root) << " (nothing there is replaced)\n";
    return exit_ok;
  }
  if (std::error_code ec = read_tree(client, root, &live, &failed))
    return fail("cannot read " + escaped(failed));
  tree_diff d;
  tree now = under(live, r.paths), then = under(saved, r.paths);
  if (compare_trees(client, root, now, from, then, &d, &failed))
    return fail("cannot read " + escaped(failed));
  if (r.paths.empty() && d.empty()) {
    std::cout << "group " << escaped(label) << " is as in " << version
              << " already: nothing would change (dry run)\n";
    return exit_ok;
  }
  if (r.paths.empty()) {
    std::cout << "would first take the safety snapshot " << safety_name() << " of group "
              << escaped(label) << "\n";
  }
  for (const std::string& p : d.removed) {
    if (r.paths.empty() || r.remove_extra) {
      std::cout << "- " << escaped(p) << "\t(not in " << version << ": removed)\n";
    } else {
      std::cout << "= " << escaped(p) << "\t(not in " << version
                << ": kept; --delete removes it)\n";
    }
  }
  for (const std::string& p : d.changed)
    std::cout << "M " << escaped(p) << "\t(brought back as in " << version << ")\n";
  for (const std::string& p : d.added) std::cout << "+ " << escaped(p) << "\t(brought back)\n";
  for (const metadata_change& m : d.metadata) {
    std::cout << "m " << escaped(m.path) << "\t(its metadata brought back as in " << version
              << ")\n";
  }
  if (!r.paths.empty()) {
    size_t mark = ctx.lib.log_mark();
    vs::restore_counts n;
    if (!merge_plan(r, &n)) {
      return fail("the restore would be refused" + ctx.lib.library_note(mark) +
                  "; nothing changed");
    }
    if (r.remove_extra && n.removed + n.replaced > 0) {
      std::cout << "would first take the safety snapshot " << safety_name() << " of group "
                << escaped(label) << "\n";
    }
    std::cout << "would restore " << counted(r.paths.size(), "path") << ": " << merge_words(n)
              << " entries; nothing changed (dry run)\n";
    return exit_ok;
  }
  std::cout << "would remove " << d.removed.size() << ", bring back " << d.changed.size()
            << " changed and " << d.added.size() << " deleted "
            << (d.added.size() == 1 ? "entry" : "entries") << "; nothing changed (dry run)\n";
  return exit_ok;
}

std::string copied_words() {
  const ktfssnapcore::copy_progress& copied = ktfssnapcore::snap_progress();
  return counted(copied.files.load(), "file") + ", " + human_bytes(copied.bytes.load()) + " copied";
}

int restore_group(context& ctx, const restore_request& r) {
  std::string label = group_label(r.set->get_name()), safety = safety_name();
  version_ptr made;
  size_t mark = ctx.lib.log_mark();
  int32_t status;
  {
    progress_line progress;
    status = r.set->restore_version(r.version->get_name(), safety, made);
  }
  if (made) safety = made->get_name();
  if (status != 0) {
    std::string what =
        "restoring group " + quoted(label) + " to " + escaped(r.version->get_name()) +
        (interrupted() ? " " + interrupted_words() : " failed" + ctx.lib.library_note(mark));
    if (!made) return fail(what + "; nothing was changed");
    // A safety snapshot that did not finish means the live files were never
    // touched: the restore changes them only after it.
    if (made->get_state() != vs::SNAP_STATE_ACTIVE) {
      return fail(what + "; the live files were not changed, and the unfinished safety snapshot " +
                  safety + " can go (\"" + suggested_command("delete", label, safety) + "\")");
    }
    return fail(what + "; the live files may be partly restored: finish with \"" +
                suggested_command("restore", label, r.version->get_name()) + "\", or undo with \"" +
                suggested_command("restore", label, safety) + "\" (the safety snapshot " + safety +
                " holds them as they were)");
  }
  if (!made) {
    std::cout << "group " << escaped(label) << " is as in " << escaped(r.version->get_name())
              << " already: nothing changed, no safety snapshot taken\n";
    return exit_ok;
  }
  std::cout << "group " << escaped(label) << " restored to " << escaped(r.version->get_name())
            << ": " << copied_words() << "; the live files as they were are in the safety snapshot "
            << safety << " (undo: " << suggested_command("restore", label, safety) << ")\n";
  return exit_ok;
}

// Paths of a snapshot back into the live group, merged: nothing the
// snapshot lacks goes without --delete, and then after a safety snapshot.
int restore_merge(context& ctx, const restore_request& r) {
  std::string label = group_label(r.set->get_name());
  vs::restore_options options;
  options.remove_extra = r.remove_extra;
  if (r.remove_extra) options.safety_name = safety_name();
  vs::restore_counts n;
  version_ptr made;
  size_t mark = ctx.lib.log_mark();
  int32_t status;
  {
    progress_line progress;
    status = r.set->merge_paths(r.version->get_name(), r.paths, options, false, n, made);
  }
  std::string what =
      "restoring " + counted(r.paths.size(), "path") + " of " +
      version_words(r.set, r.version->get_name()) +
      (interrupted() ? " " + interrupted_words() : " failed" + ctx.lib.library_note(mark));
  if (status != 0 && (interrupted() || made)) {
    std::string again = suggested_command("restore", label, r.version->get_name());
    for (const std::string& p : r.paths) again += " " + shell_escaped(p);
    if (r.remove_extra) again += " --delete";
    what += "; the live files may be partly restored: finish with \"" + again + "\"";
    if (made && made->get_state() == vs::SNAP_STATE_ACTIVE) {
      what += ", or undo with \"" + suggested_command("restore", label, made->get_name()) +
              "\" (the safety snapshot " + made->get_name() + " holds them as they were)";
    }
  }
  if (status != 0) return fail(what);
  std::cout << "restored " << counted(r.paths.size(), "path") << " of version "
            << escaped(r.version->get_name()) << " of group " << escaped(label) << ": "
            << merge_words(n) << " entries (" << copied_words() << ")";
  if (n.kept > 0) std::cout << "; kept: not in the snapshot (--delete removes them)";
  if (made) {
    std::cout << "; the live files as they were are in the safety snapshot " << made->get_name()
              << " (undo: " << suggested_command("restore", label, made->get_name()) << ")";
  }
  std::cout << "\n";
  return exit_ok;
}

int restore_some(context& ctx, const restore_request& r) {
  std::string label = group_label(r.set->get_name());
  size_t mark = ctx.lib.log_mark();
  int32_t status;
  {
    progress_line progress;
    status = r.set->restore_paths(r.version->get_name(), r.paths, r.to);
  }
  std::string what = r.paths.empty() ? std::string("the files") : counted(r.paths.size(), "path");
  std::string where = r.to.empty() ? "group " + escaped(label) : "volume path " + escaped(r.to);
  if (status != 0) {
    return fail("restoring " + what + " of " + version_words(r.set, r.version->get_name()) +
                " into " + where +
                (interrupted() ? " " + interrupted_words() + "; what it copied there stays"
                               : " failed" + ctx.lib.library_note(mark)));
  }
  std::cout << "restored " << what << " of version " << escaped(r.version->get_name())
            << " of group " << escaped(label) << " into " << where << ": " << copied_words()
            << "\n";
  return exit_ok;
}

// --to names a directory of the volume.  One whose top directory the
// volume lacks while this host has it (--to /tmp/out) was most likely
// meant as this host's: refused, with how to copy there instead of making
// a new top-level directory on the volume.
bool host_path_meant(const context& ctx, const restore_request& r) {
  std::string top = r.to.substr(0, r.to.find('/', 1));
  volume_client client;
  struct stat st;
  if (!client.connect(ctx.lib.volume()) || client.lstat(top, &st).value() != ENOENT ||
      ::stat(top.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return false;
  }
  std::string from = "/" + group_label(r.set->get_name()) + "/.snaps/" + r.version->get_name();
  std::string what = r.paths.size() == 1 ? "/" + r.paths[0] : "/.";
  std::string how = ctx.lib.volume().local
                        ? "copy from the snapshot on this host: cp -a " +
                              shell_escaped(ctx.lib.volume().local_dir + from + what) + " " +
                              shell_escaped(r.to)
                        : "mount the volume and copy from " + escaped(from + what);
  usage_error("--to takes a directory of the volume: volume path " + escaped(r.to) +
              " would make a new top-level directory " + escaped(top) +
              " on the volume; to put the files in this host's " + escaped(r.to) + ", " + how);
  return true;
}

}  // namespace

int cmd_restore(context& ctx, const arguments& args) {
  restore_request r;
  if (!find_group(args[0], &r.set) || !find_version(r.set, args[1], &r.version)) return exit_failed;
  if (r.version->is_production_version()) {
    return fail("the live group is restored from one of its snapshots, not from itself");
  }
  for (size_t i = 2; i < args.size(); ++i) {
    std::string path;
    if (!normal_path(args[i], &path)) {
      return usage_error(quoted(args[i]) +
                         " is not a path inside the snapshot (no \".\" or \"..\")");
    }
    r.paths.push_back(path);
  }
  if (!ctx.opts.to.empty() && !normal_path(ctx.opts.to, &r.to)) {
    return usage_error(quoted(ctx.opts.to) + " is not a directory of the volume below its root");
  }
  if (!r.to.empty()) r.to = "/" + r.to;
  if (!r.to.empty() && host_path_meant(ctx, r)) return exit_usage;
  r.remove_extra = ctx.opts.remove_extra;
  if (r.remove_extra && (r.paths.empty() || !r.to.empty())) {
    return usage_error(
        "--delete applies to a restore of paths in place (a whole restore removes what the "
        "snapshot lacks already; --to makes only new entries)");
  }
  if (ctx.opts.dry_run) return preview(ctx, r);
  if (r.paths.empty() && r.to.empty()) return restore_group(ctx, r);
  return r.to.empty() ? restore_merge(ctx, r) : restore_some(ctx, r);
}

}  // namespace ktsmctl
