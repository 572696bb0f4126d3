// The scheduler service as users run it: `quorvel daemon` in a process of its
// own on a private session bus (dbus-daemon --session started here), driven
// through the command line and gdbus. Its scheduling clock is moved with the
// service's test-mode AdvanceClock, so that "two minutes later" takes no
// two minutes. logind, UPower and NetworkManager are python3-dbusmock's
// templates on a second private bus that stands in for the system bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace quorvel {
namespace {

using namespace test;

const std::string kProgram = std::string(QUORVEL_TEST_BINARY_DIR) + "/quorvel";

std::string Quote(const std::string& text) { return "'" + text + "'"; }

bool Eventually(const std::function<bool()>& condition, double seconds) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < limit) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return condition();
}

class SchedulerService : public ::testing::Test {
 protected:
  void SetUp() override {
    if (RunShell("command -v dbus-daemon gdbus >/dev/null") != 0) GTEST_SKIP() << "dbus-daemon and gdbus are needed";
    // Servers that drop root (lighttpd) must reach their folders here.
    chmod(work.path().c_str(), 0755);
    std::filesystem::create_directories(work / "bus");
    std::filesystem::create_directories(work / "system");
    std::filesystem::create_directories(work / "source/docs");
    WriteFile(work / "source/a.txt", "alpha");
    WriteFile(work / "source/docs/b.txt", "bravo");
    session = std::make_unique<PrivateBus>(work / "bus");
    ASSERT_FALSE(session->address().empty()) << "no private session bus";
  }

  void TearDown() override {
    if (daemon > 0) StopDaemon(SIGKILL);
  }

  std::string Environment() const {
    std::string environment = "QUORVEL_HOME=" + Quote(work / "home") + " QUORVEL_KEYCHAIN=file QUORVEL_TEST_CLOCK=1" +
                              " QUORVEL_CONNECTION_DELAY=1 QV_PASSWORD=secret-42 XDG_RUNTIME_DIR=" +
                              Quote(work / "bus") + " DBUS_SESSION_BUS_ADDRESS=" + Quote(session->address());
    environment += " DBUS_SYSTEM_BUS_ADDRESS=" +
                   Quote(system ? system->address() : "unix:path=" + (work / "system/none"));
    return environment;
  }

  int Quorvel(const std::string& arguments, std::string* output = nullptr) {
    return RunShell("env " + Environment() + " " + kProgram + " " + arguments + " 2>&1 </dev/null", output);
  }
  std::string Output(const std::string& arguments) {
    std::string output;
    Quorvel(arguments, &output);
    return output;
  }
  int Gdbus(const std::string& method, const std::string& arguments = "") {
    return RunShell("DBUS_SESSION_BUS_ADDRESS=" + Quote(session->address()) +
                    " gdbus call --session -d org.quorvel.Varid -o /org/quorvel/Varid -m org.quorvel.Varid.Scheduler." +
                    method + " " + arguments + " >/dev/null 2>&1");
  }

  void Create(const std::string& name, const std::string& extra = "--no-encryption") {
    std::string output;
    ASSERT_EQ(Quorvel("create " + name + " " + Quote(work / "source") + " " + Quote(work / ("dest-" + name)) + " " +
                          extra,
                      &output),
              0)
        << output;
  }

  // The daemon as a child of the test, so that its exit status is known.
  void StartDaemon() {
    const std::string command = "exec env " + Environment() + " " + kProgram + " daemon 2>>" + Quote(work / "daemon.log");
    const char* arguments[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    ASSERT_EQ(posix_spawn(&daemon, "/bin/sh", nullptr, nullptr, const_cast<char**>(arguments), environ), 0);
    ASSERT_TRUE(Eventually([&] { return Output("status").find("Scheduler: running") != std::string::npos; }, 15))
        << ReadTextFile(work / "daemon.log");
  }

  // Sends the signal and answers the exit status (-1: it did not end).
  int StopDaemon(int signal = SIGTERM) {
    kill(daemon, signal);
    int status = 0;
    pid_t ended = 0;
    Eventually([&] { return (ended = waitpid(daemon, &status, WNOHANG)) == daemon; }, 60);
    daemon = 0;
    return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Log() const { return ReadTextFile(work / "daemon.log"); }
  bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }

  TempDir work;
  std::unique_ptr<PrivateBus> session;
  std::unique_ptr<PrivateBus> system;
  pid_t daemon = 0;
};

TEST_F(SchedulerService, AScheduledBackupRunsOnTimeLandsInHistoryAndMovesItsNextDate) {
  Create("hourly");
  ASSERT_EQ(Quorvel("set hourly schedule.interval 1h >/dev/null"), 0);
  StartDaemon();
  std::string second;
  EXPECT_EQ(Quorvel("daemon", &second), 1) << "one scheduler per user";
  EXPECT_NE(second.find("runs already (process " + std::to_string(daemon) + ")"), std::string::npos) << second;

  const std::string before = Output("status");
  EXPECT_NE(before.find("hourly               idle"), std::string::npos) << before;
  EXPECT_NE(Output("history hourly").find("No command"), std::string::npos);

  // 58 minutes on: due in two minutes, not yet run; two more: it runs.
  ASSERT_EQ(Gdbus("AdvanceClock", "3480"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_NE(Output("history hourly").find("No command"), std::string::npos) << "ran early";
  ASSERT_EQ(Gdbus("AdvanceClock", "125"), 0);
  ASSERT_TRUE(Eventually([&] { return Output("history hourly").find("performBackup") != std::string::npos; }, 30))
      << Log();
  const std::string after = Output("status");
  EXPECT_NE(after.find("success (performBackup"), std::string::npos) << after;
  EXPECT_NE(before.substr(before.find("hourly")), after.substr(after.find("hourly"))) << "the next run moved";
  EXPECT_EQ(StopDaemon(), 0);
}

TEST_F(SchedulerService, BackupsDueTogetherRunOneAfterTheOtherAndAMissingPasswordWaits) {
  Create("first");
  Create("second");
  Create("locked-out", "--password-env QV_PASSWORD");
  for (const char* name : {"first", "second", "locked-out"}) {
    ASSERT_EQ(Quorvel(std::string("set ") + name + " schedule.interval 1h >/dev/null"), 0);
  }
  std::filesystem::remove_all(work / "home/Keychain");
  StartDaemon();
  ASSERT_EQ(Gdbus("AdvanceClock", "3700"), 0);
  ASSERT_TRUE(Eventually([&] {
    return Output("history first").find("performBackup") != std::string::npos &&
           Output("history second").find("performBackup") != std::string::npos;
  }, 60)) << Log();
  // The log shows each backup finish before the next one starts.
  const std::string log = Log();
  const std::size_t firstStart = log.find("first: performBackup started");
  const std::size_t secondStart = log.find("second: performBackup started");
  ASSERT_NE(firstStart, std::string::npos);
  ASSERT_NE(secondStart, std::string::npos);
  const std::size_t earlier = std::min(firstStart, secondStart);
  const std::string earlierName = earlier == firstStart ? "first" : "second";
  EXPECT_LT(log.find(earlierName + ": performBackup finished"), std::max(firstStart, secondStart)) << log;

  const std::string status = Output("status");
  EXPECT_NE(status.find("locked-out           waiting"), std::string::npos) << status;
  EXPECT_NE(status.find("encryption password is missing"), std::string::npos) << status;
  EXPECT_EQ(StopDaemon(), 0);
}

TEST_F(SchedulerService, SIGTERMDuringABackupLeavesThePreviousRevisionRestorableAndTheSettingsSaved) {
  Create("big");
  ASSERT_EQ(Quorvel("run big >/dev/null"), 0);
  // Enough new data (that compresses badly) that the second backup is still
  // running when the signal comes.
  ASSERT_EQ(RunShell("head -c 200000000 /dev/urandom >" + Quote(work / "source/large.bin")), 0);
  StartDaemon();
  ASSERT_EQ(Gdbus("Run", "big backup {}"), 0);
  ASSERT_TRUE(Eventually([&] { return LogHas("big: performBackup started"); }, 20)) << Log();
  EXPECT_EQ(StopDaemon(SIGTERM), 0) << Log();
  EXPECT_TRUE(LogHas("big: performBackup cancelled")) << Log();

  const std::string history = Output("history big");
  EXPECT_NE(history.find("cancelled"), std::string::npos) << history;
  std::string output;
  ASSERT_EQ(Quorvel("restore big --to " + Quote(work / "restored"), &output), 0) << output;
  EXPECT_EQ(ReadTextFile(work / "restored/source/docs/b.txt"), "bravo");
  EXPECT_FALSE(std::filesystem::exists(work / "restored/source/large.bin")) << "the cut-off revision is not the newest";
}

TEST_F(SchedulerService, ABackupWaitsForItsServerAndFailsByPolicyWhenTheServerGoesAwayInMidRun) {
  if (!HaveProgram("lighttpd")) GTEST_SKIP() << "lighttpd is needed (scripts/setup test)";
  const std::string script = std::string(QUORVEL_FIXTURES_DIR) + "/../integration/webdav-server.sh";
  const int port = FreeLoopbackPort(), tlsPort = FreeLoopbackPort();
  auto startServer = [&] {
    return RunShell(script + " start lighttpd " + Quote(work / "dav") + " " + std::to_string(port) + " " +
                    std::to_string(tlsPort) + " walter secret-42 >/dev/null 2>&1");
  };
  auto stopServer = [&] { RunShell(script + " stop " + Quote(work / "dav") + " >/dev/null 2>&1"); };
  ASSERT_EQ(startServer(), 0);
  std::filesystem::create_directories(work / "home");
  WriteFile(work / "home/Defaults.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>maximumNetworkRetries</key><integer>1</integer></dict></plist>\n");
  std::string output;
  ASSERT_EQ(Quorvel("create remote " + Quote(work / "source") + " http://walter@127.0.0.1:" + std::to_string(port) +
                        "/dav/remote --no-encryption --server-password-env QV_PASSWORD",
                    &output),
            0)
      << output;
  stopServer();

  StartDaemon();
  ASSERT_EQ(Gdbus("Queue", "remote"), 0);
  ASSERT_TRUE(Eventually([&] { return Output("status").find("remote               waiting") != std::string::npos; }, 10))
      << Output("status");
  EXPECT_NE(Output("status").find("cannot be reached"), std::string::npos);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_NE(Output("history remote").find("No command"), std::string::npos) << "ran without its server";

  ASSERT_EQ(startServer(), 0);
  // The port is probed every 5 s; the connection delay is 1 s here.
  EXPECT_TRUE(Eventually([&] { return Output("history remote").find("performBackup") != std::string::npos; }, 30))
      << Log();
  EXPECT_NE(Output("history remote").find(" ok "), std::string::npos) << Output("history remote");

  // The server goes away in mid-run: one retry (the limit set here), then a
  // failed entry; the backup queued meanwhile runs after it.
  ASSERT_EQ(RunShell("head -c 150000000 /dev/urandom >" + Quote(work / "source/large.bin")), 0);
  Create("local");
  ASSERT_EQ(Gdbus("Run", "remote backup {}"), 0);
  ASSERT_TRUE(Eventually([&] { return Log().rfind("remote: performBackup started") > Log().find("remote: performBackup finished"); }, 20)) << Log();
  stopServer();
  ASSERT_EQ(Gdbus("Queue", "local"), 0);
  EXPECT_TRUE(Eventually([&] { return LogHas("remote: network error: retrying in 10 s"); }, 60)) << Log();
  EXPECT_TRUE(Eventually([&] { return Output("history remote").find("failed") != std::string::npos; }, 90)) << Log();
  EXPECT_TRUE(LogHas("remote: network error: giving up after 1 retries in a row")) << Log();
  EXPECT_TRUE(Eventually([&] { return Output("history local").find(" ok ") != std::string::npos; }, 30)) << Log();
  EXPECT_LT(Log().find("remote: performBackup failed"), Log().find("local: performBackup started")) << Log();
  EXPECT_EQ(StopDaemon(), 0);
}

TEST_F(SchedulerService, BatteryAndWiFiConditionsInhibitorAndWakeUpFromTheSystemBus) {
  if (RunShell("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0) GTEST_SKIP() << "python3-dbusmock is needed";
  system = std::make_unique<PrivateBus>(work / "system");
  ASSERT_FALSE(system->address().empty());
  system->startMock("logind");
  system->startMock("upower", "{\"OnBattery\": true}");
  system->startMock("networkmanager");
  auto onBus = [&](const std::string& name) {
    return RunShell("DBUS_SESSION_BUS_ADDRESS=" + Quote(system->address()) +
                    " gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus -m "
                    "org.freedesktop.DBus.NameHasOwner " + name + " 2>/dev/null | grep -q true") == 0;
  };
  ASSERT_TRUE(Eventually([&] {
    return onBus("org.freedesktop.login1") && onBus("org.freedesktop.UPower") &&
           onBus("org.freedesktop.NetworkManager");
  }, 20));
  // Joined to the Wi-Fi network "Home Net".
  const std::string wifi = work / "wifi.py";
  WriteFile(wifi,
            "import dbus\n"
            "nm = dbus.Interface(dbus.SystemBus().get_object('org.freedesktop.NetworkManager',\n"
            "    '/org/freedesktop/NetworkManager'), 'org.freedesktop.DBus.Mock')\n"
            "dev = nm.AddWiFiDevice('mock_wifi', 'wlan0', 100)\n"
            "ap = nm.AddAccessPoint(dev, 'ap1', 'Home Net', '00:11:22:33:44:55', 2, 2437, 5400, 82, 0)\n"
            "conn = nm.AddWiFiConnection(dev, 'conn1', 'Home Net', 'wpa-psk')\n"
            "nm.AddActiveConnection([dev], conn, ap, 'active1', 2)\n");
  std::string joined;
  ASSERT_EQ(RunShell("DBUS_SYSTEM_BUS_ADDRESS=" + Quote(system->address()) + " /usr/bin/python3 " + Quote(wifi) +
                         " 2>&1",
                     &joined),
            0)
      << joined;

  Create("mains-only");
  ASSERT_EQ(Quorvel("set mains-only schedule.skip-if 'POWER_SOURCE == 1' >/dev/null"), 0);
  Create("away-only");
  ASSERT_EQ(Quorvel("set away-only schedule.skip-if 'AIRPORT_NETWORK == \"Home Net\"' >/dev/null"), 0);
  Create("home-only");
  ASSERT_EQ(Quorvel("set home-only schedule.skip-if 'AIRPORT_NETWORK != \"Home Net\"' >/dev/null"), 0);
  StartDaemon();
  ASSERT_EQ(Gdbus("Queue", "away-only"), 0);
  ASSERT_EQ(Gdbus("Queue", "home-only"), 0);
  ASSERT_TRUE(Eventually([&] { return Output("history home-only").find("performBackup") != std::string::npos; }, 20))
      << Log();
  EXPECT_TRUE(LogHas("away-only: scheduled run skipped")) << Log();

  ASSERT_EQ(Gdbus("Queue", "mains-only"), 0);
  ASSERT_TRUE(Eventually([&] { return LogHas("mains-only: scheduled run skipped"); }, 10)) << Log();
  EXPECT_NE(Output("history mains-only").find("No command"), std::string::npos) << "ran on battery";

  // Back on mains power: the next request runs, under logind's inhibitor.
  ASSERT_EQ(RunShell("DBUS_SESSION_BUS_ADDRESS=" + Quote(system->address()) +
                     " gdbus call --session -d org.freedesktop.UPower -o /org/freedesktop/UPower -m "
                     "org.freedesktop.DBus.Properties.Set org.freedesktop.UPower OnBattery '<false>' >/dev/null"),
            0);
  ASSERT_EQ(Gdbus("Queue", "mains-only"), 0);
  ASSERT_TRUE(Eventually([&] { return Output("history mains-only").find("performBackup") != std::string::npos; }, 20))
      << Log();
  std::string calls;
  RunShell("DBUS_SESSION_BUS_ADDRESS=" + Quote(system->address()) +
               " gdbus call --session -d org.freedesktop.login1 -o /org/freedesktop/login1 -m "
               "org.freedesktop.DBus.Mock.GetCalls",
           &calls);
  EXPECT_NE(calls.find("'Inhibit'"), std::string::npos) << calls;
  EXPECT_NE(calls.find("sleep:idle"), std::string::npos) << calls;

  // A wake-up announced by logind re-arms the timers.
  ASSERT_EQ(RunShell("DBUS_SESSION_BUS_ADDRESS=" + Quote(system->address()) +
                     " gdbus call --session -d org.freedesktop.login1 -o /org/freedesktop/login1 -m "
                     "org.freedesktop.DBus.Mock.EmitSignal org.freedesktop.login1.Manager PrepareForSleep b "
                     "'[<false>]' >/dev/null"),
            0);
  EXPECT_TRUE(Eventually([&] { return LogHas("woke up"); }, 10)) << Log();
  EXPECT_EQ(StopDaemon(), 0);
}

TEST_F(SchedulerService, FrontEndsAddChangeAndRemoveBackupsOverTheBus) {
  StartDaemon();
  const std::string source = Quote(work / "source"), destination = Quote(work / "dest-added");
  ASSERT_EQ(Gdbus("CreateBackup", "added " + source + " " + destination + " ''"), 0) << Log();
  EXPECT_NE(Gdbus("CreateBackup", "added " + source + " " + destination + " ''"), 0) << "the name is taken";
  EXPECT_NE(Gdbus("CreateBackup", "other " + Quote(work / "no-such-folder") + " " + destination + " ''"), 0);
  ASSERT_EQ(Gdbus("SetValue", "added schedule.interval 2h"), 0);
  EXPECT_NE(Gdbus("SetValue", "added schedule.skip-if 'WEEK_DAY =='"), 0) << "bad syntax is refused";
  EXPECT_NE(Output("show added").find("every 2 h"), std::string::npos) << Output("show added");
  EXPECT_NE(Output("status").find("added"), std::string::npos);
  ASSERT_EQ(Gdbus("Remove", "added"), 0);
  EXPECT_EQ(Output("status").find("added"), std::string::npos);
  EXPECT_NE(Quorvel("show added >/dev/null"), 0) << "its settings are gone";
  EXPECT_EQ(StopDaemon(), 0);
}

TEST_F(SchedulerService, InstallingWithoutAUserManagerWritesAnAutostartEntry) {
  const std::string environment = "HOME=" + Quote(work / "user") + " XDG_CONFIG_HOME= XDG_DATA_HOME= XDG_RUNTIME_DIR=" +
                                  Quote(work / "no-runtime");
  std::string output;
  ASSERT_EQ(RunShell("env " + environment + " " + kProgram + " daemon --install 2>&1", &output), 0) << output;
  const std::string entry = ReadTextFile(work / "user/.config/autostart/quorvel-scheduler.desktop");
  EXPECT_NE(entry.find("Exec=\"" + kProgram + "\" daemon"), std::string::npos) << entry;
  const std::string activation = ReadTextFile(work / "user/.local/share/dbus-1/services/org.quorvel.Varid.service");
  EXPECT_NE(activation.find("Name=org.quorvel.Varid"), std::string::npos) << activation;
  EXPECT_FALSE(std::filesystem::exists(work / "user/.config/systemd/user/quorvel.service"));
  ASSERT_EQ(RunShell("env " + environment + " " + kProgram + " daemon --uninstall >/dev/null 2>&1"), 0);
  EXPECT_FALSE(std::filesystem::exists(work / "user/.config/autostart/quorvel-scheduler.desktop"));
  EXPECT_FALSE(std::filesystem::exists(work / "user/.local/share/dbus-1/services/org.quorvel.Varid.service"));
}

}  // namespace
}  // namespace quorvel
