#pragma once

// CoreOverlayStatusRequestHandler ("/getoverlaystatus?path=LOCAL"): the
// overlay state of a local path for a file manager's icon ("ok", "none",
// "unknown", "conflict" or "modified"), from the runner
// (FSAppRunner::getOverlayForPath) or from gStatusCache, which keeps each
// answer 10 seconds. Answers 200, "text/xml",
// "<overlays><overlay><status>" + the state (XML-escaped) +
// "</status></overlay></overlays>". The path must be the sync folder, lie in
// it or in the quick-edit root (see LocalRequest::resolveLocalPath); the
// forbidden reply otherwise, and for any failure (no path, ...), without a
// log line or an event.
//
// The cache lookup and the add are two steps: two requests for one path at
// the same moment may both ask the runner; the later answer stays.
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreOverlayStatusRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    ~CoreOverlayStatusRequestHandler() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

} // namespace Sync
} // namespace Nuvaro
