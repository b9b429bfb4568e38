// CHidDevice: finding the reader among HID interfaces, the report-mode table,
// the feature-only fallback, Close, and the tagged-report flag, over the fake
// HID backend.
#include <gtest/gtest.h>

#include <string>

#include "support/fake_hid.h"
#include "support/virtual_time.h"
#include "transport/hid_device.h"

namespace {

using fakehid::FakeHidBackend;
using fakehid::FakeHidDevice;

constexpr int kVid = 0x1DB2, kPid = 0x0042;

class HidDeviceTest : public VirtualTimeTest {
 protected:
  FakeHidBackend m_backend;
  plat::ScopedHidBackend m_use{m_backend};
  CHidDevice m_dev;
};

TEST(HidDeviceGlobal, StartsClosed) {
  EXPECT_FALSE(g_HidDevice.IsOpen());
  EXPECT_EQ(g_HidDevice.m_nReportMode, -1);
  EXPECT_EQ(g_HidDevice.m_nVendorID, 0);
  EXPECT_EQ(g_HidDevice.m_nHdrBase, 11);
  EXPECT_EQ(g_HidDevice.m_nVerIdx, 9);
  EXPECT_EQ(g_HidDevice.GetTaggedReports(), 0);
  EXPECT_EQ(g_HidDevice.m_hIoEvent, nullptr);
}

TEST_F(HidDeviceTest, ModeTable) {
  struct Row {
    int feature, in, out, mode;
  };
  const Row rows[] = {
      {8, 64, 64, 0}, {0, 64, 64, 0}, {0, 65, 65, 0},  {8, 65, 65, 0}, {0, 64, 65, -1}, {8, 65, 64, -1},
      {8, 0, 0, 1},   {0, 0, 0, -1},  {9, 64, 64, -1}, {16, 0, 0, -1}, {8, 64, 0, -1},  {1, 65, 65, -1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "feature " << r.feature << " in " << r.in << " out " << r.out);
    FakeHidBackend backend;
    plat::ScopedHidBackend use(backend);
    backend.AddDevice(kVid, kPid, r.in, r.out, r.feature);
    CHidDevice dev;
    // A device with an unsupported capability set still counts as open.
    ASSERT_TRUE(dev.Open(kVid, kPid));
    EXPECT_TRUE(dev.IsOpen());
    EXPECT_EQ(dev.m_nReportMode, r.mode);
    EXPECT_EQ(dev.m_nVendorID, kVid);
    EXPECT_EQ(dev.m_nProductID, kPid);
    EXPECT_EQ(dev.m_caps.InputReportByteLength, r.in);
    // Only the interrupt mode makes the transfer events.
    EXPECT_EQ(dev.m_hIoEvent != nullptr, r.mode == 0);
    EXPECT_EQ(dev.m_hWriteEvent != nullptr, r.mode == 0);
    if (r.mode == 0) {
      EXPECT_TRUE(dev.m_hIoEvent->bSignalled);
      EXPECT_FALSE(dev.m_hWriteEvent->bSignalled);
      EXPECT_EQ(dev.m_ov.hEvent, dev.m_hIoEvent.get());
    }
  }
}

TEST_F(HidDeviceTest, UnsupportedCapsLeaveTheModeAsItWas) {
  FakeHidDevice& counted = m_backend.AddDevice(kVid, kPid, 65, 65, 0);
  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  ASSERT_EQ(m_dev.m_nReportMode, 0);
  // The handle goes (as after a failed counted write) but the mode stays;
  // the next Open finds a device with capabilities outside the table.
  m_dev.m_hDevice.reset();
  counted.caps.OutputReportByteLength = 64;
  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  EXPECT_EQ(m_dev.m_nReportMode, 0);
}

TEST_F(HidDeviceTest, SameIdentityTakesTheShortcut) {
  m_backend.AddDevice(kVid, kPid, 64, 64, 0);
  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  m_backend.Device(0).Disconnect();  // not looked at again
  EXPECT_TRUE(m_dev.Open(kVid, kPid));
  EXPECT_EQ(m_backend.enumerations, 1);
}

TEST_F(HidDeviceTest, AnotherIdentityClosesFirstEvenWhenNothingIsFound) {
  FakeHidDevice& a = m_backend.AddDevice(kVid, kPid, 64, 64, 0);
  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  EXPECT_FALSE(m_dev.Open(kVid, kPid + 1));
  EXPECT_FALSE(m_dev.IsOpen());
  EXPECT_EQ(a.openHandles, 0);
  EXPECT_EQ(m_dev.m_nVendorID, 0);
  EXPECT_EQ(m_dev.m_nReportMode, -1);
  EXPECT_EQ(m_dev.m_hIoEvent, nullptr);
}

TEST_F(HidDeviceTest, FirstUsableMatchingInterfaceWins) {
  m_backend.AddDevice(0x1111, 0x2222, 64, 64, 0);                    // another product: never opened
  FakeHidDevice& busy = m_backend.AddDevice(kVid, kPid, 64, 64, 0);  // held by another program
  FakeHidDevice& liar = m_backend.AddDevice(kVid, kPid, 64, 64, 0);  // its handle reports another identity
  FakeHidDevice& first = m_backend.AddDevice(kVid, kPid, 65, 65, 0);
  FakeHidDevice& second = m_backend.AddDevice(kVid, kPid, 0, 0, 8);
  busy.refuseExclusive = plat::HidOpenError::Busy;
  liar.attrProductId = kPid + 1;

  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  EXPECT_EQ(m_backend.Device(0).opens, 0);
  EXPECT_EQ(liar.openHandles, 0);  // closed again after the attribute check
  EXPECT_EQ(first.openHandles, 1);
  EXPECT_EQ(second.opens, 0);
  EXPECT_EQ(std::string(m_dev.m_szDevicePath), first.path);
  EXPECT_EQ(m_dev.m_caps.InputReportByteLength, 65);
}

TEST_F(HidDeviceTest, CapabilityFailureAfterTheMatchEndsTheSearch) {
  FakeHidDevice& broken = m_backend.AddDevice(kVid, kPid, 64, 64, 0);
  FakeHidDevice& good = m_backend.AddDevice(kVid, kPid, 64, 64, 0);
  broken.failCaps = true;
  EXPECT_FALSE(m_dev.Open(kVid, kPid));
  EXPECT_FALSE(m_dev.IsOpen());
  EXPECT_EQ(broken.openHandles, 0);
  EXPECT_EQ(good.opens, 0);
}

TEST_F(HidDeviceTest, OpenFailsWithoutAnInterfaceList) {
  m_backend.AddDevice(kVid, kPid, 64, 64, 0);
  m_backend.failEnumerate = true;
  EXPECT_FALSE(m_dev.Open(kVid, kPid));
  EXPECT_FALSE(m_dev.OpenFeatureOnly(kVid, kPid));
  EXPECT_FALSE(m_dev.IsOpen());
}

TEST_F(HidDeviceTest, AnInterfacePathTooLongForItsRecordEndsTheSearch) {
  FakeHidDevice& d = m_backend.AddDevice(kVid, kPid, 64, 64, 0);
  d.path = "/dev/" + std::string(1100, 'x');
  EXPECT_FALSE(m_dev.Open(kVid, kPid));
  EXPECT_EQ(d.opens, 0);
}

TEST_F(HidDeviceTest, EventsAreMadeAnewAfterCloseAndReusedWithout) {
  m_backend.AddDevice(kVid, kPid, 64, 64, 0);
  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  const unsigned io1 = m_dev.m_hIoEvent->nSerial, wr1 = m_dev.m_hWriteEvent->nSerial;

  // The handle alone goes (a failed counted write does that); the next Open
  // searches again and keeps the events it finds.
  m_dev.m_hDevice.reset();
  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  EXPECT_EQ(m_dev.m_hIoEvent->nSerial, io1);
  EXPECT_EQ(m_dev.m_hWriteEvent->nSerial, wr1);
  EXPECT_EQ(m_backend.enumerations, 2);

  m_dev.Close();
  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  EXPECT_NE(m_dev.m_hIoEvent->nSerial, io1);
  EXPECT_NE(m_dev.m_hWriteEvent->nSerial, wr1);
}

TEST_F(HidDeviceTest, FeatureOnlyFallbackForADeviceThatRefusesReadWrite) {
  FakeHidDevice& d = m_backend.AddDevice(kVid, kPid, 64, 64, 8);
  d.refuseExclusive = plat::HidOpenError::AccessDenied;

  EXPECT_FALSE(m_dev.Open(kVid, kPid));
  ASSERT_TRUE(m_dev.OpenFeatureOnly(kVid, kPid));
  // Feature reports whatever the capabilities say; no identity, no events.
  EXPECT_EQ(m_dev.m_nReportMode, 1);
  EXPECT_EQ(m_dev.m_nVendorID, 0);
  EXPECT_EQ(m_dev.m_nProductID, 0);
  EXPECT_EQ(m_dev.m_hIoEvent, nullptr);
  EXPECT_EQ(d.sharedHandles, 1);

  // The same identity is searched again (no shortcut), which closes the
  // shared handle first; once read-write access is granted the exclusive
  // open succeeds.
  d.refuseExclusive = plat::HidOpenError::None;
  const int before = m_backend.enumerations;
  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  EXPECT_EQ(m_backend.enumerations, before + 1);
  EXPECT_EQ(m_dev.m_nReportMode, 0);
  EXPECT_EQ(d.sharedHandles, 0);
  EXPECT_TRUE(d.exclusiveHeld);
}

// Another program (a second instance of the tool) in the middle of a run
// holds the reader: neither open may reach it, so its run goes on undisturbed.
TEST_F(HidDeviceTest, AReaderHeldByAnotherProgramIsNotReachedAtAll) {
  FakeHidDevice& d = m_backend.AddDevice(kVid, kPid, 64, 64, 8);
  std::unique_ptr<plat::IHidHandle> other = m_backend.Open(d.path, plat::HidOpenMode::Exclusive, nullptr);
  ASSERT_TRUE(other);
  EXPECT_FALSE(m_dev.Open(kVid, kPid));
  EXPECT_FALSE(m_dev.OpenFeatureOnly(kVid, kPid));
  EXPECT_FALSE(m_dev.IsOpen());
  EXPECT_EQ(d.openHandles, 1);

  // And the other way round: our feature-only handle keeps the other
  // program's exclusive open out.
  other.reset();
  d.refuseExclusive = plat::HidOpenError::AccessDenied;
  ASSERT_TRUE(m_dev.OpenFeatureOnly(kVid, kPid));
  d.refuseExclusive = plat::HidOpenError::None;
  EXPECT_FALSE(m_backend.Open(d.path, plat::HidOpenMode::Exclusive, nullptr));
  EXPECT_TRUE(m_backend.Open(d.path, plat::HidOpenMode::FeatureOnly, nullptr));
}

TEST_F(HidDeviceTest, FeatureOnlySkipsMismatchesAndStopsAtBrokenCaps) {
  FakeHidDevice& liar = m_backend.AddDevice(kVid, kPid, 0, 0, 8);
  FakeHidDevice& refusing = m_backend.AddDevice(kVid, kPid, 0, 0, 8);
  FakeHidDevice& good = m_backend.AddDevice(kVid, kPid, 0, 0, 8);
  liar.attrVendorId = 0x9999;
  refusing.refuseFeatureOnly = true;
  ASSERT_TRUE(m_dev.OpenFeatureOnly(kVid, kPid));
  EXPECT_EQ(liar.openHandles, 0);
  EXPECT_EQ(good.openHandles, 1);
  EXPECT_EQ(std::string(m_dev.m_szDevicePath), good.path);

  m_dev.Close();
  good.failCaps = true;
  EXPECT_FALSE(m_dev.OpenFeatureOnly(kVid, kPid));
  EXPECT_FALSE(m_dev.IsOpen());
  EXPECT_EQ(good.openHandles, 0);
}

TEST_F(HidDeviceTest, CloseOnAClosedDeviceResetsIdentityEventsAndMode) {
  m_backend.AddDevice(kVid, kPid, 64, 64, 0);
  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  m_dev.m_hDevice.reset();
  m_dev.Close();
  EXPECT_EQ(m_dev.m_nVendorID, 0);
  EXPECT_EQ(m_dev.m_nProductID, 0);
  EXPECT_EQ(m_dev.m_hIoEvent, nullptr);
  EXPECT_EQ(m_dev.m_hWriteEvent, nullptr);
  EXPECT_EQ(m_dev.m_nReportMode, -1);
}

TEST_F(HidDeviceTest, TaggedFlagAndLayoutSurviveCloseAndOpen) {
  m_backend.AddDevice(kVid, kPid, 64, 64, 0);
  EXPECT_EQ(m_dev.SetTaggedReports(1), 1);
  m_dev.SetV3Layout();
  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  m_dev.Close();
  EXPECT_EQ(m_dev.GetTaggedReports(), 1);
  EXPECT_EQ(m_dev.m_nFrameOverhead, 17);
  ASSERT_TRUE(m_dev.Open(kVid, kPid));
  EXPECT_EQ(m_dev.GetTaggedReports(), 1);
  EXPECT_EQ(m_dev.SetTaggedReports(0), 0);
}

TEST_F(HidDeviceTest, AnUnpluggedDeviceIsNotFound) {
  m_backend.AddDevice(kVid, kPid, 64, 64, 0).Disconnect();
  EXPECT_FALSE(m_dev.Open(kVid, kPid));
  EXPECT_FALSE(m_dev.OpenFeatureOnly(kVid, kPid));
}

}  // namespace
