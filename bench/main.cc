// ktsm_bench: the volume cases (start-up rebuild, per-operation overhead,
// parallel sets, snapshot copy, ktsmctl on a large group) on one backend.
//
//   ktsm_bench [--backend=local|gluster|gluster3] [--cases=ops,parallel,copy,rebuild,cli]
//              [--sizes=100,1000,...] [--seconds=S] [--rounds=N] [--loop-rounds=N]
//              [--copy-mib=N] [--copy-files=N] [--cli-versions=N] [--discard-log] [--smoke]
//
// gluster3 is GlusterFS on a distributed volume of three bricks.
// Result rows go to standard output (see bench_support.h), progress to
// standard error.  --discard-log sends the library's log to a null sink
// in every case (it is still formatted).  --smoke runs every case at minimal sizes on the local
// backend: it tells whether the cases run and report, not how fast.
// Exit status 0 when every case ran, 1 when one failed, 2 on bad usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include "bench_support.h"
#include "cases.h"
#include "ktfs/ktfs_debug.h"
#include "ktsm/ktsm_filegroup_version_set.h"

namespace ktsm_bench {

void use_log(const options& opt, log_mode mode) {
  static std::shared_ptr<ktfs::log_sink> file_sink;
  if (!file_sink) file_sink = std::make_shared<ktfs::stream_sink>(opt.log_path);
  if (mode == log_mode::discarded || (mode == log_mode::file && opt.discard_log)) {
    ktfs::ktfs_debug::set_default_sink(std::make_shared<ktfs::null_sink>());
  } else {
    ktfs::ktfs_debug::set_default_sink(file_sink);
  }
  ktfs::ktfs_debug::set_default_level(mode == log_mode::errors ? -2 : 0);
}

const char* log_mode_name(log_mode mode) {
  switch (mode) {
    case log_mode::discarded:
      return "null";
    case log_mode::errors:
      return "errors";
    default:
      return "file";
  }
}

namespace {

struct command_line {
  std::string backend = "local";
  std::vector<std::string> cases = {"ops", "parallel", "copy", "rebuild", "cli"};
  options opt;
  bool sizes_given = false;
};

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

bool value_of(const char* arg, const char* name, std::string* value) {
  size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
  *value = arg + n + 1;
  return true;
}

bool parse(int argc, char** argv, command_line* c) {
  for (int i = 1; i < argc; ++i) {
    std::string v;
    if (std::strcmp(argv[i], "--smoke") == 0) {
      c->opt.smoke = true;
    } else if (std::strcmp(argv[i], "--discard-log") == 0) {
      c->opt.discard_log = true;
    } else if (value_of(argv[i], "--backend", &v)) {
      c->backend = v;
    } else if (value_of(argv[i], "--cases", &v)) {
      c->cases = split(v);
    } else if (value_of(argv[i], "--sizes", &v)) {
      c->opt.rebuild_sizes.clear();
      for (const std::string& s : split(v)) c->opt.rebuild_sizes.push_back(std::stoul(s));
      c->sizes_given = true;
    } else if (value_of(argv[i], "--seconds", &v)) {
      c->opt.seconds = std::stod(v);
    } else if (value_of(argv[i], "--rounds", &v)) {
      c->opt.rounds = std::stoi(v);
    } else if (value_of(argv[i], "--loop-rounds", &v)) {
      c->opt.loop_rounds = std::stoi(v);
    } else if (value_of(argv[i], "--copy-mib", &v)) {
      c->opt.copy_large_mib = std::stoul(v);
    } else if (value_of(argv[i], "--copy-files", &v)) {
      c->opt.copy_small_files = std::stoul(v);
    } else if (value_of(argv[i], "--cli-versions", &v)) {
      c->opt.cli_versions = std::stoul(v);
    } else {
      std::fprintf(stderr, "ktsm_bench: unknown argument %s\n", argv[i]);
      return false;
    }
  }
  return c->backend == "local" || c->backend == "gluster" || c->backend == "gluster3";
}

void apply_defaults(command_line* c) {
  options& o = c->opt;
  if (o.smoke) {
    c->backend = "local";
    o.rebuild_sizes = {100, 200};
    o.seconds = 0.05;
    o.rounds = 1;
    o.loop_rounds = 1;
    o.copy_large_mib = 2;
    o.copy_small_files = 300;
    return;
  }
  if (!c->sizes_given) {
    o.rebuild_sizes = {100, 1000, 10000, 100000};
  }
}

bool run_case(const std::string& name, bench_volume& vol, const options& opt) {
  if (name == "ops") return run_ops(vol, opt);
  if (name == "parallel") return run_parallel(vol, opt);
  if (name == "copy") return run_copy(vol, opt);
  if (name == "rebuild") return run_rebuild(vol, opt);
  if (name == "cli") return run_cli(vol, opt);
  note("unknown case %s", name.c_str());
  return false;
}

}  // namespace

}  // namespace ktsm_bench

int main(int argc, char** argv) {
  using namespace ktsm_bench;
  command_line c;
  if (!parse(argc, argv, &c)) {
    std::fprintf(stderr,
                 "usage: ktsm_bench [--backend=local|gluster|gluster3] [--cases=...] [--smoke]\n");
    return 2;
  }
  apply_defaults(&c);
  int status = 0;
  {
    scratch_dir scratch("run");
    c.opt.log_path = scratch.path() + "/library.log";
    use_log(c.opt, log_mode::file);
    std::string error;
    backend_kind kind = c.backend == "local" ? backend_kind::local : backend_kind::gluster;
    std::unique_ptr<bench_volume> vol =
        bench_volume::make(kind, scratch.path(), &error, c.backend == "gluster3");
    if (!vol) {
      std::fprintf(stderr, "ktsm_bench: no %s volume: %s\n", c.backend.c_str(), error.c_str());
      return 1;
    }
    for (const std::string& name : c.cases) {
      double start = now();
      size_t rows = rows_printed();
      // A case that ran must have reported something.
      bool ok = run_case(name, *vol, c.opt) && rows_printed() > rows;
      note("case %s on %s: %s (%.1f s)", name.c_str(), vol->label(), ok ? "done" : "FAILED",
           now() - start);
      if (!ok) {
        print_row({name, vol->label(), "FAILED", "-", "-", "-", "no"});
        status = 1;
      }
    }
    ktsm_filegroup_version_set::stop();
  }
  return status;
}
