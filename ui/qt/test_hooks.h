// Test hooks of readertool, for automated tests and the screenshot script
// only. None does anything unless its environment variable is set:
//
//   READERTOOL_TEST_CLICK=load|reset   clicks "Load" or "Reset Default" once
//       the window is up, and prints "readertool: run started" when the run
//       controls go off and "readertool: run ended" when they are back on
//       (standard output, one line each).
//   READERTOOL_TEST_GRAB=FILE.png      saves a picture of the window into
//       the file ("readertool: grabbed FILE.png"), then closes the window as
//       its close box does: after the clicked run has ended, or at once when
//       nothing is clicked.
//
// The file dialog's hook, READERTOOL_TEST_CHOOSE_FILE, is the view's
// (ui/qt/qt_dialog_view.h).
#pragma once
#include <QObject>
#include <QString>

#include "ui/qt/test_hook_env.h"

class QtDialogView;


class TestHooks final : public QObject {
  Q_OBJECT
 public:
  // Reads the environment; call before the window runs.
  explicit TestHooks(QtDialogView& view);

  // Whether any hook is active.
  bool Active() const { return !m_strClick.isEmpty() || !m_strGrab.isEmpty(); }

 protected:
  bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

 private:
  void OnWindowUp();
  void GrabAndClose();

  QtDialogView& m_view;
  QString m_strClick;
  QString m_strGrab;
  bool m_bShown = false;
  bool m_bRunStarted = false;
};
