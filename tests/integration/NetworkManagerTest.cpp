// The network location and the Wi-Fi network from NetworkManager, played by
// python3-dbusmock's template on a private bus standing in for the system bus.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "model/platform/NetworkConfiguration.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::PrivateBus;
using test::RunShell;
using test::TempDir;

TEST(NetworkManager, TheActiveWirelessConnectionNamesTheLocationAndTheNetwork) {
  if (RunShell("command -v dbus-daemon >/dev/null && /usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0) {
    GTEST_SKIP() << "dbus-daemon and python3-dbusmock are needed (scripts/setup test)";
  }
  TempDir bus;
  PrivateBus systemBus(bus.path());
  ASSERT_FALSE(systemBus.address().empty());
  setenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus.address().c_str(), 1);
  struct Cleanup {
    ~Cleanup() { unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }
  } cleanup;

  NetworkConfiguration network;
  EXPECT_EQ(network.locationName(), std::nullopt) << "no NetworkManager on the bus";
  EXPECT_EQ(network.airportNetworkName(), std::nullopt);

  systemBus.startMock("networkmanager");
  const std::string script = bus / "wifi.py";
  test::WriteFile(script,
                  "import dbus, time\n"
                  "for _ in range(100):\n"
                  "    try:\n"
                  "        nm = dbus.Interface(dbus.SystemBus().get_object('org.freedesktop.NetworkManager',\n"
                  "            '/org/freedesktop/NetworkManager'), 'org.freedesktop.DBus.Mock')\n"
                  "        dev = nm.AddWiFiDevice('mock_wifi', 'wlan0', 100)\n"
                  "        break\n"
                  "    except dbus.exceptions.DBusException:\n"
                  "        time.sleep(0.05)\n"
                  "ap = nm.AddAccessPoint(dev, 'ap1', 'Home Net', '00:11:22:33:44:55', 2, 2437, 5400, 82, 0)\n"
                  "conn = nm.AddWiFiConnection(dev, 'conn1', 'Home Net', 'wpa-psk')\n"
                  "nm.AddActiveConnection([dev], conn, ap, 'active1', 2)\n");
  std::string output;
  ASSERT_EQ(RunShell("/usr/bin/python3 '" + script + "' 2>&1", &output), 0) << output;

  EXPECT_EQ(network.locationName(), "Home Net");
  EXPECT_EQ(network.airportNetworkName(), "Home Net");
  EXPECT_EQ(network.airportNetworkSSID(), "00:11:22:33:44:55");
}

}  // namespace
}  // namespace quorvel
