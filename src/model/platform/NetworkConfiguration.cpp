#include "model/platform/NetworkConfiguration.h"

#include <arpa/inet.h>
#include <gio/gio.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <fstream>
#include <sstream>

namespace quorvel {

namespace {

// The first line of a small file, without its line end; nothing when it
// cannot be read.
std::optional<std::string> FirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  return line;
}

std::vector<std::string> FolderEntries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* folder = opendir(path.c_str())) {
    while (dirent* entry = readdir(folder)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(folder);
  }
  return names;
}

std::optional<ResolverConfiguration> ReadResolverConfiguration(const std::vector<std::string>& candidates) {
  for (const std::string& path : candidates) {
    std::ifstream file(path);
    if (!file) continue;
    std::stringstream text;
    text << file.rdbuf();
    return ParseResolverConfiguration(text.str());
  }
  return std::nullopt;
}

// NetworkManager on the system bus: one property, or null (no bus, no
// NetworkManager, no such object or property). The caller unrefs.
constexpr const char* kNetworkManager = "org.freedesktop.NetworkManager";
constexpr int kNetworkManagerTimeOut = 1000;  // milliseconds: a schedule check must not hang

GVariant* ServiceProperty(GDBusConnection* bus, const char* service, const std::string& path, const char* interface,
                          const char* name) {
  if (!bus || path.empty() || path == "/") return nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, service, path.c_str(), "org.freedesktop.DBus.Properties",
                                                "Get", g_variant_new("(ss)", interface, name), G_VARIANT_TYPE("(v)"),
                                                G_DBUS_CALL_FLAGS_NO_AUTO_START, kNetworkManagerTimeOut, nullptr, nullptr);
  if (!reply) return nullptr;
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  g_variant_unref(reply);
  return value;
}

GVariant* NetworkManagerProperty(GDBusConnection* bus, const std::string& path, const char* interface,
                                 const char* name) {
  return ServiceProperty(bus, kNetworkManager, path, interface, name);
}

std::optional<std::string> TextProperty(GDBusConnection* bus, const std::string& path, const char* interface,
                                        const char* name) {
  GVariant* value = NetworkManagerProperty(bus, path, interface, name);
  if (!value) return std::nullopt;
  std::optional<std::string> text;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) || g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH)) {
    text = g_variant_get_string(value, nullptr);
  } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_BYTESTRING)) {
    gsize length = 0;
    const auto* bytes = static_cast<const char*>(g_variant_get_fixed_array(value, &length, 1));
    text = std::string(bytes, length);
  }
  g_variant_unref(value);
  return text;
}

bool BoolProperty(GDBusConnection* bus, const std::string& path, const char* interface, const char* name) {
  GVariant* value = NetworkManagerProperty(bus, path, interface, name);
  const bool on = value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
  if (value) g_variant_unref(value);
  return on;
}

std::vector<std::string> ActiveConnections(GDBusConnection* bus) {
  std::vector<std::string> paths;
  GVariant* value = NetworkManagerProperty(bus, "/org/freedesktop/NetworkManager", kNetworkManager, "ActiveConnections");
  if (!value) return paths;
  if (g_variant_is_of_type(value, G_VARIANT_TYPE("ao"))) {
    GVariantIter iter;
    g_variant_iter_init(&iter, value);
    const gchar* path = nullptr;
    while (g_variant_iter_next(&iter, "&o", &path)) paths.emplace_back(path);
  }
  g_variant_unref(value);
  return paths;
}

constexpr const char* kActiveConnection = "org.freedesktop.NetworkManager.Connection.Active";

// The system bus, or null; the caller unrefs.
GDBusConnection* SystemBus() { return g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr); }

// The active Wi-Fi connection's access point: its path, or empty.
std::string ActiveAccessPoint(GDBusConnection* bus) {
  for (const std::string& connection : ActiveConnections(bus)) {
    if (TextProperty(bus, connection, kActiveConnection, "Type") != std::optional<std::string>("802-11-wireless")) {
      continue;
    }
    std::optional<std::string> accessPoint = TextProperty(bus, connection, kActiveConnection, "SpecificObject");
    if (accessPoint && *accessPoint != "/") return *accessPoint;
  }
  return std::string();
}

}  // namespace

NetworkConfiguration& NetworkConfiguration::sharedNetworkConfiguration() {
  static NetworkConfiguration* shared = new NetworkConfiguration();
  return *shared;
}

// NetworkManager's primary connection, else its first default one.
std::optional<std::string> NetworkConfiguration::locationName() const {
  GDBusConnection* bus = SystemBus();
  if (!bus) return std::nullopt;
  std::optional<std::string> name;
  std::optional<std::string> primary =
      TextProperty(bus, "/org/freedesktop/NetworkManager", kNetworkManager, "PrimaryConnection");
  if (primary && *primary != "/") name = TextProperty(bus, *primary, kActiveConnection, "Id");
  for (const std::string& connection : name ? std::vector<std::string>() : ActiveConnections(bus)) {
    if (!BoolProperty(bus, connection, kActiveConnection, "Default")) continue;
    name = TextProperty(bus, connection, kActiveConnection, "Id");
    break;
  }
  g_object_unref(bus);
  return name;
}

std::optional<std::string> NetworkConfiguration::airportNetworkName() const {
  GDBusConnection* bus = SystemBus();
  if (!bus) return std::nullopt;
  std::optional<std::string> ssid =
      TextProperty(bus, ActiveAccessPoint(bus), "org.freedesktop.NetworkManager.AccessPoint", "Ssid");
  g_object_unref(bus);
  return ssid;
}

std::optional<std::string> NetworkConfiguration::airportNetworkSSID() const {
  GDBusConnection* bus = SystemBus();
  if (!bus) return std::nullopt;
  std::optional<std::string> station =
      TextProperty(bus, ActiveAccessPoint(bus), "org.freedesktop.NetworkManager.AccessPoint", "HwAddress");
  g_object_unref(bus);
  return station;
}

std::optional<std::string> NetworkConfiguration::dnsDomainName() const {
  std::optional<ResolverConfiguration> resolver = ReadResolverConfiguration(sources_.resolvConf);
  return resolver ? resolver->domain : std::nullopt;
}

std::optional<std::vector<std::string>> NetworkConfiguration::dnsServerAddresses() const {
  std::optional<ResolverConfiguration> resolver = ReadResolverConfiguration(sources_.resolvConf);
  if (!resolver || resolver->servers.empty()) return std::nullopt;
  return resolver->servers;
}

std::vector<std::string> NetworkConfiguration::networkAddresses() const {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return addresses;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN];
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) addresses.emplace_back(text);
  }
  freeifaddrs(list);
  return addresses;
}

std::map<std::string, bool> NetworkConfiguration::allInterfaces() const {
  std::map<std::string, bool> services;
  for (const std::string& name : FolderEntries(sources_.classNet)) {
    const std::string folder = sources_.classNet + "/" + name;
    // Loopback is type 772 (ARPHRD_LOOPBACK); it is no network service.
    // An entry without a type is no interface.
    const std::optional<std::string> type = FirstLine(folder + "/type");
    if (!type || *type == "772") continue;
    const std::string state = FirstLine(folder + "/operstate").value_or("");
    const bool carrier = FirstLine(folder + "/carrier") == std::optional<std::string>("1");
    services[name] = state == "up" || (state == "unknown" && carrier);
  }
  return services;
}

ResolverConfiguration ParseResolverConfiguration(const std::string& text) {
  ResolverConfiguration configuration;
  std::optional<std::string> firstSearch;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (const std::size_t comment = line.find_first_of("#;"); comment != std::string::npos) line.erase(comment);
    std::istringstream words(line);
    std::string keyword, value;
    if (!(words >> keyword >> value)) continue;
    if (keyword == "nameserver") {
      configuration.servers.push_back(value);
    } else if (keyword == "domain") {
      configuration.domain = value;
    } else if (keyword == "search" && !firstSearch) {
      firstSearch = value;
    }
  }
  if (!configuration.domain) configuration.domain = firstSearch;
  return configuration;
}

PowerState ReadPowerState(const std::string& root) {
  PowerState state;
  bool externalPower = false;
  bool discharging = false;
  for (const std::string& name : FolderEntries(root)) {
    const std::string folder = root + "/" + name;
    const std::string type = FirstLine(folder + "/type").value_or("");
    if (type == "Battery") {
      if (FirstLine(folder + "/present").value_or("1") != "1") continue;
      state.batteryPresent = true;
      const std::string status = FirstLine(folder + "/status").value_or("");
      if (status == "Charging") state.batteryCharging = true;
      if (status == "Discharging") discharging = true;
    } else if (type == "Mains" || type.rfind("USB", 0) == 0) {
      if (FirstLine(folder + "/online") == std::optional<std::string>("1")) externalPower = true;
    }
  }
  state.runningOnBattery = discharging && !externalPower;
  return state;
}

PowerState ReadSystemPowerState() {
  PowerState state = ReadPowerState();
  GDBusConnection* bus = SystemBus();
  GVariant* onBattery =
      ServiceProperty(bus, "org.freedesktop.UPower", "/org/freedesktop/UPower", "org.freedesktop.UPower", "OnBattery");
  if (bus) g_object_unref(bus);
  if (onBattery && g_variant_is_of_type(onBattery, G_VARIANT_TYPE_BOOLEAN)) {
    state.runningOnBattery = g_variant_get_boolean(onBattery);
    if (state.runningOnBattery) state.batteryPresent = true;
  }
  if (onBattery) g_variant_unref(onBattery);
  return state;
}

}  // namespace quorvel
