// The simulator socket: the HID client backend against the server, serving a
// trivial device that echoes every output report as an input report and
// every request sent in feature reports back through get-feature. Real time
// over a real Unix socket; every wait has a deadline and nothing sleeps.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "link/frame.h"
#include "platform/clock.h"
#include "platform/hid_descriptor.h"
#include "platform/linux/hidraw.h"
#include "platform/posix/hid_sim_client.h"
#include "platform/posix/hid_sim_server.h"
#include "platform/stop.h"
#include "transport/hid_device.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint16_t kVid = 0x1DB2, kPid = 0x0042;
constexpr std::uint64_t kWaitMs = 5000;

// Vendor collection with 8-bit fields; `count` bytes per report.
Bytes Descriptor(std::uint8_t count, bool inOut, bool feature) {
  Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, count};
  if (inOut) d.insert(d.end(), {0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02});
  if (feature) d.insert(d.end(), {0x95, 0x07, 0x09, 0x01, 0xB1, 0x02});
  d.push_back(0xC0);
  return d;
}

class EchoDevice final : public plat::hidsim::IDeviceSide {
 public:
  EchoDevice(Bytes descriptor, bool featureOnly) : m_desc(std::move(descriptor)), m_featureOnly(featureOnly) {}

  plat::hidsim::DeviceInfo Info() override { return {kVid, kPid, m_desc, m_featureOnly}; }
  void OnOutputReport(const Bytes& r) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_in.push_back(r);
  }
  void OnSetFeature(const Bytes& r) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_featureData.insert(m_featureData.end(), r.begin() + 1, r.end());
    ++setFeatures;
  }
  Bytes OnGetFeature(std::uint8_t id, std::size_t len) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    Bytes r(len, 0);
    r[0] = id;
    for (std::size_t i = 1; i < len && !m_featureData.empty(); ++i) {
      r[i] = m_featureData.front();
      m_featureData.pop_front();
    }
    return r;
  }
  bool NextInputReport(Bytes* report, std::uint64_t* notBeforeMs) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_in.empty()) return false;
    *report = m_in.front();
    m_in.pop_front();
    *notBeforeMs = 0;
    return true;
  }
  int setFeatures = 0;

 private:
  std::mutex m_mutex;
  Bytes m_desc;
  bool m_featureOnly;
  std::deque<Bytes> m_in;
  std::deque<std::uint8_t> m_featureData;
};

class HidSimSocketTest : public ::testing::Test {
 protected:
  HidSimSocketTest() {
    plat::Stop().Clear();
    char tmpl[] = "/tmp/hidsim-test-XXXXXX";
    m_dir = mkdtemp(tmpl);
    m_path = m_dir + "/reader.sock";
  }
  ~HidSimSocketTest() override {
    if (m_server) m_server->Stop();
    rmdir(m_dir.c_str());
  }

  void Serve(Bytes descriptor, bool featureOnly = false) {
    m_device = std::make_unique<EchoDevice>(std::move(descriptor), featureOnly);
    m_server = std::make_unique<plat::HidSimServer>(*m_device);
    std::string err;
    ASSERT_TRUE(m_server->Start(m_path, &err)) << err;
    m_client = plat::MakeHidSimClientBackend(m_path);
  }

  std::string m_dir, m_path;
  std::unique_ptr<EchoDevice> m_device;
  std::unique_ptr<plat::HidSimServer> m_server;
  std::unique_ptr<plat::IHidBackend> m_client;
};

TEST_F(HidSimSocketTest, EnumerateOpenAndEchoAReport) {
  Serve(Descriptor(63, true, false));
  std::vector<plat::HidInterfaceInfo> list;
  ASSERT_TRUE(m_client->Enumerate(&list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path, m_path);
  EXPECT_EQ(list[0].vendorId, kVid);
  EXPECT_EQ(list[0].productId, kPid);

  auto h = m_client->Open(m_path, plat::HidOpenMode::Exclusive, nullptr);
  ASSERT_TRUE(h);
  std::uint16_t vid = 0, pid = 0;
  ASSERT_TRUE(h->GetAttributes(&vid, &pid));
  EXPECT_EQ(vid, kVid);
  plat::HidCaps caps;
  ASSERT_TRUE(h->GetCaps(&caps));
  EXPECT_EQ(caps.InputReportByteLength, 64);
  EXPECT_EQ(caps.OutputReportByteLength, 64);

  Bytes out(64);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i + 1);
  std::size_t n = 0;
  ASSERT_EQ(h->WriteReport(out.data(), out.size(), &n, plat::NowMs() + kWaitMs), plat::HidIo::Ok);
  EXPECT_EQ(n, 64u);
  Bytes in(64);
  ASSERT_EQ(h->ReadReport(in.data(), in.size(), &n, plat::NowMs() + kWaitMs), plat::HidIo::Ok);
  EXPECT_EQ(in, out);
}

TEST_F(HidSimSocketTest, NoSimulatorMeansNoInterfaceNotAFailure) {
  m_client = plat::MakeHidSimClientBackend(m_path);
  std::vector<plat::HidInterfaceInfo> list;
  EXPECT_TRUE(m_client->Enumerate(&list));
  EXPECT_TRUE(list.empty());
  plat::HidOpenStatus err;
  EXPECT_FALSE(m_client->Open(m_path, plat::HidOpenMode::Exclusive, &err));
  EXPECT_EQ(err.kind, plat::HidOpenError::NotFound);
}

TEST_F(HidSimSocketTest, OpensLockLikeAHidrawNode) {
  Serve(Descriptor(63, true, true));
  auto first = m_client->Open(m_path, plat::HidOpenMode::Exclusive, nullptr);
  ASSERT_TRUE(first);
  // Nobody else gets in while the device is held exclusively.
  for (plat::HidOpenMode mode : {plat::HidOpenMode::Exclusive, plat::HidOpenMode::FeatureOnly}) {
    plat::HidOpenStatus err;
    EXPECT_FALSE(m_client->Open(m_path, mode, &err));
    EXPECT_EQ(err.kind, plat::HidOpenError::Busy);
  }
  first.reset();

  // Feature-only clients share with each other, and keep an exclusive open out.
  auto query = m_client->Open(m_path, plat::HidOpenMode::FeatureOnly, nullptr);
  ASSERT_TRUE(query);
  auto query2 = m_client->Open(m_path, plat::HidOpenMode::FeatureOnly, nullptr);
  ASSERT_TRUE(query2);
  EXPECT_FALSE(m_client->Open(m_path, plat::HidOpenMode::Exclusive, nullptr));

  Bytes feature = {0, 'a', 'b', 'c', 'd', 'e', 'f', 'g'};
  ASSERT_TRUE(query->SetFeature(feature.data(), feature.size()));
  Bytes back(8, 0xEE);
  back[0] = 0;  // the report ID asked for
  ASSERT_TRUE(query2->GetFeature(back.data(), back.size()));
  EXPECT_EQ(back, feature);
  // Interrupt reports are for an exclusive holder only.
  std::size_t n = 0;
  EXPECT_NE(query->WriteReport(feature.data(), feature.size(), &n, plat::NowMs() + kWaitMs), plat::HidIo::Ok);

  query.reset();
  query2.reset();
  EXPECT_TRUE(m_client->Open(m_path, plat::HidOpenMode::Exclusive, nullptr));
}

TEST_F(HidSimSocketTest, TheHidDeviceExchangesFramesThroughTheSocket) {
  for (int mode = 0; mode < 2; ++mode) {
    SCOPED_TRACE(mode == 0 ? "counted 65-byte reports" : "tagged 64-byte reports");
    if (m_server) m_server->Stop();
    Serve(mode == 0 ? Descriptor(64, true, false) : Descriptor(63, true, false));
    plat::ScopedHidBackend use(*m_client);
    CHidDevice dev;
    ASSERT_TRUE(dev.Open(kVid, kPid));
    EXPECT_EQ(dev.m_nReportMode, 0);
    dev.SetTaggedReports(static_cast<BYTE>(mode));
    // The echo makes the request its own answer: a V2 frame of 127 bytes.
    const Bytes frame = MakeFrame(0x29, 0x00, Bytes(111, 0x3C));
    Bytes resp(512, 0);
    ASSERT_EQ(dev.SendAndGetResponseUSBHID(frame.data(), static_cast<DWORD>(frame.size()), resp.data(), 512,
                                           static_cast<DWORD>(kWaitMs), nullptr),
              frame.size());
    EXPECT_EQ(Bytes(resp.begin(), resp.begin() + frame.size()), frame);
  }
}

TEST_F(HidSimSocketTest, AFeatureOnlyDeviceIsReachedThroughTheFallback) {
  Serve(Descriptor(63, true, true), /*featureOnly=*/true);
  plat::ScopedHidBackend use(*m_client);
  CHidDevice dev;
  EXPECT_FALSE(dev.Open(kVid, kPid));
  ASSERT_TRUE(dev.OpenFeatureOnly(kVid, kPid));
  EXPECT_EQ(dev.m_nReportMode, 1);
  EXPECT_EQ(dev.m_caps.FeatureReportByteLength, 8);
  const Bytes frame = MakeFrame(0x18, 0x01, Bytes(4, 0x11));
  Bytes resp(512, 0);
  EXPECT_EQ(dev.SendAndGetResponseUSBHID(frame.data(), static_cast<DWORD>(frame.size()), resp.data(), 512,
                                         static_cast<DWORD>(kWaitMs), nullptr),
            frame.size());
  EXPECT_EQ(Bytes(resp.begin(), resp.begin() + frame.size()), frame);
  EXPECT_EQ(m_device->setFeatures, 3);
}

TEST_F(HidSimSocketTest, UnpluggingEndsAWaitingRead) {
  Serve(Descriptor(63, true, false));
  auto h = m_client->Open(m_path, plat::HidOpenMode::Exclusive, nullptr);
  ASSERT_TRUE(h);
  m_server->DisconnectClients();
  Bytes in(64);
  std::size_t n = 0;
  const plat::HidIo r = h->ReadReport(in.data(), in.size(), &n, plat::NowMs() + 60000);
  EXPECT_TRUE(r == plat::HidIo::EndOfFile || r == plat::HidIo::Gone) << static_cast<int>(r);
}

TEST_F(HidSimSocketTest, AStopRequestEndsAWaitingRead) {
  Serve(Descriptor(63, true, false));
  auto h = m_client->Open(m_path, plat::HidOpenMode::Exclusive, nullptr);
  ASSERT_TRUE(h);
  plat::Stop().Request();
  Bytes in(64);
  std::size_t n = 0;
  EXPECT_EQ(h->ReadReport(in.data(), in.size(), &n, plat::NowMs() + 60000), plat::HidIo::Stopped);
  plat::Stop().Clear();
}

TEST_F(HidSimSocketTest, AClientSpeakingNonsenseIsDroppedAndOthersAreServed) {
  Serve(Descriptor(63, true, false));
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", m_path.c_str());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::uint8_t junk[] = {0x7E, 0x02, 0x00, 0xDE, 0xAD};
  ASSERT_EQ(write(fd, junk, sizeof junk), static_cast<ssize_t>(sizeof junk));
  std::uint8_t b;
  EXPECT_EQ(read(fd, &b, 1), 0);  // the server hangs up
  close(fd);
  EXPECT_TRUE(m_client->Open(m_path, plat::HidOpenMode::Exclusive, nullptr));
}

TEST_F(HidSimSocketTest, TheSocketFileIsManagedCarefully) {
  Serve(Descriptor(63, true, false));
  // A second server on a live socket is refused.
  EchoDevice other(Descriptor(63, true, false), false);
  plat::HidSimServer second(other);
  std::string err;
  EXPECT_FALSE(second.Start(m_path, &err));
  EXPECT_NE(err.find("in use"), std::string::npos) << err;
  // Stop removes the socket.
  m_server->Stop();
  EXPECT_NE(access(m_path.c_str(), F_OK), 0);
  // A stale socket (nobody listening) is replaced.
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", m_path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);
  EXPECT_TRUE(second.Start(m_path, &err)) << err;
  second.Stop();
  // Any other file is left alone.
  FILE* f = std::fopen(m_path.c_str(), "w");
  ASSERT_TRUE(f);
  std::fclose(f);
  EXPECT_FALSE(second.Start(m_path, &err));
  unlink(m_path.c_str());
}

TEST_F(HidSimSocketTest, TheEnvironmentVariableSelectsTheSimulator) {
  Serve(Descriptor(63, true, false));
  setenv("READERTOOL_HID_SIM", m_path.c_str(), 1);
  std::vector<plat::HidInterfaceInfo> list;
  const bool ok = plat::HidBackend().Enumerate(&list);
  unsetenv("READERTOOL_HID_SIM");
  ASSERT_TRUE(ok);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path, m_path);
  EXPECT_EQ(&plat::HidBackend(), &plat::HidrawBackend());
}

}  // namespace
