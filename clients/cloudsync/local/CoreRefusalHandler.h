#pragma once

// CoreRefusalHandler: the answer to a request the endpoint refuses before any
// handler of its route runs; one of LocalRequest's replies, nothing else
// happens:
//   - LocalRequest::sendForbidden (403, "404 Sorry, Forbidden") for a request
//     of a web page or a foreign host name (RequestOrigin);
//   - LocalRequest::sendBadRequest (400, "400 Sorry, Bad Request") for a
//     request that does not say plainly what it is (a Host header given
//     twice).
// Created by RequestHandlerFactory for one request on a connection thread;
// holds only the reply it gives.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreRefusalHandler : public Poco::Net::HTTPRequestHandler {
public:
    typedef void (*Reply)(Poco::Net::HTTPServerResponse& response);

    explicit CoreRefusalHandler(Reply reply);
    ~CoreRefusalHandler() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

private:
    const Reply reply;
};

} // namespace Sync
} // namespace Nuvaro
