#pragma once

// The HTTP layer of the test server: one handler per request. It records the
// request (head and raw body), looks up a fault for the path, lets the router
// build the reply (unless the fault replaces it), waits out the fault's delay
// and sends the reply, damaged as the fault says.
//
// Runs on a connection thread of the listener's pool; holds no state between
// requests.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

class TestServerCore;

class TestServerHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    // listener: 0 for the main listener, 1 for the download-redirect listener.
    TestServerHandlerFactory(TestServerCore& core, int listener);
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest& request) override;

private:
    TestServerCore& m_core;
    const int m_listener;
};

class TestServerHandler : public Poco::Net::HTTPRequestHandler {
public:
    TestServerHandler(TestServerCore& core, int listener);
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

private:
    TestServerCore& m_core;
    const int m_listener;
};

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
