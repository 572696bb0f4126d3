#include "model/platform/NetworkReachability.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace quorvel {

namespace {

socklen_t AddressLength(const sockaddr_storage& address) {
  return address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

// The kernel has a route to the address: a UDP socket connects to it.
bool HasRoute(const sockaddr_storage& address) {
  int probe = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  sockaddr_storage target = address;
  // Any port: connecting a UDP socket only chooses the route.
  if (target.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(target).sin_port = htons(9);
  if (target.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(target).sin6_port = htons(9);
  const bool routed = connect(probe, reinterpret_cast<const sockaddr*>(&target), AddressLength(target)) == 0;
  close(probe);
  return routed;
}

// The server accepts a TCP connection on the port within the probe time.
bool AcceptsConnection(const sockaddr_storage& address, std::uint16_t port, int timeoutMilliseconds) {
  int probe = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) return false;
  sockaddr_storage target = address;
  if (target.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(target).sin_port = htons(port);
  if (target.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(target).sin6_port = htons(port);
  bool accepted = connect(probe, reinterpret_cast<const sockaddr*>(&target), AddressLength(target)) == 0;
  if (!accepted && errno == EINPROGRESS) {
    pollfd waiting{probe, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    accepted = poll(&waiting, 1, timeoutMilliseconds) == 1 &&
               getsockopt(probe, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  close(probe);
  return accepted;
}

std::vector<sockaddr_storage> AddressesOf(const std::string& host, int flags) {
  std::vector<sockaddr_storage> addresses;
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (addrinfo* entry = found; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    sockaddr_storage address{};
    std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
    addresses.push_back(address);
  }
  freeaddrinfo(found);
  return addresses;
}

// Some interface other than loopback is up with an address.
bool HasOutsideInterface() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
    if (!entry->ifa_addr || (entry->ifa_flags & IFF_LOOPBACK) || !(entry->ifa_flags & IFF_UP)) continue;
    found = entry->ifa_addr->sa_family == AF_INET || entry->ifa_addr->sa_family == AF_INET6;
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

std::unique_ptr<NetworkReachability> NetworkReachability::initWithHostName(const std::string& host,
                                                                          std::uint16_t port) {
  if (host.empty()) return nullptr;
  std::unique_ptr<NetworkReachability> reachability(new NetworkReachability(host, port));
  reachability->resolve();
  reachability->lastAnswer_ = reachability->isReachable();
  return reachability;
}

std::unique_ptr<NetworkReachability> NetworkReachability::initWithIPv4Address(std::uint32_t hostOrderAddress) {
  if (hostOrderAddress == INADDR_ANY) {
    std::unique_ptr<NetworkReachability> general(new NetworkReachability("", 0));
    general->lastAnswer_ = general->isReachable();
    return general;
  }
  in_addr address{htonl(hostOrderAddress)};
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address, text, sizeof text);
  return initWithHostName(text);
}

NetworkReachability::~NetworkReachability() {
  *self_ = nullptr;
  setDelegate(nullptr);
}

void NetworkReachability::resolve() {
  std::vector<sockaddr_storage> numeric = AddressesOf(host_, AI_NUMERICHOST);
  if (!numeric.empty()) {
    addresses_ = std::move(numeric);
    return;
  }
  std::thread([host = host_, self = self_] {
    std::vector<sockaddr_storage> found = AddressesOf(host, 0);
    PerformOnMainThread([self, found = std::move(found)]() mutable {
      if (*self) (*self)->resolved(std::move(found));
    });
  }).detach();
}

void NetworkReachability::resolved(std::vector<sockaddr_storage> addresses) {
  addresses_ = std::move(addresses);
  recheck();
}

bool NetworkReachability::isReachable() const {
  if (host_.empty()) return HasOutsideInterface();
  for (const sockaddr_storage& address : addresses_) {
    if (HasRoute(address) && (port_ == 0 || AcceptsConnection(address, port_, kProbeTimeoutMilliseconds))) {
      return true;
    }
  }
  return false;
}

void NetworkReachability::setDelegate(NetworkReachabilityDelegate* delegate) {
  const bool watching = delegate_ != nullptr;
  delegate_ = delegate;
  if (delegate && !watching) {
    announcements_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_IFADDR | RTMGRP_IPV6_ROUTE;
    if (announcements_ < 0 || bind(announcements_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      if (announcements_ >= 0) close(announcements_);
      announcements_ = -1;
      delegate_ = nullptr;
      return;
    }
    source_ = FileDescriptorSource::create(announcements_, FileDescriptorSource::Readable,
                                           [this](FileDescriptorSource&, unsigned) { networkChanged(); });
    RunLoop::main().addSource(source_, kRunLoopCommonModes);
  } else if (!delegate && watching) {
    if (source_) source_->invalidate();
    source_.reset();
    if (announcements_ >= 0) close(announcements_);
    announcements_ = -1;
  }
  updateRecheckTimer();
}

void NetworkReachability::networkChanged() {
  char buffer[8192];
  while (recv(announcements_, buffer, sizeof buffer, 0) > 0) {
  }
  if (!host_.empty()) resolve();
  recheck();
}

void NetworkReachability::recheck() {
  const bool answer = isReachable();
  if (answer != lastAnswer_) {
    lastAnswer_ = answer;
    if (delegate_) delegate_->networkReachabilityDidUpdate(*this);
  }
  updateRecheckTimer();
}

void NetworkReachability::updateRecheckTimer() {
  const bool wanted = delegate_ != nullptr && port_ != 0 && !lastAnswer_;
  if (wanted == (recheckTimer_ != nullptr)) return;
  if (!wanted) {
    recheckTimer_->invalidate();
    recheckTimer_.reset();
    return;
  }
  recheckTimer_ = Timer::withTimeInterval(kRecheckInterval, true, [this](Timer&) { recheck(); });
  RunLoop::main().addTimer(recheckTimer_, kRunLoopCommonModes);
}

}  // namespace quorvel
