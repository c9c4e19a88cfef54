#pragma once

// CoreGetShareLink ("/getsharelink?path=LOCAL"): asks the server for a share
// link of the server item of a local path in the sync folder, on a
// connector of the request's own ("Cloud Connector"). Answers 200,
// "text/xml", "<sharelink><share><url>" + the link (XML-escaped; empty when
// none was made) + "</url></share></sharelink>". A link made raises UI event
// 5 with the link and UI event 4 with the item's name and 1; a reply without
// a link, and a path that maps to no server path, raise UI event 4 with ""
// and 1. The forbidden reply for a path outside the sync folder, a failed
// login (logged, UI event 7 or 8 for a refused one) and any other failure.
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreGetShareLink : public Poco::Net::HTTPRequestHandler {
public:
    ~CoreGetShareLink() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

} // namespace Sync
} // namespace Nuvaro
