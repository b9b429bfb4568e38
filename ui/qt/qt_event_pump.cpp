#include "ui/qt/qt_event_pump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <climits>

#include "platform/clock.h"
#include "platform/stop.h"

QtEventPump::QtEventPump(QObject* pParent) : QObject(pParent) {
  const qintptr nFd = plat::Stop().NativeHandle();
  if (nFd >= 0) {
    m_pStopNotifier = new QSocketNotifier(nFd, QSocketNotifier::Read, this);
    connect(m_pStopNotifier, &QSocketNotifier::activated, this, &QtEventPump::OnStopReadable);
  }
}

QtEventPump::~QtEventPump() = default;

void QtEventPump::OnStopReadable() {
  // The descriptor stays readable while the stop is pending: stop listening,
  // or the notifier would fire on every pass of the loop.
  if (m_pStopNotifier) m_pStopNotifier->setEnabled(false);
  if (m_bStopSeen) return;
  m_bStopSeen = true;
  emit StopRequested();
}

void QtEventPump::DispatchOne() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void QtEventPump::Rearm() {
  if (!m_bStopSeen || plat::Stop().Requested()) return;
  m_bStopSeen = false;
  if (m_pStopNotifier) m_pStopNotifier->setEnabled(true);
}

void QtEventPump::WaitUntil(std::uint64_t nDeadlineMs) {
  Rearm();
  ++m_nDepth;
  while (!plat::Stop().Requested()) {
    const std::uint64_t nLeftMs = plat::RemainingMs(nDeadlineMs);
    if (nLeftMs == 0) break;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    bool bTimedOut = false;
    connect(&timer, &QTimer::timeout, &loop, [&] {
      bTimedOut = true;
      loop.quit();
    });
    connect(this, &QtEventPump::StopRequested, &loop, &QEventLoop::quit);
    timer.start(static_cast<int>(nLeftMs > INT_MAX ? INT_MAX : nLeftMs));
    // A stop raised before the loop runs is seen by the notifier on the
    // loop's first pass, which then quits it.
    loop.exec();
    if (bTimedOut && plat::RemainingMs(nDeadlineMs) > 0) {
      // Qt's timer ended a little early, or the project clock is not the
      // real one: the rest is the clock's to wait (it wakes on a stop).
      plat::Clock().SleepUntil(nDeadlineMs);
    }
  }
  --m_nDepth;
}
