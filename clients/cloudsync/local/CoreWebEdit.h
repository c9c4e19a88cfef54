#pragma once

// CoreWebEdit ("/webedit?path=SERVER"): downloads a server file for quick
// edit (launchQuickEdit) on a connector of the request's own ("Quick Edit")
// and answers with the quick-edit page (sendEditHTMLResponse): "Load OK" when
// the copy is in place, "Load FAILED" for an empty path, a failed login
// (UI event 7 or 8 for a refused one) or a failed download. The forbidden
// reply for a path whose copy would not lie in its own quick-edit folder
// (see splitQuickEditPath) or that exceeds the path limit, and for any other
// failure. The query key "html"
// is not read: the answer is always this page.
// Created by RequestHandlerFactory for one request on a connection thread;
// holds no data.

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

class CoreWebEdit : public Poco::Net::HTTPRequestHandler {
public:
    ~CoreWebEdit() override;
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;
};

} // namespace Sync
} // namespace Nuvaro
