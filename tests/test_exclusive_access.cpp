// Exclusive use of the reader, in real time against the readersim program:
// while another program (here a second transport object of our own, which
// takes the same locks a second instance of the tool would) holds the serial
// port or the USB reader, the connect step fails cleanly with its report and
// help text, and the holder's exchanges go on undisturbed. Once the holder
// lets go, the connect step opens the link and the reader answers.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "link/commands.h"
#include "link/frame.h"
#include "link/interface_select.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "platform/pump.h"
#include "platform/stop.h"
#include "sim/model/reader_ids.h"
#include "support/test_window.h"
#include "support/recording_view.h"
#include "support/sim_process.h"
#include "transport/connection.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"

namespace {

void RealWait(DWORD dwMs, BOOL) { plat::ThreadPump().WaitUntil(plat::NowMs() + dwMs); }

// A ping that the reader must answer with its 18-00 frame.
bool PingAnswered(const std::vector<BYTE>& resp, DWORD len) {
  return len == 16 && CheckRxFrame(resp.data(), len) == 16 && GetRespCode(resp.data()) == 0x1800;
}

class ExclusiveAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::Stop().Clear();
    char tmpl[] = "/tmp/readertool_exclXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    AttachTestWindow(m_dlg, m_view, "COM201");
  }
  void TearDown() override {
    ResetProcessState();
    unsetenv("READERTOOL_COM_DIR");
    unsetenv("READERTOOL_HID_SIM");
    m_dlg.AttachView(nullptr);
    EXPECT_EQ(m_sim.Stop(), 0);
    rmdir(m_dir.c_str());
  }

  std::string m_dir;
  SimProcess m_sim{SimProcess::ProgramIn(READERTOOL_BINARY_DIR)};
  RecordingView m_view;
  CTAVDownloadApDlg m_dlg;
};

TEST_F(ExclusiveAccessTest, ASecondOpenerOfTheSerialPortFailsAndTheFirstGoesOn) {
  ASSERT_TRUE(m_sim.Start({"--com", "201", "--com-dir", m_dir, "--delay", "2"})) << m_sim.Output();
  setenv("READERTOOL_COM_DIR", m_dir.c_str(), 1);
  const std::vector<BYTE> ping = MakeFrame(0x18, 0x01);

  CRs232Port holder;
  ASSERT_TRUE(holder.Open("\\\\.\\COM201/baud=115200/parity=N/stop=1/data=8"));

  SelectInterface(true);
  EXPECT_FALSE(m_dlg.OpenSelectedInterface(false));
  EXPECT_EQ(m_view.LogText(), "Open RS232 interface fail.\r\n" + std::string(GetStatusText(STS_HELP_RS232)) + "\r\n");
  EXPECT_FALSE(g_Rs232Port.IsOpen());

  // The holder's exchange is undisturbed.
  std::vector<BYTE> resp(512, 0);
  DWORD len = 512;
  holder.SendRecvFrame(ping.data(), 16, resp.data(), &len, 65000, RealWait);
  EXPECT_TRUE(PingAnswered(resp, len)) << "length " << len;

  // The other way round: the tool holds the port, another opener is refused.
  holder.Close();
  ASSERT_TRUE(m_dlg.OpenSelectedInterface(true)) << m_view.LogText();
  EXPECT_EQ(m_view.LogText(), "Open RS232 interface success.\r\n");
  CRs232Port intruder;
  EXPECT_FALSE(intruder.Open("\\\\.\\COM201/baud=115200/parity=N/stop=1/data=8"));
  EXPECT_TRUE(PingReader());
}

TEST_F(ExclusiveAccessTest, ASecondExclusiveOpenOfTheUsbReaderFailsAndTheFirstGoesOn) {
  const std::string sock = m_dir + "/reader.sock";
  ASSERT_TRUE(m_sim.Start({"--hid", "int64", "--hid-socket", sock, "--delay", "2"})) << m_sim.Output();
  setenv("READERTOOL_HID_SIM", sock.c_str(), 1);
  const std::vector<BYTE> ping = MakeFrame(0x18, 0x01);

  CHidDevice holder;
  ASSERT_TRUE(holder.Open(kSimReaderVendorId, kSimReaderProductId));
  holder.SetTaggedReports(1);

  SelectInterface(false);
  EXPECT_FALSE(m_dlg.OpenSelectedInterface(false));
  EXPECT_EQ(m_view.LogText(), "Open USB interface fail.\r\n" + std::string(GetStatusText(STS_HELP_USB)) + "\r\n");
  EXPECT_FALSE(g_HidDevice.IsOpen());

  // The holder's exchange is undisturbed: its answer comes to it alone.
  std::vector<BYTE> resp(512, 0);
  const DWORD len = holder.SendAndGetResponseUSBHID(ping.data(), 16, resp.data(), 512, 65000, nullptr);
  EXPECT_TRUE(PingAnswered(resp, len)) << "length " << len;

  // The other way round: the tool holds the reader, another opener is refused.
  holder.Close();
  ASSERT_TRUE(m_dlg.OpenSelectedInterface(true)) << m_view.LogText();
  EXPECT_EQ(m_view.LogText(), "Open USB interface success.\r\n");
  CHidDevice intruder;
  EXPECT_FALSE(intruder.Open(kSimReaderVendorId, kSimReaderProductId));
  EXPECT_FALSE(intruder.OpenFeatureOnly(kSimReaderVendorId, kSimReaderProductId));
  EXPECT_TRUE(PingReader());
}

}  // namespace
