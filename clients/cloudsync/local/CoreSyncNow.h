#pragma once

// CoreSyncNow ("/syncnow"): asks the runner for a sync pass soon
// (checkForFSChanges) and for a run of every job but the realtime ones
// (runAllOfflineJobs), then answers 200, "text/xml", the command result of
// "syncnow". A failure is logged and nothing is written.
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreSyncNow : public Poco::Net::HTTPRequestHandler {
public:
    ~CoreSyncNow() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

} // namespace Sync
} // namespace Nuvaro
