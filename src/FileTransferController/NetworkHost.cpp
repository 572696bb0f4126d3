#include "FileTransferController/NetworkHost.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace quorvel {

namespace {

std::string Lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string StripBrackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

// The names this machine answers to: its host name with and without the
// domain, its canonical name, and "localhost".
std::vector<std::string> MachineNames() {
  std::vector<std::string> names = {"localhost", "localhost.localdomain"};
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer - 1) == 0 && buffer[0]) {
    std::string name = Lowercase(buffer);
    names.push_back(name);
    std::size_t dot = name.find('.');
    if (dot != std::string::npos) names.push_back(name.substr(0, dot));
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_family = AF_UNSPEC;
    addrinfo* info = nullptr;
    if (getaddrinfo(buffer, nullptr, &hints, &info) == 0) {
      if (info && info->ai_canonname) names.push_back(Lowercase(info->ai_canonname));
      freeaddrinfo(info);
    }
  }
  return names;
}

// True when the address text is one of the addresses of this machine's interfaces.
bool IsMachineAddress(const std::string& host) {
  in_addr v4{};
  in6_addr v6{};
  bool isV4 = inet_pton(AF_INET, host.c_str(), &v4) == 1;
  bool isV6 = !isV4 && inet_pton(AF_INET6, host.c_str(), &v6) == 1;
  if (!isV4 && !isV6) return false;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
    if (!entry->ifa_addr) continue;
    if (isV4 && entry->ifa_addr->sa_family == AF_INET) {
      found = std::memcmp(&reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr, &v4, sizeof v4) == 0;
    } else if (isV6 && entry->ifa_addr->sa_family == AF_INET6) {
      found = std::memcmp(&reinterpret_cast<sockaddr_in6*>(entry->ifa_addr)->sin6_addr, &v6, sizeof v6) == 0;
    }
  }
  freeifaddrs(list);
  return found;
}

bool IsPrivateIPv4(const std::string& host) {
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
  std::uint32_t a = ntohl(address.s_addr);
  return (a >> 24) == 10 ||                 // 10.0.0.0/8
         (a >> 20) == ((172u << 4) | 1u) ||  // 172.16.0.0/12
         (a >> 16) == ((192u << 8) | 168u);  // 192.168.0.0/16
}

}  // namespace

bool IsLocalHost(const std::string& hostText) {
  std::string host = Lowercase(StripBrackets(hostText));
  if (host.empty()) return false;
  for (const std::string& name : MachineNames()) {
    if (host == name) return true;
  }
  if (IsMachineAddress(host)) return true;
  if (EndsWith(host, ".local")) return true;
  return IsPrivateIPv4(host);
}

bool IsHostReachable(const std::string& hostText) {
  std::string host = StripBrackets(hostText);
  if (host.empty()) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* info = nullptr;
  if (getaddrinfo(host.c_str(), "9", &hints, &info) != 0) return false;
  bool reachable = false;
  for (addrinfo* entry = info; entry && !reachable; entry = entry->ai_next) {
    int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
    if (fd < 0) continue;
    // Connecting a datagram socket only selects a route; nothing is sent.
    reachable = connect(fd, entry->ai_addr, entry->ai_addrlen) == 0;
    close(fd);
  }
  freeaddrinfo(info);
  return reachable;
}

}  // namespace quorvel
