#pragma once

// CoreLock ("/lock?path=LOCAL"): locks the server file of a local file of
// the sync folder (read-lock 0) on a connector of the request's own ("Cloud
// Connector"). Answers 200 with the command reply of type "lock" (result 1
// whatever the server said) after UI event 4 "Lock Successful" or "Lock
// Failed" (also for a path that maps to no server path). The forbidden
// reply for a path outside the sync folder (no event), for a failed login
// (logged, UI event 7 or 8 for a refused one) and for any other failure
// (then UI event 4 "Lock Failed").
//
// handleLockRequest carries the work of CoreLock and CoreUnlock, which
// differ only in the server call and the words.
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreLock : public Poco::Net::HTTPRequestHandler {
public:
    ~CoreLock() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

// The whole of CoreLock (unlock false) and CoreUnlock (unlock true).
void handleLockRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response, bool unlock);

} // namespace Sync
} // namespace Nuvaro
