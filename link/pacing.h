// Transmit pacing: how long to wait before sending a given command, so the
// reader has finished earlier work when it arrives. Only the script runner
// consults it.
#pragma once
#include <map>

#include "platform/types.h"

class CTAVDownloadApDlg;

// Command code (command byte × 256 + sub-command) → delay in milliseconds.
extern std::map<WORD, WORD> g_mapTxPacing;

void LoadTxPacingPreset(int nPreset);
void ClearTxPacing();
// Before a paced command: logs "Before Tx %04X, Waiting %d.%03d sec.." and waits.
void WaitBeforeTx(CTAVDownloadApDlg* pDialog, const BYTE* pReq);
