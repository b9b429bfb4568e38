#include "cli/args.h"

#include <cstring>

#include "app/app.h"
#include "platform/com_port.h"
#include "ui/dialog_template.h"

namespace {

// The baud list's rates, as the command line names them: "9600 19200 ...".
std::string BaudChoices() {
  std::string strChoices;
  for (int nRate : kBaudTable) strChoices += (strChoices.empty() ? "" : " ") + std::to_string(nRate);
  return strChoices;
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

CliParse Fail(std::string strError) {
  CliParse parse;
  parse.strError = std::move(strError);
  return parse;
}

struct CommandName {
  const char* pszName;
  CliCommand command;
  bool bTakesFile;
};
constexpr CommandName kCommands[] = {
    {"load", CliCommand::Load, true},
    {"reset-default", CliCommand::ResetDefault, false},
    {"info", CliCommand::Info, false},
    {"check", CliCommand::Check, true},
    {"list-ports", CliCommand::ListPorts, false},
    {"list-readers", CliCommand::ListReaders, false},
    {"version", CliCommand::Version, false},
    {"version-info", CliCommand::VersionInfo, true},
    {"help", CliCommand::Help, false},
};

}  // namespace

CliParse ParseCommandLine(const std::vector<std::string>& args) {
  CliOptions opt;
  std::vector<std::string> words;
  bool bPortGiven = false;
  bool bOptionsEnded = false;
  bool bVersionOption = false;

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (bOptionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      // The window's own switches, as they stand.
      if (!bOptionsEnded && arg == kSwitchChkLegacy) {
        opt.bChkLegacy = true;
      } else if (!bOptionsEnded && arg == kSwitchR2DefNoEncKeys) {
        opt.bR2DefNoEncKeys = true;
      } else {
        words.push_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      bOptionsEnded = true;
      continue;
    }

    std::string strName = arg;
    std::string strValue;
    bool bInlineValue = false;
    if (const std::size_t nEq = arg.find('='); nEq != std::string::npos && arg.rfind("--", 0) == 0) {
      strName = arg.substr(0, nEq);
      strValue = arg.substr(nEq + 1);
      bInlineValue = true;
    }
    const bool bTakesValue = strName == "--interface" || strName == "--port" || strName == "--baud" ||
                             strName == "--device" || strName == "--wait";
    // --trace takes its file only as "--trace=FILE": "--trace load x" must not
    // take the command for a file name.
    const bool bMayTakeValue = strName == "--trace";
    if (bTakesValue && !bInlineValue) {
      if (i + 1 >= args.size()) return Fail("option " + strName + " needs a value");
      strValue = args[++i];
    } else if (!bTakesValue && !bMayTakeValue && bInlineValue) {
      return Fail("option " + strName + " takes no value");
    }

    if (strName == "--help" || strName == "-h") {
      opt.command = CliCommand::Help;
    } else if (strName == "--version") {
      bVersionOption = true;
    } else if (strName == "--all") {
      opt.bAll = true;
    } else if (strName == "--device") {
      if (strValue.empty()) return Fail("--device needs a reader's path (see list-readers)");
      opt.devices.push_back(strValue);
    } else if (strName == "--wait") {
      // Whole seconds, 1 to a day: a line controller's value, never a typo's.
      int nSeconds = 0;
      bool bDigits = !strValue.empty() && strValue.size() <= 5;
      for (char c : strValue) bDigits = bDigits && c >= '0' && c <= '9';
      if (bDigits) nSeconds = std::stoi(strValue);
      if (!bDigits || nSeconds < 1 || nSeconds > 86400)
        return Fail("--wait takes whole seconds from 1 to 86400, not '" + strValue + "'");
      opt.nWaitSeconds = nSeconds;
    } else if (strName == "--json") {
      opt.bJson = true;
    } else if (strName == "--trace") {
      if (bInlineValue && strValue.empty()) return Fail("--trace=FILE needs a file name");
      opt.strTrace = bInlineValue ? strValue : "-";
    } else if (strName == "--chklegacy") {
      opt.bChkLegacy = true;
    } else if (strName == "--r2def-04f0") {
      opt.bR2DefNoEncKeys = true;
    } else if (strName == "--interface") {
      if (EqualsIgnoringCase(strValue, "rs232")) {
        opt.bRs232 = true;
      } else if (EqualsIgnoringCase(strValue, "usb")) {
        opt.bRs232 = false;
      } else {
        return Fail("--interface must be rs232 or usb, not '" + strValue + "'");
      }
    } else if (strName == "--baud") {
      int nIndex = -1;
      for (int k = 0; k < kBaudCount; ++k)
        if (strValue == std::to_string(kBaudTable[k])) nIndex = k;
      if (nIndex < 0) return Fail("--baud must be one of " + BaudChoices() + ", not '" + strValue + "'");
      opt.nBaudIndex = nIndex;
    } else if (strName == "--port") {
      // A COM name, or a device path (anything with a slash in it).
      if (plat::ParseComName(strValue.c_str()) == 0 && strValue.find('/') == std::string::npos)
        return Fail("--port must be a COM name (COM1 to COM255) or a device path, not '" + strValue + "'");
      if (opt.ports.empty()) opt.strPort = strValue;
      opt.ports.push_back(strValue);
      bPortGiven = true;
    } else {
      return Fail("unknown option '" + arg + "'");
    }
  }

  if (opt.command == CliCommand::Help) {
    CliParse parse;
    parse.bOk = true;
    parse.options = opt;
    return parse;
  }
  // "--version" alone is the version command; with a command it is refused
  // rather than guessed at.
  if (bVersionOption) {
    if (!words.empty()) return Fail("--version takes no command");
    opt.command = CliCommand::Version;
    CliParse parse;
    parse.bOk = true;
    parse.options = opt;
    return parse;
  }
  if (words.empty()) return Fail("no command given");
  const CommandName* pCommand = nullptr;
  for (const CommandName& c : kCommands)
    if (words[0] == c.pszName) pCommand = &c;
  if (!pCommand) return Fail("unknown command '" + words[0] + "'");
  opt.command = pCommand->command;
  if (pCommand->bTakesFile) {
    if (words.size() < 2) return Fail(std::string(pCommand->pszName) + " needs a FILE");
    if (words[1].empty()) return Fail(std::string(pCommand->pszName) + ": the FILE name is empty");
    opt.strFile = words[1];
  }
  const std::size_t nWords = pCommand->bTakesFile ? 2 : 1;
  if (words.size() > nWords) return Fail("unexpected argument '" + words[nWords] + "'");
  // A port only means something on the serial line; taking it silently for
  // a USB run would open a different reader than the one meant.
  const bool bTalksToReader =
      opt.command == CliCommand::Load || opt.command == CliCommand::ResetDefault || opt.command == CliCommand::Info;
  if (bPortGiven && !opt.bRs232 && bTalksToReader) return Fail("--port needs --interface rs232");
  if (!opt.devices.empty() && opt.bRs232) return Fail("--device names a USB reader; use --port with rs232");
  if (opt.bAll && opt.bRs232) return Fail("--all finds USB readers only; give --port once per serial reader");
  if (opt.bAll && !opt.devices.empty()) return Fail("--all and --device exclude each other");
  if ((opt.bAll || !opt.devices.empty() || opt.ports.size() > 1 || opt.nWaitSeconds > 0) && !bTalksToReader)
    return Fail(std::string("--all, --device, --wait and a repeated --port need load, reset-default or info"));
  for (std::size_t a = 0; a < opt.devices.size(); ++a)
    for (std::size_t b = a + 1; b < opt.devices.size(); ++b)
      if (opt.devices[a] == opt.devices[b]) return Fail("--device " + opt.devices[a] + " is given twice");
  for (std::size_t a = 0; a < opt.ports.size(); ++a)
    for (std::size_t b = a + 1; b < opt.ports.size(); ++b)
      if (opt.ports[a] == opt.ports[b]) return Fail("--port " + opt.ports[a] + " is given twice");

  CliParse parse;
  parse.bOk = true;
  parse.options = opt;
  return parse;
}

bool IsBatch(const CliOptions& options) {
  return options.bAll || options.devices.size() > 1 || options.ports.size() > 1;
}

std::string SwitchCommandText(const CliOptions& options) {
  std::string strText;
  if (options.bChkLegacy) strText += kSwitchChkLegacy;
  if (options.bR2DefNoEncKeys) {
    if (!strText.empty()) strText += ' ';
    strText += kSwitchR2DefNoEncKeys;
  }
  return strText;
}

std::string UsageText() {
  return "Usage: readerctl [options] load FILE        the \"Load\" run, FILE in place of the file dialog\n"
         "       readerctl [options] reset-default    the \"Reset Default\" function\n"
         "       readerctl [options] info             each selected reader's firmware version, changing nothing\n"
         "       readerctl [options] check FILE       checks a script or an image as a run would, offline\n"
         "       readerctl [options] list-ports       the serial ports this machine has, \"COMn  DEVICE\" per line\n"
         "       readerctl list-readers               connected readers of the known reader list\n"
         "       readerctl version | --version        the program's own version\n"
         "       readerctl version-info FILE          a file's version resource\n"
         "Options:\n"
         "  --interface rs232|usb    default usb, as in the window\n"
         "  --port COMn|PATH         serial port: a COM name, or on Linux a device path; repeat it\n"
         "                           to run on several readers at once\n"
         "  --device PATH            this USB reader only (a path from list-readers); repeat it to\n"
         "                           run on several readers at once\n"
         "  --all                    every connected known USB reader at once\n"
         "  --wait SECONDS           wait up to SECONDS for the reader to appear or come back first\n"
         "  --baud N                 one of " +
         BaudChoices() + "; default " + std::to_string(kBaudTable[0]) +
         "\n"
         "  --chklegacy              the window's \"/chklegacy\" switch\n"
         "  --r2def-04f0             the window's \"/R2Def_04F0_NoEncKeys\" switch\n"
         "  --json                   one JSON object per line on standard output\n"
         "  --trace[=FILE]           every exchange with the reader, one line each, on standard error\n"
         "                           (or appended to FILE)\n"
         "The window's switches are also accepted as they stand: /chklegacy, /R2Def_04F0_NoEncKeys.\n"
         "Exit status: 0 success, 1 the run or reset failed, 2 the link could not be opened,\n"
         "3 the file was refused or could not be read, 64 usage error, 130 interrupted.\n"
         "On several readers: 0 when every reader succeeded, else the status the failed ones\n"
         "share, else 1; a summary table ends the output.\n";
}
