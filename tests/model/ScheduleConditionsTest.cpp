#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

#include "model/ScheduleConditions.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;
using test::WriteFile;

// A machine whose network answers are fixed.
class FixedNetwork : public NetworkConfiguration {
 public:
  std::optional<std::string> locationName() const override { return "Office"; }
  std::optional<std::string> airportNetworkName() const override { return std::nullopt; }
  std::vector<std::string> networkAddresses() const override { return {"192.168.1.7", "10.0.0.2"}; }
  std::map<std::string, bool> allInterfaces() const override { return {{"eth0", true}, {"wlan0", false}}; }
};

Dictionary ServicesOf(const NetworkConfiguration& network) {
  Dictionary services;
  for (const auto& [name, active] : network.allInterfaces()) services.set(name, active);
  return services;
}

TEST(ScheduleConditions, TheRunIsSkippedExactlyWhenTheConditionHolds) {
  setenv("TZ", "UTC", 1);
  tzset();
  const Date sunday = Date::fromUnixTime(1780228800);   // 2026-05-31, a Sunday, 12:00 UTC
  const Date monday = sunday.addingTimeInterval(86400);
  FixedNetwork network;
  const Dictionary services = ServicesOf(network);
  struct Case {
    const char* condition;  // as the rule editor stores it; "" for none
    Date now;
    bool onBattery;
    bool allowed;
  } cases[] = {
      {"", sunday, true, true},
      {"WEEK_DAY == '0'", sunday, false, false},
      {"WEEK_DAY == '0'", monday, false, true},
      {"WEEK_DAY == 0 OR POWER_SOURCE == 1", sunday, false, false},  // as typed on the command line
      {"WEEK_DAY == 0 OR POWER_SOURCE == 1", monday, false, true},
      {"MONTH_DAY == 1", monday, false, false},
      {"POWER_SOURCE == '1'", monday, true, false},
      {"POWER_SOURCE == '1'", monday, false, true},
      {"WEEK_DAY == '0' OR POWER_SOURCE == '1'", monday, true, false},
      {"NETWORK_LOCATION == 'Office'", monday, false, false},
      {"NETWORK_LOCATION != 'Office'", monday, false, true},
      {"IP_ADDRESS BEGINSWITH '192.168.'", monday, false, false},
      {"AIRPORT_NETWORK == 'Cafe'", monday, false, true},  // no Wi-Fi: compares against nothing
      {"NETWORK_SERVICE == 'eth0'", monday, false, false},
      {"NETWORK_SERVICE == 'wlan0'", monday, false, true},  // wlan0 is not active
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.condition);
    PredicatePtr condition = *c.condition ? Predicate::predicateWithFormat(c.condition) : nullptr;
    if (*c.condition) {
      ASSERT_TRUE(condition);
    }
    PowerState power;
    power.batteryPresent = true;
    power.runningOnBattery = c.onBattery;
    const Dictionary variables = ScheduleConditionVariables(c.now, network, power);
    EXPECT_EQ(ScheduleConditionsAllow(condition, variables, services), c.allowed);
  }
  unsetenv("TZ");
  tzset();
}

TEST(NetworkConfiguration, ResolverFilesServicesAndPowerSuppliesAreReadAsTheKernelWritesThem) {
  ResolverConfiguration resolver = ParseResolverConfiguration(
      "# written by a tool\nnameserver 192.168.1.1\nsearch lan example.org ; a comment\nnameserver fd00::1\n");
  EXPECT_EQ(resolver.domain, "lan");
  EXPECT_EQ(resolver.servers, (std::vector<std::string>{"192.168.1.1", "fd00::1"}));
  EXPECT_EQ(ParseResolverConfiguration("search a.example\ndomain b.example\n").domain, "b.example");
  EXPECT_EQ(ParseResolverConfiguration("").domain, std::nullopt);

  TempDir sys;
  auto device = [&](const std::string& folder, const std::map<std::string, std::string>& files) {
    mkdir((sys / folder).c_str(), 0755);
    for (const auto& [name, value] : files) WriteFile(sys / (folder + "/" + name), value + "\n");
  };
  device("lo", {{"type", "772"}, {"operstate", "unknown"}, {"carrier", "1"}});
  device("eth0", {{"type", "1"}, {"operstate", "up"}});
  device("wlan0", {{"type", "1"}, {"operstate", "down"}});
  device("tun0", {{"type", "65534"}, {"operstate", "unknown"}, {"carrier", "1"}});
  NetworkConfiguration::Sources sources;
  sources.classNet = sys.path();
  TempDir etc;
  sources.resolvConf = {etc / "missing", etc / "resolv.conf"};
  WriteFile(etc / "resolv.conf", "domain home.example\nnameserver 10.0.0.1\n");
  NetworkConfiguration network(sources);
  EXPECT_EQ(network.allInterfaces(), (std::map<std::string, bool>{{"eth0", true}, {"tun0", true}, {"wlan0", false}}));
  EXPECT_EQ(network.dnsDomainName(), "home.example");
  EXPECT_EQ(network.dnsServerAddresses(), (std::vector<std::string>{"10.0.0.1"}));
  for (const std::string& address : NetworkConfiguration().networkAddresses()) {
    EXPECT_NE(address.rfind("127.", 0), 0u) << "loopback left out";
  }

  struct Case {
    const char* what;
    std::map<std::string, std::map<std::string, std::string>> supplies;
    bool present, onBattery, charging;
  } cases[] = {
      {"a desktop: no battery", {{"AC", {{"type", "Mains"}, {"online", "1"}}}}, false, false, false},
      {"a laptop on battery",
       {{"AC", {{"type", "Mains"}, {"online", "0"}}}, {"BAT0", {{"type", "Battery"}, {"status", "Discharging"}}}},
       true, true, false},
      {"a laptop charging",
       {{"AC", {{"type", "Mains"}, {"online", "1"}}}, {"BAT0", {{"type", "Battery"}, {"status", "Charging"}}}},
       true, false, true},
      {"a battery slot without its battery", {{"BAT1", {{"type", "Battery"}, {"present", "0"}}}}, false, false, false},
      {"a mouse's battery while the machine is on mains",
       {{"AC", {{"type", "Mains"}, {"online", "1"}}}, {"hid-mouse", {{"type", "Battery"}, {"status", "Discharging"}}}},
       true, false, false},
  };
  for (const Case& c : cases) {
    TempDir root;
    for (const auto& [name, files] : c.supplies) {
      mkdir((root / name).c_str(), 0755);
      for (const auto& [file, value] : files) WriteFile(root / (name + "/" + file), value + "\n");
    }
    PowerState state = ReadPowerState(root.path());
    EXPECT_EQ(state.batteryPresent, c.present) << c.what;
    EXPECT_EQ(state.runningOnBattery, c.onBattery) << c.what;
    EXPECT_EQ(state.batteryCharging, c.charging) << c.what;
  }
  EXPECT_FALSE(ReadPowerState("/nonexistent").batteryPresent);
}

}  // namespace
}  // namespace quorvel
