// The window thread's event pump (plat::IEventPump) on the Qt event loop.
//
// The procedures that run on the window's thread ("Reset Default", the
// connect step) wait through plat::ThreadPump(). With this pump installed,
// such a wait runs a local Qt event loop until its deadline on the project
// clock or a stop request, so the window keeps painting, its timer keeps
// ticking and calls from a worker (SendToWindowThread) are served. Nothing
// spins: the loop sleeps in the event dispatcher between events.
//
// The pump also watches the process-wide stop request (plat::Stop()): when
// it is raised, StopRequested() is emitted once on the window thread and
// every wait in progress returns. A stop that has been cleared since (tests
// do that) is watched for again.
//
// Re-entrancy: a wait runs a nested event loop, so any handler may run
// inside it. The window logic disables the run controls before it waits.
#pragma once
#include <QObject>
#include <cstdint>

#include "platform/pump.h"

class QSocketNotifier;

class QtEventPump final : public QObject, public plat::IEventPump {
  Q_OBJECT
 public:
  // Create on the window thread, after the application object.
  explicit QtEventPump(QObject* pParent = nullptr);
  ~QtEventPump() override;

  // Processes the events pending now; never blocks.
  void DispatchOne() override;
  // Runs the event loop until plat::Clock().NowMs() >= nDeadlineMs or a stop
  // is requested.
  void WaitUntil(std::uint64_t nDeadlineMs) override;

  // Watches for the next stop request once the last one has been cleared.
  void Rearm();

  // Number of waits in progress on the window thread (nested loops).
  int WaitDepth() const { return m_nDepth; }

 signals:
  // The stop request was raised (emitted once).
  void StopRequested();

 private:
  void OnStopReadable();

  QSocketNotifier* m_pStopNotifier = nullptr;
  bool m_bStopSeen = false;
  int m_nDepth = 0;
};
