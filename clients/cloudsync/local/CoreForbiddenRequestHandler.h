#pragma once

// CoreForbiddenRequestHandler: the answer to a request RequestOrigin
// refuses (a web page's, or one sent to a foreign host name): 403,
// "text/html", "404 Sorry, Forbidden". Nothing else happens.
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreForbiddenRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    ~CoreForbiddenRequestHandler() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

} // namespace Sync
} // namespace Nuvaro
