// Which volume a command works on, and where the library's log goes.
//
// The volume comes from the first of: --local DIR; --server HOST[:PORT]
// with --volume NAME; the environment (KTSM_LOCAL, then KTSM_SERVER with
// KTSM_VOLUME); the embedded default, a local directory made on first use
// ($KTSM_HOME, else $XDG_DATA_HOME/ktsm/volume, else
// $HOME/.local/share/ktsm/volume).
#ifndef KTSMCTL_VOLUME_H_
#define KTSMCTL_VOLUME_H_

#include <string>

#include "ktfs/ktfs_api.h"

namespace ktsmctl {

// The volume options as given on the command line (empty: not given).
struct volume_options {
  std::string local;
  std::string server;
  std::string volume;
};

// "local-" and the FNV-1a hash (64 bits, in hexadecimal) of the canonical
// form of dir (symbolic links resolved where it exists).
std::string local_volume_name(const std::string& dir);

struct volume_choice {
  bool local = true;
  std::string local_dir;  // absolute, for a local volume
  std::string server;     // HOST[:PORT], for GlusterFS
  std::string volume;     // the GlusterFS volume name
  bool embedded = false;  // the default volume, made when missing

  // The name the library is started with, which export command lines and
  // export blocks carry: the GlusterFS volume's name, or for a local volume
  // "local-" and 16 hexadecimal digits of a hash of its canonical directory,
  // so that two local volumes never share an export block.
  std::string init_name() const { return local ? local_volume_name(local_dir) : volume; }
  // "local volume DIR" or "GlusterFS volume NAME at SERVER".
  std::string describe() const;
  // The client configuration of this volume.
  ktfs::iopx_tree_cfg client_config() const;
};

// Picks the volume.  Returns false with *error set on a usage error
// (conflicting or incomplete options or variables).
bool choose_volume(const volume_options& given, volume_choice* out, std::string* error);

// The embedded default volume's directory; empty when neither KTSM_HOME,
// XDG_DATA_HOME nor HOME is set.
std::string embedded_volume_dir();

// The log file: --log FILE, else $KTSM_LOG, else ktsmctl.log beside the
// embedded volume's directory.  Empty when none can be named.
std::string log_file_path(const std::string& given);

// The log file of a command on volume: --log FILE, else $KTSM_LOG, else
// ktsmctl.log beside the volume's directory for a local volume, or
// ktsmctl-VOLUME@SERVER.log beside the default volume's for GlusterFS.
std::string log_file_path(const std::string& given, const volume_choice& volume);

// Makes the directory and its parents; false with *error set on failure.
bool make_directories(const std::string& dir, std::string* error);

// The value of an environment variable, empty when unset.
std::string env_value(const char* name);

}  // namespace ktsmctl

#endif  // KTSMCTL_VOLUME_H_
