// Copyright (c) The ktsm authors.
//
// KtProcess runs a shell command line as a child process and collects what it
// writes. It is the one place the services go through to run an external
// program, so it owns the details that are easy to get wrong: descriptor
// hygiene, reaping, timeouts that also catch the command's own children, and
// reading two pipes without deadlocking.

#ifndef KTLIB_KTPROCESS_H_
#define KTLIB_KTPROCESS_H_

#include <string>

#include "ktlib/ktlib_export.h"

#ifndef KTLIB_API
#endif

class KTLIB_API KtProcess {
 public:
  // Runs "/bin/sh -c <command>" and waits for the shell to end.
  //
  // On return *out holds everything the command wrote to its standard output
  // and *err everything it wrote to its standard error; their previous
  // contents are replaced (they are cleared even when the command cannot be
  // started). A null out or err discards that stream: the child writes it to
  // /dev/null. The child's standard input is /dev/null, and apart from
  // standard input, output and error it inherits no descriptor.
  //
  // If merge_stderr is true, standard error is sent to the same place as
  // standard output (into *out, or discarded when out is null), and *err is
  // left empty.
  //
  // If timeout_seconds > 0 and the shell is still running after that many
  // seconds, the whole process group of the command (the shell and every
  // process it started that did not leave the group) is killed with SIGKILL,
  // and 128 + SIGKILL is returned; what was read before the kill is kept.
  // timeout_seconds == 0 waits for ever.
  //
  // Output written by background processes after the shell itself has ended
  // is not collected: the call returns once the shell is reaped and whatever
  // was already buffered in the pipes has been read.
  //
  // Returns the command's exit status (0..255) if it ended normally; a
  // command that the shell cannot find gives the shell's 127. Returns
  // 128 + the signal number if the shell was ended by a signal. Returns -1 if
  // the command could not be started (null command, no pipe or process
  // available), or if its status was lost because the calling process
  // ignores SIGCHLD (the output is still collected in that case).
  //
  // The child gets its own process group, default signal dispositions and an
  // empty signal mask. No signal handler is installed and no global state is
  // touched, so several threads may call this at the same time. The call
  // reaps its own child only; it never waits for other children of the
  // process.
  //
  // REQUIRES: command is a NUL-terminated string (null gives -1).
  // REQUIRES: timeout_seconds >= 0 (a negative value is treated as 0).
  // REQUIRES: out and err, when both non-null, point to different strings.
  static int system(const char* command, std::string* out, std::string* err, int timeout_seconds,
                    bool merge_stderr);
};

#endif  // KTLIB_KTPROCESS_H_
