#pragma once

// CoreStatusRequestHandler ("/status"): 200, "text/xml",
// "<system><status><syncfolder>" + the runner's sync folder (XML-escaped) +
// "</syncfolder></status></system>". A failure (no runner) is logged and
// nothing is written.
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreStatusRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    ~CoreStatusRequestHandler() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

} // namespace Sync
} // namespace Nuvaro
