#include "link/pacing.h"

#include <cstdio>

#include "link/dispatch.h"
#include "link/frame.h"
#include "link/trace.h"
#include "ui/main_dialog.h"

std::map<WORD, WORD> g_mapTxPacing;

namespace {

struct PacingEntry {
  WORD code;
  WORD delayMs;
};

// Presets 0 to 5 and the default (any other number) all hold the same single
// entry: C7-15 needs the reader to have settled for five seconds.
constexpr PacingEntry kC715After5s[] = {{0xC715, 5000}};
struct Preset {
  const PacingEntry* entries;
  size_t count;
};
constexpr Preset kPresets[] = {
    {kC715After5s, 1}, {kC715After5s, 1}, {kC715After5s, 1}, {kC715After5s, 1},
    {kC715After5s, 1}, {kC715After5s, 1}, {kC715After5s, 1},  // default
};
constexpr int kDefaultPreset = 6;

}  // namespace

void LoadTxPacingPreset(int nPreset) {
  g_mapTxPacing.clear();
  const Preset& preset = kPresets[nPreset >= 0 && nPreset < kDefaultPreset ? nPreset : kDefaultPreset];
  for (size_t i = 0; i < preset.count; ++i) g_mapTxPacing[preset.entries[i].code] = preset.entries[i].delayMs;
}

void ClearTxPacing() { g_mapTxPacing.clear(); }

void WaitBeforeTx(CTAVDownloadApDlg* pDialog, const BYTE* pReq) {
  const WORD code = GetRespCode(pReq);
  const auto it = g_mapTxPacing.find(code);
  if (it == g_mapTxPacing.end()) return;
  const int delay = it->second;
  char text[64];
  std::snprintf(text, sizeof text, "Before Tx %04X, Waiting %d.%03d sec..", code, delay / 1000, delay % 1000);
  if (pDialog) pDialog->AppendLog(text, false);
  trace::WaitBecause("transmit pacing before the next request");
  PumpWait(static_cast<DWORD>(delay), FALSE);
}
