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
    const bool bTakesValue = strName == "--interface" || strName == "--port" || strName == "--baud";
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
      opt.strPort = strValue;
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
  if (bPortGiven && !opt.bRs232 && (opt.command == CliCommand::Load || opt.command == CliCommand::ResetDefault))
    return Fail("--port needs --interface rs232");

  CliParse parse;
  parse.bOk = true;
  parse.options = opt;
  return parse;
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
         "       readerctl [options] list-ports       serial ports that can be opened, \"COMn  DEVICE\" per line\n"
         "       readerctl list-readers               connected readers of the known reader list\n"
         "       readerctl version                    the program's own version\n"
         "       readerctl version-info FILE          a file's version resource\n"
         "Options:\n"
         "  --interface rs232|usb    default usb, as in the window\n"
         "  --port COMn|PATH         serial port: a COM name, or on Linux a device path\n"
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
         "3 the file was refused or could not be read, 64 usage error, 130 interrupted.\n";
}
