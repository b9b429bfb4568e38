// Serial lines on POSIX termios. The device is opened without becoming the
// controlling terminal and without blocking on carrier, locked against other
// programs, and put in raw mode. Reads and writes are poll() loops against
// deadlines from the tool's clock, with the stop signal in every poll set.
// The deadlines are in the process clock's time, so this line expects the
// real clock (tests in virtual time use the fake line instead).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/posix/com_map.h"
#include "platform/posix/termios_rates.h"
#include "platform/posix/fd_wait.h"
#include "platform/pump.h"
#include "platform/serial.h"
#include "platform/stop.h"

namespace plat {
namespace {

// An error record with the system's words for errno value err.
SerialError MakeError(SerialErrorKind kind, int err) { return {kind, err, err ? std::strerror(err) : ""}; }

// Pseudo-terminals and some adapters have no modem lines; that is no error.
bool ModemLinesUnsupported(int err) { return err == ENOTTY || err == EINVAL; }

class PosixSerialLine final : public ISerialLine {
 public:
  explicit PosixSerialLine(int fd) : m_fd(fd) {}
  ~PosixSerialLine() override { Close(); }
  PosixSerialLine(const PosixSerialLine&) = delete;
  PosixSerialLine& operator=(const PosixSerialLine&) = delete;

  bool GetState(SerialDcb* pDcb) override {
    if (!CheckOpen() || !pDcb) return Fail(SerialErrorKind::kInvalidArgument, EINVAL);
    termios tio{};
    if (tcgetattr(m_fd, &tio) != 0) return FailErrno();
    SerialDcb dcb;
    dcb.BaudRate = BaudOfSpeed(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
      case CS5: dcb.ByteSize = 5; break;
      case CS6: dcb.ByteSize = 6; break;
      case CS7: dcb.ByteSize = 7; break;
      default: dcb.ByteSize = 8; break;
    }
    dcb.Parity = kParityNone;
    if (tio.c_cflag & PARENB) {
      const bool odd = (tio.c_cflag & PARODD) != 0;
#ifdef CMSPAR
      if (tio.c_cflag & CMSPAR)
        dcb.Parity = odd ? kParityMark : kParitySpace;
      else
#endif
        dcb.Parity = odd ? kParityOdd : kParityEven;
    }
    dcb.StopBits = (tio.c_cflag & CSTOPB) ? kStopBitsTwo : kStopBitsOne;
    DWORD flags = kDcbBinary;
    if (tio.c_iflag & INPCK) flags |= kDcbParity;
    if (tio.c_iflag & IXON) flags |= kDcbOutX;
    if (tio.c_iflag & IXOFF) flags |= kDcbInX;
    DWORD rts = kRtsControlDisable, dtr = kDtrControlDisable;
    int lines = 0;
    if (ioctl(m_fd, TIOCMGET, &lines) == 0) {
      if (lines & TIOCM_DTR) dtr = kDtrControlEnable;
      if (lines & TIOCM_RTS) rts = kRtsControlEnable;
    }
    if (tio.c_cflag & CRTSCTS) {
      flags |= kDcbOutxCtsFlow;
      rts = kRtsControlHandshake;
    }
    flags |= dtr << kDcbDtrControlShift;
    flags |= rts << kDcbRtsControlShift;
    dcb.Flags = flags;
    *pDcb = dcb;
    return Ok();
  }

  bool SetState(const SerialDcb& dcb) override {
    if (!CheckOpen()) return Fail(SerialErrorKind::kInvalidArgument, EBADF);
    speed_t speed{};
    if (!SpeedOfBaud(dcb.BaudRate, &speed)) return Fail(SerialErrorKind::kUnsupported, EINVAL);
    tcflag_t size = 0;
    switch (dcb.ByteSize) {
      case 5: size = CS5; break;
      case 6: size = CS6; break;
      case 7: size = CS7; break;
      case 8: size = CS8; break;
      default: return Fail(SerialErrorKind::kInvalidArgument, EINVAL);
    }
    const DWORD dtr = DtrControl(dcb), rts = RtsControl(dcb);
    // Flow control by DSR or a handshaking DTR line, and an RTS line that
    // toggles around each transmission, have no termios counterpart.
    if ((dcb.Flags & kDcbOutxDsrFlow) || dtr == kDtrControlHandshake || rts == kRtsControlToggle)
      return Fail(SerialErrorKind::kUnsupported, EINVAL);

    termios tio{};
    if (tcgetattr(m_fd, &tio) != 0) return FailErrno();
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    tio.c_cflag &= ~CMSPAR;
#endif
    tio.c_cflag |= size;
    tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    switch (dcb.Parity) {
      case kParityNone: break;
      case kParityOdd: tio.c_cflag |= PARENB | PARODD; break;
      case kParityEven: tio.c_cflag |= PARENB; break;
#ifdef CMSPAR
      case kParityMark: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
      case kParitySpace: tio.c_cflag |= PARENB | CMSPAR; break;
#endif
      default: return Fail(SerialErrorKind::kUnsupported, EINVAL);
    }
    if (dcb.Flags & kDcbParity) tio.c_iflag |= INPCK;
    switch (dcb.StopBits) {
      case kStopBitsOne: break;
      case kStopBitsTwo: tio.c_cflag |= CSTOPB; break;
      default: return Fail(SerialErrorKind::kUnsupported, EINVAL);
    }
    if ((dcb.Flags & kDcbOutxCtsFlow) || rts == kRtsControlHandshake) tio.c_cflag |= CRTSCTS;
    if (dcb.Flags & kDcbOutX) tio.c_iflag |= IXON;
    if (dcb.Flags & kDcbInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
      return Fail(SerialErrorKind::kUnsupported, errno);
    if (tcsetattr(m_fd, TCSANOW, &tio) != 0) return FailErrno();
    // tcsetattr succeeds when any part of the change took; make sure the
    // rate and the framing are what was asked.
    termios now{};
    if (tcgetattr(m_fd, &now) != 0) return FailErrno();
    if (cfgetospeed(&now) != speed || cfgetispeed(&now) != speed || (now.c_cflag & CSIZE) != size)
      return Fail(SerialErrorKind::kUnsupported, EINVAL);

    if (!SetModemLine(TIOCM_DTR, dtr == kDtrControlEnable)) return false;
    if (rts != kRtsControlHandshake && !SetModemLine(TIOCM_RTS, rts == kRtsControlEnable)) return false;
    return Ok();
  }

  bool SetQueues(DWORD, DWORD) override {
    // The tty layer's buffers have a fixed size.
    if (!CheckOpen()) return Fail(SerialErrorKind::kInvalidArgument, EBADF);
    return Ok();
  }

  bool GetTimeouts(SerialTimeouts* pTimeouts) override {
    if (!CheckOpen() || !pTimeouts) return Fail(SerialErrorKind::kInvalidArgument, EINVAL);
    *pTimeouts = m_timeouts;
    return Ok();
  }

  bool SetTimeouts(const SerialTimeouts& timeouts) override {
    if (!CheckOpen()) return Fail(SerialErrorKind::kInvalidArgument, EBADF);
    m_timeouts = timeouts;
    return Ok();
  }

  bool Purge(DWORD dwFlags) override {
    if (!CheckOpen()) return Fail(SerialErrorKind::kInvalidArgument, EBADF);
    // Transfers are synchronous, so there is never one pending to abort;
    // only the queues are cleared.
    const bool rx = (dwFlags & kPurgeRxClear) != 0, tx = (dwFlags & kPurgeTxClear) != 0;
    if (rx || tx) {
      if (tcflush(m_fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0) return FailErrno();
    }
    return Ok();
  }

  bool Read(BYTE* pBuf, DWORD dwMax, DWORD* pdwRead) override {
    DWORD got = 0;
    if (pdwRead) *pdwRead = 0;
    if (!CheckOpen() || !pdwRead || (!pBuf && dwMax)) return Fail(SerialErrorKind::kInvalidArgument, EINVAL);
    if (dwMax == 0) return Ok();
    const SerialReadPlan plan = PlanSerialRead(m_timeouts, dwMax);
    const std::uint64_t start = NowMs();
    const std::uint64_t total = plan.bHasTotal ? start + plan.totalMs : kNoDeadline;
    std::uint64_t lastByte = start;
    for (;;) {
      if (Stop().Requested()) return Fail(SerialErrorKind::kStopped, EINTR);
      const ssize_t n = ::read(m_fd, pBuf + got, dwMax - got);
      if (n > 0) {
        got += static_cast<DWORD>(n);
        *pdwRead = got;
        lastByte = NowMs();
        if (got == dwMax || plan.bReturnOnAny) return Ok();
        continue;
      }
      if (n == 0) return Fail(SerialErrorKind::kSystem, EIO);  // hung up
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return FailErrno();
      if (plan.bImmediate) return Ok();

      std::uint64_t deadline = total;
      if (got > 0 && plan.intervalMs > 0) deadline = std::min(deadline, lastByte + plan.intervalMs);
      if (deadline != kNoDeadline && NowMs() >= deadline) return Ok();
      if (!WaitFor(POLLIN, deadline)) return false;
    }
  }

  bool Write(const BYTE* pBuf, DWORD dwLen, DWORD* pdwWritten) override {
    DWORD done = 0;
    if (pdwWritten) *pdwWritten = 0;
    if (!CheckOpen() || !pdwWritten || (!pBuf && dwLen)) return Fail(SerialErrorKind::kInvalidArgument, EINVAL);
    std::uint64_t limit = 0;
    const std::uint64_t deadline = SerialWriteLimit(m_timeouts, dwLen, &limit) ? NowMs() + limit : kNoDeadline;
    while (done < dwLen) {
      if (Stop().Requested()) return Fail(SerialErrorKind::kStopped, EINTR);
      const ssize_t n = ::write(m_fd, pBuf + done, dwLen - done);
      if (n > 0) {
        done += static_cast<DWORD>(n);
        *pdwWritten = done;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return FailErrno();
      if (deadline != kNoDeadline && NowMs() >= deadline) {
        // Cut short by the write time-out: the shorter count is the result.
        m_lastError = MakeError(SerialErrorKind::kTimeout, ETIMEDOUT);
        return true;
      }
      if (!WaitFor(POLLOUT, deadline)) return false;
    }
    return Ok();
  }

  void Close() override {
    if (m_fd < 0) return;
    // Clear the exclusive flag: on a pseudo-terminal it would outlive this
    // descriptor while the other end stays open. The lock goes with the close.
    ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    m_fd = -1;
  }

  SerialError LastError() const override { return m_lastError; }

 private:
  bool CheckOpen() const { return m_fd >= 0; }
  bool Ok() {
    m_lastError = {};
    return true;
  }
  bool Fail(SerialErrorKind kind, int err) {
    m_lastError = MakeError(kind, err);
    return false;
  }
  bool FailErrno() { return Fail(SerialErrorKind::kSystem, errno); }

  bool SetModemLine(int line, bool raise) {
    if (ioctl(m_fd, raise ? TIOCMBIS : TIOCMBIC, &line) == 0 || ModemLinesUnsupported(errno)) return true;
    return FailErrno();
  }

  // Blocks until the descriptor is ready for `events`, the deadline passes
  // or a stop is requested. False (with the error recorded) when the device
  // is gone or the stop came; true otherwise, the caller re-checks its state.
  // On a thread with an event pump (the window's thread during "Reset
  // Default") it blocks at most kPumpSliceMs and then dispatches the
  // thread's pending events, so the window keeps painting through the read
  // time-outs; the caller's deadline is unchanged.
  bool WaitFor(short events, std::uint64_t deadline) {
    const bool bPump = ThreadPumpInstalled();
    const std::uint64_t until = bPump ? std::min(deadline, NowMs() + kPumpSliceMs) : deadline;
    short revents = 0;
    int err = 0;
    switch (WaitForFd(m_fd, events, until, &revents, &err)) {
      case FdWait::Stopped:
        return Fail(SerialErrorKind::kStopped, EINTR);
      case FdWait::Error:
        return Fail(SerialErrorKind::kSystem, err);
      case FdWait::Timeout:
        if (bPump) ThreadPump().DispatchOne();
        return true;
      case FdWait::Ready:
        break;
    }
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) && !(revents & events)) return Fail(SerialErrorKind::kSystem, EIO);
    return true;
  }

  int m_fd;
  SerialTimeouts m_timeouts;
  SerialError m_lastError;
};

}  // namespace

std::unique_ptr<ISerialLine> OpenSystemSerialLine(const char* pszDevice, SerialError* pErr) {
  SerialError ignored;
  SerialError& err = pErr ? *pErr : ignored;
  const std::string path = ResolveSerialDevice(pszDevice);
  if (path.empty()) {
    // A COM number with no device behind it is a missing port; any other
    // name is not a port name at all.
    err = ParseComName(pszDevice) ? MakeError(SerialErrorKind::kSystem, ENOENT)
                                  : MakeError(SerialErrorKind::kInvalidArgument, EINVAL);
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    err = MakeError(SerialErrorKind::kSystem, errno);
    return nullptr;
  }
  auto fail = [&](int e) {
    ::close(fd);
    err = MakeError(SerialErrorKind::kSystem, e);
    return nullptr;
  };
  // Another program holding the port (or this one, a second time) shows as
  // a held lock; report it as a busy device.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return fail(errno);
  if (ioctl(fd, TIOCEXCL) != 0) return fail(errno);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~CRTSCTS;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    const int e = errno;
    ioctl(fd, TIOCNXCL);
    return fail(e);
  }
  err = {};
  return std::make_unique<PosixSerialLine>(fd);
}

}  // namespace plat
