#pragma once

// CoreFileChanged ("/filechanged"): asks the runner for a forced scan of the
// sync folder (fileChanged), then answers 200, "text/xml", the command
// result of "filechanged". A query may name the changed file as `path`: it
// must lie in the sync folder or the quick-edit root (see
// LocalRequest::resolveLocalPath), else the forbidden reply and no scan. A
// failure is logged and nothing is written.
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreFileChanged : public Poco::Net::HTTPRequestHandler {
public:
    ~CoreFileChanged() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

} // namespace Sync
} // namespace Nuvaro
