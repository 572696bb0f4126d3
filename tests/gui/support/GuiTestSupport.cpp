#include "gui/support/GuiTestSupport.h"

#include <QCheckBox>

#include <signal.h>
#include <stdlib.h>

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace quorvel::guitest {

namespace {

std::string Quote(const std::string& text) { return "'" + text + "'"; }

}  // namespace

Session::Session() {
  std::filesystem::create_directories(work_ / "bus");
  std::filesystem::create_directories(work_ / "home");
  // The runtime folder is the user's alone, as the desktop makes it.
  std::filesystem::permissions(work_ / "bus", std::filesystem::perms::owner_all);
  std::string output;
  if (RunShell("dbus-daemon --session --fork --print-address=1 --print-pid=3 3>" + Quote(work_ / "bus/pid") +
                   " --address=unix:path=" + Quote(work_ / "bus/socket") + " 2>&1",
               &output) != 0) {
    why_ = "dbus-daemon did not start: " + output;
    return;
  }
  while (!output.empty() && output.back() == '\n') output.pop_back();
  address_ = output;
  setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (work_ / "bus/no-system-bus")).c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (work_ / "bus").c_str(), 1);
  setenv("QUORVEL_HOME", (work_ / "home").c_str(), 1);
  setenv("QUORVEL_KEYCHAIN", "file", 1);
}

Session::~Session() {
  if (!ready()) return;
  stopService();
  RunShell("kill $(cat " + Quote(work_ / "bus/pid") + ") 2>/dev/null");
}

std::string Session::program() { return std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel"; }

int Session::quorvel(const std::string& arguments, std::string* output) const {
  return RunShell(program() + " " + arguments + " 2>&1 </dev/null", output);
}

pid_t Session::servicePid() const {
  std::string output;
  if (RunShell("gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus "
               "--method org.freedesktop.DBus.GetConnectionUnixProcessID org.quorvel.Varid 2>/dev/null",
               &output) != 0) {
    return 0;
  }
  // "(uint32 1234,)"
  const std::size_t digits = output.find_first_of("0123456789", output.find("uint32") + 6);
  return digits == std::string::npos ? 0 : static_cast<pid_t>(std::stol(output.substr(digits)));
}

void Session::stopService() {
  const pid_t pid = servicePid();
  if (pid == 0) return;
  RunShell("gdbus call --session -d org.quorvel.Varid -o /org/quorvel/Varid -m org.quorvel.Varid.Scheduler.Quit "
           ">/dev/null 2>&1");
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (servicePid() == pid && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (servicePid() == pid) kill(pid, SIGKILL);
}

bool WaitFor(const std::function<bool()>& condition, int milliseconds) {
  // The application's own kind of loop (QTest::qWaitFor sleeps between its
  // passes, which would count against the latency measured meanwhile).
  if (condition()) return true;
  QEventLoop loop;
  QTimer check;
  check.setInterval(10);
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (condition()) loop.quit();
  });
  QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
  check.start();
  loop.exec();
  return condition();
}

void AnswerNextDialog(const QString& buttonName) {
  auto* poll = new QTimer;
  auto* clock = new QElapsedTimer;
  clock->start();
  poll->setInterval(20);
  QObject::connect(poll, &QTimer::timeout, [poll, clock, buttonName] {
    QWidget* modal = QApplication::activeModalWidget();
    QPushButton* button = modal ? modal->findChild<QPushButton*>(buttonName) : nullptr;
    if (button) button->click();
    if (button || clock->elapsed() > 10000) {
      poll->stop();
      poll->deleteLater();
      delete clock;
    }
  });
  poll->start();
}

std::shared_ptr<bool> AnswerNextAlert(const QString& alertName, const QString& buttonName, bool suppress) {
  auto answered = std::make_shared<bool>(false);
  auto* poll = new QTimer;
  auto* clock = new QElapsedTimer;
  clock->start();
  poll->setInterval(20);
  QObject::connect(poll, &QTimer::timeout, [=] {
    QWidget* modal = QApplication::activeModalWidget();
    QPushButton* button =
        modal && modal->objectName() == alertName ? modal->findChild<QPushButton*>(buttonName) : nullptr;
    if (button) {
      if (suppress) {
        if (auto* box = modal->findChild<QCheckBox*>("suppressBox")) box->setChecked(true);
      }
      button->click();
      *answered = true;
    }
    if (button || clock->elapsed() > 10000) {
      poll->stop();
      poll->deleteLater();
      delete clock;
    }
  });
  poll->start();
  return answered;
}

bool NoDialogWithin(int milliseconds) {
  return !WaitFor([] { return QApplication::activeModalWidget() != nullptr; }, milliseconds);
}

void SaveScreenshot(QWidget* widget, const QString& name) {
  const QByteArray folder = qgetenv("QUORVEL_SCREENSHOT_DIR");
  if (folder.isEmpty()) return;
  widget->grab().save(QString::fromLocal8Bit(folder) + "/" + name + ".png");
}

namespace {

// Nanoseconds this thread has spent ready to run but waiting for a
// processor (second field of /proc/thread-self/schedstat); 0 when the
// kernel does not say.
qint64 WaitingForProcessor() {
  std::FILE* file = std::fopen("/proc/thread-self/schedstat", "r");
  if (!file) return 0;
  unsigned long long running = 0, waiting = 0;
  const int read = std::fscanf(file, "%llu %llu", &running, &waiting);
  std::fclose(file);
  return read == 2 ? static_cast<qint64>(waiting) : 0;
}

}  // namespace

LatencyProbe::LatencyProbe() {
  timer_.setInterval(10);
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    const qint64 now = clock_.nsecsElapsed();
    const qint64 waiting = WaitingForProcessor();
    worst_ = std::max(worst_, now - last_);
    worstOwn_ = std::max(worstOwn_, (now - last_) - (waiting - lastWaiting_));
    last_ = now;
    lastWaiting_ = waiting;
    ++ticks_;
  });
}

void LatencyProbe::start() {
  worst_ = worstOwn_ = 0;
  ticks_ = 0;
  clock_.start();
  last_ = 0;
  lastWaiting_ = WaitingForProcessor();
  timer_.start();
}

void LatencyProbe::stop() { timer_.stop(); }

}  // namespace quorvel::guitest
