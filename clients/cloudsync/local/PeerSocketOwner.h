#pragma once

// Who is at the other end of a loopback connection: the uid that owns the
// connecting socket, as the kernel reports it. The kernel's socket
// diagnostics are asked for that one socket by its addresses (a lookup that
// costs the same however many sockets the machine has); where they cannot be
// asked (a kernel without them), /proc/net/tcp and /proc/net/tcp6 are read
// instead, which list the same sockets with their owners but take longer the
// more sockets there are.
//
// The loopback endpoint serves only programs of the user it runs as; any
// other account of the machine can reach 127.0.0.1 too. For a connection
// accepted at `local` from `peer`, the connecting socket is the one whose own
// address is `peer` and whose remote address is `local`; its record names its
// owner. Example, a client at 127.0.0.1:51000 connected to 127.0.0.1:34320,
// on a little-endian machine:
//     /proc/net/tcp:  "... 0100007F:C738 0100007F:8630 01 ... 1000 ... 81234 ..."
//     -> owned by uid 1000
// An IPv6 client reaching the IPv4 endpoint appears in /proc/net/tcp6 with
// the IPv4-mapped form of the addresses (::ffff:127.0.0.1).
//
// Only a socket that is still open counts: a socket in TIME_WAIT, or one its
// program already closed (no inode), reports no real owner (uid 0) and is
// not taken. Nothing found, or two live sockets with different owners, means
// the owner is unknown.
//
// Stateless; any thread.

#include <Poco/Net/SocketAddress.h>

#include <sys/types.h>

#include <string>

namespace Nuvaro {
namespace Sync {
namespace PeerSocketOwner {

// The owner of the socket at `peer` connected to `local`. True with the uid
// in `owner`; false when it cannot be found (see above), `owner` untouched.
bool find(const Poco::Net::SocketAddress& peer, const Poco::Net::SocketAddress& local, uid_t& owner);
// The same from the /proc tables only (what find falls back to).
bool findInTables(const Poco::Net::SocketAddress& peer, const Poco::Net::SocketAddress& local, uid_t& owner);

// True when find gives this process's effective uid; false for another
// owner or an unknown one. `reason` then says which, for the log.
bool isOwnUser(const Poco::Net::SocketAddress& peer, const Poco::Net::SocketAddress& local, std::string& reason);

} // namespace PeerSocketOwner
} // namespace Sync
} // namespace Nuvaro
