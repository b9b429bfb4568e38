// Resource numbers of readertool.exe, read by both the resource compiler
// (readertool.rc) and the window's code. Plain macros only: the resource
// compiler understands nothing else. The control IDs of the main window come
// from ui/dialog_view.h through the generated dialog_control_ids.h.
#pragma once

// The About box's dialog template.
#define IDD_ABOUTBOX 100
// The text of the system menu's About item.
#define IDS_ABOUTBOX 101
// The main window's dialog template.
#define IDD_MAIN_DIALOG 102
// The program icon: window, task bar, About box, minimized window.
#define IDR_MAINFRAME 128
// The logo in the top left corner of the main window.
#define IDB_LOGO 132
