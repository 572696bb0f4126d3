// NetworkReachability: whether one host (or address) can be reached, and a
// call on the delegate, on the main run loop, whenever that may have changed.
//
// "Reachable" means the kernel has a route to one of the host's addresses
// (a UDP socket can be connected to it: nothing is sent); a host name that
// does not resolve is not reachable. A watcher made with a port also needs
// the server to accept a TCP connection on it (closed again at once), so
// that a server that is down counts as unreachable even when its machine is
// not (the loopback address always has a route).
//
// Names are resolved on a thread of their own, when the watcher is made and
// again whenever the network changes: the main thread never waits for DNS.
// Until the first answer arrives a name counts as unreachable; numeric
// addresses are known at once. Changes are the kernel's rtnetlink
// announcements of links, addresses and routes (IPv4 and IPv6), read by a
// source on the main run loop while a delegate is set, and - while a watcher
// with a port has a delegate and its answer is "unreachable" - a check every
// kRecheckInterval seconds, since a server that starts announces nothing.
// The delegate is told whenever the answer changed.
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
  static constexpr double kRecheckInterval = 5.0;
  // Seconds a TCP probe waits for the server's answer.
  static constexpr int kProbeTimeoutMilliseconds = 1500;

  // Null for an empty name. port 0: a route is enough.
  static std::unique_ptr<NetworkReachability> initWithHostName(const std::string& host, std::uint16_t port = 0);
  // 0 (INADDR_ANY): general connectivity - any route that leaves this
  // machine (a default route or an interface that is up, loopback aside).
  static std::unique_ptr<NetworkReachability> initWithIPv4Address(std::uint32_t hostOrderAddress);
  ~NetworkReachability();
  NetworkReachability(const NetworkReachability&) = delete;
  NetworkReachability& operator=(const NetworkReachability&) = delete;

  const std::string& hostName() const { return host_; }
  std::uint16_t port() const { return port_; }
  // Checks now (a route, and the server's answer when a port is watched).
  bool isReachable() const;

  NetworkReachabilityDelegate* delegate() const { return delegate_; }
  // Setting the first delegate starts watching; clearing it stops.
  void setDelegate(NetworkReachabilityDelegate* delegate);

 private:
  NetworkReachability(std::string host, std::uint16_t port) : host_(std::move(host)), port_(port) {}
  // Numeric addresses at once; names on a thread whose answer comes back
  // through the main run loop (resolved()).
  void resolve();
  void resolved(std::vector<sockaddr_storage> addresses);
  void networkChanged();
  void recheck();
  void updateRecheckTimer();

  const std::string host_;  // empty: general connectivity
  const std::uint16_t port_;
  std::vector<sockaddr_storage> addresses_;
  // Cleared when the watcher goes, so that a late resolution is dropped.
  std::shared_ptr<NetworkReachability*> self_ = std::make_shared<NetworkReachability*>(this);
  std::shared_ptr<Timer> recheckTimer_;
  bool lastAnswer_ = false;
  NetworkReachabilityDelegate* delegate_ = nullptr;
  int announcements_ = -1;
  std::shared_ptr<FileDescriptorSource> source_;
};

}  // namespace quorvel
