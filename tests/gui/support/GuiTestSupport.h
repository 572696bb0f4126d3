// What the desktop application's tests share: a session of their own (a
// private session bus, settings folder and credential file store, put into
// this process's environment so that the front end, the command line and
// the scheduler service the front end starts all use them), waiting on
// Qt's event loop, answering the next dialog, and measuring how long the
// event loop goes without running.
#pragma once

#include <sys/types.h>

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "support/TestSupport.h"

namespace quorvel::guitest {

using namespace quorvel::test;

class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // False (with the reason in why()) when no private bus could be started.
  bool ready() const { return !address_.empty(); }
  std::string why() const { return why_; }
  std::string operator/(const std::string& name) const { return work_ / name; }
  // The quorvel executable of this build: the command line, and what the
  // front end starts the service with.
  static std::string program();

  // Runs "quorvel ARGUMENTS" here; its exit status, its output in *output.
  int quorvel(const std::string& arguments, std::string* output = nullptr) const;
  // The process owning the service's name, 0 when none does.
  pid_t servicePid() const;
  // Asks the service to quit and waits until its name is free (killing it
  // after 30 s).
  void stopService();

 private:
  TempDir work_;
  std::string address_;
  std::string why_;
};

// Runs Qt's event loop until `condition` (checked every 10 ms) holds or
// `milliseconds` passed; whether it holds.
bool WaitFor(const std::function<bool()>& condition, int milliseconds);

// Clicks the push button named `buttonName` in the next modal dialog shown
// within 10 s (a confirmation the code under test asks with exec()).
void AnswerNextDialog(const QString& buttonName);

// Answers the next alert (Alert.h) named `alertName` shown within 10 s:
// checks its "do not ask again" box when asked to, then clicks the button
// named `buttonName`. The flag turns true once it has been answered.
std::shared_ptr<bool> AnswerNextAlert(const QString& alertName, const QString& buttonName, bool suppress = false);

// True when no modal dialog shows up while the event loop runs for
// `milliseconds`.
bool NoDialogWithin(int milliseconds);

// Saves a picture of the widget as NAME.png into $QUORVEL_SCREENSHOT_DIR
// when that is set (to look at what a test saw); nothing otherwise.
void SaveScreenshot(QWidget* widget, const QString& name);

// A 10 ms timer on the event loop: the longest time between two of its
// ticks is the longest the interface could not react. On a busy machine
// part of that is time the thread was ready but waited for a processor
// (the kernel's schedstat of the thread tells how long); the rest is time
// the thread itself spent elsewhere - computing or blocked - which is the
// interface's own doing.
class LatencyProbe {
 public:
  LatencyProbe();
  void start();
  void stop();
  qint64 worstMilliseconds() const { return worst_ / 1000000; }
  // The worst gap less what the thread spent waiting for a processor.
  qint64 worstOwnMilliseconds() const { return worstOwn_ / 1000000; }
  int ticks() const { return ticks_; }

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 last_ = 0, lastWaiting_ = 0;
  qint64 worst_ = 0, worstOwn_ = 0;
  int ticks_ = 0;
};

}  // namespace quorvel::guitest
