// A progress line for long snapshots: while a snapshot copy runs and
// standard error is a terminal, a thread polls the snapshot core's counters
// every 200 ms and, once the copy has run half a second, redraws
// "\r  copying: N files, B" on standard error.  Nothing is drawn when
// standard error is not a terminal.
#ifndef KTSMCTL_PROGRESS_H_
#define KTSMCTL_PROGRESS_H_

#include <condition_variable>
#include <mutex>
#include <thread>

namespace ktsmctl {

class progress_line {
 public:
  progress_line();
  // Stops the thread and clears the line if one was drawn.
  ~progress_line();
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;

 private:
  void poll();

  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_done = false;
  bool m_drawn = false;
  std::thread m_thread;
};

}  // namespace ktsmctl

#endif  // KTSMCTL_PROGRESS_H_
