// Arbitrary script files: the validation, the command scan with the hex
// reading, and the runner's commands sent to a USB reader that answers at
// once (or a closed serial line). Nothing may read or write outside the
// file and the runner's buffers, every run must end, and a script whose
// commands cannot all be carried out must send nothing.
//
// Input: [options] [file bytes...]
//   options bit 0: serial line (closed) instead of the USB reader
//           bits 1-2: the reader's answers: 0 accepted, 1 status 0x01,
//                     2 none, 3 accepted for every second request
//           bit 3: reader already in its bootloader (bInBootMode)
//           bit 4: tagged-report flag left set by a previous run
//           bit 5: the run's own tagged-report flag
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "app/known_readers.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/interface_select.h"
#include "platform/clock.h"
#include "platform/stop.h"
#include "script/text_script.h"
#include "support/fake_hid.h"
#include "transport/connection.h"
#include "transport/hid_device.h"
#include "ui/main_dialog.h"

namespace {

constexpr WORD kVid = g_KnownReaders[0].wVid;
constexpr WORD kPid = g_KnownReaders[0].wPid;

// One tagged input report holding a whole answer frame.
fakehid::Report AnswerReport(BYTE status) {
  const std::vector<BYTE> frame = MakeFrame(0xC7, status);
  fakehid::Report r(64, 0);
  r[0] = 1;
  std::memcpy(r.data() + 1, frame.data(), frame.size());
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t opt = data[0];
  ++data;
  --size;

  plat::VirtualClock clock(1000);
  plat::ScopedClock useClock(clock);
  plat::Stop().Clear();

  // The file as the file read hands it out: its bytes and one NUL.
  std::unique_ptr<BYTE[]> file(new BYTE[size + 1]);
  if (size) std::memcpy(file.get(), data, size);
  file[size] = 0;
  const int nLen = static_cast<int>(size);
  (void)IsRs232Script("update.txt", file.get(), nLen);
  (void)IsUsbHidScript("update.txt", file.get(), nLen);

  // The scan alone, on exactly the file's bytes (heap, no NUL after them).
  std::unique_ptr<BYTE[]> exact(new BYTE[size ? size : 1]);
  if (size) std::memcpy(exact.get(), data, size);
  std::unique_ptr<char[]> text(new char[kScriptTextCap]);
  std::unique_ptr<BYTE[]> bytes(new BYTE[kScriptBytesCap]);
  bool bWhole = true;
  int nCommands = 0;
  std::size_t nPos = 0;
  for (;;) {
    std::size_t nEnd = 0;
    int nText = -1;
    const ScriptScan scan = ScanScriptCommand(exact.get(), size, &nPos, text.get(), &nText, &nEnd);
    if (scan == ScriptScan::kNone) break;
    ++nCommands;
    if (scan != ScriptScan::kCommand) {
      bWhole = false;
      break;
    }
    if (nText < 0 || nText > kScriptTextCap || nEnd >= size || nPos != nEnd + 1) __builtin_trap();
    int nCount = -1;
    HexTextToBytes(text.get(), nText, bytes.get(), &nCount);
    if (nCount != (nText + 1) / 2) __builtin_trap();
  }
  if (nCommands == 0) bWhole = false;

  // The runner against a reader that answers at once.
  fakehid::FakeHidBackend backend;
  plat::ScopedHidBackend useBackend(backend);
  fakehid::FakeHidDevice& dev = backend.AddDevice(kVid, kPid, 64, 64, 0);
  const int nAnswers = (opt >> 1) & 3;
  int nReads = 0;
  dev.inputSource = [nAnswers, &nReads](fakehid::Report* r) {
    ++nReads;
    if (nAnswers == 2) return false;
    const bool bOk = nAnswers == 0 || (nAnswers == 3 && nReads % 2 == 0);
    *r = AnswerReport(bOk ? 0x00 : 0x01);
    return true;
  };

  CTAVDownloadApDlg dlg;
  if (opt & 0x01) {
    SelectInterface(true);
  } else {
    SelectInterface(false);
    if (!OpenUsbHid(false, kVid, kPid)) __builtin_trap();
  }
  HidSetTaggedReports((opt & 0x10) ? 1 : 0);
  const int nResult = RunScriptCommands(&dlg, file.get(), nLen, (opt & 0x20) ? 1 : 0, (opt & 0x08) ? 1 : 0);
  if (nResult != SCRIPT_OK && nResult != SCRIPT_FAILED && nResult != SCRIPT_FILE_REFUSED) __builtin_trap();
  // The form check refuses exactly the scripts the scan cannot carry out
  // (an empty file is no script at all).
  if (nLen > 0 && (nResult == SCRIPT_FILE_REFUSED) != !bWhole) __builtin_trap();
  if (!bWhole && !dev.outputs.empty()) __builtin_trap();
  // At most three attempts a command, each within its own time-outs.
  if (dev.writes > 3 * nCommands * (kScriptBytesCap / 63 + 1)) __builtin_trap();

  CloseInterface();
  g_HidDevice.Close();
  HidSetTaggedReports(0);
  SelectInterface(true);
  return 0;
}
