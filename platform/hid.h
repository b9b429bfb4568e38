// The tool's view of the machine's HID interfaces: find them, open one, learn
// its report sizes, move input, output and feature reports with deadlines.
//
// Reports always travel in the host form the transport layer expects: byte 0
// is the report-ID position (0 for a device without numbered reports), and an
// input report is as long as the device's InputReportByteLength. Backends map
// their own conventions onto this form (hidraw drops the ID byte on reads of
// unnumbered devices; the backend puts a 0 back).
//
// Behind the seam sit the operating system's backend (chosen by the platform
// files: hidraw on Linux, or the simulator socket when READERTOOL_HID_SIM
// names one) and the in-process fake that tests install with SetHidBackend.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace plat {

// One HID interface as a listing shows it. Path and identity say what it is
// now; serial number and location say which physical reader it belongs to,
// and stay the same when the reader comes back as another USB device (its
// bootloader, often with another product ID and a new path).
struct HidInterfaceInfo {
  std::string path;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  // The USB device's serial number; empty when it has none.
  std::string serial = {};
  // Where the USB device is plugged in: bus and port chain ("1-1.4.2" on
  // Linux, the location path on Windows, the socket for a simulated reader);
  // empty when the system does not say.
  std::string location = {};
};

// Report capabilities as the tool reasons about them: the longest report of
// each kind in bytes plus one for the report-ID position, 0 when the device
// has no report of that kind.
struct HidCaps {
  std::uint16_t InputReportByteLength = 0;
  std::uint16_t OutputReportByteLength = 0;
  std::uint16_t FeatureReportByteLength = 0;
  bool bReportIds = false;
};

enum class HidOpenMode {
  // Read-write, exclusive against every other program that honours the
  // advisory lock (another instance of this tool always does).
  Exclusive,
  // Capabilities and feature reports only, shared with other feature-only
  // opens but not with an exclusive holder (whose run it would disturb).
  // Input and output reports are refused on such a handle.
  FeatureOnly,
};

// How one report transfer ended.
enum class HidIo {
  Ok,         // the whole report moved
  Timeout,    // nothing moved before the deadline; the transfer may be tried again
  Retry,      // a transient condition (interrupted, out of buffers); try again
  EndOfFile,  // the other end closed the stream
  Gone,       // the device disappeared (POLLERR/POLLHUP, ENODEV)
  Error,      // any other failure; errno (or the backend's equivalent) is kept by the handle
  Stopped,    // a stop request ended the wait
};

enum class HidOpenError { None, NotFound, Busy, AccessDenied, Refused, Other };

// Why an open failed: the kind, and where the system refused, its error code
// (errno, or the Windows error code) and its words for it.
struct HidOpenStatus {
  HidOpenError kind = HidOpenError::None;
  long sysCode = 0;
  std::string sysMessage;
};

class IHidHandle {
 public:
  virtual ~IHidHandle() = default;
  // Vendor and product ID of the open interface.
  virtual bool GetAttributes(std::uint16_t* vendorId, std::uint16_t* productId) = 0;
  // Report capabilities, computed from the device's report descriptor.
  virtual bool GetCaps(HidCaps* caps) = 0;
  // Waits until an input report arrives, the deadline (process clock) passes
  // or a stop is requested. On Ok, buf holds one report in host form, cut to
  // len or filled up with zeros to len, and *got is len.
  virtual HidIo ReadReport(std::uint8_t* buf, std::size_t len, std::size_t* got, std::uint64_t deadlineMs) = 0;
  // Sends one output report (host form). *written is the byte count taken.
  virtual HidIo WriteReport(const std::uint8_t* buf, std::size_t len, std::size_t* written,
                            std::uint64_t deadlineMs) = 0;
  // Feature reports over the control pipe; buf[0] is the report ID.
  virtual bool SetFeature(const std::uint8_t* buf, std::size_t len) = 0;
  virtual bool GetFeature(std::uint8_t* buf, std::size_t len) = 0;
  // errno (or equivalent) of the last failed operation, 0 when none.
  virtual int LastError() const = 0;
};

class IHidBackend {
 public:
  virtual ~IHidBackend() = default;
  // The HID interfaces present now, in a stable order. False when the list
  // cannot be had at all (an empty machine gives true and no entries).
  virtual bool Enumerate(std::vector<HidInterfaceInfo>* out) = 0;
  // The interface at `path` (a path of the listing, or on Linux a link to
  // one), as the listing would show it, without looking at any other
  // interface; false when there is none. Backends whose listing disturbs
  // nothing may keep this default, which lists them all.
  virtual bool Describe(const std::string& path, HidInterfaceInfo* out) {
    std::vector<HidInterfaceInfo> all;
    if (!Enumerate(&all)) return false;
    for (HidInterfaceInfo& itf : all) {
      if (itf.path != path) continue;
      *out = std::move(itf);
      return true;
    }
    return false;
  }
  virtual std::unique_ptr<IHidHandle> Open(const std::string& path, HidOpenMode mode, HidOpenStatus* status) = 0;
};

// The backend in force: the installed one, else the system's.
IHidBackend& HidBackend();
// Installs a backend for the whole process; nullptr restores the default. Not owned.
void SetHidBackend(IHidBackend* backend);

// The operating system's backend, looked up at each call (a front end may
// point the tool at a simulated reader just before it connects).
IHidBackend& SystemHidBackend();

class ScopedHidBackend {
 public:
  explicit ScopedHidBackend(IHidBackend& b) { SetHidBackend(&b); }
  ~ScopedHidBackend() { SetHidBackend(nullptr); }
  ScopedHidBackend(const ScopedHidBackend&) = delete;
  ScopedHidBackend& operator=(const ScopedHidBackend&) = delete;
};

}  // namespace plat
