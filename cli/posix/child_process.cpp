#include "cli/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/clock.h"
#include "platform/posix/fd_wait.h"

extern char** environ;

namespace {

struct Child {
  pid_t pid = -1;
  int fdOut = -1;
  int fdErr = -1;
  bool bReported = false;
};

std::string SelfPath() {
  char sz[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", sz, sizeof sz - 1);
  if (n <= 0) return {};
  return std::string(sz, static_cast<std::size_t>(n));
}

void CloseFd(int* pFd) {
  if (*pFd >= 0) close(*pFd);
  *pFd = -1;
}

}  // namespace

struct ChildGroup::Impl {
  std::vector<Child> children;
  std::string strSelf = SelfPath();
};

ChildGroup::ChildGroup() : m(std::make_unique<Impl>()) {}

ChildGroup::~ChildGroup() {
  for (Child& c : m->children) {
    if (c.pid > 0) {
      kill(c.pid, SIGKILL);
      while (waitpid(c.pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    CloseFd(&c.fdOut);
    CloseFd(&c.fdErr);
  }
}

int ChildGroup::Start(const std::vector<std::string>& args, std::string* pstrError) {
  if (m->strSelf.empty()) {
    *pstrError = "the program's own path cannot be found";
    return -1;
  }
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    *pstrError = std::string("no pipe for the child: ") + std::strerror(errno);
    for (int fd : {out[0], out[1], err[0], err[1]})
      if (fd >= 0) close(fd);
    return -1;
  }
  std::vector<std::string> argStrings = {m->strSelf};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A group of its own: the terminal's Ctrl-C reaches the parent only. The
  // signals the parent handles or ignores start at their defaults.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, m->strSelf.c_str(), &fa, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    *pstrError = std::string("the child cannot be started: ") + std::strerror(rc);
    return -1;
  }
  Child c;
  c.pid = pid;
  c.fdOut = out[0];
  c.fdErr = err[0];
  m->children.push_back(c);
  return static_cast<int>(m->children.size()) - 1;
}

ChildGroup::WaitEnd ChildGroup::Wait(std::uint64_t nDeadlineMs, bool bWatchStop, std::vector<Event>* pEvents) {
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<std::pair<int, bool>> owners;  // child, standard error
    const std::size_t nBefore = pEvents->size();
    for (std::size_t i = 0; i < m->children.size(); ++i) {
      Child& c = m->children[i];
      if (c.bReported) continue;
      if (c.fdOut < 0 && c.fdErr < 0) {
        // Both outputs closed: the child has ended or is about to.
        int status = 0;
        pid_t r;
        while ((r = waitpid(c.pid, &status, 0)) < 0 && errno == EINTR) {
        }
        Event e;
        e.kind = Event::Kind::Exit;
        e.nChild = static_cast<int>(i);
        e.nStatus = r < 0 ? 255 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pEvents->push_back(e);
        c.pid = -1;
        c.bReported = true;
        continue;
      }
      if (c.fdOut >= 0) {
        fds.push_back({c.fdOut, POLLIN, 0});
        owners.emplace_back(static_cast<int>(i), false);
      }
      if (c.fdErr >= 0) {
        fds.push_back({c.fdErr, POLLIN, 0});
        owners.emplace_back(static_cast<int>(i), true);
      }
    }
    if (pEvents->size() > nBefore) return WaitEnd::Events;
    if (fds.empty()) return WaitEnd::AllEnded;
    const std::size_t nChildFds = fds.size();
    if (bWatchStop && plat::StopFd() >= 0) fds.push_back({plat::StopFd(), POLLIN, 0});

    const std::uint64_t nLeft = plat::RemainingMs(nDeadlineMs);
    if (nLeft == 0) return WaitEnd::Deadline;
    const int nTimeout = nDeadlineMs == plat::kNoDeadline ? -1 : nLeft > INT_MAX ? INT_MAX : static_cast<int>(nLeft);
    const int n = poll(fds.data(), fds.size(), nTimeout);
    if (n < 0 && errno != EINTR) return WaitEnd::Deadline;
    if (n <= 0) continue;
    if (fds.size() > nChildFds && fds.back().revents) return WaitEnd::Stopped;
    for (std::size_t k = 0; k < nChildFds; ++k) {
      if (!fds[k].revents) continue;
      Child& c = m->children[static_cast<std::size_t>(owners[k].first)];
      int* pFd = owners[k].second ? &c.fdErr : &c.fdOut;
      char buf[8192];
      const ssize_t got = read(*pFd, buf, sizeof buf);
      if (got > 0) {
        Event e;
        e.kind = owners[k].second ? Event::Kind::Err : Event::Kind::Out;
        e.nChild = owners[k].first;
        e.text.assign(buf, static_cast<std::size_t>(got));
        pEvents->push_back(std::move(e));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        CloseFd(pFd);
      }
    }
    if (pEvents->size() > nBefore) return WaitEnd::Events;
  }
}

void ChildGroup::StopAll() {
  for (const Child& c : m->children)
    if (c.pid > 0 && !c.bReported) kill(c.pid, SIGTERM);
}
