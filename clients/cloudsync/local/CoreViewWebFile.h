#pragma once

// CoreViewWebFile ("/viewwebfile?path=LOCAL"): opens the server's web
// interface on the desktop at the folder of a local path of the sync folder
// (the path itself when it is a folder or does not exist): the server URL +
// "#expl-tabl." + the server path. Answers 200 with the command reply of
// type "viewwebfile"; the forbidden reply for a path outside the sync folder
// and any other failure.
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreViewWebFile : public Poco::Net::HTTPRequestHandler {
public:
    ~CoreViewWebFile() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

} // namespace Sync
} // namespace Nuvaro
