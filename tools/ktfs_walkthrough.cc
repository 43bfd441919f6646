// ktfs-walkthrough: makes a few client calls on a volume and says what each
// did.  With no argument it uses a fresh local-directory volume under
// $TMPDIR (or /tmp), which needs no set-up; "--local DIR" picks the
// directory, "--server HOST[:PORT] --volume NAME" a GlusterFS volume.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ktfs/ktfs_api.h"

namespace {

const ktfs::aio_ptr kNoAio;

int usage() {
  std::fprintf(stderr,
               "usage: ktfs-walkthrough [--local DIR | --server HOST[:PORT] --volume NAME]\n");
  return 2;
}

bool report(const char* what, std::error_code ec) {
  if (ec) {
    std::printf("  %-52s failed: %s\n", what, ec.message().c_str());
    return false;
  }
  std::printf("  %-52s ok\n", what);
  return true;
}

int walk(ktfs::ktfs_api& api, ktfs::iopx_ptr io) {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  bool ok = true;
  std::printf("Making a file group with a snapshot directory:\n");
  if (api.stat(io, "/docs", &st, kNoAio)) ok &= report("mkdir /docs (mode 0760)", api.mkdir(io, "/docs", 0760, kNoAio));
  if (api.stat(io, "/docs/.snaps", &st, kNoAio)) ok &= report("mkdir /docs/.snaps (mode 0760)", api.mkdir(io, "/docs/.snaps", 0760, kNoAio));
  std::string version = "/docs/.snaps/v" + std::to_string(::getpid());
  ok &= report(("mkdir " + version + " (mode 0)").c_str(), api.mkdir(io, version.c_str(), 0, kNoAio));

  std::printf("Writing the snapshot state \"2\" as 16 bytes and reading it back:\n");
  char state[16] = {'2'};
  struct iovec iov = {state, sizeof state};
  ok &= report("setxattr trusted.norvafs.snapstate",
               api.setxattr(io, version.c_str(), "trusted.norvafs.snapstate", &iov, 0, kNoAio));
  char back[16] = {0};
  struct iovec in = {back, sizeof back};
  int64_t n = api.getxattr(io, version.c_str(), "trusted.norvafs.snapstate", &in, kNoAio);
  std::printf("  getxattr answered %lld bytes, state text \"%s\"\n", static_cast<long long>(n), back);
  ok &= n == 16 && std::strcmp(back, "2") == 0;

  std::printf("Listing /docs/.snaps:\n");
  ktfs::file_ptr dir = api.opendir(io, "/docs/.snaps", kNoAio);
  if (!dir) {
    std::printf("  opendir failed: %s\n", std::strerror(errno));
    return 1;
  }
  while (struct dirent* e = api.readdir(dir, kNoAio)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      std::printf("  /docs/.snaps/%s\n", e->d_name);
    }
  }
  ok &= report("closedir", api.closedir(dir, kNoAio));

  std::printf("Refusing to remove a directory that is not empty:\n");
  std::error_code ec = api.rmdir(io, "/docs/.snaps", kNoAio);
  std::printf("  rmdir /docs/.snaps answered: %s\n", ec ? ec.message().c_str() : "removed (unexpected)");
  ok &= static_cast<bool>(ec);
  std::printf(ok ? "All calls behaved as expected.\n" : "Some calls failed.\n");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ktfs::iopx_tree_cfg cfg{"glusterfs", "", "", ""};
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    if (arg == "--local") cfg.local_root = argv[++i];
    else if (arg == "--server") cfg.volfile_server = argv[++i];
    else if (arg == "--volume") cfg.volume_name = argv[++i];
    else return usage();
  }
  if (cfg.local_root.empty() && cfg.volfile_server.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    cfg.local_root = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/ktfs-walkthrough";
  }
  ktfs::ktfs_api api;
  ktfs::iopx_ptr io = api.init(cfg);
  if (!io) {
    std::fprintf(stderr, "ktfs-walkthrough: cannot reach the volume: %s\n", std::strerror(errno));
    return 1;
  }
  std::printf("Volume: %s\n", io->describe().c_str());
  return walk(api, io);
}
