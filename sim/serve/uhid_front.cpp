#include "sim/serve/uhid_front.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/hid_descriptor.h"

namespace {

// The uhid ABI carries at most this many report bytes in one event.
constexpr std::size_t kDataMax = UHID_DATA_MAX;

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// The part of an event that `type` needs, so that a short read is caught
// before a field beyond it is looked at.
std::size_t EventSize(std::uint32_t type) {
  constexpr std::size_t head = sizeof(uhid_event::type);
  switch (type) {
    case UHID_START:
      return head + sizeof(uhid_start_req);
    case UHID_OUTPUT:
      return head + sizeof(uhid_output_req);
    case UHID_GET_REPORT:
      return head + sizeof(uhid_get_report_req);
    case UHID_SET_REPORT:
      // The data field may be cut to the bytes that size announces.
      return head + offsetof(uhid_set_report_req, data);
    default:
      return head;
  }
}

}  // namespace

UhidFront::UhidFront(plat::hidsim::IDeviceSide& device) : m_device(device) {}

UhidFront::~UhidFront() { Destroy(); }

void UhidFront::SetReportDescriptor(std::vector<std::uint8_t> descriptor) {
  m_descriptor = std::move(descriptor);
  m_bOwnDescriptor = true;
}

bool UhidFront::Create(const std::string& name, std::string* pErr, const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (pErr) {
      *pErr = Errno(path.c_str());
      if (errno == ENOENT) *pErr += " (load the uhid module: modprobe uhid)";
    }
    return false;
  }
  return CreateOn(fd, name, pErr);
}

bool UhidFront::CreateOn(int fd, const std::string& name, std::string* pErr) {
  Destroy();
  if (fd < 0) {
    if (pErr) *pErr = "no uhid descriptor";
    return false;
  }
  m_fd = fd;
  auto fail = [&](const std::string& why) {
    if (pErr) *pErr = why;
    close(m_fd);
    m_fd = -1;
    return false;
  };
  // Events are read until none is left; that must not block.
  const int fl = fcntl(m_fd, F_GETFL);
  if (fl < 0 || fcntl(m_fd, F_SETFL, fl | O_NONBLOCK) < 0) return fail(Errno("uhid descriptor"));
  const plat::hidsim::DeviceInfo info = m_device.Info();
  if (!m_bOwnDescriptor) m_descriptor = info.reportDescriptor;
  if (m_descriptor.empty() || m_descriptor.size() > HID_MAX_DESCRIPTOR_SIZE)
    return fail("report descriptor empty or longer than " + std::to_string(HID_MAX_DESCRIPTOR_SIZE) + " bytes");
  if (!plat::ParseReportDescriptor(m_descriptor.data(), m_descriptor.size(), &m_caps))
    return fail("report descriptor not well-formed");
  m_bNumberedIn = m_bNumberedOut = m_bNumberedFeature = m_caps.bReportIds;
  m_bStarted = m_bOpened = m_bHavePending = false;

  uhid_event ev{};
  ev.type = UHID_CREATE2;
  auto& c = ev.u.create2;
  std::strncpy(reinterpret_cast<char*>(c.name), name.c_str(), sizeof c.name - 1);
  std::strncpy(reinterpret_cast<char*>(c.phys), "readersim", sizeof c.phys - 1);
  c.rd_size = static_cast<__u16>(m_descriptor.size());
  c.bus = BUS_USB;
  c.vendor = info.vendorId;
  c.product = info.productId;
  c.version = 0x0100;
  c.country = 0;
  std::memcpy(c.rd_data, m_descriptor.data(), m_descriptor.size());
  if (!WriteEvent(&ev, sizeof ev)) return fail(Errno("creating the uhid device"));
  return true;
}

bool UhidFront::RunAheadOfTheHost(std::string* pErr) {
  sched_param p{};
  p.sched_priority = 10;  // above every normal process, below the kernel's own threads
  if (sched_setscheduler(0, SCHED_FIFO, &p) == 0) return true;
  if (pErr) *pErr = Errno("real-time priority");
  return false;
}

void UhidFront::Destroy() {
  if (m_fd < 0) return;
  uhid_event ev{};
  ev.type = UHID_DESTROY;
  WriteEvent(&ev, sizeof ev.type);
  close(m_fd);
  m_fd = -1;
  m_bStarted = m_bOpened = false;
}

bool UhidFront::WriteEvent(const void* ev, std::size_t len) {
  for (;;) {
    const ssize_t r = write(m_fd, ev, len);
    if (r >= 0) return true;
    if (errno != EINTR) return false;
  }
}

std::vector<std::uint8_t> UhidFront::ToHostForm(const std::uint8_t* data, std::size_t n, bool bNumbered,
                                                std::size_t hostLen) const {
  std::vector<std::uint8_t> r;
  // hidraw passes the caller's whole buffer, byte 0 included; a report the
  // kernel built itself for an unnumbered device lacks that byte.
  if (!bNumbered && hostLen > 1 && n + 1 == hostLen) r.push_back(0);
  r.insert(r.end(), data, data + n);
  return r;
}

bool UhidFront::OnReadable(std::string* pErr) {
  if (m_fd < 0) {
    if (pErr) *pErr = "uhid device not open";
    return false;
  }
  uhid_event ev;
  for (;;) {
    std::memset(&ev, 0, sizeof ev);
    const ssize_t r = read(m_fd, &ev, sizeof ev);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return true;
      if (pErr) *pErr = Errno("reading uhid events");
      return false;
    }
    if (r == 0) {
      if (pErr) *pErr = "uhid device closed";
      return false;
    }
    HandleEvent(&ev, static_cast<std::size_t>(r));
  }
}

void UhidFront::HandleEvent(const void* p, std::size_t len) {
  const auto& ev = *static_cast<const uhid_event*>(p);
  // The buffer is a whole, zero-filled uhid_event; a short event is still
  // thrown away rather than read with fields it never carried.
  if (len < EventSize(ev.type)) return;
  switch (ev.type) {
    case UHID_START: {
      m_bStarted = true;
      const std::uint64_t f = ev.u.start.dev_flags;
      m_bNumberedFeature = f & UHID_DEV_NUMBERED_FEATURE_REPORTS;
      m_bNumberedOut = f & UHID_DEV_NUMBERED_OUTPUT_REPORTS;
      m_bNumberedIn = f & UHID_DEV_NUMBERED_INPUT_REPORTS;
      break;
    }
    case UHID_STOP:
      m_bStarted = m_bOpened = false;
      break;
    case UHID_OPEN:
      m_bOpened = true;
      break;
    case UHID_CLOSE:
      m_bOpened = false;
      break;
    case UHID_OUTPUT: {
      const auto& o = ev.u.output;
      const std::size_t n = std::min<std::size_t>(o.size, kDataMax);
      if (o.rtype == UHID_FEATURE_REPORT)
        m_device.OnSetFeature(ToHostForm(o.data, n, m_bNumberedFeature, m_caps.FeatureReportByteLength));
      else
        m_device.OnOutputReport(ToHostForm(o.data, n, m_bNumberedOut, m_caps.OutputReportByteLength));
      break;
    }
    case UHID_SET_REPORT: {
      const auto& s = ev.u.set_report;
      const std::size_t n =
          std::min<std::size_t>({s.size, kDataMax, len - sizeof ev.type - offsetof(uhid_set_report_req, data)});
      uhid_event reply{};
      reply.type = UHID_SET_REPORT_REPLY;
      reply.u.set_report_reply.id = s.id;
      if (s.rtype == UHID_FEATURE_REPORT)
        m_device.OnSetFeature(ToHostForm(s.data, n, m_bNumberedFeature, m_caps.FeatureReportByteLength));
      else if (s.rtype == UHID_OUTPUT_REPORT)
        m_device.OnOutputReport(ToHostForm(s.data, n, m_bNumberedOut, m_caps.OutputReportByteLength));
      else
        reply.u.set_report_reply.err = EIO;  // input reports are not set
      WriteEvent(&reply, sizeof reply.type + sizeof reply.u.set_report_reply);
      break;
    }
    case UHID_GET_REPORT: {
      const auto& g = ev.u.get_report;
      uhid_event reply{};
      reply.type = UHID_GET_REPORT_REPLY;
      auto& rr = reply.u.get_report_reply;
      rr.id = g.id;
      if (g.rtype == UHID_FEATURE_REPORT && m_caps.FeatureReportByteLength > 0) {
        // The reply starts with the report ID byte: the kernel copies it as
        // it stands into the caller's buffer.
        const std::vector<std::uint8_t> rep = m_device.OnGetFeature(g.rnum, m_caps.FeatureReportByteLength);
        rr.size = static_cast<__u16>(std::min(rep.size(), kDataMax));
        std::memcpy(rr.data, rep.data(), rr.size);
      } else {
        // Input and output reports cannot be fetched from this device.
        rr.err = EIO;
      }
      WriteEvent(&reply, sizeof reply.type + offsetof(uhid_get_report_reply_req, data) + rr.size);
      break;
    }
    default:
      break;  // events of later kernels and the legacy ones: nothing to do
  }
}

std::uint64_t UhidFront::DeliverDue(std::uint64_t nowMs) {
  // Like a USB device nobody reads, an unopened device keeps its reports.
  while (m_fd >= 0 && m_bOpened) {
    if (!m_bHavePending) {
      if (!m_device.NextInputReport(&m_pending, &m_pendingDueMs)) return UINT64_MAX;
      m_bHavePending = true;
    }
    if (m_pendingDueMs > nowMs) return m_pendingDueMs;
    m_bHavePending = false;
    if (m_pending.empty()) continue;
    uhid_event ev{};
    ev.type = UHID_INPUT2;
    const std::size_t skip = m_bNumberedIn ? 0 : 1;
    const std::size_t n = std::min(m_pending.size() - skip, kDataMax);
    ev.u.input2.size = static_cast<__u16>(n);
    std::memcpy(ev.u.input2.data, m_pending.data() + skip, n);
    // A report the kernel does not take (device stopped meanwhile) is lost,
    // as it would be on the wire.
    WriteEvent(&ev, sizeof ev.type + offsetof(uhid_input2_req, data) + n);
  }
  return UINT64_MAX;
}
