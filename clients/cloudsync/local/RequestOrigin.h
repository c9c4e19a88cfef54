#pragma once

// Who may use the loopback endpoint: programs of this machine, and pages the
// endpoint's own loopback origins serve, never an arbitrary web page.
//
// Listening on 127.0.0.1 alone does not keep web pages out: a browser sends a
// page's requests to 127.0.0.1 without asking the user (image and form
// requests, navigations, script requests whose replies it then hides), and a
// host name whose DNS answer changes to 127.0.0.1 after the page loaded (DNS
// rebinding) even lets the page read the replies. So a request is accepted
// only when
//   - its Host header names this endpoint: "localhost" (any letter case), a
//     loopback address (127.x.x.x, or [::1]) and the endpoint's port (no port
//     means 80); a rebinding name fails here, and so does a request without
//     Host, which browsers never send;
//   - it carries no Origin header, or a loopback origin: http or https,
//     "localhost" or a loopback address, any port; "null" and any other
//     origin fail;
//   - its Sec-Fetch-Site header, which browsers add to every request they
//     make (navigations and image loads too, which carry no Origin), is not
//     "cross-site".
// Desktop integration programs and scripts send none of the two headers and
// keep working without a token.
//
// Stateless; any thread.

#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Types.h>

#include <string>

namespace Nuvaro {
namespace Sync {
namespace RequestOrigin {

// True for "localhost" (any letter case) and for a loopback address, IPv6
// ones in brackets ("127.0.0.1", "127.5.6.7", "[::1]").
bool isLoopbackHost(const std::string& host);

// True when a Host header value names a loopback host with `port`
// ("127.0.0.1:34320"; "localhost" alone stands for port 80).
bool isEndpointHost(const std::string& hostHeader, Poco::UInt16 port);

// True for an Origin header value of a loopback origin
// ("http://localhost:3000", "https://127.0.0.1").
bool isLoopbackOrigin(const std::string& origin);

// True when the request may be served (see above); otherwise false with the
// reason for the log in `reason`. `port` is the endpoint's port.
bool accepted(const Poco::Net::HTTPServerRequest& request, Poco::UInt16 port, std::string& reason);

} // namespace RequestOrigin
} // namespace Sync
} // namespace Nuvaro
