#include "bench/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bench {
namespace {

std::uint64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

double TimevalMs(const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; }

int OpenForOutput(const std::string& strPath) {
  const char* psz = strPath.empty() ? "/dev/null" : strPath.c_str();
  return ::open(psz, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

}  // namespace

Child::~Child() {
  if (m_pid > 0) Stop(1000);
  if (m_nOutFd >= 0) ::close(m_nOutFd);
}

bool Child::Start(const ChildSpec& spec, std::string* pErr) {
  int pipeFds[2] = {-1, -1};
  if (spec.strStdout.empty() && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    *pErr = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const int outFd = spec.strStdout.empty() ? pipeFds[1] : OpenForOutput(spec.strStdout);
  const int errFd = OpenForOutput(spec.strStderr);
  if (outFd < 0 || errFd < 0) {
    *pErr = "cannot open the output files of " + spec.strProgram;
    for (int fd : {pipeFds[0], pipeFds[1], outFd, errFd})
      if (fd >= 0) ::close(fd);
    return false;
  }
  std::vector<std::string> argStore;
  argStore.push_back(spec.strProgram);
  argStore.insert(argStore.end(), spec.args.begin(), spec.args.end());
  std::vector<char*> argv;
  for (auto& s : argStore) argv.push_back(s.data());
  argv.push_back(nullptr);

  m_nStartUs = NowUs();
  const pid_t pid = ::fork();
  if (pid < 0) {
    *pErr = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    for (const auto& kv : spec.env) ::setenv(kv.first.c_str(), kv.second.c_str(), 1);
    ::dup2(outFd, STDOUT_FILENO);
    ::dup2(errFd, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  m_pid = pid;
  if (pipeFds[1] >= 0) ::close(pipeFds[1]);
  else ::close(outFd);
  ::close(errFd);
  m_nOutFd = pipeFds[0];
  return true;
}

bool Child::ReadLineUntil(const std::string& strPrefix, int nTimeoutMs, std::string* pSeen) {
  if (m_nOutFd < 0) return false;
  const std::uint64_t end = NowUs() + static_cast<std::uint64_t>(nTimeoutMs) * 1000u;
  for (;;) {
    std::size_t nl;
    while ((nl = m_strBuffered.find('\n')) != std::string::npos) {
      const std::string strLine = m_strBuffered.substr(0, nl);
      m_strBuffered.erase(0, nl + 1);
      if (pSeen) *pSeen += strLine + "\n";
      if (strLine.rfind(strPrefix, 0) == 0) return true;
    }
    const std::uint64_t now = NowUs();
    if (now >= end) return false;
    pollfd pfd{m_nOutFd, POLLIN, 0};
    const int r = ::poll(&pfd, 1, static_cast<int>((end - now) / 1000u) + 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(m_nOutFd, buf, sizeof buf);
    if (n <= 0) return false;  // ended before the line came
    m_strBuffered.append(buf, static_cast<std::size_t>(n));
  }
}

ChildResult Child::Reap(int nOptions, bool* pbDone) {
  ChildResult res;
  *pbDone = false;
  if (m_pid <= 0) {
    *pbDone = true;
    return res;
  }
  int status = 0;
  rusage ru{};
  pid_t r;
  do {
    r = ::wait4(m_pid, &status, nOptions, &ru);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return res;  // still running (WNOHANG)
  *pbDone = true;
  const std::uint64_t nEndUs = NowUs();
  res.dWallMs = static_cast<double>(nEndUs - m_nStartUs) / 1000.0;
  res.dStartMs = static_cast<double>(m_nStartUs) / 1000.0;
  res.dEndMs = static_cast<double>(nEndUs) / 1000.0;
  m_pid = -1;
  if (r < 0) return res;
  res.bExited = WIFEXITED(status);
  res.nStatus = res.bExited ? WEXITSTATUS(status) : -1;
  res.dCpuMs = TimevalMs(ru.ru_utime) + TimevalMs(ru.ru_stime);
  res.nMaxRssKiB = ru.ru_maxrss;
  return res;
}

ChildResult Child::Wait() {
  bool bDone = false;
  return Reap(0, &bDone);
}

ChildResult Child::Stop(int nGraceMs) {
  if (m_pid <= 0) return {};
  // A process descriptor becomes readable when the child ends: the grace
  // period is one poll() with a deadline.
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
  ::kill(m_pid, SIGTERM);
  if (pidFd >= 0) {
    pollfd pfd{pidFd, POLLIN, 0};
    int r;
    do {
      r = ::poll(&pfd, 1, nGraceMs);
    } while (r < 0 && errno == EINTR);
    ::close(pidFd);
  }
  bool bDone = false;
  ChildResult res = Reap(WNOHANG, &bDone);
  if (bDone) return res;
  ::kill(m_pid, SIGKILL);
  return Wait();
}

std::string ReadTextFile(const std::string& strPath) {
  std::ifstream in(strPath, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace bench
