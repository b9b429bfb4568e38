// Starts the readersim program for a real-time test and stops it again:
// its standard output is read line by line until it says it is ready, and a
// stop is SIGTERM followed by waiting for the program to close its output and
// exit. Every wait has a deadline on the real clock; nothing sleeps.
//
//   SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
//   ASSERT_TRUE(sim.Start({"--com", "200", "--com-dir", dir})) << sim.Output();
//   ... talk to it ...
//   EXPECT_EQ(sim.Stop(), 0);
#pragma once
#include <sys/types.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

class SimProcess {
 public:
  // pszProgram: the readersim to run; tests pass ProgramIn(READERTOOL_BINARY_DIR).
  explicit SimProcess(std::string program) : m_program(std::move(program)) {}
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // readersim in a build tree: the READERTOOL_BINARY_DIR that ctest puts in
  // the environment wins over the build folder the test was compiled for.
  static std::string ProgramIn(const char* pszBuildDir) {
    const char* env = std::getenv("READERTOOL_BINARY_DIR");
    return std::string(env && *env ? env : pszBuildDir) + "/sim/readersim";
  }

  // Runs readersim with these arguments and waits up to nTimeoutMs for its
  // "readersim: ready" line. False when it exited or never got ready.
  bool Start(const std::vector<std::string>& args, int nTimeoutMs = 10000);
  // Runs readersim to its end (a gen-* command); returns its exit status,
  // -1 when it had to be killed after nTimeoutMs.
  int Run(const std::vector<std::string>& args, int nTimeoutMs = 30000);
  // SIGTERM, then waits for the exit; returns the exit status (128 + signal
  // when killed by one, -1 when it had to be killed after nTimeoutMs).
  int Stop(int nTimeoutMs = 10000);

  // Sends its standard error (its --trace) to a file, appended, from the
  // next start on; its own until then.
  void SetStderrFile(std::string path) { m_errFile = std::move(path); }

  // Everything it printed on standard output so far.
  const std::string& Output() const { return m_out; }
  // The value printed after "readersim: <label> " (e.g. "serial line").
  std::string Printed(const std::string& label) const;

 private:
  bool Spawn(const std::vector<std::string>& args);
  // Reads output until `until` appears (empty: until end of file) or time is up.
  bool ReadUntil(const std::string& until, int nTimeoutMs);
  int Reap(int nTimeoutMs);

  std::string m_program;
  std::string m_errFile;
  pid_t m_pid = -1;
  int m_outFd = -1;
  std::string m_out;
};
