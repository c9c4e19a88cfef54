#pragma once

// RequestHandlerFactory: picks the handler of each request of the loopback
// endpoint (FSWebServerWorker). Runs on the HTTP server's connection threads;
// holds no data.
//
// Only connections of the user the endpoint runs as reach it: the listening
// socket (CallerGateSocket) closes the others before their heads are read.
// A request with more than one Host header gets 400 ("400 Sorry, Bad
// Request"). A request refused by RequestOrigin (a foreign Host, a foreign
// origin named by Origin or Referer, a page of another site) gets the
// forbidden reply whatever its target. Each refusal logs "Refused local
// request " + the URI + ": " + the reason (warning, logger "Sync").
// Otherwise the raw URI (the
// request target exactly as received, query included) decides: a URI that
// does not parse gets the not-found reply without a log line; "/" gets it
// too; then the first of these prefixes the URI begins with picks the
// handler, so "/status?x=1" and "/statusbar" both reach the status handler
// and "/sharelink" is not found:
//     /status             CoreStatusRequestHandler
//     /share              Core404RequestHandler
//     /getoverlaystatus   CoreOverlayStatusRequestHandler
//     /getsharelink       CoreGetShareLink
//     /viewwebfile        CoreViewWebFile
//     /webedit            CoreWebEdit
//     /syncnow            CoreSyncNow
//     /lock               CoreLock
//     /unlock             CoreUnlock
//     /filebrowser        CoreFileBrowser
//     /filechanged        CoreFileChanged
// Anything else logs "URL Handler not found for " + the URI (error, logger
// "Sync") and gets the not-found reply. The method is not looked at.

#include <Poco/Net/HTTPRequestHandlerFactory.h>

namespace Nuvaro {
namespace Sync {

class RequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    ~RequestHandlerFactory() override;
    // A new handler for the request (never null); the server deletes it.
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest& request) override;
};

} // namespace Sync
} // namespace Nuvaro
