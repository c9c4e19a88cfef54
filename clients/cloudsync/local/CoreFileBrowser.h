#pragma once

// CoreFileBrowser ("/filebrowser"): UI event 9 (empty text, 0) for a front
// end to show its file browser, then 200, "text/xml", the command result of
// "filebrowser". A failure is logged and nothing is written.
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreFileBrowser : public Poco::Net::HTTPRequestHandler {
public:
    ~CoreFileBrowser() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

} // namespace Sync
} // namespace Nuvaro
