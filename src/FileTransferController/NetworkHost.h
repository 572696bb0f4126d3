// Questions about a destination's host: is it this machine or on the local
// network (such hosts are never speed-limited), and can it be reached right
// now without first establishing a connection.
#pragma once

#include <string>

namespace quorvel {

// True when the host is one of this machine's names or addresses, ends with
// ".local", or is an IPv4 address in 10.0.0.0/8, 172.16.0.0/12 or
// 192.168.0.0/16. Any other name is not local (no name service is asked).
// An IPv6 literal may be given with or without brackets.
bool IsLocalHost(const std::string& host);

// True when the host resolves and the system has a route to one of its
// addresses: a UDP socket is connected to it, no packet is sent. An empty
// host is not reachable.
bool IsHostReachable(const std::string& host);

}  // namespace quorvel
