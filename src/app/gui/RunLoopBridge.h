// RunLoopBridge: serves the process's main run loop (foundation/RunLoop.h)
// from Qt's event loop, so that what the engine and the destination
// operations post to the main thread - results of the setup assistant's
// background checks, for one - arrives while Qt runs the interface thread.
//
// It watches the loop's wake descriptor and, when it becomes readable, runs
// every function and source that is ready in the default mode, without
// waiting. Timers of the main loop are looked at every `timerInterval` ms
// (the descriptor does not announce them); the desktop application has
// none of its own, so the interval only bounds how late one would fire.
//
// Threads: construct and destroy on the main (interface) thread.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>

namespace quorvel {

class RunLoopBridge : public QObject {
  Q_OBJECT

 public:
  explicit RunLoopBridge(int timerInterval = 250, QObject* parent = nullptr);
  ~RunLoopBridge() override;

  // Runs what is ready now; returns how many functions and sources ran.
  int serve();

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
  QTimer timers_;
};

}  // namespace quorvel
