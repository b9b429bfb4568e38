// What readerctl's commands that talk to a reader (load, reset-default,
// info) share: the window, its console view and the main thread's event
// queue for one run; the operator's choices made in the window's controls;
// the port made usable; and the end of a run reported with its exit status.
#pragma once
#include <memory>
#include <string>

#include "app/app.h"
#include "cli/args.h"
#include "cli/console_pump.h"
#include "cli/console_view.h"
#include "cli/port_alias.h"
#include "platform/pump.h"
#include "ui/main_dialog.h"

// The window, its view and the main thread's event queue for one run.
struct Session {
  explicit Session(const CliOptions& opt);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  ConsolePump pump;
  plat::ScopedThreadPump scopedPump{pump};
  ConsoleView view;
  CTAVDownloadApDlg dialog;  // last: gone before the view it draws on
};

// Makes --port usable; false (after saying why) when it cannot be.
bool PreparePort(const CliOptions& opt, ComPortAlias* pAlias, int* pnPort);

// Everything before a command's own step: --port made usable (*pAlias keeps
// a path's COM number for the run), the run's USB reader pinned and, with
// --wait, awaited before the window exists; then the window started and the
// operator's choices made in it. Null (after saying why) when the port
// cannot be used.
std::unique_ptr<Session> StartSession(const CliOptions& opt, ComPortAlias* pAlias, int* pnPort);

// The file chooser's answer for FILE: its absolute path where it has one.
std::string FileAnswer(const std::string& strFile);

// The operator's choices, made in the window's controls as the operator
// would: interface, baud rate and port (nPort 0: the first port listed).
void ChooseInterface(Session& s, const CliOptions& opt, int nPort);

// Why the link did not open, for a run that ended with kExitNoLink.
std::string NoLinkReason(const CliOptions& opt, int nPort);

// The end of a run: the progress line closed, the reason line, then the
// result event (--json) or the status line.
void ReportEnd(Session& s, const CliOptions& opt, const char* pszWhat, int nStatus, const std::string& strReason);
