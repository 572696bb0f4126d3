// NetworkReachability: whether one host (or address) can be reached, and a
// call on the delegate, on the main run loop, whenever that may have changed.
//
// "Reachable" means the kernel has a route to one of the host's addresses
// (a UDP socket can be connected to it: nothing is sent); a host name that
// does not resolve is not reachable. The host is resolved when the watcher
// is made and again whenever the network changes. Changes are the kernel's
// rtnetlink announcements of links, addresses and routes (IPv4 and IPv6),
// read by a source on the main run loop while a delegate is set; the
// delegate is told after each batch of announcements in which the answer
// changed.
//
// Not thread-safe: made, asked and given a delegate on the main thread.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/RunLoop.h"

namespace quorvel {

class NetworkReachability;

class NetworkReachabilityDelegate {
 public:
  virtual ~NetworkReachabilityDelegate() = default;
  virtual void networkReachabilityDidUpdate(NetworkReachability& reachability) = 0;
};

class NetworkReachability {
 public:
  // Null for an empty name.
  static std::unique_ptr<NetworkReachability> initWithHostName(const std::string& host);
  // 0 (INADDR_ANY): general connectivity - any route that leaves this
  // machine (a default route or an interface that is up, loopback aside).
  static std::unique_ptr<NetworkReachability> initWithIPv4Address(std::uint32_t hostOrderAddress);
  ~NetworkReachability();
  NetworkReachability(const NetworkReachability&) = delete;
  NetworkReachability& operator=(const NetworkReachability&) = delete;

  const std::string& hostName() const { return host_; }
  bool isReachable() const;

  NetworkReachabilityDelegate* delegate() const { return delegate_; }
  // Setting the first delegate starts watching; clearing it stops.
  void setDelegate(NetworkReachabilityDelegate* delegate);

 private:
  explicit NetworkReachability(std::string host) : host_(std::move(host)) {}
  void resolve();
  void networkChanged();

  const std::string host_;  // empty: general connectivity
  std::vector<sockaddr_storage> addresses_;
  bool lastAnswer_ = false;
  NetworkReachabilityDelegate* delegate_ = nullptr;
  int announcements_ = -1;
  std::shared_ptr<FileDescriptorSource> source_;
};

}  // namespace quorvel
