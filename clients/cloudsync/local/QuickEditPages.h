#pragma once

// The two pages a browser gets back from a quick-edit request. Neither holds
// text from the request. Any thread.

#include <Poco/Net/HTTPServerResponse.h>

namespace Nuvaro {
namespace Sync {

// The page of the quick-edit handler: status 200, "text/html", a short note
// on quick editing and a box reading "Load OK" (the page then closes its own
// window) or "Load FAILED" (the page stays). An exception while writing is
// logged (LocalRequest::logException) and ends the reply.
void sendEditHTMLResponse(bool ok, Poco::Net::HTTPServerResponse& response);

// A page that answers every message posted to it with "OK" or "FAIL",
// addressed to the sender's origin; kept for a front end that opens quick
// edit in a frame. Errors as above.
void sendEditResponse(bool ok, Poco::Net::HTTPServerResponse& response);

} // namespace Sync
} // namespace Nuvaro
