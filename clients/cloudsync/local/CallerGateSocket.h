#pragma once

// CallerGateSocket: the listening socket of the loopback endpoint, which
// hands the HTTP server only connections that are worth a connection thread:
// those of the user the endpoint runs as, whose request head has arrived in
// full.
//
// Poco's HTTP server takes a connection as soon as it is accepted and reads
// its head on one of its ten connection threads, waiting up to its timeout
// for each piece; a caller that sends one byte now and then would keep that
// thread for ever, and ten such callers every thread. The gate stands in
// front instead. When the server polls its socket for a new connection, the
// gate
//   1. accepts what the kernel has queued and, at once, before any byte is
//      read, closes a connection whose calling socket another user owns, or
//      whose owner cannot be found (PeerSocketOwner); "Refused local
//      connection from " + the caller's address + ": " + the reason is
//      logged (warning, logger "Sync"); the caller sees its connection
//      closed (or reset) without a reply;
//   2. keeps the owner's connections waiting beside it, without a thread,
//      looking at what they sent without taking it from the socket (the
//      server then reads the head itself as it always does), until the head
//      is complete (headState) or the caller has finished sending: only
//      then does the server's poll report a connection; a first line that
//      is no request line is closed at once;
//   3. closes a connection whose head has not come in full within the head
//      deadline from its acceptance, whose head grows beyond kMaxHeadBytes,
//      or, when kMaxWaiting connections already wait, the one that has
//      waited longest, to make room; each logs "Closed local connection
//      from " + the address + ": " + the reason (warning, "Sync").
// Example, deadline 5 s: a caller that connects at 0 s and sends "G" at
// 0 s, 4 s and 8 s is closed at 5 s; meanwhile "GET /status ..." sent whole
// by another program of the user goes to a connection thread at once.
//
// The server must poll the socket before each accept, as Poco's TCP server
// does (poll, then acceptConnection, on its acceptor thread); an accept
// without a ready connection waits until one is. Linux only: the wait for
// more bytes relies on poll honouring SO_RCVLOWAT.
//
// Threads: bind, listen and the options on the owner's thread before the
// server starts; poll and acceptConnection on the server's acceptor thread
// only; the waiting connections are closed when the last copy of the socket
// goes (after the server is stopped and released).

#include <Poco/Net/ServerSocket.h>
#include <Poco/Timespan.h>

#include <cstddef>
#include <string>

namespace Nuvaro {
namespace Sync {

class CallerGateSocket : public Poco::Net::ServerSocket {
public:
    // The largest head a connection may send.
    static constexpr std::size_t kMaxHeadBytes = 32 * 1024;
    // How many connections may wait for their heads at a time.
    static constexpr std::size_t kMaxWaiting = 64;

    // An unbound socket whose connections' heads must arrive within
    // `headDeadline` of their acceptance.
    explicit CallerGateSocket(const Poco::Timespan& headDeadline);

    // What the first bytes of a connection are, as the server's request
    // reader would take them:
    //   Complete    a head it reads to its end without waiting for more:
    //               after any leading white space, a first line of at least
    //               three words (method, target, version), then header lines
    //               up to an empty one ("\n" or "\r\n");
    //   NotHttp     a first line of fewer than three words (its reader would
    //               go on to the next lines looking for them);
    //   Incomplete  anything shorter.
    // "GET /status HTTP/1.1\r\nHost: a\r\n\r\n" is Complete, without its
    // last "\r\n" Incomplete; "GET /status\r\n\r\n" is NotHttp.
    enum class HeadState { Incomplete, Complete, NotHttp };
    static HeadState headState(const std::string& bytes);
};

} // namespace Sync
} // namespace Nuvaro
