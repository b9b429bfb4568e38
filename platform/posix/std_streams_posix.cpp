#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/std_streams.h"

namespace plat {

void KeepStandardStreamsTaken() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is fd: the ones below it
    // are open by now.
    const int got = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (got >= 0 && got != fd) close(got);  // cannot happen; leave nothing behind if it does
  }
}

}  // namespace plat
