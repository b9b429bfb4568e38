#include "cli/info_command.h"

#include <cstring>
#include <string>

#include "cli/console_os.h"
#include "cli/json_writer.h"
#include "cli/outcome.h"
#include "cli/session.h"
#include "link/commands.h"
#include "platform/stop.h"
#include "transport/connection.h"
#include "update/download.h"

namespace {

// Room for a version answer's data, as run preparation gives it.
constexpr int kVersionCap = 128;

struct ReaderVersion {
  std::string strFirmware;
  bool bBootloader = false;
};

// The version number where the tool reads it; a shorter answer is shown as
// the text it carries.
std::string VersionOf(const BYTE* pData, int nLen) {
  std::string strText = VersionNumberText(pData, nLen);
  if (!strText.empty() || nLen <= 0) return strText;
  const std::size_t n = static_cast<std::size_t>(nLen < kVersionCap ? nLen : kVersionCap);
  const void* pNul = std::memchr(pData, 0, n);
  return std::string(reinterpret_cast<const char*>(pData),
                     pNul ? static_cast<std::size_t>(static_cast<const BYTE*>(pNul) - pData) : n);
}

// The queries only: the application's version first, then the
// bootloader's, as run preparation asks them.
bool AskVersion(ReaderVersion* pVersion) {
  SettleFreshUsbReader();
  if (plat::Stop().Requested()) return false;
  BYTE data[kVersionCap] = {};
  int nLen = kVersionCap;
  int bNewVersion = 0;
  BYTE bInBootMode = 0;
  if (!GetVersionAnyMode(data, &nLen, &bNewVersion, &bInBootMode)) return false;
  pVersion->strFirmware = VersionOf(data, nLen);
  pVersion->bBootloader = bInBootMode != 0;
  return true;
}

}  // namespace

int RunInfo(const CliOptions& opt) {
  ComPortAlias alias;
  int nPort = 0;
  const std::unique_ptr<Session> pSession = StartSession(opt, &alias, &nPort);
  if (!pSession) return kExitNoLink;
  Session& s = *pSession;

  RunOutcome outcome;
  ReaderVersion version;
  if (!plat::Stop().Requested()) {
    // The connect step as "Load" takes it: no ping, so that nothing but the
    // queries reaches the reader.
    CloseInterface();
    s.dialog.UpdateData(TRUE);
    if (!s.dialog.OpenSelectedInterface(false)) {
      outcome.failure = RunFailure::kConnect;
    } else if (!AskVersion(&version)) {
      outcome.failure = RunFailure::kProcedure;
    }
  }
  const bool bInterrupted = plat::Stop().Requested();
  s.dialog.OnCancel();
  s.dialog.OnDestroy();
  CloseInterface();

  const int nStatus = ExitStatusOf(outcome, bInterrupted);
  const bool bOk = nStatus == kExitOk;
  s.view.Finish();
  if (opt.bJson) {
    JsonObject info;
    info.Add("event", "info").Add("ok", bOk);
    if (bOk) info.Add("firmware", version.strFirmware).Add("bootloader", version.bBootloader);
    s.view.EmitJson(info);
  } else if (bOk) {
    console::WriteOut("firmware " + version.strFirmware + (version.bBootloader ? ", bootloader\n" : ", application\n"));
  }
  if (bInterrupted) {
    s.view.Note("readerctl: interrupted; the reader was only asked for its version");
  } else if (nStatus == kExitFailed) {
    s.view.Note("readerctl: the reader answered none of the version queries (29-04, C7-10, C7-01)");
  }
  ReportEnd(s, opt, "info", nStatus, nStatus == kExitNoLink ? NoLinkReason(opt, nPort) : std::string());
  return nStatus;
}
