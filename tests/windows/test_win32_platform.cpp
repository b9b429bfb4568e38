// The Windows platform files on their own: text conversion at the W-call
// boundary, COM port names and the registry list, the stop event and the
// real clock, the version resource through the system's calls, and what can
// be checked of the serial and HID openers without a device.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "app/file_version_info.h"
#include "platform/clock.h"
#include "platform/com_port.h"
#include "platform/hid.h"
#include "platform/locale.h"
#include "platform/serial.h"
#include "platform/stop.h"
#include "platform/version_resource.h"
#include "platform/win32/win32_text.h"
#include "sim/model/reader_ids.h"

using plat::win32::Narrow;
using plat::win32::Widen;

TEST(Win32Text, Utf8AndUtf16RoundTrip) {
  struct Case {
    const char* name;
    std::string utf8;
    std::wstring utf16;
  };
  const Case cases[] = {
      {"empty", "", L""},
      {"ASCII", "\\\\.\\COM7", L"\\\\.\\COM7"},
      {"two-byte", "Gr\xC3\xB6\xC3\x9F" "e", L"Gr\u00F6\u00DFe"},
      {"three-byte", "\xE6\x97\xA5\xE6\x9C\xAC", L"\u65E5\u672C"},
      {"surrogate pair", "\xF0\x9F\x94\x91", L"\U0001F511"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Widen(c.utf8), c.utf16);
    EXPECT_EQ(Narrow(c.utf16.c_str()), c.utf8);
    EXPECT_EQ(Narrow(c.utf16.c_str(), static_cast<int>(c.utf16.size())), c.utf8);
  }
  EXPECT_EQ(Narrow(nullptr), "");
  // Not valid UTF-8: replaced, never dropped silently into the ANSI code page.
  EXPECT_EQ(Widen("a\xFF" "b"), L"a\uFFFDb");
}

TEST(Win32Text, SystemMessageHasTheSystemsWordsWithoutLineBreak) {
  const std::string text = plat::win32::SystemMessage(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_NE(text, "error 2");
}

TEST(Win32ComPort, NamesAndNumbers) {
  struct Case {
    int nPort;
    const char* path;
  };
  const Case cases[] = {{1, "\\\\.\\COM1"}, {9, "\\\\.\\COM9"}, {10, "\\\\.\\COM10"}, {255, "\\\\.\\COM255"},
                        {0, ""},           {256, ""},         {-1, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nPort);
    EXPECT_EQ(plat::ComPortPath(c.nPort), c.path);
    if (*c.path) EXPECT_EQ(plat::ComNumberOfPath(c.path), c.nPort);
  }
  EXPECT_EQ(plat::ComNumberOfPath("COM12"), 12);
  EXPECT_EQ(plat::ComNumberOfPath("\\\\.\\COM0"), 0);
  EXPECT_EQ(plat::ComNumberOfPath("\\\\.\\PhysicalDrive0"), 0);
  EXPECT_EQ(plat::ComNumberOfPath(nullptr), 0);
}

TEST(Win32ComPort, ListIsSortedAndNamesEachPortOnce) {
  const auto ports = plat::ListComPorts();
  for (std::size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i].path, plat::ComPortPath(ports[i].nPort));
    if (i > 0) EXPECT_LT(ports[i - 1].nPort, ports[i].nPort);
  }
}

TEST(Win32Stop, TheEventFollowsTheRequest) {
  plat::StopSignal stop;
  ASSERT_NE(stop.NativeHandle(), plat::kNoWaitHandle);
  HANDLE h = reinterpret_cast<HANDLE>(stop.NativeHandle());
  EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  stop.Request();
  EXPECT_TRUE(stop.Requested());
  // Manual reset: it stays signalled for every waiter until cleared.
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
  stop.Clear();
  EXPECT_FALSE(stop.Requested());
  EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Win32Clock, SleepEndsAtOnceOnAStopFromAnotherThread) {
  plat::RealClock clock;
  const std::uint64_t before = clock.NowMs();
  EXPECT_TRUE(clock.SleepUntil(before));  // a deadline already reached
  EXPECT_GE(clock.NowMs(), before);
  // A week away: only the stop can end this sleep (ctest's limit ends a hang).
  std::thread requester([] { plat::Stop().Request(); });
  EXPECT_FALSE(clock.SleepUntil(before + 7ull * 24 * 3600 * 1000));
  requester.join();
  plat::Stop().Clear();
}

TEST(Win32Version, TheProgramReadsItsOwnVersionThroughTheSystem) {
  const std::string self = plat::ModuleFileName(nullptr);
  ASSERT_FALSE(self.empty());
  EXPECT_NE(self.find("test_win32_platform"), std::string::npos) << self;
  // An address inside the program is the program; inside kernel32, kernel32.
  EXPECT_EQ(plat::ModuleFileName(reinterpret_cast<plat::ModuleHandle>(&plat::ModuleFileName)), self);
  const void* pKernel = reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Sleep"));
  ASSERT_NE(pKernel, nullptr);
  std::string kernel = plat::ModuleFileName(pKernel);
  std::transform(kernel.begin(), kernel.end(), kernel.begin(), [](unsigned char c) { return std::tolower(c); });
  EXPECT_NE(kernel.find("kernel32"), std::string::npos) << kernel;
  EXPECT_EQ(plat::ModuleFileName(reinterpret_cast<plat::ModuleHandle>(std::uintptr_t{16})), "");

  CFileVersionInfo info;
  ASSERT_TRUE(info.Create());
  EXPECT_EQ(info.GetFixedFileInfo().dwSignature, plat::kFixedFileInfoSignature);
  EXPECT_EQ(info.GetFileVersion(3), READERTOOL_VERSION_MAJOR);
  EXPECT_EQ(info.GetFileVersion(2), READERTOOL_VERSION_MINOR / 10);
  EXPECT_EQ(info.GetFileVersion(1), READERTOOL_VERSION_MINOR % 10);
  EXPECT_EQ(info.GetFileVersion(0), READERTOOL_VERSION_PATCH);
  EXPECT_EQ(info.GetProductName(), "readertool");
  EXPECT_EQ(info.GetCompanyName(), "readertool developers");
  EXPECT_EQ(info.GetInternalName(), "test_win32_platform");

  // The portable parser reads the same resource straight from the file.
  std::vector<BYTE> block;
  ASSERT_TRUE(plat::ReadVersionResource(self.c_str(), &block));
  std::string text;
  ASSERT_TRUE(plat::VerQueryString(block.data(), block.size(), "\\StringFileInfo\\040904B0\\FileVersion", &text));
  EXPECT_EQ(text, info.GetFileVersionText());
}

TEST(Win32Version, FilesWithoutAResourceHaveNone) {
  for (const char* path : {"", "C:\\no\\such\\file.exe", "C:\\windows"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(plat::VersionInfoSize(path), 0u);
    CFileVersionInfo info;
    EXPECT_FALSE(info.Create(path));
  }
}

TEST(Win32Locale, TheSystemsLanguage) { EXPECT_EQ(plat::UserDefaultLangId(), GetUserDefaultLangID()); }

TEST(Win32Serial, StandardRates) {
  for (DWORD rate : {110u, 9600u, 14400u, 57600u, 115200u, 256000u}) EXPECT_TRUE(plat::IsStandardBaud(rate)) << rate;
  for (DWORD rate : {0u, 50u, 9601u, 250000u, 4000000u}) EXPECT_FALSE(plat::IsStandardBaud(rate)) << rate;
}

TEST(Win32Serial, OpenFailuresSayWhy) {
  struct Case {
    const char* device;
    plat::SerialErrorKind kind;
  };
  const Case cases[] = {
      {"COM0", plat::SerialErrorKind::kInvalidArgument},
      {"/dev/ttyS0", plat::SerialErrorKind::kInvalidArgument},
      {"COM256", plat::SerialErrorKind::kInvalidArgument},
      {"\\\\.\\COM251", plat::SerialErrorKind::kSystem},  // no such port
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    plat::SerialError err;
    EXPECT_EQ(plat::OpenSystemSerialLine(c.device, &err), nullptr);
    EXPECT_EQ(err.kind, c.kind);
    EXPECT_NE(err.sysCode, 0);
    EXPECT_FALSE(err.sysMessage.empty());
  }
}

// There is no HID device to talk to under Wine (and none to rely on on a
// build machine): the list can be had, and a missing interface is "not found".
TEST(Win32Hid, EnumerationWorksAndAMissingInterfaceIsNotFound) {
  std::vector<plat::HidInterfaceInfo> found;
  ASSERT_TRUE(plat::SystemHidBackend().Enumerate(&found));
  // Wine shows no reader; a Windows machine may well have one plugged in.
  const bool bWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  for (const auto& f : found)
    EXPECT_FALSE(bWine && f.vendorId == kSimReaderVendorId && f.productId == kSimReaderProductId) << f.path;
  const std::string missing = "\\\\?\\hid#vid_ffff&pid_fffe#0&0000&0#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  for (auto mode : {plat::HidOpenMode::Exclusive, plat::HidOpenMode::FeatureOnly}) {
    plat::HidOpenStatus status;
    EXPECT_EQ(plat::SystemHidBackend().Open(missing, mode, &status), nullptr);
    EXPECT_EQ(status.kind, plat::HidOpenError::NotFound) << status.sysCode << " " << status.sysMessage;
    EXPECT_NE(status.sysCode, 0);
    EXPECT_FALSE(status.sysMessage.empty());
  }
}
