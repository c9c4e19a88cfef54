#pragma once

// CoreUnlock ("/unlock?path=LOCAL"): as CoreLock, with the server's unlock,
// the type "unlock" and the words "Unlock Successful" and "Unlock Failed".
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreUnlock : public Poco::Net::HTTPRequestHandler {
public:
    ~CoreUnlock() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

} // namespace Sync
} // namespace Nuvaro
