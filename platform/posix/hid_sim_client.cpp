#include "platform/posix/hid_sim_client.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/posix/fd_wait.h"
#include "platform/hid_descriptor.h"
#include "platform/hid_sim_wire.h"
#include "platform/stop.h"

namespace plat {
namespace {

using namespace hidsim;

// A feature transfer or a handshake answer normally comes back at once; a
// server that does not answer within this is treated as gone (a USB control
// transfer gives up after the same five seconds).
constexpr std::uint64_t kReplyTimeoutMs = 5000;

class SimConnection {
 public:
  ~SimConnection() {
    if (m_fd >= 0) close(m_fd);
  }

  bool Connect(const std::string& path, int* err) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
      *err = ENAMETOOLONG;
      return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
      *err = errno;
      return false;
    }
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
      *err = errno;
      close(m_fd);
      m_fd = -1;
      return false;
    }
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    return true;
  }

  // Sends one whole message. A message cut in the middle would break the
  // stream, so once bytes went out the rest follows or the connection is
  // given up.
  HidIo Send(std::uint8_t type, const std::vector<std::uint8_t>& payload, std::uint64_t deadlineMs) {
    if (m_broken) return HidIo::Gone;
    std::vector<std::uint8_t> msg;
    if (!AppendMessage(&msg, type, payload)) {
      m_err = EMSGSIZE;
      return HidIo::Error;
    }
    std::size_t sent = 0;
    while (sent < msg.size()) {
      ssize_t r = send(m_fd, msg.data() + sent, msg.size() - sent, MSG_NOSIGNAL);
      if (r > 0) {
        sent += static_cast<std::size_t>(r);
        continue;
      }
      if (r < 0 && errno != EAGAIN && errno != EINTR) return Broken(errno);
      HidIo w = Wait(POLLOUT, deadlineMs);
      if (w == HidIo::Ok) continue;
      if (sent == 0) return w;
      return Broken(ETIMEDOUT);
    }
    return HidIo::Ok;
  }

  // Waits for a message of type `want`. Input reports that arrive meanwhile
  // are kept for ReadReport; anything else unexpected is dropped.
  HidIo Await(std::uint8_t want, std::vector<std::uint8_t>* payload, std::uint64_t deadlineMs) {
    for (;;) {
      std::uint8_t type;
      while (m_reader.Next(&type, payload)) {
        if (type == want) return HidIo::Ok;
        if (type == kMsgInputReport) m_inputs.push_back(*payload);
      }
      if (m_broken) return HidIo::Gone;
      if (m_eof) return HidIo::EndOfFile;
      std::uint8_t buf[4096];
      ssize_t r = recv(m_fd, buf, sizeof buf, 0);
      if (r > 0) {
        m_reader.Feed(buf, static_cast<std::size_t>(r));
        continue;
      }
      if (r == 0) {
        m_eof = true;
        continue;
      }
      if (errno != EAGAIN && errno != EINTR) return Broken(errno);
      HidIo w = Wait(POLLIN, deadlineMs);
      if (w != HidIo::Ok) return w;
    }
  }

  bool TakeQueuedInput(std::vector<std::uint8_t>* report) {
    if (m_inputs.empty()) return false;
    *report = std::move(m_inputs.front());
    m_inputs.pop_front();
    return true;
  }

  int LastError() const { return m_err; }

 private:
  HidIo Broken(int e) {
    m_err = e;
    m_broken = true;
    return HidIo::Gone;
  }

  HidIo Wait(short events, std::uint64_t deadlineMs) {
    short revents = 0;
    int err = 0;
    switch (WaitForFd(m_fd, events, deadlineMs, &revents, &err)) {
      case FdWait::Stopped:
        return HidIo::Stopped;
      case FdWait::Timeout:
        return HidIo::Timeout;
      case FdWait::Error:
        return Broken(err);
      case FdWait::Ready:
        break;
    }
    // POLLHUP with data still buffered: let recv drain it and see the end.
    if (revents & (events | POLLHUP)) return HidIo::Ok;
    return Broken(ECONNRESET);
  }

  int m_fd = -1;
  int m_err = 0;
  bool m_eof = false;
  bool m_broken = false;
  MessageReader m_reader;
  std::deque<std::vector<std::uint8_t>> m_inputs;
};

struct SimInfo {
  std::uint16_t vid = 0, pid = 0;
  bool featureOnly = false;
  std::string serial;
  std::vector<std::uint8_t> descriptor;
};

bool Hello(SimConnection& c, SimInfo* info) {
  const std::uint64_t deadline = NowMs() + kReplyTimeoutMs;
  if (c.Send(kMsgHello, {kProtocolVersion}, deadline) != HidIo::Ok) return false;
  std::vector<std::uint8_t> p;
  DeviceInfoMessage m;
  if (c.Await(kMsgDeviceInfo, &p, deadline) != HidIo::Ok || !DecodeDeviceInfo(p, &m)) return false;
  info->vid = m.vendorId;
  info->pid = m.productId;
  info->featureOnly = (m.flags & kInfoFlagFeatureOnly) != 0;
  info->serial = std::move(m.serial);
  info->descriptor = std::move(m.descriptor);
  return true;
}

// The interface of the simulated reader listening on a socket; false when
// none listens there (a socket left behind by a reader that ended).
// The simulated reader stays plugged into the same "port" whatever it
// presents, so its location is the socket's path.
bool DescribeSocket(const std::string& path, HidInterfaceInfo* out) {
  SimConnection c;
  int err = 0;
  SimInfo info;
  if (!c.Connect(path, &err) || !Hello(c, &info)) return false;
  *out = {path, info.vid, info.pid, info.serial, path};
  return true;
}

class SimHandle final : public IHidHandle {
 public:
  SimHandle(std::unique_ptr<SimConnection> c, SimInfo info, bool featureOnly)
      : m_conn(std::move(c)), m_info(std::move(info)), m_featureOnly(featureOnly) {}

  bool GetAttributes(std::uint16_t* vid, std::uint16_t* pid) override {
    *vid = m_info.vid;
    *pid = m_info.pid;
    return true;
  }

  bool GetCaps(HidCaps* caps) override {
    if (!ParseReportDescriptor(m_info.descriptor.data(), m_info.descriptor.size(), caps)) {
      m_err = EINVAL;
      return false;
    }
    return true;
  }

  HidIo ReadReport(std::uint8_t* buf, std::size_t len, std::size_t* got, std::uint64_t deadlineMs) override {
    *got = 0;
    if (m_featureOnly || !buf || len == 0) {
      m_err = EBADF;
      return HidIo::Error;
    }
    std::vector<std::uint8_t> report;
    if (!m_conn->TakeQueuedInput(&report)) {
      HidIo r = m_conn->Await(kMsgInputReport, &report, deadlineMs);
      if (r != HidIo::Ok) return Note(r);
    }
    std::size_t n = std::min(report.size(), len);
    if (n) std::memcpy(buf, report.data(), n);  // an empty report has no data to copy
    std::memset(buf + n, 0, len - n);
    *got = len;
    return HidIo::Ok;
  }

  HidIo WriteReport(const std::uint8_t* buf, std::size_t len, std::size_t* written, std::uint64_t deadlineMs) override {
    *written = 0;
    if (m_featureOnly || !buf || len == 0) {
      m_err = EBADF;
      return HidIo::Error;
    }
    HidIo r = m_conn->Send(kMsgOutputReport, std::vector<std::uint8_t>(buf, buf + len), deadlineMs);
    if (r == HidIo::Ok) *written = len;
    return Note(r);
  }

  bool SetFeature(const std::uint8_t* buf, std::size_t len) override {
    if (!buf || len == 0) return false;
    const std::uint64_t deadline = NowMs() + kReplyTimeoutMs;
    std::vector<std::uint8_t> p;
    if (Note(m_conn->Send(kMsgSetFeature, std::vector<std::uint8_t>(buf, buf + len), deadline)) != HidIo::Ok)
      return false;
    return Note(m_conn->Await(kMsgSetFeatureDone, &p, deadline)) == HidIo::Ok && !p.empty() && p[0] == 0;
  }

  bool GetFeature(std::uint8_t* buf, std::size_t len) override {
    if (!buf || len == 0 || len > kMaxPayload) return false;
    const std::uint64_t deadline = NowMs() + kReplyTimeoutMs;
    std::vector<std::uint8_t> req{buf[0]};
    PutLe16(&req, static_cast<std::uint16_t>(len));
    std::vector<std::uint8_t> p;
    if (Note(m_conn->Send(kMsgGetFeature, req, deadline)) != HidIo::Ok) return false;
    if (Note(m_conn->Await(kMsgFeatureReport, &p, deadline)) != HidIo::Ok) return false;
    std::size_t n = std::min(p.size(), len);
    if (n) std::memcpy(buf, p.data(), n);  // an empty answer has no data to copy
    std::memset(buf + n, 0, len - n);
    return true;
  }

  int LastError() const override { return m_err ? m_err : m_conn->LastError(); }

 private:
  HidIo Note(HidIo r) {
    if (r == HidIo::Timeout)
      m_err = ETIMEDOUT;
    else if (r == HidIo::Gone || r == HidIo::EndOfFile)
      m_err = ENODEV;
    return r;
  }

  std::unique_ptr<SimConnection> m_conn;
  SimInfo m_info;
  bool m_featureOnly;
  int m_err = 0;
};

class SimClientBackend final : public IHidBackend {
 public:
  explicit SimClientBackend(std::string path) : m_path(std::move(path)) {}

  // The variable names one socket, or a folder in which every socket is one
  // simulated reader, listed by name. No simulator listening is a machine
  // without that reader, not a failure.
  bool Enumerate(std::vector<HidInterfaceInfo>* out) override {
    out->clear();
    const std::string path = SocketPath();
    struct stat st{};
    if (path.empty() || stat(path.c_str(), &st) != 0) return true;
    std::vector<std::string> sockets;
    if (S_ISDIR(st.st_mode)) {
      if (DIR* dir = opendir(path.c_str())) {
        while (dirent* e = readdir(dir)) {
          const std::string entry = path + "/" + e->d_name;
          if (stat(entry.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) sockets.push_back(entry);
        }
        closedir(dir);
      }
      std::sort(sockets.begin(), sockets.end());
    } else {
      sockets.push_back(path);
    }
    for (const std::string& socket : sockets) {
      HidInterfaceInfo info;
      if (DescribeSocket(socket, &info)) out->push_back(std::move(info));
    }
    return true;
  }

  // Any socket path, without greeting the others.
  bool Describe(const std::string& path, HidInterfaceInfo* out) override { return DescribeSocket(path, out); }

  std::unique_ptr<IHidHandle> Open(const std::string& path, HidOpenMode mode, HidOpenStatus* status) override {
    HidOpenStatus dummy;
    HidOpenStatus& err = status ? *status : dummy;
    err = {};
    auto c = std::make_unique<SimConnection>();
    int e = 0;
    if (!c->Connect(path, &e)) {
      err = {(e == ENOENT || e == ECONNREFUSED) ? HidOpenError::NotFound : HidOpenError::Other, e, std::strerror(e)};
      return nullptr;
    }
    SimInfo info;
    if (!Hello(*c, &info)) {
      err = {HidOpenError::Other, 0, "the simulated reader did not greet"};
      return nullptr;
    }
    const std::uint64_t deadline = NowMs() + kReplyTimeoutMs;
    const std::uint8_t m = mode == HidOpenMode::Exclusive ? kOpenExclusive : kOpenFeatureOnly;
    std::vector<std::uint8_t> p;
    if (c->Send(kMsgOpen, {m}, deadline) != HidIo::Ok || c->Await(kMsgOpenResult, &p, deadline) != HidIo::Ok ||
        p.empty()) {
      err = {HidOpenError::Other, 0, "the simulated reader did not answer the open"};
      return nullptr;
    }
    if (p[0] != kOpenOk) {
      err = p[0] == kOpenBusy ? HidOpenStatus{HidOpenError::Busy, 0, "held by another program"}
                              : HidOpenStatus{HidOpenError::Refused, 0, "the simulated reader refused the open"};
      return nullptr;
    }
    return std::make_unique<SimHandle>(std::move(c), std::move(info), mode == HidOpenMode::FeatureOnly);
  }

 private:
  std::string SocketPath() const {
    if (!m_path.empty()) return m_path;
    const char* env = std::getenv("READERTOOL_HID_SIM");
    return env ? env : "";
  }

  std::string m_path;
};

}  // namespace

std::unique_ptr<IHidBackend> MakeHidSimClientBackend(const std::string& socketPath) {
  return std::make_unique<SimClientBackend>(socketPath);
}

IHidBackend& HidSimClientBackend() {
  static SimClientBackend backend{""};
  return backend;
}

}  // namespace plat
