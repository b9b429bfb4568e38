#include "cli/check_command.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "app/app.h"
#include "cli/console_os.h"
#include "cli/console_view.h"
#include "cli/json_writer.h"
#include "cli/outcome.h"
#include "cli/session.h"
#include "link/interface_select.h"
#include "script/text_script.h"
#include "ui/line_ends.h"
#include "ui/main_dialog.h"
#include "update/file_check.h"
#include "update/firmware_image.h"

namespace {

const char* YesNo(bool b) { return b ? "yes" : "no"; }

std::string Hex8(DWORD dw) {
  char sz[12];
  std::snprintf(sz, sizeof sz, "%08X", static_cast<unsigned>(dw));
  return sz;
}

const char* ScriptHeader(int nKind) { return nKind == kScriptKindUsbHid ? "#USBHID version" : "#RS232 version"; }

// Why a refused file may have been meant for the other path.
std::string HintFor(const CliOptions& opt, const FileCheck& check) {
  if (check.bAccepted || check.kind != RunFileKind::kScript || !HasImageFileName(opt.strFile.c_str())) return {};
  return "a binary image goes through the bootloader download only with --chklegacy";
}

void PrintJson(const CliOptions& opt, const FileCheck& check, int nStatus) {
  JsonObject obj;
  obj.Add("event", "check").Add("ok", check.bAccepted).Add("code", nStatus).Add("file", opt.strFile);
  obj.Add("kind", check.kind == RunFileKind::kImage ? "image" : "script");
  obj.Add("interface", opt.bRs232 ? "rs232" : "usb");
  if (!check.bAccepted) {
    obj.Add("reason", check.strRefusal);
    if (const std::string strHint = HintFor(opt, check); !strHint.empty()) obj.Add("hint", strHint);
  } else {
    const ScriptSummary& s = check.summary;
    if (check.kind == RunFileKind::kScript) {
      obj.Add("script", ScriptHeader(check.nScriptKind)).Add("model", s.strModel);
    } else {
      obj.Add("size", check.nFileLen).Add("checksum", Hex8(check.dwChecksum));
    }
    obj.Add("commands", s.nCommands)
        .Add("enters_bootloader", s.bEntersBootloader)
        .Add("erases", s.bErases)
        .Add("blocks", s.nBlocks)
        .Add("block_bytes", s.nBlockBytes)
        .Add("verifies", s.bVerifies)
        .Add("restarts", s.bRestarts)
        .Add("warnings", check.warnings);
  }
  obj.Add("log", check.strLog);
  console::WriteOut(obj.Line());
}

void PrintText(const CliOptions& opt, const FileCheck& check, int nStatus) {
  // The file step's lines as a run shows them.
  std::string strOut = CrLfToLf(check.strLog);
  if (check.bAccepted) {
    const ScriptSummary& s = check.summary;
    const std::string strOn = opt.bRs232 ? "RS-232" : "USB";
    if (check.kind == RunFileKind::kScript) {
      strOut += std::string("kind:              text command script, ") + ScriptHeader(check.nScriptKind) +
                ", for a run over " + strOn + "\n";
      strOut += "reader model:      " + s.strModel + "\n";
      strOut += "commands:          " + std::to_string(s.nCommands) + "\n";
    } else {
      strOut += "kind:              binary image for the bootloader download (a reader below 3.00.001), "
                "for a run over " + strOn + "\n";
      strOut += "size:              " + std::to_string(check.nFileLen) + " bytes, byte sum " +
                Hex8(check.dwChecksum) + "\n";
      strOut += "commands:          " + std::to_string(s.nCommands) + " (to a reader running its application)\n";
    }
    strOut += std::string("enters bootloader: ") + YesNo(s.bEntersBootloader) + "\n";
    strOut += std::string("erases:            ") + YesNo(s.bErases) + "\n";
    strOut += "programs:          " + std::to_string(s.nBlocks) + " blocks, " + std::to_string(s.nBlockBytes) +
              " bytes\n";
    strOut += std::string("verifies:          ") + YesNo(s.bVerifies) + "\n";
    strOut += std::string("restarts reader:   ") + YesNo(s.bRestarts) + "\n";
  }
  console::WriteOut(strOut);

  std::string strErr;
  for (const std::string& strWarning : check.warnings) strErr += "readerctl: warning: " + strWarning + "\n";
  if (const std::string strHint = HintFor(opt, check); !strHint.empty()) strErr += "readerctl: " + strHint + "\n";
  if (nStatus == kExitOk) {
    strErr += "readerctl: check: a run would accept the file\n";
  } else {
    strErr += std::string("readerctl: check: ") + ExitStatusText(nStatus) + " (exit status " +
              std::to_string(nStatus) + ")\n";
  }
  console::WriteErr(strErr);
}

}  // namespace

int RunCheck(const CliOptions& opt) {
  // The run's file step on a window of the check's own, whose view answers
  // the file chooser and shows nothing: its log is reported below, and the
  // box a run would show for a wrong script carries the same text as the log.
  SelectInterface(opt.bRs232);
  const auto quiet = [](std::string_view) {};
  ConsoleView view(ConsoleOutput{quiet, quiet, false, 80}, false, nullptr);
  view.SetFileAnswer(FileAnswer(opt.strFile));
  CTAVDownloadApDlg dialog;
  dialog.AttachView(&view);
  const FileCheck check = CheckRunFile(&dialog, RunFileKindFor(opt.strFile.c_str()));
  dialog.AttachView(nullptr);

  const int nStatus = check.bAccepted ? kExitOk : kExitFileRefused;
  if (opt.bJson) {
    PrintJson(opt, check, nStatus);
  } else {
    PrintText(opt, check, nStatus);
  }
  return nStatus;
}
