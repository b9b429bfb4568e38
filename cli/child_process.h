// Copies of this program running side by side, one per reader of a batch
// (the link is process-wide, so each reader gets a process of its own). One
// source per OS behind this header (cli/posix, cli/win32).
//
// Each child's standard input is the null device; its standard output and
// error come back to the parent through pipes, piece by piece as they are
// written. Children run in a process group of their own: a Ctrl-C on the
// terminal reaches the parent alone, which passes one stop request on to
// each child (SIGTERM; Ctrl-Break on Windows), so that every child closes its
// link and says where its reader was left.
//
// Threads: one thread uses a group. Wait blocks (with its deadline, and on
// the stop signal) and never spins.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ChildGroup {
 public:
  ChildGroup();
  ~ChildGroup();  // children still running are killed and reaped
  ChildGroup(const ChildGroup&) = delete;
  ChildGroup& operator=(const ChildGroup&) = delete;

  // Starts this program again with args (without the program name). The
  // child's index (0, 1, ... in start order), or -1 with the reason.
  int Start(const std::vector<std::string>& args, std::string* pstrError);

  struct Event {
    enum class Kind { Out, Err, Exit };
    Kind kind = Kind::Out;
    int nChild = 0;
    std::string text;  // Out, Err: the bytes as they came
    int nStatus = 0;   // Exit: the exit status; 128 + the signal for a child a signal ended
  };
  enum class WaitEnd { Events, Deadline, Stopped, AllEnded };
  // Blocks until something happened (events appended to *pEvents), the
  // deadline of the project clock passes, a stop is requested (only when
  // bWatchStop), or every child has ended and been reported. A child's Exit
  // comes after all of its output.
  WaitEnd Wait(std::uint64_t nDeadlineMs, bool bWatchStop, std::vector<Event>* pEvents);

  // Asks every running child to stop, as Ctrl-C would ask one run.
  void StopAll();

 private:
  struct Impl;
  std::unique_ptr<Impl> m;
};
