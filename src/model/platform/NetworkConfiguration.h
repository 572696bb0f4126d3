// What the schedule conditions ask about the network and the power supply,
// read afresh on every question from the kernel's own sources:
//   addresses        getifaddrs: the IPv4 addresses of the interfaces that
//                    are up, loopback left out, in the kernel's order
//   network services /sys/class/net: every interface but loopback, active
//                    when its operational state is "up" (or "unknown" with
//                    a carrier: tunnels and some virtual links say so)
//   DNS              resolv.conf: systemd-resolved's list of the real
//                    servers (/run/systemd/resolve/resolv.conf) when it is
//                    there, else /etc/resolv.conf; the domain is its
//                    "domain" line, else the first "search" entry
//   power            /sys/class/power_supply: a battery is present when a
//                    supply of type "Battery" says "present" (or does not
//                    say); the machine runs on battery when no mains or USB
//                    supply is online and a battery is discharging
// The network location (NetworkManager's primary connection, else its first
// default one) and the Wi-Fi network (the access point of the active
// wireless connection: its SSID and its station address) come from
// NetworkManager on the system bus, asked with a one-second time-out; without
// it they are nothing (and a condition on them compares against nothing).
//
// Every query is cheap and thread-safe; failures are silent (nothing,
// empty, false), as a schedule check must never fail on them.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

class NetworkConfiguration {
 public:
  // Where the kernel's files are read (tests point them elsewhere).
  struct Sources {
    std::string classNet = "/sys/class/net";
    std::vector<std::string> resolvConf = {"/run/systemd/resolve/resolv.conf", "/etc/resolv.conf"};
  };

  NetworkConfiguration() = default;
  explicit NetworkConfiguration(Sources sources) : sources_(std::move(sources)) {}
  virtual ~NetworkConfiguration() = default;

  // The process's instance; never null, never destroyed.
  static NetworkConfiguration& sharedNetworkConfiguration();

  virtual std::optional<std::string> locationName() const;
  std::optional<std::string> dnsDomainName() const;
  std::optional<std::vector<std::string>> dnsServerAddresses() const;
  virtual std::vector<std::string> networkAddresses() const;
  virtual std::optional<std::string> airportNetworkName() const;
  virtual std::optional<std::string> airportNetworkSSID() const;
  // Network service name -> its link is active.
  virtual std::map<std::string, bool> allInterfaces() const;

 private:
  Sources sources_;
};

// The resolver configuration's domain and servers, parsed from its text.
struct ResolverConfiguration {
  std::optional<std::string> domain;
  std::vector<std::string> servers;
};
ResolverConfiguration ParseResolverConfiguration(const std::string& text);

// The power supplies below `root` (the layout of /sys/class/power_supply).
struct PowerState {
  bool batteryPresent = false;
  bool runningOnBattery = false;
  bool batteryCharging = false;
};
PowerState ReadPowerState(const std::string& root = "/sys/class/power_supply");
// The machine's power state: UPower's "OnBattery" on the system bus when
// UPower answers (within a second), else what /sys/class/power_supply says.
PowerState ReadSystemPowerState();

}  // namespace quorvel
