// Ctrl-C (SIGINT) and SIGTERM while a command changes the volume: the
// library's copies, removals and lock waits stop at their next step, the
// command says what it did and what is left, with the command that
// finishes or undoes it, and ktsmctl exits 128 + the signal (130, 143).
// A second signal ends the process at once (the default action); what a
// restore leaves is recorded on the volume before its first change, so
// even that is named by "ktsmctl doctor".
#ifndef KTSMCTL_INTERRUPT_H_
#define KTSMCTL_INTERRUPT_H_

#include <string>

namespace ktsmctl {

// Installs the handlers; once per process, before the command runs.
void catch_interrupts();
// Whether a signal asked the command to stop.
bool interrupted();
// "interrupted (SIGINT)"
std::string interrupted_words();
// status, or 128 + the signal when a signal cut a failing command short.
int interrupted_status(int status);

}  // namespace ktsmctl

#endif  // KTSMCTL_INTERRUPT_H_
