// hidraw backend: the kernel's raw HID nodes, found through sysfs.
//
// Enumeration reads /sys/class/hidraw/*/device/uevent (HID_ID=bus:vendor:product)
// instead of asking libudev: the same information, one package fewer to
// install and no daemon in the way.
//
// Every read waits in poll() first, with the stop signal's descriptor in the
// set and the deadline from the process clock; POLLERR or POLLHUP means the
// device is gone. Exclusive use is an advisory flock(LOCK_EX|LOCK_NB) on the
// node, which every instance of the tool takes; the feature-only open takes a
// shared lock, so query-only opens can sit together but none can break into
// a run that holds the device.
#include "platform/linux/hidraw.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/posix/fd_wait.h"
#include "platform/hid.h"
#include "platform/hid_descriptor.h"
#include "platform/stop.h"

namespace plat {
namespace {

// The kernel's largest HID report buffer (HID_MAX_BUFFER_SIZE, not exported).
constexpr std::size_t kMaxReportBytes = 16384;

bool ReadSmallFile(const std::string& path, std::string* out) {
  FILE* f = std::fopen(path.c_str(), "re");
  if (!f) return false;
  char buf[4096];
  size_t n = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  out->assign(buf, n);
  return true;
}

// A one-line sysfs attribute without its line end; empty when absent.
std::string ReadAttribute(const std::string& path) {
  std::string text;
  if (!ReadSmallFile(path, &text)) return {};
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Serial number and location of the USB device a hidraw node belongs to.
// Its sysfs "device" is the HID device; above it sit the USB interface and
// the USB device, which has busnum and devpath ("1.4.2": the port chain).
// A HID device without a USB device above it (uhid, Bluetooth) has neither.
void ReadUsbIdentity(const std::string& hidDevice, HidInterfaceInfo* info) {
  char* real = realpath(hidDevice.c_str(), nullptr);
  if (!real) return;
  std::string dir = real;
  std::free(real);
  for (int up = 0; up < 3; ++up) {
    const std::size_t slash = dir.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    dir.erase(slash);
    const std::string busnum = ReadAttribute(dir + "/busnum");
    const std::string devpath = ReadAttribute(dir + "/devpath");
    if (busnum.empty() || devpath.empty()) continue;
    info->location = busnum + "-" + devpath;
    info->serial = ReadAttribute(dir + "/serial");
    return;
  }
}

}  // namespace

bool ParseHidId(const std::string& uevent, std::uint16_t* vid, std::uint16_t* pid) {
  // The line must start with the key: "XHID_ID=" is another variable.
  std::size_t pos = 0;
  for (;;) {
    pos = uevent.find("HID_ID=", pos);
    if (pos == std::string::npos) return false;
    if (pos == 0 || uevent[pos - 1] == '\n') break;
    ++pos;
  }
  pos += 7;
  // Three hexadecimal fields of 1 to 8 digits, separated by colons, ending
  // the line. A vendor or product above 0xFFFF is no USB identity: cutting
  // it to 16 bits would make another device look like a known reader.
  std::uint32_t fields[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && (pos >= uevent.size() || uevent[pos++] != ':')) return false;
    int digits = 0;
    while (pos < uevent.size() && std::isxdigit(static_cast<unsigned char>(uevent[pos]))) {
      if (++digits > 8) return false;
      const char c = uevent[pos++];
      const unsigned d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
      fields[i] = fields[i] * 16 + d;
    }
    if (digits == 0) return false;
  }
  if (pos < uevent.size() && uevent[pos] != '\n') return false;
  if (fields[1] > 0xFFFF || fields[2] > 0xFFFF) return false;
  *vid = static_cast<std::uint16_t>(fields[1]);
  *pid = static_cast<std::uint16_t>(fields[2]);
  return true;
}

namespace {

// Milliseconds poll() may wait for a deadline on the process clock, capped so
// that a long wait still rechecks the clock now and then.
bool IsGoneErrno(int e) { return e == ENODEV || e == ENXIO || e == EPIPE || e == ESHUTDOWN; }

class HidrawHandle final : public IHidHandle {
 public:
  HidrawHandle(int fd, bool featureOnly) : m_fd(fd), m_featureOnly(featureOnly) {}
  ~HidrawHandle() override {
    // Closing the descriptor also drops the advisory lock.
    if (m_fd >= 0) close(m_fd);
  }

  bool GetAttributes(std::uint16_t* vid, std::uint16_t* pid) override {
    hidraw_devinfo info{};
    if (ioctl(m_fd, HIDIOCGRAWINFO, &info) < 0) return Fail(errno);
    *vid = static_cast<std::uint16_t>(info.vendor);
    *pid = static_cast<std::uint16_t>(info.product);
    return true;
  }

  bool GetCaps(HidCaps* caps) override {
    int size = 0;
    if (ioctl(m_fd, HIDIOCGRDESCSIZE, &size) < 0) return Fail(errno);
    hidraw_report_descriptor desc{};
    desc.size = static_cast<__u32>(std::clamp(size, 0, HID_MAX_DESCRIPTOR_SIZE));
    if (ioctl(m_fd, HIDIOCGRDESC, &desc) < 0) return Fail(errno);
    if (!ParseReportDescriptor(desc.value, desc.size, caps)) return Fail(EINVAL);
    m_reportIds = caps->bReportIds;
    m_capsKnown = true;
    return true;
  }

  HidIo ReadReport(std::uint8_t* buf, std::size_t len, std::size_t* got, std::uint64_t deadlineMs) override {
    *got = 0;
    if (m_featureOnly || !buf || len == 0) return FailIo(EBADF);
    if (!m_capsKnown) {
      HidCaps caps;
      if (!GetCaps(&caps)) return HidIo::Error;
    }
    for (;;) {
      HidIo w = WaitFor(POLLIN, deadlineMs);
      if (w != HidIo::Ok) return w;
      // hidraw hands numbered reports with their ID byte and unnumbered ones
      // without it; the layer above always wants the ID position in byte 0.
      m_buf.resize(kMaxReportBytes + 1);
      std::uint8_t* tmp = m_buf.data();
      std::uint8_t* dst = m_reportIds ? tmp : tmp + 1;
      ssize_t r = read(m_fd, dst, kMaxReportBytes);
      if (r < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return FailIo(errno);
      }
      if (r == 0) return HidIo::EndOfFile;
      std::size_t have = static_cast<std::size_t>(r);
      if (!m_reportIds) {
        tmp[0] = 0;
        ++have;
      }
      // Like the Windows class driver, hand out whole reports of the asked
      // length: a short one is filled up with zeros, a long one is cut.
      std::size_t n = std::min(have, len);
      std::memcpy(buf, tmp, n);
      std::memset(buf + n, 0, len - n);
      *got = len;
      return HidIo::Ok;
    }
  }

  HidIo WriteReport(const std::uint8_t* buf, std::size_t len, std::size_t* written, std::uint64_t deadlineMs) override {
    *written = 0;
    if (m_featureOnly || !buf || len == 0) return FailIo(EBADF);
    for (;;) {
      HidIo w = WaitFor(POLLOUT, deadlineMs);
      if (w != HidIo::Ok) return w;
      // Byte 0 is the report ID; for an unnumbered device the kernel expects
      // 0 there and strips it.
      ssize_t r = write(m_fd, buf, len);
      if (r < 0) {
        if (errno == EAGAIN || errno == EINTR) {
          if (RemainingMs(deadlineMs) == 0) return HidIo::Timeout;
          continue;
        }
        if (errno == ENOMEM || errno == ENOBUFS) return HidIo::Retry;
        return FailIo(errno);
      }
      *written = static_cast<std::size_t>(r);
      return HidIo::Ok;
    }
  }

  bool SetFeature(const std::uint8_t* buf, std::size_t len) override {
    if (!buf || len == 0 || len > kMaxReportBytes) return Fail(EINVAL);
    std::vector<std::uint8_t> tmp(buf, buf + len);
    if (ioctl(m_fd, HIDIOCSFEATURE(len), tmp.data()) < 0) return Fail(errno);
    return true;
  }

  bool GetFeature(std::uint8_t* buf, std::size_t len) override {
    if (!buf || len == 0 || len > kMaxReportBytes) return Fail(EINVAL);
    // The USB HID driver leaves the report ID in byte 0 and the data after
    // it, also for unnumbered devices: already the host form.
    if (ioctl(m_fd, HIDIOCGFEATURE(len), buf) < 0) return Fail(errno);
    return true;
  }

  int LastError() const override { return m_err; }

 private:
  bool Fail(int e) {
    m_err = e;
    return false;
  }
  HidIo FailIo(int e) {
    m_err = e;
    return IsGoneErrno(e) ? HidIo::Gone : HidIo::Error;
  }

  // Blocks until the descriptor is ready for `events`, the deadline passes or
  // a stop is requested; an error or hang-up on the node means it is gone.
  HidIo WaitFor(short events, std::uint64_t deadlineMs) {
    short revents = 0;
    int err = 0;
    switch (WaitForFd(m_fd, events, deadlineMs, &revents, &err)) {
      case FdWait::Stopped:
        return HidIo::Stopped;
      case FdWait::Timeout:
        return HidIo::Timeout;
      case FdWait::Error:
        return FailIo(err);
      case FdWait::Ready:
        break;
    }
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) return FailIo(ENODEV);
    return HidIo::Ok;
  }

  int m_fd;
  bool m_featureOnly;
  bool m_reportIds = false;
  bool m_capsKnown = false;
  int m_err = 0;
  std::vector<std::uint8_t> m_buf;
};

class HidrawBackendImpl final : public IHidBackend {
 public:
  HidrawBackendImpl(std::string sysClassDir, std::string devDir)
      : m_sysDir(std::move(sysClassDir)), m_devDir(std::move(devDir)) {}

  bool Enumerate(std::vector<HidInterfaceInfo>* out) override {
    out->clear();
    DIR* dir = opendir(m_sysDir.c_str());
    // No hidraw class at all (module not loaded): no HID interfaces, not an error.
    if (!dir) return errno == ENOENT;
    std::vector<std::pair<long, HidInterfaceInfo>> found;
    while (dirent* e = readdir(dir)) {
      HidInterfaceInfo info;
      if (!Entry(e->d_name, &info)) continue;
      found.emplace_back(std::strtol(e->d_name + 6, nullptr, 10), std::move(info));
    }
    closedir(dir);
    // hidraw2 before hidraw10: the order the kernel made them in.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& f : found) out->push_back(std::move(f.second));
    return true;
  }

  // The node a path names (itself, or a link to it such as a udev alias),
  // read from its own sysfs entry alone.
  bool Describe(const std::string& path, HidInterfaceInfo* out) override {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return false;
    const std::string node = real;
    std::free(real);
    const std::size_t slash = node.rfind('/');
    char* devDir = realpath(m_devDir.c_str(), nullptr);
    const bool inDevDir = devDir && slash != std::string::npos && node.compare(0, slash, devDir) == 0 &&
                          std::strlen(devDir) == slash;
    std::free(devDir);
    return inDevDir && Entry(node.substr(slash + 1), out);
  }

  std::unique_ptr<IHidHandle> Open(const std::string& path, HidOpenMode mode, HidOpenStatus* status) override {
    HidOpenStatus dummy;
    HidOpenStatus& err = status ? *status : dummy;
    err = {};
    int fd = -1;
    if (mode == HidOpenMode::Exclusive) {
      fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      if (fd < 0) {
        err = StatusFromErrno(errno);
        return nullptr;
      }
      if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
        err = StatusFromErrno(errno == EWOULDBLOCK ? EBUSY : errno);
        close(fd);
        return nullptr;
      }
    } else {
      // Feature reports and the descriptor are ioctls, which need no write
      // access to the node; take it when we may, read-only otherwise.
      fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      if (fd < 0) {
        err = StatusFromErrno(errno);
        return nullptr;
      }
      // A shared lock: query-only opens go together, but never beside a
      // program in the middle of a run with the device held exclusively,
      // whose exchange our feature reports would break into.
      if (flock(fd, LOCK_SH | LOCK_NB) < 0) {
        err = StatusFromErrno(errno == EWOULDBLOCK ? EBUSY : errno);
        close(fd);
        return nullptr;
      }
    }
    return std::make_unique<HidrawHandle>(fd, mode == HidOpenMode::FeatureOnly);
  }

 private:
  static HidOpenStatus StatusFromErrno(int e) {
    HidOpenError kind = HidOpenError::Other;
    if (e == ENOENT || e == ENODEV || e == ENXIO) kind = HidOpenError::NotFound;
    else if (e == EACCES || e == EPERM) kind = HidOpenError::AccessDenied;
    else if (e == EBUSY) kind = HidOpenError::Busy;
    return {kind, e, std::strerror(e)};
  }

  // The interface of one sysfs entry ("hidraw3"); false when it is none.
  bool Entry(const std::string& name, HidInterfaceInfo* info) const {
    if (name.compare(0, 6, "hidraw") != 0) return false;
    const std::string device = m_sysDir + "/" + name + "/device";
    std::string uevent;
    if (!ReadSmallFile(device + "/uevent", &uevent)) return false;
    if (!ParseHidId(uevent, &info->vendorId, &info->productId)) return false;
    info->path = m_devDir + "/" + name;
    ReadUsbIdentity(device, info);
    return true;
  }

  std::string m_sysDir;
  std::string m_devDir;
};

}  // namespace

IHidBackend& HidrawBackend() {
  static HidrawBackendImpl backend("/sys/class/hidraw", "/dev");
  return backend;
}

std::unique_ptr<IHidBackend> MakeHidrawBackend(const std::string& sysClassDir, const std::string& devDir) {
  return std::make_unique<HidrawBackendImpl>(sysClassDir, devDir);
}

}  // namespace plat
