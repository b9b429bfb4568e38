// readerctl's command line.
#pragma once
#include <string>
#include <vector>

enum class CliCommand { None, Help, Load, ResetDefault, Info, Check, ListPorts, ListReaders, Version, VersionInfo };

struct CliOptions {
  CliCommand command = CliCommand::None;
  std::string strFile;           // load, check, version-info
  bool bRs232 = false;           // --interface; USB HID by default, as in the window
  std::string strPort;           // the run's --port as given (empty: the first port the window lists)
  std::vector<std::string> ports;    // every --port, in order (several: one run per port)
  std::vector<std::string> devices;  // every --device (a USB reader's path), in order
  bool bAll = false;                 // --all: every attached known USB reader
  int nWaitSeconds = 0;              // --wait: how long to wait for the reader to appear; 0 not at all
  int nBaudIndex = 0;            // --baud as an index into kBaudTable; 9600 by default
  bool bChkLegacy = false;       // --chklegacy or "/chklegacy"
  bool bR2DefNoEncKeys = false;  // --r2def-04f0 or "/R2Def_04F0_NoEncKeys"
  bool bJson = false;
  std::string strTrace;          // --trace: "-" standard error, else a file to append to; empty: no trace
};

struct CliParse {
  bool bOk = false;
  CliOptions options;
  std::string strError;  // why the command line was refused
};

// Whether the options name more than one reader (or --all): the command then
// runs once per reader, side by side.
bool IsBatch(const CliOptions& options);

// Parses the arguments after the program name. Options may stand before or
// after the command; "--" ends the options; "--name=value" and "--name value"
// are both accepted.
CliParse ParseCommandLine(const std::vector<std::string>& args);

// The command text for the application object's switch reader: the window's
// switches that the options ask for, and nothing else (a file name that
// happens to contain a switch's letters must not set it).
std::string SwitchCommandText(const CliOptions& options);

// The usage text, ending in a line end.
std::string UsageText();
