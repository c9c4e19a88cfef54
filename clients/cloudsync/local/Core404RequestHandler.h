#pragma once

// Core404RequestHandler ("/", "/share..." and every URI no other handler
// takes, or that does not parse): 404, "text/html", "404 Sorry, Page Not
// Found!".
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class Core404RequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    ~Core404RequestHandler() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

} // namespace Sync
} // namespace Nuvaro
