// The hidraw backend as far as a machine without HID devices allows: the
// interface list from a sysfs-shaped folder, open errors, and the advisory
// locks on stand-in nodes (flock works on any file). Reports and ioctls need
// a real hidraw node and are covered through the fake backend instead.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/linux/hidraw.h"
#include "support/virtual_time.h"
#include "transport/hid_device.h"

namespace {

class HidrawTest : public VirtualTimeTest {
 protected:
  HidrawTest() {
    char tmpl[] = "/tmp/hidraw-test-XXXXXX";
    m_root = mkdtemp(tmpl);
    m_sys = m_root + "/sys";
    m_dev = m_root + "/dev";
    mkdir(m_sys.c_str(), 0755);
    mkdir(m_dev.c_str(), 0755);
    m_backend = plat::MakeHidrawBackend(m_sys, m_dev);
  }
  ~HidrawTest() override { std::filesystem::remove_all(m_root); }

  void AddNode(const std::string& name, const std::string& uevent) {
    const std::string dir = m_sys + "/" + name;
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/device").c_str(), 0755);
    Write(dir + "/device/uevent", uevent);
    Write(m_dev + "/" + name, "");
  }
  static void Write(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_TRUE(f);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }

  std::string m_root, m_sys, m_dev;
  std::unique_ptr<plat::IHidBackend> m_backend;
};

TEST_F(HidrawTest, InterfacesAreListedFromSysfsInKernelOrder) {
  AddNode("hidraw10", "DRIVER=hid-generic\nHID_ID=0003:0000F3A5:00000A02\nHID_NAME=Reader\n");
  AddNode("hidraw2", "HID_ID=0003:0000046D:0000C52B\n");
  AddNode("hidraw0", "HID_ID=0005:0000F3A5:00000A0D\n");
  AddNode("hidraw3", "DRIVER=hid-generic\n");  // no identity: left out
  std::vector<plat::HidInterfaceInfo> list;
  ASSERT_TRUE(m_backend->Enumerate(&list));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].path, m_dev + "/hidraw0");
  EXPECT_EQ(list[0].vendorId, 0xF3A5);
  EXPECT_EQ(list[0].productId, 0x0A0D);
  EXPECT_EQ(list[1].path, m_dev + "/hidraw2");
  EXPECT_EQ(list[1].vendorId, 0x046D);
  EXPECT_EQ(list[2].path, m_dev + "/hidraw10");
  EXPECT_EQ(list[2].productId, 0x0A02);
}

TEST(ParseHidId, TheKernelsLineAndNothingElse) {
  struct Row {
    const char* name;
    const char* uevent;
    bool ok;
    std::uint16_t vid, pid;
  } rows[] = {
      {"kernel form", "DRIVER=hid-generic\nHID_ID=0003:0000F3A5:00000A02\nHID_NAME=x\n", true, 0xF3A5, 0x0A02},
      {"first line, short fields", "HID_ID=3:f3a5:a02", true, 0xF3A5, 0x0A02},
      {"another variable's tail", "XHID_ID=0003:0000F3A5:00000A02\n", false, 0, 0},
      // Cut to 16 bits, 0x1F3A5 would pass for the known vendor 0xF3A5.
      {"vendor above 16 bits", "HID_ID=0003:0001F3A5:00000A02\n", false, 0, 0},
      {"product above 16 bits", "HID_ID=0003:0000F3A5:00010A02\n", false, 0, 0},
      {"nine digits", "HID_ID=0003:00000F3A5:00000A02\n", false, 0, 0},
      {"missing field", "HID_ID=0003:0000F3A5\n", false, 0, 0},
      {"trailing junk", "HID_ID=0003:0000F3A5:00000A02x\n", false, 0, 0},
      {"no line", "HID_NAME=reader\n", false, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::uint16_t vid = 0, pid = 0;
    EXPECT_EQ(plat::ParseHidId(r.uevent, &vid, &pid), r.ok);
    if (r.ok) {
      EXPECT_EQ(vid, r.vid);
      EXPECT_EQ(pid, r.pid);
    }
  }
}

TEST_F(HidrawTest, NoHidrawClassMeansNoInterfaces) {
  auto none = plat::MakeHidrawBackend(m_root + "/absent", m_dev);
  std::vector<plat::HidInterfaceInfo> list{{"x", 1, 2}};
  EXPECT_TRUE(none->Enumerate(&list));
  EXPECT_TRUE(list.empty());
  // This machine has no HID devices; listing them still works.
  EXPECT_TRUE(plat::HidrawBackend().Enumerate(&list));
}

TEST_F(HidrawTest, OpenErrors) {
  plat::HidOpenStatus err;
  EXPECT_FALSE(m_backend->Open(m_dev + "/hidraw9", plat::HidOpenMode::Exclusive, &err));
  EXPECT_EQ(err.kind, plat::HidOpenError::NotFound);
  EXPECT_FALSE(m_backend->Open(m_dev + "/hidraw9", plat::HidOpenMode::FeatureOnly, &err));
  EXPECT_EQ(err.kind, plat::HidOpenError::NotFound);
  // The system's own code and words travel with the kind, for the operator.
  EXPECT_EQ(err.sysCode, ENOENT);
  EXPECT_EQ(err.sysMessage, std::strerror(ENOENT));
}

TEST_F(HidrawTest, LocksKeepRunsApart) {
  AddNode("hidraw0", "HID_ID=0003:0000F3A5:00000A02\n");
  const std::string node = m_dev + "/hidraw0";
  plat::HidOpenStatus err;
  auto holder = m_backend->Open(node, plat::HidOpenMode::Exclusive, &err);
  ASSERT_TRUE(holder);
  EXPECT_FALSE(m_backend->Open(node, plat::HidOpenMode::Exclusive, &err));
  EXPECT_EQ(err.kind, plat::HidOpenError::Busy);
  EXPECT_FALSE(m_backend->Open(node, plat::HidOpenMode::FeatureOnly, &err));
  EXPECT_EQ(err.kind, plat::HidOpenError::Busy);
  holder.reset();

  auto q1 = m_backend->Open(node, plat::HidOpenMode::FeatureOnly, &err);
  auto q2 = m_backend->Open(node, plat::HidOpenMode::FeatureOnly, &err);
  ASSERT_TRUE(q1);
  ASSERT_TRUE(q2);
  EXPECT_FALSE(m_backend->Open(node, plat::HidOpenMode::Exclusive, &err));
  EXPECT_EQ(err.kind, plat::HidOpenError::Busy);
  // A query-only handle moves no interrupt reports.
  std::uint8_t report[64] = {};
  std::size_t n = 0;
  EXPECT_EQ(q1->ReadReport(report, sizeof report, &n, plat::NowMs() + 100), plat::HidIo::Error);
  EXPECT_EQ(q1->WriteReport(report, sizeof report, &n, plat::NowMs() + 100), plat::HidIo::Error);
}

TEST_F(HidrawTest, ANodeThatIsNoHidDeviceIsPassedOverAndReleased) {
  AddNode("hidraw0", "HID_ID=0003:0000F3A5:00000A02\n");
  plat::ScopedHidBackend use(*m_backend);
  CHidDevice dev;
  // The identity ioctl fails on a plain file: not the reader.
  EXPECT_FALSE(dev.Open(0xF3A5, 0x0A02));
  EXPECT_FALSE(dev.OpenFeatureOnly(0xF3A5, 0x0A02));
  EXPECT_STREQ(dev.m_szDevicePath, (m_dev + "/hidraw0").c_str());
  // Its lock went with the handle.
  EXPECT_TRUE(m_backend->Open(m_dev + "/hidraw0", plat::HidOpenMode::Exclusive, nullptr));
}

}  // namespace
