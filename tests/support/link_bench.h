// A test bench for the reader link, in virtual time: a reader at the far end
// of both transports (the fake serial port COM1 and a fake 64-byte interrupt
// HID device) that records every request frame it receives, with what the
// host's state was at that moment (tagged-report flag, COM1's time-outs), and
// answers through a replaceable responder. The calling thread's event pump
// is a recorder, so a test sees which exchanges pumped events and how long
// each wait was.
//
// The link's globals (selector, both transports, tagged-report flag, pacing
// table) outlive a test; the bench puts them back to the start-up state
// before and after each one.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "link/frame.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "platform/clock.h"
#include "support/test_window.h"
#include "platform/hid.h"
#include "platform/pump.h"
#include "platform/serial.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/virtual_time.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"

namespace linkbench {

using Bytes = std::vector<BYTE>;

// "18 01 00 00 FF 61" -> bytes; blanks are ignored.
inline Bytes Hex(const std::string& s) {
  Bytes out;
  std::string digits;
  for (char c : s)
    if (c != ' ') digits += c;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<BYTE>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  return out;
}

// The request header "Kestrula2" NUL followed by the bytes given in hex.
inline Bytes Req(const std::string& hexAfterHeader) {
  Bytes f(reinterpret_cast<const BYTE*>(g_pszFrameHeader), reinterpret_cast<const BYTE*>(g_pszFrameHeader) + 10);
  const Bytes rest = Hex(hexAfterHeader);
  f.insert(f.end(), rest.begin(), rest.end());
  return f;
}

inline std::string ToHex(const Bytes& b) {
  static const char* const kDigits = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i) s += ' ';
    s += kDigits[b[i] >> 4];
    s += kDigits[b[i] & 15];
  }
  return s;
}

// Records the pump calls of the thread it is installed on; waits move the
// virtual clock to their deadline (or end at once on a stop request).
class RecordingPump final : public plat::IEventPump {
 public:
  struct Wait {
    std::uint64_t fromMs, untilMs;
  };
  void DispatchOne() override {
    ++nDispatched;
    if (onDispatch) onDispatch();
  }
  void WaitUntil(std::uint64_t deadlineMs) override {
    waits.push_back({plat::NowMs(), deadlineMs});
    plat::Clock().SleepUntil(deadlineMs);
  }
  void Clear() {
    nDispatched = 0;
    waits.clear();
  }
  int nDispatched = 0;
  std::vector<Wait> waits;
  std::function<void()> onDispatch;
};

constexpr int kVid = 0x1DB2;
constexpr int kPid = 0x0042;
constexpr char kCom1Def[] = "\\\\.\\COM1/baud=115200/parity=N/stop=1/data=8";

// One request frame as the reader received it.
struct Request {
  int nInterface;               // the transport that carried it
  std::uint64_t atMs;           // when its last byte reached the reader
  Bytes bytes;                  // the whole request frame
  BYTE bTagged;                 // the HID device's tagged-report flag at that moment
  plat::SerialTimeouts serial;  // COM1's time-outs at that moment
};

class LinkBench : public VirtualTimeTest {
 protected:
  using Request = linkbench::Request;
  // The reader's answer to a request: a frame, or nothing (silence).
  using Responder = std::function<std::optional<Bytes>(const Request&)>;

  LinkBench() {
    ResetLinkGlobals();
    m_com1.OnWrite([this](const Bytes& w) { OnSerialBytes(w); });
    m_usb.onOutput = [this](const fakehid::Report& r) { OnHidReport(r); };
  }
  ~LinkBench() override { ResetLinkGlobals(); }

  // Opens the transport of the interface and selects it.
  void Use(int nInterface) {
    if (nInterface == kInterfaceRs232)
      ASSERT_TRUE(g_Rs232Port.Open(kCom1Def));
    else
      ASSERT_TRUE(g_HidDevice.Open(kVid, kPid));
    g_nInterface = nInterface;
  }

  // Every request answered with its command byte and this status (no data).
  void AnswerAll(BYTE status) {
    m_responder = [status](const Request& r) -> std::optional<Bytes> { return MakeFrame(r.bytes[10], status); };
  }
  void AnswerNothing() {
    m_responder = [](const Request&) -> std::optional<Bytes> { return std::nullopt; };
  }

  // Time from the last request byte to the first answer byte.
  std::uint64_t m_nAnswerDelayMs = 20;
  Responder m_responder = [](const Request& r) -> std::optional<Bytes> { return MakeFrame(r.bytes[10], 0x00); };
  std::vector<Request> m_requests;

  FakeSerial m_serial;
  FakeSerialPort& m_com1 = m_serial.AddPort("COM1");
  fakehid::FakeHidBackend m_backend;
  plat::ScopedHidBackend m_useHid{m_backend};
  fakehid::FakeHidDevice& m_usb = m_backend.AddDevice(kVid, kPid, 64, 64, 0);
  RecordingPump m_pump;
  plat::ScopedThreadPump m_usePump{m_pump};

 private:
  // The frame at the start of buf once all of it is in, else nothing.
  static bool TakeFrame(Bytes* buf, Bytes* frame) {
    if (buf->size() < 14) return false;
    const std::size_t total = 256u * (*buf)[12] + (*buf)[13] + 16u;
    if (buf->size() < total) return false;
    frame->assign(buf->begin(), buf->begin() + static_cast<std::ptrdiff_t>(total));
    buf->clear();  // a request is followed by nothing until it is answered
    return true;
  }

  void OnSerialBytes(const Bytes& w) {
    m_serialRx.insert(m_serialRx.end(), w.begin(), w.end());
    Bytes frame;
    if (TakeFrame(&m_serialRx, &frame)) Received(kInterfaceRs232, frame);
  }

  // Tagged reports (tag 1 whole, 2 first, 3 middle, 4 last, then 63 frame
  // bytes) while the host's flag is set; raw 64-byte slices of the frame otherwise.
  void OnHidReport(const fakehid::Report& r) {
    if (g_HidDevice.GetTaggedReports()) {
      if (r[0] == 1 || r[0] == 2) m_hidRx.clear();
      m_hidRx.insert(m_hidRx.end(), r.begin() + 1, r.end());
      if (r[0] != 1 && r[0] != 4) return;
    } else {
      m_hidRx.insert(m_hidRx.end(), r.begin(), r.end());
    }
    Bytes frame;
    if (TakeFrame(&m_hidRx, &frame)) Received(kInterfaceUsbHid, frame);
  }

  void Received(int nInterface, const Bytes& frame) {
    Request req{nInterface, plat::NowMs(), frame, g_HidDevice.GetTaggedReports(), m_com1.Timeouts()};
    m_requests.push_back(req);
    const std::optional<Bytes> answer = m_responder(req);
    if (!answer) return;
    if (nInterface == kInterfaceRs232)
      m_com1.ArriveAfter(m_nAnswerDelayMs, *answer);
    else
      m_usb.QueueInputs(fakehid::TaggedReports(*answer), plat::NowMs() + m_nAnswerDelayMs);
  }

  Bytes m_serialRx;
  Bytes m_hidRx;
};

}  // namespace linkbench
