#include "sim/serve/pty_line.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "platform/posix/termios_rates.h"

namespace {

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

bool PtyLine::Open(std::string* pErr) {
  Close();
  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_master < 0) {
    if (pErr) *pErr = Errno("posix_openpt");
    return false;
  }
  char name[128];
  if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 || ptsname_r(m_master, name, sizeof name) != 0) {
    if (pErr) *pErr = Errno("pseudo-terminal");
    Close();
    return false;
  }
  m_path = name;
  m_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (m_slave < 0 || tcgetattr(m_slave, &tio) != 0) {
    if (pErr) *pErr = Errno(name);
    Close();
    return false;
  }
  // Raw from the start: no echo, no line editing, until the tool sets its own modes.
  cfmakeraw(&tio);
  cfsetspeed(&tio, B9600);
  tcsetattr(m_slave, TCSANOW, &tio);
  fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
  return true;
}

bool PtyLine::LinkAs(const std::string& linkPath, std::string* pErr) {
  struct stat st {};
  if (lstat(linkPath.c_str(), &st) == 0) {
    struct stat target {};
    if (!S_ISLNK(st.st_mode) || stat(linkPath.c_str(), &target) == 0) {
      if (pErr) *pErr = linkPath + " exists (another simulated reader or a real port)";
      return false;
    }
    unlink(linkPath.c_str());
  }
  if (symlink(m_path.c_str(), linkPath.c_str()) != 0) {
    if (pErr) *pErr = Errno(linkPath.c_str());
    return false;
  }
  m_link = linkPath;
  return true;
}

void PtyLine::Close() {
  if (!m_link.empty()) {
    char target[256];
    const ssize_t n = readlink(m_link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == m_path) unlink(m_link.c_str());
    m_link.clear();
  }
  if (m_slave >= 0) close(m_slave);
  if (m_master >= 0) close(m_master);
  m_slave = m_master = -1;
}

unsigned PtyLine::LineBaud() const {
  termios tio{};
  if (m_slave < 0 || tcgetattr(m_slave, &tio) != 0) return 0;
  return plat::BaudOfSpeed(cfgetospeed(&tio));
}
