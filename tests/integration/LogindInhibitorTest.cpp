// The keep-awake lock against logind's interface, played by python3-dbusmock's
// logind template on a private bus that stands in for the system bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "foundation/SystemLog.h"
#include "model/platform/KeepAwake.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::PrivateBus;
using test::RunShell;
using test::TempDir;

// The inhibitor locks logind holds, as `gdbus` lists them.
std::string Inhibitors() {
  std::string listed;
  RunShell("gdbus call --system --dest org.freedesktop.login1 --object-path /org/freedesktop/login1 "
           "--method org.freedesktop.login1.Manager.ListInhibitors 2>&1",
           &listed);
  return listed;
}

bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 100; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

TEST(KeepAwake, TheFirstRequestTakesLogindsLockAndTheLastReleaseEndsIt) {
  if (RunShell("command -v dbus-daemon gdbus >/dev/null && /usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0) {
    GTEST_SKIP() << "dbus-daemon, gdbus and python3-dbusmock are needed (scripts/setup test)";
  }
  TempDir bus;
  // Without logind the requests are counted all the same, and the failure
  // is logged once.
  {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (bus / "nothing")).c_str(), 1);
    SystemLogCapture log;
    KeepAwake unavailable("Quorvel Varid", "Backing up");
    unavailable.request();
    unavailable.request();
    EXPECT_EQ(unavailable.count(), 2u);
    EXPECT_FALSE(unavailable.holdsLock());
    unavailable.release();
    unavailable.release();
    unavailable.request();
    EXPECT_EQ(log.lines().size(), 1u);
    unavailable.release();
  }
  PrivateBus systemBus(bus.path());
  ASSERT_FALSE(systemBus.address().empty());
  setenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus.address().c_str(), 1);
  struct Cleanup {
    ~Cleanup() { unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }
  } cleanup;
  systemBus.startMock("logind");
  ASSERT_TRUE(Eventually([] { return Inhibitors().find("@a(ssssuu)") != std::string::npos ||
                                     Inhibitors().find("[(") != std::string::npos; }))
      << Inhibitors();

  KeepAwake awake("Quorvel Varid", "Backing up");
  awake.request();
  awake.request();
  EXPECT_EQ(awake.count(), 2u);
  EXPECT_TRUE(awake.holdsLock());
  EXPECT_TRUE(Eventually([] { return Inhibitors().find("'sleep:idle', 'Quorvel Varid', 'Backing up', 'block'") !=
                                     std::string::npos; }))
      << Inhibitors();
  awake.release();
  EXPECT_TRUE(awake.holdsLock()) << "one request is still held";
  awake.release();
  awake.release();  // one too many: nothing happens
  EXPECT_EQ(awake.count(), 0u);
  EXPECT_FALSE(awake.holdsLock());
  EXPECT_TRUE(Eventually([] { return Inhibitors().find("Quorvel Varid") == std::string::npos; })) << Inhibitors();
}

}  // namespace
}  // namespace quorvel
