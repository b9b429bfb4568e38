#include "support/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

long long MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

}  // namespace

SimProcess::~SimProcess() {
  if (m_pid > 0) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  if (m_outFd >= 0) close(m_outFd);
}

bool SimProcess::Spawn(const std::vector<std::string>& args) {
  m_out.clear();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  if (!m_errFile.empty())
    posix_spawn_file_actions_addopen(&fa, 2, m_errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const std::string& prog = m_program;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(prog.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int rc = posix_spawn(&m_pid, prog.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    m_pid = -1;
    m_out = prog + ": cannot start";
    return false;
  }
  m_outFd = fds[0];
  return true;
}

bool SimProcess::ReadUntil(const std::string& until, int nTimeoutMs) {
  const long long deadline = MonotonicMs() + nTimeoutMs;
  while (until.empty() || m_out.find(until) == std::string::npos) {
    const long long left = deadline - MonotonicMs();
    if (left <= 0) return false;
    pollfd p{m_outFd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[1024];
    const ssize_t n = read(m_outFd, buf, sizeof buf);
    if (n <= 0) return until.empty();
    m_out.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

int SimProcess::Reap(int nTimeoutMs) {
  // The program closes its output when it exits; then waitpid does not block.
  const bool ended = ReadUntil("", nTimeoutMs);
  if (!ended) kill(m_pid, SIGKILL);
  int status = 0;
  waitpid(m_pid, &status, 0);
  m_pid = -1;
  close(m_outFd);
  m_outFd = -1;
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool SimProcess::Start(const std::vector<std::string>& args, int nTimeoutMs) {
  if (!Spawn(args)) return false;
  return ReadUntil("readersim: ready\n", nTimeoutMs);
}

int SimProcess::Run(const std::vector<std::string>& args, int nTimeoutMs) {
  if (!Spawn(args)) return -1;
  return Reap(nTimeoutMs);
}

int SimProcess::Stop(int nTimeoutMs) {
  if (m_pid <= 0) return -1;
  kill(m_pid, SIGTERM);
  return Reap(nTimeoutMs);
}

std::string SimProcess::Printed(const std::string& label) const {
  const std::string key = "readersim: " + label + " ";
  const std::size_t p = m_out.find(key);
  if (p == std::string::npos) return {};
  const std::size_t b = p + key.size();
  return m_out.substr(b, m_out.find('\n', b) - b);
}
