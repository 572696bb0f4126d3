// The front ends' lasting connection to the scheduler service, without Qt:
// its listener calls are posted to a queue this test drains on its own
// thread. A private session bus and a real `quorvel daemon`.
#include "app/daemon/SchedulerConnection.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

#include "engine/BackupController.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using namespace test;

const std::string kProgram = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// Functions posted by the connection, run when the test drains them.
class PostQueue {
 public:
  void post(std::function<void()> function) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(function));
  }
  void drain() {
    for (;;) {
      std::function<void()> next;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) return;
        next = std::move(queue_.front());
        queue_.pop_front();
      }
      next();
    }
  }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
};

struct Recorder : SchedulerConnection::Listener {
  void serviceDidAppear(pid_t pid) override { appeared.push_back(pid); }
  void serviceDidVanish(const std::string& why) override { vanished.push_back(why); }
  void backupsDidChange(const std::vector<Dictionary>& list) override { backups = list; ++lists; }
  void backupPhase(const std::string& uuid, const std::string& event, const std::string& type, std::uint32_t,
                   std::uint32_t, std::uint32_t) override {
    phases.push_back(event + " " + type);
  }
  void backupDidFinishCommand(const std::string& uuid, int command, bool cancelled,
                              const std::optional<Dictionary>& results, const std::vector<std::string>&) override {
    finished.push_back(command);
    lastResults = results;
  }
  std::vector<pid_t> appeared;
  std::vector<std::string> vanished;
  std::vector<Dictionary> backups;
  int lists = 0;
  std::vector<std::string> phases;
  std::vector<int> finished;
  std::optional<Dictionary> lastResults;
};

class SchedulerConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (RunShell("command -v dbus-daemon >/dev/null") != 0) GTEST_SKIP() << "dbus-daemon is needed";
    std::filesystem::create_directories(work / "bus");
    std::filesystem::create_directories(work / "source");
    WriteFile(work / "source/a.txt", "alpha");
    std::string address;
    ASSERT_EQ(RunShell("dbus-daemon --session --fork --print-address=1 --print-pid=3 3>" + Quote(work / "bus/pid") +
                           " --address=unix:path=" + Quote(work / "bus/socket"),
                       &address),
              0);
    while (!address.empty() && address.back() == '\n') address.pop_back();
    environment = "QUORVEL_HOME=" + Quote(work / "home") + " QUORVEL_KEYCHAIN=file DBUS_SESSION_BUS_ADDRESS=" +
                  Quote(address) + " DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + Quote(work / "bus/none");
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    ASSERT_EQ(RunShell("env " + environment + " " + kProgram + " create notes " + Quote(work / "source") + " " +
                       Quote(work / "dest") + " --no-encryption >/dev/null 2>&1"),
              0);
  }
  void TearDown() override {
    if (daemon > 0) {
      kill(daemon, SIGKILL);
      waitpid(daemon, nullptr, 0);
    }
    RunShell("kill $(cat " + Quote(work / "bus/pid") + ") 2>/dev/null");
  }

  void startDaemon() {
    // Made before fork: the child of a process with threads only execs.
    const std::string command = "exec env " + environment + " " + kProgram + " daemon 2>/dev/null";
    daemon = fork();
    if (daemon == 0) {
      execl("/bin/sh", "/bin/sh", "-c", command.c_str(), nullptr);
      _exit(127);
    }
  }

  // Drains the posted calls until `condition` holds (at most `seconds`).
  bool Until(const std::function<bool()>& condition, double seconds = 30) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      queue.drain();
      if (condition()) return true;
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  SchedulerConnection::Options Options() {
    SchedulerConnection::Options options;
    options.post = [this](std::function<void()> function) { queue.post(std::move(function)); };
    options.startInterval = 1;
    return options;
  }

  TempDir work;
  std::string environment;
  PostQueue queue;
  Recorder recorder;
  pid_t daemon = 0;
};

TEST_F(SchedulerConnectionTest, WithoutAProgramItWaitsForAServiceAndUsesItWhenItComes) {
  SchedulerConnection connection(Options(), recorder);
  ASSERT_TRUE(Until([&] { return !recorder.vanished.empty(); }, 10));
  // Three start intervals later still nothing was started.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  queue.drain();
  EXPECT_TRUE(recorder.appeared.empty());
  EXPECT_FALSE(connection.isConnected());
  std::string reply = "none yet";
  connection.call("Queue", "notes", [&](const std::string& error) { reply = error; });
  ASSERT_TRUE(Until([&] { return reply != "none yet"; }));
  EXPECT_EQ(reply, "the scheduler service is not running");

  startDaemon();
  ASSERT_TRUE(Until([&] { return connection.isConnected() && recorder.lists > 0; }));
  EXPECT_EQ(recorder.appeared.back(), daemon);
  ASSERT_EQ(recorder.backups.size(), 1u);
  EXPECT_EQ(recorder.backups.front().get("name").asString(), "notes");
  EXPECT_EQ(recorder.backups.front().get("state").asString(), "idle");

  // A command with its progress and its end.
  reply = "none yet";
  connection.run("notes", "backup", {}, [&](const std::string& error) { reply = error; });
  ASSERT_TRUE(Until([&] { return !recorder.finished.empty(); }));
  EXPECT_EQ(reply, "");
  EXPECT_EQ(recorder.finished.front(), BackupCommandPerformBackup);
  ASSERT_TRUE(recorder.lastResults.has_value());
  EXPECT_TRUE(recorder.lastResults->get("success").asBool());
  EXPECT_NE(std::find(recorder.phases.begin(), recorder.phases.end(), "begin __main__"), recorder.phases.end());
  ASSERT_TRUE(Until([&] { return recorder.backups.front().get("lastResult").isString(); }));
  EXPECT_EQ(recorder.backups.front().get("lastResult").asString(), "success");

  // The service's refusal comes back as the reply's text.
  reply = "none yet";
  connection.run("nothing-of-that-name", "backup", {}, [&](const std::string& error) { reply = error; });
  ASSERT_TRUE(Until([&] { return reply != "none yet"; }));
  EXPECT_NE(reply.find("no backup is named \"nothing-of-that-name\""), std::string::npos) << reply;

  // Gone, and not started again by a connection without a program.
  kill(daemon, SIGKILL);
  waitpid(daemon, nullptr, 0);
  daemon = 0;
  const std::size_t vanishedBefore = recorder.vanished.size();
  ASSERT_TRUE(Until([&] { return recorder.vanished.size() > vanishedBefore; }));
  EXPECT_FALSE(connection.isConnected());
  std::this_thread::sleep_for(std::chrono::seconds(2));
  queue.drain();
  EXPECT_EQ(recorder.appeared.size(), 1u);
}

TEST_F(SchedulerConnectionTest, NothingReachesTheListenerOnceTheConnectionIsGone) {
  startDaemon();
  {
    SchedulerConnection connection(Options(), recorder);
    ASSERT_TRUE(Until([&] { return connection.isConnected() && recorder.lists > 0; }));
    connection.run("notes", "backup", {}, [&](const std::string&) { ADD_FAILURE() << "a reply after the end"; });
    connection.refresh();
  }
  const int lists = recorder.lists;
  // The backup started by the last call still runs and ends in the service;
  // whatever the connection had posted is dropped.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  queue.drain();
  EXPECT_EQ(recorder.lists, lists);
  EXPECT_TRUE(recorder.finished.empty());
}

}  // namespace
}  // namespace quorvel
