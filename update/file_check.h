// The offline check of an update file: what a "Load" run would make of it.
// The run's own file step (the script runner's or the bootloader
// download's) runs on the caller's window, so the check accepts and refuses
// exactly what a run does, with the same log lines; for a file a run
// accepts it says what the run would do to the reader. Nothing is sent and
// no link is opened.
#pragma once
#include <string>
#include <vector>

#include "platform/types.h"
#include "script/script_summary.h"

class CTAVDownloadApDlg;

enum class RunFileKind {
  kScript,  // a text command script, the path of every run without "/chklegacy"
  kImage,   // a binary image, sent by the bootloader download
};

// The path a run takes with this file. Without "/chklegacy" every run takes
// the script path; with it the reader's version decides, and a reader below
// 3.00.001 gets the binary download. Offline the reader is not asked: under
// "/chklegacy" a file with the image's name (".bin") is taken for the
// download, any other for the script path.
RunFileKind RunFileKindFor(const char* pszPath);

struct FileCheck {
  RunFileKind kind = RunFileKind::kScript;
  bool bAccepted = false;
  std::string strLog;      // what the file step wrote to the window's log
  std::string strRefusal;  // its lines after the file's name, without the last line end: why it was refused
  // An accepted script: its kind (kScriptKindRs232, kScriptKindUsbHid) and
  // the tagged-report flag of the run on the selected interface.
  int nScriptKind = -1;
  BYTE bTagged = 0;
  // An accepted image: the file's size and byte sum.
  int nFileLen = 0;
  DWORD dwChecksum = 0;
  // What the run would send to the reader. For an image, the download's
  // steps for a reader running its application (the reader model is not
  // named in an image).
  ScriptSummary summary;
  // Accepted files that would leave the reader without a working
  // application, or with one nobody checked.
  std::vector<std::string> warnings;
};

// Empties pDialog's log and runs the file step of the path `kind` on it; the
// window's view must answer the file chooser with the file. The selected
// interface and the switches count as they do for a run.
FileCheck CheckRunFile(CTAVDownloadApDlg* pDialog, RunFileKind kind);
