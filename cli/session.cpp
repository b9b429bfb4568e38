#include "cli/session.h"

#include <cstddef>
#include <filesystem>
#include <vector>

#include "cli/console_os.h"
#include "cli/json_writer.h"
#include "cli/outcome.h"
#include "cli/wait_for_reader.h"
#include "platform/com_port.h"
#include "transport/connection.h"

namespace {

void Out(std::string_view text) { console::WriteOut(text); }
void Err(std::string_view text) { console::WriteErr(text); }

// The progress line is redrawn in place on a terminal; not with --json, and
// not between the lines of a trace on the same terminal.
bool DrawsProgressLine(const CliOptions& opt) {
  return !opt.bJson && opt.strTrace != "-" && console::StderrIsTerminal();
}

}  // namespace

Session::Session(const CliOptions& opt)
    : view(ConsoleOutput{Out, Err, DrawsProgressLine(opt), console::TerminalColumns()}, opt.bJson, &pump) {
  dialog.AttachView(&view);
  theApp.SetMainDialog(&dialog);
}

Session::~Session() {
  theApp.SetMainDialog(nullptr);
  dialog.AttachView(nullptr);
}

bool PreparePort(const CliOptions& opt, ComPortAlias* pAlias, int* pnPort) {
  *pnPort = 0;
  if (!opt.bRs232 || opt.strPort.empty()) return true;
  std::string strError;
  *pnPort = pAlias->Resolve(opt.strPort, &strError);
  if (*pnPort > 0) return true;
  Err("readerctl: " + strError + "\n");
  return false;
}

std::unique_ptr<Session> StartSession(const CliOptions& opt, ComPortAlias* pAlias, int* pnPort) {
  if (!PreparePort(opt, pAlias, pnPort)) return nullptr;
  PrepareRunReader(opt, *pnPort);
  auto s = std::make_unique<Session>(opt);
  s->dialog.OnInitDialog();
  ChooseInterface(*s, opt, *pnPort);
  return s;
}

std::string FileAnswer(const std::string& strFile) {
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::absolute(strFile, ec);
  return ec ? strFile : file.string();
}

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

// The port is named as the operator gave it: a device path is reached
// through a COM number of its own, which the operator never typed.
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
