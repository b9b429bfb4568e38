#include "platform/posix/hid_sim_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "platform/hid_sim_wire.h"

namespace plat {
namespace {

using namespace hidsim;

constexpr std::size_t kMaxClients = 32;
// A client that stops reading must not make the simulator hoard its output.
constexpr std::size_t kMaxPendingOut = 1u << 22;

struct Client {
  int fd = -1;
  MessageReader reader;
  std::vector<std::uint8_t> out;
  bool opened = false;
  bool exclusive = false;
  bool dead = false;
};

bool MakeAddr(const std::string& path, sockaddr_un* addr) {
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when something answers on the socket at `path`.
bool SocketIsLive(const sockaddr_un& addr) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool live = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return live;
}

}  // namespace

HidSimServer::HidSimServer(hidsim::IDeviceSide& device) : m_device(device) {}

HidSimServer::~HidSimServer() { Stop(); }

bool HidSimServer::Start(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    if (m_listenFd >= 0) close(m_listenFd);
    if (m_wakeFd >= 0) close(m_wakeFd);
    m_listenFd = m_wakeFd = -1;
    return false;
  };
  if (Running()) return fail("already serving " + m_path);
  sockaddr_un addr;
  if (!MakeAddr(path, &addr)) return fail("socket path empty or too long: " + path);

  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return fail(path + " exists and is not a socket");
    if (SocketIsLive(addr)) return fail(path + " is in use by another simulator");
    unlink(path.c_str());
  }
  m_listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m_listenFd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
    return fail("bind " + path + ": " + std::strerror(errno));
  if (listen(m_listenFd, 8) < 0) {
    unlink(path.c_str());
    return fail(std::string("listen: ") + std::strerror(errno));
  }
  m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wakeFd < 0) {
    unlink(path.c_str());
    return fail(std::string("eventfd: ") + std::strerror(errno));
  }
  m_path = path;
  m_quit = false;
  m_thread = std::thread([this] { Run(); });
  return true;
}

void HidSimServer::Stop() {
  if (!m_thread.joinable()) return;
  m_quit = true;
  Wake();
  m_thread.join();
  close(m_listenFd);
  close(m_wakeFd);
  m_listenFd = m_wakeFd = -1;
  unlink(m_path.c_str());
}

void HidSimServer::Wake() {
  if (m_wakeFd < 0) return;
  std::uint64_t one = 1;
  ssize_t r = write(m_wakeFd, &one, sizeof one);
  (void)r;
}

void HidSimServer::DisconnectClients() {
  m_dropClients = true;
  Wake();
}

void HidSimServer::Run() {
  std::vector<std::unique_ptr<Client>> clients;
  const DeviceInfo info = m_device.Info();
  std::vector<std::uint8_t> pending;
  std::uint64_t pendingAt = 0;
  bool havePending = false;

  auto queue = [](Client& c, std::uint8_t type, const std::vector<std::uint8_t>& payload) {
    if (c.out.size() > kMaxPendingOut || !AppendMessage(&c.out, type, payload)) c.dead = true;
  };

  auto handle = [&](Client& c, std::uint8_t type, std::vector<std::uint8_t>& p) {
    switch (type) {
      case kMsgHello: {
        // Answered in the client's version, up to ours: a version 1 client
        // knows no serial number.
        DeviceInfoMessage m;
        m.version = p.empty() || p[0] < 1 ? 1 : std::min(p[0], kProtocolVersion);
        m.vendorId = info.vendorId;
        m.productId = info.productId;
        m.flags = info.featureOnly ? kInfoFlagFeatureOnly : 0;
        m.serial = info.serialNumber;
        m.descriptor = info.reportDescriptor;
        queue(c, kMsgDeviceInfo, EncodeDeviceInfo(m));
        break;
      }
      case kMsgOpen: {
        if (p.empty()) {
          c.dead = true;
          break;
        }
        // The locking of a hidraw node: one exclusive holder, or any number
        // of feature-only users, never both.
        auto others = [&](bool exclusiveOnly) {
          return std::any_of(clients.begin(), clients.end(), [&](const auto& o) {
            return o.get() != &c && !o->dead && o->opened && (o->exclusive || !exclusiveOnly);
          });
        };
        std::uint8_t status = kOpenOk;
        if (p[0] == kOpenExclusive) {
          if (info.featureOnly)
            status = kOpenRefused;
          else if (others(false))
            status = kOpenBusy;
          else
            c.exclusive = true;
        } else if (others(true)) {
          status = kOpenBusy;
        }
        if (status == kOpenOk) c.opened = true;
        queue(c, kMsgOpenResult, {status});
        break;
      }
      case kMsgOutputReport:
        // Only the holder of the device moves interrupt reports.
        if (c.exclusive) m_device.OnOutputReport(p);
        break;
      case kMsgSetFeature:
        if (c.opened) m_device.OnSetFeature(p);
        queue(c, kMsgSetFeatureDone, {static_cast<std::uint8_t>(c.opened ? 0 : 1)});
        break;
      case kMsgGetFeature: {
        if (p.size() < 3) {
          c.dead = true;
          break;
        }
        const std::size_t len = GetLe16(&p[1]);
        std::vector<std::uint8_t> r;
        if (c.opened) r = m_device.OnGetFeature(p[0], len);
        r.resize(len, 0);
        if (!r.empty() && !c.opened) r[0] = p[0];
        queue(c, kMsgFeatureReport, r);
        break;
      }
      default:
        c.dead = true;  // not our protocol
        break;
    }
  };

  while (!m_quit) {
    if (m_dropClients.exchange(false)) {
      for (auto& c : clients) c->dead = true;
    }
    clients.erase(std::remove_if(clients.begin(), clients.end(),
                                 [](const auto& c) {
                                   if (c->dead) close(c->fd);
                                   return c->dead;
                                 }),
                  clients.end());

    // Input reports go to the exclusive holder only; with nobody holding the
    // device they wait in the device side, as an unopened USB device keeps them.
    Client* holder = nullptr;
    for (auto& c : clients)
      if (c->exclusive) holder = c.get();
    if (!holder) havePending = false;
    // A bounded batch per round, so that a device side with an endless supply
    // of due reports cannot keep the loop from serving its sockets.
    int batch = 256;
    while (holder && !holder->dead) {
      if (!havePending) havePending = m_device.NextInputReport(&pending, &pendingAt);
      if (!havePending || pendingAt > NowMs() || batch-- == 0) break;
      queue(*holder, kMsgInputReport, pending);
      havePending = false;
    }

    std::vector<pollfd> fds;
    fds.push_back({m_listenFd, POLLIN, 0});
    fds.push_back({m_wakeFd, POLLIN, 0});
    for (auto& c : clients) fds.push_back({c->fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
    int timeout = -1;
    if (havePending) timeout = static_cast<int>(std::min<std::uint64_t>(RemainingMs(pendingAt), 1000));
    int n = poll(fds.data(), fds.size(), timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t v;
      ssize_t r = read(m_wakeFd, &v, sizeof v);
      (void)r;
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
      Client& c = *clients[i];
      const short ev = fds[i + 2].revents;
      if (ev & POLLIN) {
        std::uint8_t buf[4096];
        ssize_t r = recv(c.fd, buf, sizeof buf, 0);
        if (r > 0) {
          c.reader.Feed(buf, static_cast<std::size_t>(r));
          std::uint8_t type;
          std::vector<std::uint8_t> p;
          while (!c.dead && c.reader.Next(&type, &p)) handle(c, type, p);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
          c.dead = true;
        }
      } else if (ev & (POLLHUP | POLLERR | POLLNVAL)) {
        c.dead = true;
      }
    }
    for (auto& c : clients) {
      while (!c->dead && !c->out.empty()) {
        ssize_t r = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
        if (r > 0) {
          c->out.erase(c->out.begin(), c->out.begin() + r);
        } else {
          if (r < 0 && errno != EAGAIN && errno != EINTR) c->dead = true;
          break;
        }
      }
    }
    if (fds[0].revents & POLLIN) {
      int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        if (clients.size() >= kMaxClients) {
          close(fd);
        } else {
          auto c = std::make_unique<Client>();
          c->fd = fd;
          clients.push_back(std::move(c));
        }
      }
    }
  }
  for (auto& c : clients) close(c->fd);
}

}  // namespace plat
