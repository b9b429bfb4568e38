#include "cli/console_os.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/stop.h"

namespace console {
namespace {

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed pipe must not end an update: the output is lost, the run goes on
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

void OnStopSignal(int) { plat::Stop().Request(); }

}  // namespace

void WriteOut(std::string_view text) { WriteAll(STDOUT_FILENO, text); }
void WriteErr(std::string_view text) { WriteAll(STDERR_FILENO, text); }

void InstallStopHandlers() {
  (void)plat::Stop();  // made here, not first inside the handler
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;  // the second signal ends the process
  // A hang-up (the terminal closed, the SSH session dropped) ends the run as
  // SIGTERM does: between exchanges, the link closed, status 130. The
  // default would kill the process in the middle of an exchange.
  for (int nSignal : {SIGINT, SIGTERM, SIGHUP}) sigaction(nSignal, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int TerminalColumns() {
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void ExitNow(int nStatus) { _exit(nStatus); }

}  // namespace console
