#include "ui/qt/test_hooks.h"

#include <QComboBox>
#include <QEvent>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "ui/qt/qt_dialog_view.h"

namespace {

QString Env(const char* pszName) {
  const char* pszValue = TestHookValue(pszName);
  return pszValue ? QString::fromLocal8Bit(pszValue) : QString();
}

void Say(const QString& strLine) {
  std::printf("readertool: %s\n", strLine.toLocal8Bit().constData());
  std::fflush(stdout);
}

}  // namespace

TestHooks::TestHooks(QtDialogView& view) : QObject(&view), m_view(view) {
  m_strClick = Env(kTestClickEnv);
  m_strGrab = Env(kTestGrabEnv);
  if (!Active()) return;
  // The run controls are switched in a fixed order ending with the port
  // list, so its state change marks the end of the switch.
  m_view.PortList()->installEventFilter(this);
  // Acts once the window is shown (waits during start-up may run the event
  // loop before that).
  m_view.installEventFilter(this);
}

void TestHooks::OnWindowUp() {
  if (m_view.HasEnded()) return;
  if (m_strClick == QLatin1String("load")) {
    m_view.LoadButton()->click();
  } else if (m_strClick == QLatin1String("reset")) {
    m_view.ResetDefaultButton()->click();
  } else if (!m_strGrab.isEmpty()) {
    GrabAndClose();
  }
}

bool TestHooks::eventFilter(QObject* pWatched, QEvent* pEvent) {
  if (pWatched == &m_view && pEvent->type() == QEvent::Show && !m_bShown) {
    m_bShown = true;
    QTimer::singleShot(0, this, &TestHooks::OnWindowUp);
  }
  if (pWatched != &m_view && pEvent->type() == QEvent::EnabledChange && !m_strClick.isEmpty()) {
    const bool bEnabled = m_view.PortList()->isEnabled();
    if (!bEnabled && !m_bRunStarted) {
      m_bRunStarted = true;
      Say(QStringLiteral("run started"));
    } else if (bEnabled && m_bRunStarted) {
      m_bRunStarted = false;
      Say(QStringLiteral("run ended"));
      // After the switch has returned to the caller.
      if (!m_strGrab.isEmpty()) QTimer::singleShot(0, this, &TestHooks::GrabAndClose);
    }
  }
  return QObject::eventFilter(pWatched, pEvent);
}

void TestHooks::GrabAndClose() {
  if (m_view.HasEnded()) return;
  const QPixmap picture = m_view.grab();
  if (picture.save(m_strGrab, "PNG")) {
    Say(QStringLiteral("grabbed %1").arg(m_strGrab));
  } else {
    Say(QStringLiteral("could not save %1").arg(m_strGrab));
  }
  m_view.close();
}
