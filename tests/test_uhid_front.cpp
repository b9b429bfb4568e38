// The uhid front of the simulated reader, with the test playing the kernel's
// side of /dev/uhid over a packet socket pair: every event the front writes
// is one message, every event the test sends is read as one.
#include <fcntl.h>
#include <linux/uhid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "link/frame.h"
#include "platform/hid_descriptor.h"
#include "sim/model/hid_front.h"
#include "sim/model/reader_ids.h"
#include "sim/model/reader_model.h"
#include "sim/serve/uhid_front.h"
#include "support/virtual_time.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The kernel's end of /dev/uhid.
class FakeKernel {
 public:
  FakeKernel() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    m_fd = sv[0];
    m_frontFd = sv[1];
  }
  ~FakeKernel() {
    if (m_fd >= 0) close(m_fd);
  }
  // The descriptor the front takes over.
  int TakeFrontFd() {
    const int fd = m_frontFd;
    m_frontFd = -1;
    return fd;
  }
  void Send(const uhid_event& ev, std::size_t len = sizeof(uhid_event)) {
    ASSERT_EQ(send(m_fd, &ev, len, 0), static_cast<ssize_t>(len));
  }
  void Send(std::uint32_t type) {
    uhid_event ev{};
    ev.type = type;
    Send(ev);
  }
  void Start(std::uint64_t flags) {
    uhid_event ev{};
    ev.type = UHID_START;
    ev.u.start.dev_flags = flags;
    Send(ev);
  }
  // A report as the host wrote it through hidraw (or as the kernel built it).
  void Output(const Bytes& data, std::uint8_t rtype = UHID_OUTPUT_REPORT, std::uint16_t size = 0) {
    uhid_event ev{};
    ev.type = UHID_OUTPUT;
    std::memcpy(ev.u.output.data, data.data(), data.size());
    ev.u.output.size = size ? size : static_cast<std::uint16_t>(data.size());
    ev.u.output.rtype = rtype;
    Send(ev);
  }
  void SetReport(std::uint32_t id, const Bytes& data, std::uint8_t rtype = UHID_FEATURE_REPORT) {
    uhid_event ev{};
    ev.type = UHID_SET_REPORT;
    ev.u.set_report.id = id;
    ev.u.set_report.rnum = data.empty() ? 0 : data[0];
    ev.u.set_report.rtype = rtype;
    ev.u.set_report.size = static_cast<std::uint16_t>(data.size());
    std::memcpy(ev.u.set_report.data, data.data(), data.size());
    Send(ev);
  }
  void GetReport(std::uint32_t id, std::uint8_t rnum, std::uint8_t rtype = UHID_FEATURE_REPORT) {
    uhid_event ev{};
    ev.type = UHID_GET_REPORT;
    ev.u.get_report.id = id;
    ev.u.get_report.rnum = rnum;
    ev.u.get_report.rtype = rtype;
    Send(ev);
  }
  // The next event the front wrote, if any; *len gets its length.
  std::optional<uhid_event> Next(std::size_t* len = nullptr) {
    uhid_event ev{};
    const ssize_t r = recv(m_fd, &ev, sizeof ev, MSG_DONTWAIT);
    if (r <= 0) return std::nullopt;
    if (len) *len = static_cast<std::size_t>(r);
    return ev;
  }
  // True when the front closed its end.
  bool FrontClosed() {
    char c;
    return recv(m_fd, &c, 1, MSG_DONTWAIT) == 0;
  }
  Bytes NextInput() {
    auto ev = Next();
    if (!ev || ev->type != UHID_INPUT2) return {};
    return Bytes(ev->u.input2.data, ev->u.input2.data + ev->u.input2.size);
  }
  void CloseKernelEnd() {
    close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
  int m_frontFd = -1;
};

// A device side that records what reaches it, for the report-ID byte rules.
class RecordingDevice final : public plat::hidsim::IDeviceSide {
 public:
  explicit RecordingDevice(Bytes descriptor) : m_descriptor(std::move(descriptor)) {}
  plat::hidsim::DeviceInfo Info() override { return {0x1234, 0x5678, m_descriptor, false}; }
  void OnOutputReport(const Bytes& r) override { outputs.push_back(r); }
  void OnSetFeature(const Bytes& r) override { features.push_back(r); }
  Bytes OnGetFeature(std::uint8_t id, std::size_t len) override {
    getLengths.push_back(len);
    Bytes r(len, 0xA5);
    if (len) r[0] = id;
    return r;
  }
  bool NextInputReport(Bytes* r, std::uint64_t* due) override {
    if (inputs.empty()) return false;
    *r = inputs.front();
    *due = 0;
    inputs.pop_front();
    return true;
  }
  std::vector<Bytes> outputs, features;
  std::vector<std::size_t> getLengths;
  std::deque<Bytes> inputs;

 private:
  Bytes m_descriptor;
};

class UhidFrontTest : public VirtualTimeTest {
 protected:
  // Creates the front on the fake kernel and takes its UHID_CREATE2.
  uhid_event Create(UhidFront& front) {
    std::string err;
    EXPECT_TRUE(front.CreateOn(m_kernel.TakeFrontFd(), "test reader", &err)) << err;
    auto ev = m_kernel.Next();
    EXPECT_TRUE(ev && ev->type == UHID_CREATE2);
    return ev ? *ev : uhid_event{};
  }
  void Pump(UhidFront& front) {
    std::string err;
    ASSERT_TRUE(front.OnReadable(&err)) << err;
    front.DeliverDue(Now());
  }
  FakeKernel m_kernel;
};

std::vector<Bytes> Split(const Bytes& b, std::size_t n) {
  std::vector<Bytes> out;
  for (std::size_t i = 0; i < b.size(); i += n) out.emplace_back(b.begin() + i, b.begin() + std::min(b.size(), i + n));
  return out;
}

TEST_F(UhidFrontTest, CreatesAUsbDeviceWithTheReadersIdentityAndRemovesIt) {
  ReaderModel model;
  struct Row {
    SimHidMode mode;
    Bytes descriptor;
    std::uint16_t in, out, feature;
    bool bIds;
  } rows[] = {
      {SimHidMode::Interrupt64, SimHidReportDescriptor(SimHidMode::Interrupt64), 64, 64, 0, true},
      {SimHidMode::Counted65, SimHidReportDescriptor(SimHidMode::Counted65), 65, 65, 0, false},
      {SimHidMode::Feature8, SimHidReportDescriptor(SimHidMode::Feature8), 0, 0, 8, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.mode));
    FakeKernel kernel;
    HidFront hid(model, r.mode, kSimReaderVendorId, kSimReaderProductId);
    UhidFront front(hid);
    std::string err;
    ASSERT_TRUE(front.CreateOn(kernel.TakeFrontFd(), "test reader", &err)) << err;
    const auto ev = kernel.Next();
    ASSERT_TRUE(ev);
    ASSERT_EQ(ev->type, UHID_CREATE2);
    const auto& c = ev->u.create2;
    EXPECT_EQ(c.bus, BUS_USB);
    EXPECT_EQ(c.vendor, kSimReaderVendorId);
    EXPECT_EQ(c.product, kSimReaderProductId);
    EXPECT_STREQ(reinterpret_cast<const char*>(c.name), "test reader");
    ASSERT_EQ(c.rd_size, r.descriptor.size());
    EXPECT_EQ(Bytes(c.rd_data, c.rd_data + c.rd_size), r.descriptor);
    // The lengths the tool will compute from what the kernel hands it.
    plat::HidCaps caps;
    ASSERT_TRUE(plat::ParseReportDescriptor(c.rd_data, c.rd_size, &caps));
    EXPECT_EQ(caps.InputReportByteLength, r.in);
    EXPECT_EQ(caps.OutputReportByteLength, r.out);
    EXPECT_EQ(caps.FeatureReportByteLength, r.feature);
    EXPECT_EQ(caps.bReportIds, r.bIds);

    front.Destroy();
    const auto d = kernel.Next();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->type, UHID_DESTROY);
    EXPECT_TRUE(kernel.FrontClosed());
    front.Destroy();  // a second time: nothing left to do
    EXPECT_EQ(front.Fd(), -1);
  }
}

TEST_F(UhidFrontTest, RefusesDescriptorsTheKernelWouldRefuse) {
  ReaderModel model;
  HidFront hid(model, SimHidMode::Counted65, 1, 2);
  std::string err;
  struct Row {
    const char* name;
    Bytes descriptor;
  } rows[] = {{"empty", {}}, {"too long", Bytes(HID_MAX_DESCRIPTOR_SIZE + 1, 0)}, {"open collection", {0xA1, 0x01}}};
  for (const auto& r : rows) {
    FakeKernel kernel;
    UhidFront front(hid);
    front.SetReportDescriptor(r.descriptor);
    EXPECT_FALSE(front.CreateOn(kernel.TakeFrontFd(), "x", &err)) << r.name;
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(kernel.Next()) << r.name;  // nothing created
    EXPECT_TRUE(kernel.FrontClosed()) << r.name;
  }
  UhidFront front(hid);
  EXPECT_FALSE(front.Create("x", &err, "/nonexistent/uhid"));
  EXPECT_NE(err.find("/nonexistent/uhid"), std::string::npos);
}

// One ping through each mode, with the reports in the form the kernel passes
// them: what hidraw's writer put in (report-ID byte included), what hidraw's
// reader will get (input without an ID byte unless numbered).
TEST_F(UhidFrontTest, PingInEveryMode) {
  const Bytes ping = MakeFrame(0x18, 0x01);
  {
    SCOPED_TRACE("64-byte tagged, report IDs = tags");
    ReaderModel model;
    HidFront hid(model, SimHidMode::Interrupt64, 1, 2);
    UhidFront front(hid);
    front.SetReportDescriptor(SimHidReportDescriptor(SimHidMode::Interrupt64));
    Create(front);
    m_kernel.Start(UHID_DEV_NUMBERED_INPUT_REPORTS | UHID_DEV_NUMBERED_OUTPUT_REPORTS);
    m_kernel.Send(UHID_OPEN);
    m_kernel.Output(CutTaggedReports(ping.data(), ping.size())[0]);
    Pump(front);
    EXPECT_TRUE(front.Started());
    EXPECT_TRUE(front.Opened());
    const Bytes in = m_kernel.NextInput();
    ASSERT_EQ(in.size(), 64u);
    EXPECT_EQ(in[0], 1);  // the tag, which the host reads as the report ID
    EXPECT_TRUE(IsRespOk(in.data() + 1, 0x18));
    EXPECT_EQ(CheckRxFrame(in.data() + 1, 63), 16);
  }
  for (bool bKernelBuilt : {false, true}) {
    SCOPED_TRACE(bKernelBuilt ? "65-byte counted, report without its ID byte" : "65-byte counted");
    FakeKernel kernel;
    ReaderModel model;
    HidFront hid(model, SimHidMode::Counted65, 1, 2);
    UhidFront front(hid);
    std::string err;
    ASSERT_TRUE(front.CreateOn(kernel.TakeFrontFd(), "x", &err));
    kernel.Next();
    kernel.Start(0);
    kernel.Send(UHID_OPEN);
    Bytes out = CutCountedReports(ping.data(), ping.size())[0];
    ASSERT_EQ(out.size(), 65u);
    if (bKernelBuilt) out.erase(out.begin());
    kernel.Output(out);
    ASSERT_TRUE(front.OnReadable(&err));
    front.DeliverDue(Now());
    const Bytes in = kernel.NextInput();
    ASSERT_EQ(in.size(), 64u);  // no ID byte: the device is unnumbered
    EXPECT_EQ(in[0], 16);       // the count byte, last report
    EXPECT_TRUE(IsRespOk(in.data() + 1, 0x18));
  }
  {
    SCOPED_TRACE("8-byte feature");
    FakeKernel kernel;
    ReaderModel model;
    HidFront hid(model, SimHidMode::Feature8, 1, 2);
    UhidFront front(hid);
    std::string err;
    ASSERT_TRUE(front.CreateOn(kernel.TakeFrontFd(), "x", &err));
    kernel.Next();
    kernel.Start(0);
    std::uint32_t id = 100;
    for (const Bytes& chunk : Split(ping, 7)) {
      Bytes rep(8, 0);
      std::copy(chunk.begin(), chunk.end(), rep.begin() + 1);
      kernel.SetReport(++id, rep);
      ASSERT_TRUE(front.OnReadable(&err));
      const auto reply = kernel.Next();
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->type, UHID_SET_REPORT_REPLY);
      EXPECT_EQ(reply->u.set_report_reply.id, id);
      EXPECT_EQ(reply->u.set_report_reply.err, 0);
    }
    Bytes answer;
    for (int i = 0; i < 3; ++i) {
      kernel.GetReport(++id, 0);
      ASSERT_TRUE(front.OnReadable(&err));
      const auto reply = kernel.Next();
      ASSERT_TRUE(reply);
      ASSERT_EQ(reply->type, UHID_GET_REPORT_REPLY);
      const auto& g = reply->u.get_report_reply;
      EXPECT_EQ(g.id, id);
      EXPECT_EQ(g.err, 0);
      ASSERT_EQ(g.size, 8);
      EXPECT_EQ(g.data[0], 0);  // the ID byte leads the reply
      answer.insert(answer.end(), g.data + 1, g.data + 8);
    }
    EXPECT_EQ(CheckRxFrame(answer.data(), static_cast<DWORD>(answer.size())), 16);
    EXPECT_TRUE(IsRespOk(answer.data(), 0x18));
  }
}

TEST_F(UhidFrontTest, InputWaitsForAnOpenDeviceAndItsTime) {
  ReaderConfig cfg;
  cfg.nAnswerDelayMs = 5;
  ReaderModel model(cfg);
  HidFront hid(model, SimHidMode::Counted65, 1, 2);
  UhidFront front(hid);
  Create(front);
  m_kernel.Start(0);
  const Bytes ping = MakeFrame(0x18, 0x01);
  const Bytes report = CutCountedReports(ping.data(), ping.size())[0];

  // Nobody has the device open: the answer stays with the reader.
  m_kernel.Output(report);
  Pump(front);
  m_clock.Advance(100);
  EXPECT_EQ(front.DeliverDue(Now()), UINT64_MAX);
  EXPECT_FALSE(m_kernel.Next());

  // Opened: it goes at once, being long due.
  m_kernel.Send(UHID_OPEN);
  Pump(front);
  EXPECT_TRUE(IsRespOk(m_kernel.NextInput().data() + 1, 0x18));

  // A fresh answer waits out the reader's delay.
  m_kernel.Output(report);
  Pump(front);
  EXPECT_FALSE(m_kernel.Next());
  EXPECT_EQ(front.DeliverDue(Now()), Now() + 5);
  m_clock.Advance(4);
  EXPECT_EQ(front.DeliverDue(Now()), Now() + 1);
  EXPECT_FALSE(m_kernel.Next());
  m_clock.Advance(1);
  EXPECT_EQ(front.DeliverDue(Now()), UINT64_MAX);
  EXPECT_EQ(m_kernel.NextInput().size(), 64u);

  // Closed again: held until the next open.
  m_kernel.Send(UHID_CLOSE);
  m_kernel.Output(report);
  Pump(front);
  m_clock.Advance(10);
  EXPECT_EQ(front.DeliverDue(Now()), UINT64_MAX);
  EXPECT_FALSE(m_kernel.Next());
  m_kernel.Send(UHID_OPEN);
  Pump(front);
  EXPECT_EQ(m_kernel.NextInput().size(), 64u);
}

// What the kernel hands over is bounded by the event, never by the sizes the
// event claims, and requests the device cannot serve are answered with an
// error instead of being left to the kernel's 5-second time-out.
TEST_F(UhidFrontTest, ReportIdBytesAndBoundsOfEveryEvent) {
  // Unnumbered output and feature reports of 65 and 8 bytes, no input.
  RecordingDevice dev(SimHidReportDescriptor(SimHidMode::FeatureOnly));
  UhidFront front(dev);
  Create(front);
  m_kernel.Start(0);
  m_kernel.Send(UHID_OPEN);

  m_kernel.Output(Bytes(64, 0x11));  // hidraw: byte 0 included
  m_kernel.Output(Bytes(63, 0x22));  // built by the kernel: no ID byte
  m_kernel.Output(Bytes(10, 0x33));  // short: as it came
  m_kernel.Output(Bytes(8, 0x44),
                  UHID_FEATURE_REPORT);  // a feature report by the output path
  m_kernel.Output(Bytes(16, 0x55), UHID_OUTPUT_REPORT,
                  60000);  // size beyond the data field
  Pump(front);
  ASSERT_EQ(dev.outputs.size(), 4u);
  EXPECT_EQ(dev.outputs[0], Bytes(64, 0x11));
  Bytes prefixed(64, 0x22);
  prefixed[0] = 0;
  EXPECT_EQ(dev.outputs[1], prefixed);
  EXPECT_EQ(dev.outputs[2], Bytes(10, 0x33));
  EXPECT_EQ(dev.outputs[3].size(), static_cast<std::size_t>(UHID_DATA_MAX));
  ASSERT_EQ(dev.features.size(), 1u);
  EXPECT_EQ(dev.features[0], Bytes(8, 0x44));

  // SET_REPORT: output reports go to the output path, input reports are
  // refused.
  m_kernel.SetReport(1, Bytes(8, 0x66));
  m_kernel.SetReport(2, Bytes(7, 0x77));
  m_kernel.SetReport(3, Bytes(64, 0x88), UHID_OUTPUT_REPORT);
  m_kernel.SetReport(4, Bytes(8, 0x99), UHID_INPUT_REPORT);
  Pump(front);
  ASSERT_EQ(dev.features.size(), 3u);
  EXPECT_EQ(dev.features[1], Bytes(8, 0x66));
  EXPECT_EQ(dev.features[2], (Bytes{0, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77}));
  EXPECT_EQ(dev.outputs.back(), Bytes(64, 0x88));
  for (std::uint32_t id = 1; id <= 4; ++id) {
    const auto r = m_kernel.Next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->type, UHID_SET_REPORT_REPLY);
    EXPECT_EQ(r->u.set_report_reply.id, id);
    EXPECT_EQ(r->u.set_report_reply.err, id == 4 ? EIO : 0);
  }

  // A SET_REPORT whose size claims more than the event carries.
  uhid_event ev{};
  ev.type = UHID_SET_REPORT;
  ev.u.set_report.id = 5;
  ev.u.set_report.rtype = UHID_FEATURE_REPORT;
  ev.u.set_report.size = 4000;
  const std::size_t shortLen = sizeof ev.type + offsetof(uhid_set_report_req, data) + 3;
  m_kernel.Send(ev, shortLen);
  // Events too short for their type, and types this front does not know.
  ev = uhid_event{};
  ev.type = UHID_OUTPUT;
  m_kernel.Send(ev, sizeof ev.type + 10);
  ev.type = UHID_GET_REPORT;
  m_kernel.Send(ev, sizeof ev.type + 2);
  ev.type = 99;
  m_kernel.Send(ev);
  Pump(front);
  ASSERT_EQ(dev.features.size(), 4u);
  EXPECT_EQ(dev.features[3].size(), 3u);
  const auto r5 = m_kernel.Next();
  ASSERT_TRUE(r5);
  EXPECT_EQ(r5->u.set_report_reply.id, 5u);
  EXPECT_FALSE(m_kernel.Next());
  EXPECT_EQ(dev.outputs.size(), 5u);

  // GET_REPORT: a feature report of the descriptor's length, ID byte first;
  // input and output reports cannot be fetched.
  m_kernel.GetReport(6, 0);
  m_kernel.GetReport(7, 0, UHID_INPUT_REPORT);
  Pump(front);
  ASSERT_EQ(dev.getLengths, std::vector<std::size_t>{8});
  std::size_t len = 0;
  auto g = m_kernel.Next(&len);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->u.get_report_reply.id, 6u);
  EXPECT_EQ(g->u.get_report_reply.err, 0);
  ASSERT_EQ(g->u.get_report_reply.size, 8);
  EXPECT_EQ(g->u.get_report_reply.data[0], 0);
  EXPECT_EQ(g->u.get_report_reply.data[7], 0xA5);
  EXPECT_EQ(len, sizeof ev.type + offsetof(uhid_get_report_reply_req, data) + 8);
  g = m_kernel.Next();
  ASSERT_TRUE(g);
  EXPECT_EQ(g->u.get_report_reply.id, 7u);
  EXPECT_EQ(g->u.get_report_reply.err, EIO);
  EXPECT_EQ(g->u.get_report_reply.size, 0);

  // Input: unnumbered reports lose their ID byte, numbered ones keep it.
  dev.inputs.push_back(Bytes(64, 0x10));
  front.DeliverDue(Now());
  EXPECT_EQ(m_kernel.NextInput(), Bytes(63, 0x10));
  m_kernel.Start(UHID_DEV_NUMBERED_INPUT_REPORTS);
  Pump(front);
  dev.inputs.push_back(Bytes(64, 0x20));
  front.DeliverDue(Now());
  EXPECT_EQ(m_kernel.NextInput(), Bytes(64, 0x20));
}

TEST_F(UhidFrontTest, TheKernelsEndGoingAwayIsAnError) {
  ReaderModel model;
  HidFront hid(model, SimHidMode::Counted65, 1, 2);
  UhidFront front(hid);
  Create(front);
  m_kernel.CloseKernelEnd();
  std::string err;
  EXPECT_FALSE(front.OnReadable(&err));
  EXPECT_FALSE(err.empty());
  front.Destroy();
  EXPECT_FALSE(front.OnReadable(&err));
}

}  // namespace
