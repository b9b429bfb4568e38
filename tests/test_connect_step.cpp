// The connect step: the interface chosen in the window opened (serial port
// and baud rate from the lists, or the first known USB reader that opens),
// and the outcome reported in a fresh log. In virtual time, against the
// simulated reader behind the fake serial port and the fake HID backend.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/known_readers.h"
#include "link/interface_select.h"
#include "platform/hid.h"
#include "sim/model/reader_model.h"
#include "support/test_window.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/golden.h"
#include "support/sim_hid.h"
#include "support/sim_serial.h"
#include "support/virtual_time.h"
#include "transport/connection.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"

namespace {

// Passes everything to the fake backend and notes the order of the opens.
class OpenOrderBackend final : public plat::IHidBackend {
 public:
  explicit OpenOrderBackend(fakehid::FakeHidBackend& inner) : m_inner(inner) {}
  bool Enumerate(std::vector<plat::HidInterfaceInfo>* out) override { return m_inner.Enumerate(out); }
  std::unique_ptr<plat::IHidHandle> Open(const std::string& path, plat::HidOpenMode mode,
                                         plat::HidOpenStatus* err) override {
    opened.push_back(path);
    return m_inner.Open(path, mode, err);
  }
  std::vector<std::string> opened;

 private:
  fakehid::FakeHidBackend& m_inner;
};

class ConnectStepTest : public VirtualTimeTest {
 protected:
  ConnectStepTest() {
    m_dlg.AttachView(&m_view);
    m_dlg.TakeControlReferences();
    m_dlg.m_pPortList = &m_view;
    m_dlg.m_pBaudList = &m_view;
  }
  ~ConnectStepTest() override {
    ResetProcessState();
  }
  // A port item, selected, and a baud item by index.
  void ChoosePort(const std::string& item, int nBaudSel) {
    m_view.AddListItem(IDC_PORT_LIST, item);
    m_view.SetListSelection(IDC_PORT_LIST, m_view.GetListCount(IDC_PORT_LIST) - 1);
    m_view.SetListSelection(IDC_BAUD_LIST, nBaudSel);
  }

  FakeSerial m_serial;
  fakehid::FakeHidBackend m_hid;
  OpenOrderBackend m_hidOrder{m_hid};
  plat::ScopedHidBackend m_useHid{m_hidOrder};
  TranscriptView m_view;
  CTAVDownloadApDlg m_dlg;
};

TEST_F(ConnectStepTest, Rs232WithNoPortInTheListAsksForPortZero) {
  m_serial.AddPort("COM1");
  SelectInterface(true);
  m_view.SetListSelection(IDC_BAUD_LIST, 0);
  EXPECT_FALSE(m_dlg.OpenSelectedInterface(false));
  EXPECT_TRUE(m_serial.OpenAttempts().empty()) << "port 0 is refused before any open";
  EXPECT_TRUE(IsRs232());
  EXPECT_TRUE(MatchesGolden("connect_rs232_fail.log", m_view.LogText()));
}

TEST_F(ConnectStepTest, Rs232OpensTheChosenPortAtTheChosenBaudRate) {
  struct Row {
    int nBaudSel;
    DWORD dwBaud;
  } rows[] = {{0, 9600}, {1, 19200}, {2, 38400}, {3, 57600}, {4, 115200}};
  FakeSerialPort& com7 = m_serial.AddPort("COM7");
  m_serial.AddPort("COM1");
  m_view.AddListItem(IDC_PORT_LIST, "COM1");
  SelectInterface(true);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.dwBaud);
    ChoosePort("COM7", r.nBaudSel);
    ASSERT_TRUE(m_dlg.OpenSelectedInterface(false));
    EXPECT_TRUE(com7.IsOpen());
    EXPECT_EQ(com7.Dcb().BaudRate, r.dwBaud);
    EXPECT_EQ(m_view.LogText(), "Open RS232 interface success.\r\n");
  }
  // Each connect closed the previous link first: the port is open once.
  EXPECT_EQ(m_serial.OpenAttempts().size(), std::size(rows));
  EXPECT_FALSE(m_serial.Port("COM1")->IsOpen());
}

TEST_F(ConnectStepTest, Rs232ProbeNeedsAReaderAnswer) {
  ReaderModel reader;
  SimSerialLink link(m_serial.AddPort("COM2"), reader);
  ChoosePort("COM2", 4);
  SelectInterface(true);

  ASSERT_TRUE(m_dlg.OpenSelectedInterface(true));
  EXPECT_EQ(reader.RequestsSeen(), 1);
  EXPECT_EQ(m_view.LogText(), "Open RS232 interface success.\r\n");

  ReaderFaults f;
  f.bSilent = true;
  reader.SetFaults(f);
  EXPECT_FALSE(m_dlg.OpenSelectedInterface(true));
  EXPECT_FALSE(m_serial.Port("COM2")->IsOpen()) << "a failed probe closes the port again";
  EXPECT_EQ(m_view.LogText(), "Open RS232 interface fail.\r\n" + std::string(GetStatusText(STS_HELP_RS232)) + "\r\n");
}

TEST_F(ConnectStepTest, UsbWithNoKnownReaderTriesEveryPair) {
  // A reader of another maker is never opened.
  m_hid.AddDevice(0x1234, g_KnownReaders[1].wPid, 64, 64, 0);
  SelectInterface(false);
  EXPECT_FALSE(m_dlg.OpenSelectedInterface(false));
  EXPECT_TRUE(m_hidOrder.opened.empty());
  // Each of the 13 pairs: one exclusive and one feature-only search.
  EXPECT_EQ(m_hid.enumerations, 2 * static_cast<int>(kKnownReaderCount));
  EXPECT_TRUE(MatchesGolden("connect_usb_fail.log", m_view.LogText()));
}

TEST_F(ConnectStepTest, UsbTriesTheKnownReadersInListOrder) {
  // Every known reader present but held elsewhere, enumerated in reverse.
  std::map<std::string, WORD> pidOfPath;
  for (std::size_t i = kKnownReaderCount; i-- > 0;) {
    fakehid::FakeHidDevice& d = m_hid.AddDevice(g_KnownReaders[i].wVid, g_KnownReaders[i].wPid, 64, 64, 0);
    d.refuseExclusive = plat::HidOpenError::Busy;
    d.refuseFeatureOnly = true;
    pidOfPath[d.path] = d.productId;
  }
  SelectInterface(false);
  EXPECT_FALSE(m_dlg.OpenSelectedInterface(false));
  std::vector<WORD> order;
  for (const auto& path : m_hidOrder.opened) order.push_back(pidOfPath[path]);
  std::vector<WORD> want;
  for (const auto& r : g_KnownReaders) {
    want.push_back(r.wPid);  // exclusive open
    want.push_back(r.wPid);  // feature-only fallback
  }
  EXPECT_EQ(order, want);
}

TEST_F(ConnectStepTest, WithTwoReadersTheFirstPairOfTheListWins) {
  ReaderModel later, first;
  SimHidDevice usb5(m_hid, later, SimHidMode::Interrupt64, kReaderVendorId, g_KnownReaders[kReaderPelora15_1M].wPid);
  SimHidDevice usb3(m_hid, first, SimHidMode::Interrupt64, kReaderVendorId, g_KnownReaders[kReaderPeloraIII1M].wPid);
  SelectInterface(false);
  ASSERT_TRUE(m_dlg.OpenSelectedInterface(true));
  EXPECT_EQ(first.RequestsSeen(), 1);
  EXPECT_EQ(later.RequestsSeen(), 0);
  EXPECT_EQ(usb5.Device().opens, 0);
  EXPECT_EQ(m_view.LogText(), "Open USB interface success.\r\n");
}

TEST_F(ConnectStepTest, AReconnectReplacesTheWholeLog) {
  ReaderModel reader;
  SimHidDevice usb(m_hid, reader, SimHidMode::Interrupt64);
  SelectInterface(false);
  ASSERT_TRUE(m_dlg.OpenSelectedInterface(false));
  m_dlg.AppendLog("Bootloader Version Verifying...");
  m_dlg.AppendLog("Enter bootloader mode success!");
  ASSERT_EQ(m_view.LogText(),
            "Open USB interface success.\r\nBootloader Version Verifying...\r\nEnter bootloader mode success!\r\n");

  ASSERT_TRUE(m_dlg.OpenSelectedInterface(false));
  EXPECT_EQ(m_view.LogText(), "Open USB interface success.\r\n");
  EXPECT_EQ(m_dlg.m_strLog, "Open USB interface success.\r\n");
  EXPECT_EQ(m_view.Transcript(),
            "Open USB interface success.\r\nBootloader Version Verifying...\r\nEnter bootloader mode success!\r\n"
            "<<<< log replaced >>>>\r\nOpen USB interface success.\r\n");
  // The reconnect closed the device before opening it again.
  EXPECT_EQ(usb.Device().opens, 2);
  EXPECT_EQ(reader.RequestsSeen(), 0) << "no probe asked";
}

TEST_F(ConnectStepTest, OnRs232WhatTheOperatorTypedIntoTheLogIsReplacedToo) {
  m_serial.AddPort("COM4");
  ChoosePort("COM4", 0);
  SelectInterface(true);
  m_view.TypeIntoLog("operator notes");
  ASSERT_TRUE(m_dlg.OpenSelectedInterface(false));
  EXPECT_EQ(m_view.LogText(), "Open RS232 interface success.\r\n");
}

TEST_F(ConnectStepTest, NoInterfaceSelectedFails) {
  g_nInterface = 2;
  EXPECT_FALSE(m_dlg.OpenSelectedInterface(false));
  g_nInterface = 0;
  EXPECT_EQ(m_view.LogText().rfind("Open RS232 interface fail.\r\n", 0), 0u);
}

}  // namespace
