// Resource hygiene: connecting and closing a thousand times, and a hundred
// whole runs, leave no file descriptor, thread or heap memory behind. The
// descriptors and threads are counted in /proc/self/fd and /proc/self/task;
// the heap in use comes from the allocator; the sanitizer build reports any
// leak on its own.
//
// Connections go over real descriptors: a pseudo-terminal named as a COM
// port, and the HID simulator socket served by the readersim program. The
// runs use the simulated reader in virtual time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/app.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "platform/clock.h"
#include "platform/posix/com_map.h"
#include "platform/stop.h"
#include "sim/model/reader_ids.h"
#include "sim/model/reader_model.h"
#include "sim/model/samples.h"
#include "support/test_window.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/recording_view.h"
#include "support/sim_hid.h"
#include "support/sim_process.h"
#include "support/sim_serial.h"
#include "support/virtual_time.h"
#include "transport/connection.h"
#include "transport/hid_device.h"
#include "transport/rs232_port.h"
#include "ui/main_dialog.h"

namespace {

namespace fs = std::filesystem;

std::size_t CountEntries(const char* pszDir) {
  std::size_t n = 0;
  std::error_code ec;
  for (fs::directory_iterator it(pszDir, ec), end; !ec && it != end; it.increment(ec)) ++n;
  return n;
}
std::size_t OpenDescriptors() { return CountEntries("/proc/self/fd"); }
std::size_t Threads() { return CountEntries("/proc/self/task"); }
std::size_t HeapInUse() { return mallinfo2().uordblks; }

// What one cycle or run may leave on the heap on average: nothing, up to the
// allocator's own bookkeeping.
constexpr std::size_t kHeapSlackBytes = 256 * 1024;

constexpr int kConnectCycles = 1000;
constexpr int kRuns = 100;

TEST(ResourceHygiene, AThousandSerialConnectsOverAPseudoTerminalLeaveNothingOpen) {
  plat::Stop().Clear();
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0) << std::strerror(errno);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  char name[256];
  ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
  char tmpl[] = "/tmp/readertool_hygieneXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  fs::create_symlink(name, dir / "com202");
  setenv(plat::kComDirEnv, dir.c_str(), 1);

  // The first open brings in whatever is opened once per process.
  ASSERT_TRUE(OpenRs232(202, 115200, false));
  CloseInterface();
  const std::size_t fds = OpenDescriptors(), threads = Threads();
  for (int i = 0; i < kConnectCycles; ++i) {
    ASSERT_TRUE(OpenRs232(202, 115200, false)) << "cycle " << i;
    ASSERT_TRUE(g_Rs232Port.IsOpen());
    CloseInterface();
    ASSERT_FALSE(g_Rs232Port.IsOpen());
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(Threads(), threads);

  unsetenv(plat::kComDirEnv);
  close(master);
  fs::remove_all(dir);
}

TEST(ResourceHygiene, AThousandUsbConnectsOverTheSimulatorSocketLeaveNothingOpen) {
  plat::Stop().Clear();
  char tmpl[] = "/tmp/readertool_hygieneXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  const std::string sock = (dir / "reader.sock").string();
  // The reader in a process of its own: every descriptor counted here is the tool's.
  SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
  ASSERT_TRUE(sim.Start({"--hid", "int64", "--hid-socket", sock, "--delay", "0"})) << sim.Output();
  setenv("READERTOOL_HID_SIM", sock.c_str(), 1);

  // Every tenth connect asks the reader for an answer as well.
  ASSERT_TRUE(OpenUsbHid(true, kSimReaderVendorId, kSimReaderProductId));
  CloseInterface();
  const std::size_t fds = OpenDescriptors(), threads = Threads();
  for (int i = 0; i < kConnectCycles; ++i) {
    ASSERT_TRUE(OpenUsbHid(i % 10 == 0, kSimReaderVendorId, kSimReaderProductId)) << "cycle " << i;
    CloseInterface();
    ASSERT_FALSE(g_HidDevice.IsOpen());
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(Threads(), threads);

  unsetenv("READERTOOL_HID_SIM");
  SelectInterface(true);
  EXPECT_EQ(sim.Stop(), 0);
  fs::remove_all(dir);
}

// A hundred runs through "Load" and the worker, alternating the update path,
// the interface and the outcome (every fourth run meets a refused block).
class RunHygieneTest : public VirtualTimeTest {
 protected:
  RunHygieneTest() {
    m_dir = fs::temp_directory_path() / ("readertool_hygiene_" + std::to_string(::getpid()));
    fs::create_directories(m_dir);
    std::vector<BYTE> image;
    MakeSampleImage(kSimDefaultImageSize, 1, &image, nullptr);
    m_image = (m_dir / kSimSampleImage).string();
    WriteWholeFile(m_image, image.data(), image.size(), nullptr);
    const std::string script =
        MakeUpdateScript(image, SimScriptKind::Rs232, kSimDefaultModel, kSimSampleImage, nullptr);
    m_script = (m_dir / kSimSampleRs232Script).string();
    WriteWholeFile(m_script, script.data(), script.size(), nullptr);

    AttachTestWindow(m_dlg, m_view);
    theApp.SetMainDialog(&m_dlg);
    HidSetTaggedReports(0);
    LoadTxPacingPreset(2);
    m_view.StartWindowThread();
  }
  ~RunHygieneTest() override {
    EXPECT_TRUE(m_dlg.JoinWorker(plat::NowMs() + 60'000));
    m_view.StopWindowThread();
    ResetProcessState();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  // One run against a fresh reader; true when it ended as expected.
  bool Run(int i) {
    const bool bUsb = i % 2 == 1;
    const bool bBinary = i % 3 == 0;
    const bool bFails = i % 4 == 0;
    ReaderModel reader;
    reader.KeepTranscript(false);
    if (bFails) {
      ReaderFaults f;
      f.nRejectBlock = 20;
      reader.SetFaults(f);
    }
    FakeSerial serial;
    fakehid::FakeHidBackend hid;
    plat::ScopedHidBackend useHid(hid);
    SimSerialLink line(serial.AddPort("COM1"), reader);
    SimHidDevice usb(hid, reader, SimHidMode::Interrupt64);
    theApp.m_bChkLegacy = bBinary;
    m_view.QueueFileChoice(bBinary ? m_image : m_script);
    m_view.SendToWindowThread([&] {
      SelectInterface(!bUsb);
      m_dlg.OnLoad();
    });
    if (!m_dlg.JoinWorker(plat::NowMs() + 60'000)) return false;
    m_view.ClearCalls();
    return m_dlg.GetWorkerExitCode() == (bFails ? 0 : 1) && !g_Rs232Port.IsOpen() && !g_HidDevice.IsOpen();
  }

  fs::path m_dir;
  std::string m_image, m_script;
  RecordingView m_view;
  CTAVDownloadApDlg m_dlg;
};

TEST_F(RunHygieneTest, AHundredRunsLeaveNoDescriptorThreadOrMemoryBehind) {
  // A first run of each kind brings in what is made once per process.
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(Run(i)) << "warm-up run " << i;
  m_view.ClearCalls();
  const std::size_t fds = OpenDescriptors(), threads = Threads(), heap = HeapInUse();
  for (int i = 0; i < kRuns; ++i) ASSERT_TRUE(Run(i)) << "run " << i << "\n" << m_view.LogText();
  // The window keeps the last run's log, as the previous one kept its own.
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(Threads(), threads);
  const std::size_t heapAfter = HeapInUse();
  EXPECT_LE(heapAfter, heap + kHeapSlackBytes) << "heap in use grew from " << heap << " to " << heapAfter;
}

}  // namespace
