// The simulated reader as a HID device of the running Linux kernel, created
// through /dev/uhid: the kernel's own HID core and hidraw driver then stand
// between the tool and the reader, exactly as for a reader on a USB port.
//
// The front speaks the uhid event protocol (linux/uhid.h) on one descriptor
// and serves any plat::hidsim::IDeviceSide:
//
//   UHID_OUTPUT          -> OnOutputReport (or OnSetFeature for a feature
//   report) UHID_SET_REPORT      -> OnSetFeature / OnOutputReport, then
//   UHID_SET_REPORT_REPLY UHID_GET_REPORT      -> OnGetFeature, then
//   UHID_GET_REPORT_REPLY NextInputReport      -> UHID_INPUT2, at the time the
//   device side asks for,
//                           and only while some program has the device open
//
// Report-ID bytes: the device side speaks host form (byte 0 = report-ID
// position). What comes from hidraw already has that form, the leading 0 of an
// unnumbered report included; a report the kernel formatted itself comes
// without it and gets it back. Input reports go to the kernel without the ID
// byte when the device has no numbered input reports, with it otherwise; a
// get-feature reply always carries the ID byte.
//
// Nothing here waits: the owner polls Fd() for reading, calls OnReadable when
// it is readable and DeliverDue when the next input report falls due.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "platform/hid_sim_protocol.h"

constexpr const char* kUhidDevicePath = "/dev/uhid";

class UhidFront {
 public:
  explicit UhidFront(plat::hidsim::IDeviceSide& device);
  ~UhidFront();
  UhidFront(const UhidFront&) = delete;
  UhidFront& operator=(const UhidFront&) = delete;

  // Presents `descriptor` instead of the one the device side gives; call
  // before Create.
  void SetReportDescriptor(std::vector<std::uint8_t> descriptor);

  // Opens `path` and creates the device on the USB bus with the device side's
  // vendor and product ID. The hidraw node appears a little later, when the
  // kernel has bound a driver (hid-generic) to the device.
  bool Create(const std::string& name, std::string* pErr, const std::string& path = kUhidDevicePath);
  // As Create, on a descriptor that is already open; the front takes it over
  // (closed by Destroy, also when creating fails).
  bool CreateOn(int fd, const std::string& name, std::string* pErr);
  // Removes the device, as unplugging it would: its hidraw node goes and
  // programs holding it see the device gone. Safe to call more than once.
  void Destroy();

  // uhid has no back-pressure: it queues at most 32 events for this side and
  // drops what comes after ("Output queue is full"), whereas a real reader's
  // bus paces the host's writes. The simulator therefore has to run as soon
  // as an event waits: this puts the calling thread at a real-time priority
  // (SCHED_FIFO; it blocks in poll() between events, so it takes no more
  // than it needs). False, with *pErr saying why, when that is not allowed.
  static bool RunAheadOfTheHost(std::string* pErr);

  int Fd() const { return m_fd; }
  bool Started() const { return m_bStarted; }
  bool Opened() const { return m_bOpened; }

  // Handles every event the kernel has queued. False when the descriptor
  // failed or was closed by the other end (*pErr says why); the owner should
  // then Destroy the front.
  bool OnReadable(std::string* pErr);
  // Sends the input reports due by nowMs. Returns the time of the next one,
  // or UINT64_MAX when none waits (or nobody has the device open).
  std::uint64_t DeliverDue(std::uint64_t nowMs);

 private:
  void HandleEvent(const void* ev, std::size_t len);
  bool WriteEvent(const void* ev, std::size_t len);
  std::vector<std::uint8_t> ToHostForm(const std::uint8_t* data, std::size_t n, bool bNumbered,
                                       std::size_t hostLen) const;

  plat::hidsim::IDeviceSide& m_device;
  std::vector<std::uint8_t> m_descriptor;
  bool m_bOwnDescriptor = false;
  plat::HidCaps m_caps;
  int m_fd = -1;
  bool m_bStarted = false;
  bool m_bOpened = false;
  // Report numbering per kind, from the descriptor until UHID_START says.
  bool m_bNumberedIn = false, m_bNumberedOut = false, m_bNumberedFeature = false;
  // The input report taken from the device side and not yet due.
  bool m_bHavePending = false;
  std::vector<std::uint8_t> m_pending;
  std::uint64_t m_pendingDueMs = 0;
};
