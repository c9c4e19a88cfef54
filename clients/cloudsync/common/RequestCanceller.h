#pragma once

// Lets one thread cut short the HTTP requests that other threads are
// running: a request registers its session for the time of the exchange and
// says when the request is sent; cancel() then shuts the socket down, so
// that the wait for the reply fails at once instead of after the session's
// time-out. Used by the lock refresh (its stop) and by the sync worker (its
// shutdown).
//
// Only a sent request's socket is shut down: before that the session may
// still be connecting (Poco creates the descriptor then), and cancel() only
// marks the request, whose thread gives up when it reports the request sent
// (sent() false). Connecting is bounded by the connector's connection
// time-out for cancellable requests (NuvaroConnector::
// CANCELLABLE_CONNECT_SECONDS); a request head is small and goes at once.
// After the head, a body being sent, the wait for the reply and a body
// being read all end at once. The descriptor is shut down (shutdown(2)),
// never closed and never touched through the TLS layer, so the request's own
// thread keeps sole use of the session object; it unregisters the session
// before destroying it. Every member may be called from any thread. It is
// the connector's cancel hook of an exchange (RequestSpec::cancelHook) and
// of a whole connector (NuvaroConnector::setCancelHook: the transfers of a
// pool's slots, a job's requests) as well.

#include "nuvarocbfs_Request.h"

#include <Poco/Net/HTTPClientSession.h>

#include <mutex>
#include <map>

namespace Nuvaro {
namespace Sync {

class RequestCanceller : public Nuvaro::RequestCancelHook {
public:
    // Registers a session for the exchange that follows; false (not
    // registered) once cancel() was called: the caller then sends nothing.
    bool attach(Poco::Net::HTTPClientSession* session) override;
    // The request on the session was sent; false once cancel() was called:
    // the caller then does not wait for the reply.
    bool sent(Poco::Net::HTTPClientSession* session) override;
    void detach(Poco::Net::HTTPClientSession* session) override;
    // Cuts every registered exchange short and refuses later ones.
    void cancel();
    bool cancelled() const override;

private:
    // Registers the session as sent or not yet; false once cancel() was
    // called.
    bool mark(Poco::Net::HTTPClientSession* session, bool sent);

    mutable std::mutex m_mutex;
    // Registered sessions, and whether their request was sent.
    std::map<Poco::Net::HTTPClientSession*, bool> m_sessions;
    bool m_cancelled = false;
};

} // namespace Sync
} // namespace Nuvaro
