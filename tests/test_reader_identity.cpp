// Which physical reader a HID interface belongs to, as the backends list it:
// the USB serial number and location from a sysfs-shaped tree (hidraw), and
// from a folder of simulator sockets, where each socket is one reader whose
// location is its path and whose serial number the device info carries
// (older clients, which know no serial number, are still answered).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/hid_sim_wire.h"
#include "platform/linux/hidraw.h"
#include "platform/posix/hid_sim_client.h"
#include "platform/posix/hid_sim_server.h"
#include "sim/model/hid_front.h"
#include "sim/model/reader_ids.h"
#include "sim/model/reader_model.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using plat::HidInterfaceInfo;

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_TRUE(f);
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

class ReaderIdentityTest : public ::testing::Test {
 protected:
  ReaderIdentityTest() : m_root(MakeTempDir("reader_identity_")) {}
  ~ReaderIdentityTest() override { fs::remove_all(m_root); }
  fs::path m_root;
};

// sysfs as the kernel lays it out: the class entry's "device" links to the
// HID device, which sits below the USB interface and the USB device.
TEST_F(ReaderIdentityTest, HidrawTakesSerialNumberAndPortChainFromTheUsbDevice) {
  const fs::path sys = m_root / "sys", dev = m_root / "dev", devices = m_root / "devices";
  struct Node {
    const char* name;
    const char* hidDevice;  // below `devices`
    const char* usbDevice;  // the folder with busnum and devpath; null: none
    const char* busnum;
    const char* devpath;
    const char* serial;  // null: no serial attribute
  } nodes[] = {
      {"hidraw3", "usb1/1-1/1-1.4/1-1.4:1.0/0003:F3A5:0A02.0003", "usb1/1-1/1-1.4", "1\n", "1.4\n", "SN42\n"},
      {"hidraw4", "usb2/2-3/2-3:1.1/0003:F3A5:0A05.0004", "usb2/2-3", "2\n", "3\n", nullptr},
      {"hidraw5", "virtual/misc/uhid/0003:F3A5:0A02.0005", nullptr, nullptr, nullptr, nullptr},
  };
  for (const Node& n : nodes) {
    const fs::path hid = devices / n.hidDevice;
    const std::string id = std::string(n.hidDevice).substr(std::string(n.hidDevice).rfind('/') + 6, 9);
    Write(hid / "uevent", "DRIVER=hid-generic\nHID_ID=0003:0000" + id.substr(0, 4) + ":0000" + id.substr(5, 4) + "\n");
    if (n.usbDevice) {
      Write(devices / n.usbDevice / "busnum", n.busnum);
      Write(devices / n.usbDevice / "devpath", n.devpath);
      if (n.serial) Write(devices / n.usbDevice / "serial", n.serial);
    }
    fs::create_directories(sys / n.name);
    fs::create_directory_symlink(hid, sys / n.name / "device");
    Write(dev / n.name, "");
  }
  fs::create_symlink(dev / "hidraw4", dev / "reader-line-2");

  auto backend = plat::MakeHidrawBackend(sys.string(), dev.string());
  std::vector<HidInterfaceInfo> list;
  ASSERT_TRUE(backend->Enumerate(&list));
  ASSERT_EQ(list.size(), 3u);
  const struct {
    const char* serial;
    const char* location;
  } want[] = {{"SN42", "1-1.4"}, {"", "2-3"}, {"", ""}};
  for (std::size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(list[i].path);
    EXPECT_EQ(list[i].serial, want[i].serial);
    EXPECT_EQ(list[i].location, want[i].location);
  }
  EXPECT_EQ(list[1].productId, 0x0A05);

  // One node by its path, or by a link to it (a udev alias), as listed.
  HidInterfaceInfo one;
  ASSERT_TRUE(backend->Describe((dev / "reader-line-2").string(), &one));
  EXPECT_EQ(one.path, list[1].path);
  EXPECT_EQ(one.location, "2-3");
  EXPECT_FALSE(backend->Describe((dev / "hidraw9").string(), &one));
  Write(m_root / "elsewhere" / "hidraw3", "");
  EXPECT_FALSE(backend->Describe((m_root / "elsewhere" / "hidraw3").string(), &one));
}

// Wire level: each version's device info decodes to what was encoded, and a
// payload cut inside the serial number is refused.
TEST(HidSimDeviceInfo, BothVersionsRoundTrip) {
  plat::hidsim::DeviceInfoMessage m;
  m.vendorId = 0xF3A5;
  m.productId = 0x0A02;
  m.flags = plat::hidsim::kInfoFlagFeatureOnly;
  m.serial = "SN-7";
  m.descriptor = {0x06, 0x00, 0xFF, 0xC0};
  for (std::uint8_t version : {1, 2}) {
    SCOPED_TRACE(static_cast<int>(version));
    m.version = version;
    const std::vector<std::uint8_t> p = plat::hidsim::EncodeDeviceInfo(m);
    plat::hidsim::DeviceInfoMessage back;
    ASSERT_TRUE(plat::hidsim::DecodeDeviceInfo(p, &back));
    EXPECT_EQ(back.version, version);
    EXPECT_EQ(back.vendorId, m.vendorId);
    EXPECT_EQ(back.productId, m.productId);
    EXPECT_EQ(back.flags, m.flags);
    EXPECT_EQ(back.serial, version >= 2 ? m.serial : "");
    EXPECT_EQ(back.descriptor, m.descriptor);
    if (version >= 2) {
      EXPECT_FALSE(plat::hidsim::DecodeDeviceInfo({p.begin(), p.begin() + 8}, &back));
    }
  }
}

// A folder of simulator sockets is a machine with several readers.
class SimFolderTest : public ReaderIdentityTest {
 protected:
  SimFolderTest() {
    m_fronts[0].SetSerialNumber("SN-A");
    for (int i = 0; i < 2; ++i) {
      std::string err;
      EXPECT_TRUE(m_servers[i].Start(Socket(i), &err)) << err;
    }
  }
  ~SimFolderTest() override {
    for (auto& s : m_servers) s.Stop();
  }
  // Reader 1 sorts before reader 0.
  std::string Socket(int i) const { return (m_root / (i == 0 ? "reader-b.sock" : "reader-a.sock")).string(); }

  ReaderModel m_models[2];
  HidFront m_fronts[2] = {{m_models[0], SimHidMode::Interrupt64, kSimReaderVendorId, kSimReaderProductId},
                          {m_models[1], SimHidMode::Interrupt64, kSimReaderVendorId, 0x0A05}};
  plat::HidSimServer m_servers[2] = {plat::HidSimServer(m_fronts[0]), plat::HidSimServer(m_fronts[1])};
};

TEST_F(SimFolderTest, EverySocketIsOneReaderInNameOrder) {
  // Left out: a socket nobody listens on (a simulator that ended) and a file.
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", (m_root / "reader-0.sock").c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);
  Write(m_root / "notes.txt", "not a reader");

  auto backend = plat::MakeHidSimClientBackend(m_root.string());
  std::vector<HidInterfaceInfo> list;
  ASSERT_TRUE(backend->Enumerate(&list));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].path, Socket(1));
  EXPECT_EQ(list[0].productId, 0x0A05);
  EXPECT_EQ(list[0].serial, "");
  EXPECT_EQ(list[1].path, Socket(0));
  EXPECT_EQ(list[1].serial, "SN-A");
  for (const HidInterfaceInfo& itf : list) EXPECT_EQ(itf.location, itf.path);

  HidInterfaceInfo one;
  ASSERT_TRUE(backend->Describe(Socket(0), &one));
  EXPECT_EQ(one.serial, "SN-A");
  EXPECT_FALSE(backend->Describe((m_root / "reader-0.sock").string(), &one));

  // A socket named alone is still the one reader it always was.
  ASSERT_TRUE(plat::MakeHidSimClientBackend(Socket(0))->Enumerate(&list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].location, Socket(0));
}

// A client of the first version says so in its hello and gets the device
// info without a serial number, the descriptor right after the flags.
TEST_F(SimFolderTest, AFirstVersionClientIsAnsweredInItsVersion) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", Socket(0).c_str());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  std::vector<std::uint8_t> hello;
  plat::hidsim::AppendMessage(&hello, plat::hidsim::kMsgHello, std::vector<std::uint8_t>{1});
  ASSERT_EQ(write(fd, hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // a blocking read with a deadline
  plat::hidsim::MessageReader reader;
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  while (!reader.Next(&type, &payload)) {
    std::uint8_t buf[512];
    const ssize_t n = read(fd, buf, sizeof buf);
    ASSERT_GT(n, 0);
    reader.Feed(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  EXPECT_EQ(type, plat::hidsim::kMsgDeviceInfo);
  ASSERT_GE(payload.size(), 6u);
  EXPECT_EQ(payload[0], 1);
  const std::vector<std::uint8_t> descriptor(payload.begin() + 6, payload.end());
  EXPECT_EQ(descriptor, SimHidReportDescriptor(SimHidMode::Interrupt64));
}

}  // namespace
