// readerctl: the command-line front end. "load" and "reset-default" run the
// operator window's own logic (CTAVDownloadApDlg) with a console view in
// place of the window; the main thread plays the window thread. "info"
// (cli/info_command.cpp) asks the reader for its version the same way, and
// "check" (cli/check_command.cpp) judges a file offline. The other commands
// list what the window would find, or read version resources.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/file_version_info.h"
#include "app/known_readers.h"
#include "cli/args.h"
#include "cli/batch.h"
#include "cli/check_command.h"
#include "cli/console_os.h"
#include "cli/console_pump.h"
#include "cli/console_view.h"
#include "cli/info_command.h"
#include "cli/json_writer.h"
#include "cli/outcome.h"
#include "cli/port_alias.h"
#include "cli/reader_list.h"
#include "cli/session.h"
#include "cli/wait_for_reader.h"
#include "link/trace.h"
#include "platform/clock.h"
#include "platform/com_port.h"
#include "platform/hid.h"
#include "platform/std_streams.h"
#include "platform/stop.h"
#include "transport/connection.h"
#include "ui/main_dialog.h"

namespace {

// After a stop, the worker gets this long to leave before the process ends
// without it. Every wait and transfer ends at once on a stop, so this only
// guards against a worker that hangs.
constexpr std::uint64_t kStopGraceMs = 15000;
// The waiting thread's wait on the worker, renewed until it ends.
constexpr std::uint64_t kJoinSliceMs = 3600 * 1000;

void Out(std::string_view text) { console::WriteOut(text); }
void Err(std::string_view text) { console::WriteErr(text); }

int UsageError(const std::string& strError) {
  Err("readerctl: " + strError + "\n");
  Err(UsageText());
  return kExitUsage;
}

// Serves the worker's calls on the main thread until the worker has ended.
// A stop (Ctrl-C) ends the window as closing it would; the worker then
// leaves at its next step and is still served until it has.
void WaitForWorker(Session& s) {
  std::atomic<bool> bDone{false};
  std::thread waiter([&] {
    while (!s.dialog.JoinWorker(plat::NowMs() + kJoinSliceMs)) {
    }
    bDone = true;
    s.pump.Wake();
  });
  bool bCancelled = false;
  std::uint64_t nDeadline = UINT64_MAX;
  for (;;) {
    const ConsolePump::ServeEnd end = s.pump.Serve([&] { return bDone.load(); }, nDeadline, !bCancelled);
    if (end == ConsolePump::ServeEnd::Done) break;
    if (end == ConsolePump::ServeEnd::Stopped) {
      s.dialog.OnCancel();
      bCancelled = true;
      nDeadline = plat::NowMs() + kStopGraceMs;
      continue;
    }
    s.view.Note("readerctl: the run did not stop in time; leaving it");
    console::ExitNow(kExitInterrupted);
  }
  waiter.join();
}

int RunLoad(const CliOptions& opt) {
  ComPortAlias alias;
  int nPort = 0;
  const std::unique_ptr<Session> pSession = StartSession(opt, &alias, &nPort);
  if (!pSession) return kExitNoLink;
  Session& s = *pSession;
  s.view.SetFileAnswer(FileAnswer(opt.strFile));

  if (!plat::Stop().Requested()) s.dialog.OnLoad();
  if (s.dialog.IsRunInProgress() || s.dialog.GetWorkerExitCode() != -1) WaitForWorker(s);
  const bool bInterrupted = plat::Stop().Requested();
  const RunOutcome outcome = s.dialog.GetRunOutcome();
  // The window closes: the pacing table is emptied, the reader list freed.
  s.dialog.OnCancel();
  s.dialog.OnDestroy();
  CloseInterface();

  const int nStatus = ExitStatusOf(outcome, bInterrupted);
  s.view.Finish();
  if (bInterrupted) s.view.Note(std::string("readerctl: interrupted; ") + ReaderStateAfterInterrupt(outcome));
  ReportEnd(s, opt, "load", nStatus, nStatus == kExitNoLink ? NoLinkReason(opt, nPort) : std::string());
  return nStatus;
}

int RunResetDefault(const CliOptions& opt) {
  ComPortAlias alias;
  int nPort = 0;
  const std::unique_ptr<Session> pSession = StartSession(opt, &alias, &nPort);
  if (!pSession) return kExitNoLink;
  Session& s = *pSession;
  if (!plat::Stop().Requested()) s.dialog.OnResetDefault();

  const bool bInterrupted = plat::Stop().Requested();
  const RunOutcome outcome = s.dialog.GetRunOutcome();
  s.dialog.OnCancel();
  s.dialog.OnDestroy();
  CloseInterface();

  const int nStatus = ExitStatusOf(outcome, bInterrupted);
  s.view.Finish();
  if (bInterrupted) s.view.Note("readerctl: interrupted; the link is closed, the reader may be restarting");
  ReportEnd(s, opt, "reset-default", nStatus, nStatus == kExitNoLink ? NoLinkReason(opt, nPort) : std::string());
  return nStatus;
}

int RunListPorts(const CliOptions& opt) {
  int ports[kMaxComPort] = {};
  int nCount = 0;
  EnumComPorts(kBaudTable[opt.nBaudIndex], &nCount, ports);
  for (int i = 0; i < nCount; ++i) {
    const std::string strName = "COM" + std::to_string(ports[i]);
    const std::string strPath = plat::ComPortPath(ports[i]);
    if (opt.bJson) {
      Out(JsonObject().Add("event", "port").Add("name", strName).Add("path", strPath).Line());
    } else {
      Out(strName + "  " + strPath + "\n");
    }
  }
  if (nCount == 0 && !opt.bJson) Err("readerctl: no serial port found\n");
  return kExitOk;
}

std::string Hex4(unsigned nValue) {
  char sz[8];
  std::snprintf(sz, sizeof sz, "0x%04X", nValue & 0xFFFFu);
  return sz;
}

int RunListReaders(const CliOptions& opt) {
  std::vector<ConnectedReader> readers;
  if (!ConnectedKnownReaders(&readers)) {
    Err("readerctl: the HID interfaces cannot be listed\n");
    return kExitFailed;
  }
  const std::size_t nFound = readers.size();
  for (const ConnectedReader& reader : readers) {
    const plat::HidInterfaceInfo& info = reader.info;
    const std::string strModel = reader.pKnown->pszModel ? reader.pKnown->pszModel : "";
    if (opt.bJson) {
      Out(JsonObject()
              .Add("event", "reader")
              .Add("vendor", Hex4(info.vendorId))
              .Add("product", Hex4(info.productId))
              .Add("path", info.path)
              .Add("model", strModel)
              .Add("serial", info.serial)
              .Add("location", info.location)
              .Line());
    } else {
      // The columns scripts already read come first; the model may hold
      // blanks, so the new ones are named.
      std::string strLine = Hex4(info.vendorId) + "  " + Hex4(info.productId) + "  " + info.path;
      if (!strModel.empty()) strLine += "  " + strModel;
      if (!info.serial.empty()) strLine += "  serial=" + info.serial;
      if (!info.location.empty()) strLine += "  location=" + info.location;
      Out(strLine + "\n");
    }
  }
  if (nFound == 0 && !opt.bJson) Err("readerctl: no known reader is connected\n");
  return kExitOk;
}

std::string FourPartVersion(DWORD dwMS, DWORD dwLS) {
  return std::to_string(dwMS >> 16) + "." + std::to_string(dwMS & 0xFFFF) + "." + std::to_string(dwLS >> 16) + "." +
         std::to_string(dwLS & 0xFFFF);
}

int RunVersion(const CliOptions& opt) {
  CFileVersionInfo info;
  if (!info.Create()) {
    Err("readerctl: the program's version information cannot be read\n");
    return kExitFailed;
  }
  const plat::VS_FIXEDFILEINFO& fixed = info.GetFixedFileInfo();
  const std::string strFileVersion = FourPartVersion(fixed.dwFileVersionMS, fixed.dwFileVersionLS);
  if (opt.bJson) {
    Out(JsonObject()
            .Add("event", "version")
            .Add("version", info.GetFileVersionText())
            .Add("file_version", strFileVersion)
            .Line());
  } else {
    Out("readerctl " + info.GetFileVersionText() + " (file version " + strFileVersion + ")\n");
  }
  return kExitOk;
}

int RunVersionInfo(const CliOptions& opt) {
  CFileVersionInfo info;
  if (!info.Create(opt.strFile.c_str())) {
    Err("readerctl: " + opt.strFile + ": no version information can be read from it\n");
    return kExitFileRefused;
  }
  const plat::VS_FIXEDFILEINFO& fixed = info.GetFixedFileInfo();
  const std::pair<const char*, const std::string*> texts[] = {
      {"CompanyName", &info.GetCompanyName()},
      {"FileDescription", &info.GetFileDescription()},
      {"FileVersion", &info.GetFileVersionText()},
      {"InternalName", &info.GetInternalName()},
      {"LegalCopyright", &info.GetLegalCopyright()},
      {"OriginalFileName", &info.GetOriginalFileName()},
      {"ProductName", &info.GetProductName()},
      {"ProductVersion", &info.GetProductVersion()},
      {"Comments", &info.GetComments()},
      {"LegalTrademarks", &info.GetLegalTrademarks()},
      {"PrivateBuild", &info.GetPrivateBuild()},
      {"SpecialBuild", &info.GetSpecialBuild()},
  };
  const std::string strFileVersion = FourPartVersion(fixed.dwFileVersionMS, fixed.dwFileVersionLS);
  if (opt.bJson) {
    JsonObject obj;
    obj.Add("event", "version_info").Add("file_version", strFileVersion);
    for (const auto& [pszKey, pText] : texts) obj.Add(pszKey, *pText);
    Out(obj.Line());
    return kExitOk;
  }
  std::string strOut = "FileVersion (fixed): " + strFileVersion + "\n";
  for (const auto& [pszKey, pText] : texts) strOut += std::string(pszKey) + ": " + *pText + "\n";
  Out(strOut);
  return kExitOk;
}

int Run(const CliOptions& opt) {
  if (IsBatch(opt)) return RunBatch(opt);
  switch (opt.command) {
    case CliCommand::Help:
      Out(UsageText());
      return kExitOk;
    case CliCommand::Load:
      console::InstallStopHandlers();
      return RunLoad(opt);
    case CliCommand::ResetDefault:
      console::InstallStopHandlers();
      return RunResetDefault(opt);
    case CliCommand::Info:
      console::InstallStopHandlers();
      return RunInfo(opt);
    case CliCommand::Check:
      return RunCheck(opt);
    case CliCommand::ListPorts:
      return RunListPorts(opt);
    case CliCommand::ListReaders:
      return RunListReaders(opt);
    case CliCommand::Version:
      return RunVersion(opt);
    case CliCommand::VersionInfo:
      return RunVersionInfo(opt);
    case CliCommand::None:
      break;
  }
  return UsageError("no command given");
}

}  // namespace

int main(int argc, char** argv) {
  plat::KeepStandardStreamsTaken();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const CliParse parse = ParseCommandLine(args);
  if (!parse.bOk) return UsageError(parse.strError);
  const CliOptions& opt = parse.options;

  // The window's switches, read by the one switch reader.
  theApp.SetCommandLine(SwitchCommandText(opt));
  theApp.ReadCommandLine();

  if (!opt.strTrace.empty()) {
    std::string strError;
    if (!trace::EnableTo(opt.strTrace, "readerctl", &strError))
      return UsageError("--trace: " + opt.strTrace + ": " + strError);
  }
  const int nStatus = Run(opt);
  trace::Disable();
  return nStatus;
}
