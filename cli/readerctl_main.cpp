// readerctl: the command-line front end. "load" and "reset-default" run the
// operator window's own logic (CTAVDownloadApDlg) with a console view in
// place of the window; the main thread plays the window thread. The other
// commands list what the window would find, or read version resources.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/file_version_info.h"
#include "app/known_readers.h"
#include "cli/args.h"
#include "cli/console_os.h"
#include "cli/console_pump.h"
#include "cli/console_view.h"
#include "cli/json_writer.h"
#include "cli/outcome.h"
#include "cli/port_alias.h"
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

// The progress line is redrawn in place on a terminal; not with --json, and
// not between the lines of a trace on the same terminal.
bool DrawsProgressLine(const CliOptions& opt) {
  return !opt.bJson && opt.strTrace != "-" && console::StderrIsTerminal();
}

// The window, its view and the main thread's event queue for one run.
struct Session {
  explicit Session(const CliOptions& opt)
      : view(ConsoleOutput{Out, Err, DrawsProgressLine(opt), console::TerminalColumns()}, opt.bJson, &pump) {
    dialog.AttachView(&view);
    theApp.SetMainDialog(&dialog);
  }
  ~Session() {
    theApp.SetMainDialog(nullptr);
    dialog.AttachView(nullptr);
  }

  ConsolePump pump;
  plat::ScopedThreadPump scopedPump{pump};
  ConsoleView view;
  CTAVDownloadApDlg dialog;  // last: gone before the view it draws on
};

// The operator's choices, made in the window's controls as the operator would.
void ChooseInterface(Session& s, const CliOptions& opt, int nPort) {
  if (!opt.bRs232) return;  // start-up has selected USB
  s.view.SetListSelection(IDC_INTERFACE_LIST, 0);
  s.dialog.OnInterfaceChange();
  s.view.SetListSelection(IDC_BAUD_LIST, opt.nBaudIndex);
  if (nPort <= 0) return;  // the first port the start-up scan found, as in the window
  const std::string strItem = "COM" + std::to_string(nPort);
  const std::vector<std::string> items = s.view.ListItems(IDC_PORT_LIST);
  int nIndex = -1;
  for (std::size_t i = 0; i < items.size(); ++i)
    if (items[i] == strItem) nIndex = static_cast<int>(i);
  if (nIndex < 0) {
    // Not among the ports the system lists (missing, or a port the list
    // does not know): typed into the port list, so that the connect step
    // tries it and reports in its own words.
    s.view.AddListItem(IDC_PORT_LIST, strItem);
    nIndex = static_cast<int>(items.size());
  }
  s.view.SetListSelection(IDC_PORT_LIST, nIndex);
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

// Why the link did not open, for a run that ended with kExitNoLink; the port
// named as the operator gave it (a device path is reached through a COM
// number of its own, which the operator never typed).
std::string NoLinkReason(const CliOptions& opt, int nPort) {
  std::string strReason = LinkFailureReason(LastLinkOpenFailure(), opt.bRs232);
  const std::string strCom = "COM" + std::to_string(nPort) + ":";
  if (opt.bRs232 && nPort > 0 && !opt.strPort.empty() && plat::ParseComName(opt.strPort.c_str()) == 0 &&
      strReason.rfind(strCom, 0) == 0)
    strReason.replace(0, strCom.size() - 1, opt.strPort);
  return strReason;
}

void ReportEnd(Session& s, const CliOptions& opt, const char* pszWhat, int nStatus, const std::string& strReason) {
  s.view.Finish();
  if (!strReason.empty()) s.view.Note("readerctl: " + strReason);
  if (opt.bJson) {
    JsonObject result;
    result.Add("event", "result").Add("ok", nStatus == kExitOk).Add("code", nStatus).Add("log", s.view.LogText());
    if (!strReason.empty()) result.Add("reason", strReason);
    s.view.EmitJson(result);
    return;
  }
  if (nStatus == kExitOk) {
    s.view.Note(std::string("readerctl: ") + pszWhat + ": success");
  } else {
    s.view.Note(std::string("readerctl: ") + pszWhat + ": " + ExitStatusText(nStatus) + " (exit status " +
                std::to_string(nStatus) + ")");
  }
}

// Makes --port usable; false (after saying why) when it cannot be.
bool PreparePort(const CliOptions& opt, ComPortAlias* pAlias, int* pnPort) {
  *pnPort = 0;
  if (!opt.bRs232 || opt.strPort.empty()) return true;
  std::string strError;
  *pnPort = pAlias->Resolve(opt.strPort, &strError);
  if (*pnPort > 0) return true;
  Err("readerctl: " + strError + "\n");
  return false;
}

int RunLoad(const CliOptions& opt) {
  ComPortAlias alias;
  int nPort = 0;
  if (!PreparePort(opt, &alias, &nPort)) return kExitNoLink;

  Session s(opt);
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::absolute(opt.strFile, ec);
  s.view.SetFileAnswer(ec ? opt.strFile : file.string());
  s.dialog.OnInitDialog();
  ChooseInterface(s, opt, nPort);

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
  if (!PreparePort(opt, &alias, &nPort)) return kExitNoLink;

  Session s(opt);
  s.dialog.OnInitDialog();
  ChooseInterface(s, opt, nPort);
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
  std::vector<plat::HidInterfaceInfo> interfaces;
  if (!plat::HidBackend().Enumerate(&interfaces)) {
    Err("readerctl: the HID interfaces cannot be listed\n");
    return kExitFailed;
  }
  int nFound = 0;
  for (const plat::HidInterfaceInfo& info : interfaces) {
    const KnownReader* pKnown = nullptr;
    for (const KnownReader& r : g_KnownReaders)
      if (r.wVid == info.vendorId && r.wPid == info.productId) pKnown = &r;
    if (!pKnown) continue;
    ++nFound;
    const std::string strModel = pKnown->pszModel ? pKnown->pszModel : "";
    if (opt.bJson) {
      Out(JsonObject()
              .Add("event", "reader")
              .Add("vendor", Hex4(info.vendorId))
              .Add("product", Hex4(info.productId))
              .Add("path", info.path)
              .Add("model", strModel)
              .Line());
    } else {
      std::string strLine = Hex4(info.vendorId) + "  " + Hex4(info.productId) + "  " + info.path;
      if (!strModel.empty()) strLine += "  " + strModel;
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
    case CliCommand::Check:
      Err("readerctl: this command is not available yet\n");
      return kExitFailed;
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
