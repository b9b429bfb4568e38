// Child programs of the benchmark: started with their output in files (or
// a pipe for readersim's start-up lines), waited for with their resource
// usage, and stopped by their process id.
#pragma once
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct ChildSpec {
  std::string strProgram;
  std::vector<std::string> args;                          // without the program
  std::vector<std::pair<std::string, std::string>> env;   // added to this process's environment
  std::string strStdout;  // file; empty: a pipe the parent reads (Child::ReadLineUntil)
  std::string strStderr;  // file; empty: /dev/null
};

// What a finished child used.
struct ChildResult {
  bool bExited = false;    // ended by exit(), not by a signal
  int nStatus = -1;        // its exit status
  double dWallMs = 0;      // from the start to the end, on the monotonic clock
  double dStartMs = 0;     // the start and the end on CLOCK_MONOTONIC, in ms
  double dEndMs = 0;
  double dCpuMs = 0;       // user + system CPU time
  long nMaxRssKiB = 0;     // peak resident set
};

class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Start(const ChildSpec& spec, std::string* pErr);
  // Reads the piped standard output line by line until a line starts with
  // strPrefix or the time is up; every line read is appended to *pSeen.
  bool ReadLineUntil(const std::string& strPrefix, int nTimeoutMs, std::string* pSeen);
  // Waits for the end (no time limit) and reports what it used.
  ChildResult Wait();
  // SIGTERM, then wait; SIGKILL when it has not ended after nGraceMs.
  ChildResult Stop(int nGraceMs = 5000);
  pid_t Pid() const { return m_pid; }

 private:
  ChildResult Reap(int nOptions, bool* pbDone);

  pid_t m_pid = -1;
  int m_nOutFd = -1;
  std::string m_strBuffered;
  std::uint64_t m_nStartUs = 0;
};

// Whole file into a string; empty when it cannot be read.
std::string ReadTextFile(const std::string& strPath);

}  // namespace bench
