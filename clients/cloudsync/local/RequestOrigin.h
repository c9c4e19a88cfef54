#pragma once

// Which web pages may use the loopback endpoint: the endpoint's own pages,
// and the server's pages for quick edit, never an arbitrary web page.
// (Which local users may use it is checked first, when the connection is
// accepted: CallerGateSocket.h.)
//
// Listening on 127.0.0.1 alone does not keep web pages out: a browser sends a
// page's requests to 127.0.0.1 without asking the user (image and form
// requests, navigations, script requests whose replies it then hides), and a
// host name whose DNS answer changes to 127.0.0.1 after the page loaded (DNS
// rebinding) even lets the page read the replies. So a request is accepted
// only when
//   - its Host header, present once, names this endpoint: "localhost" (any
//     letter case), a loopback address (127.x.x.x, or [::1]) and the
//     endpoint's port (no port means 80); a rebinding name fails here, and
//     so does a request without Host, which browsers never send;
//   - the origin it names is allowed. The named origin is the Origin header,
//     or, without one, the origin (scheme, host, port) of the Referer header.
//     Allowed are the endpoint's own origins, "http://127.0.0.1:<port>",
//     "http://localhost:<port>" and "http://[::1]:<port>", and on the
//     quick-edit route ("/webedit...") also the origin of the configured
//     server URL, with scheme, host and port exactly (a default port may be
//     written or left out). Every other origin is refused: a foreign site,
//     another loopback port (another local program's pages), "null"
//     (sandboxed pages, local files), anything unreadable;
//   - when it names no origin, its Sec-Fetch-Site header, which browsers add
//     to every request they make, is absent, "none" (the user typed the
//     address) or "same-origin"; "cross-site", "same-site" (a page on
//     another loopback port) and anything else are refused.
// Desktop integration programs and scripts send none of these headers and
// keep working without a token. Worked example, endpoint on 34320, server
// "https://files.example.com":
//     Origin http://127.0.0.1:34320                         any route: served
//     Origin http://127.0.0.1:8000                          refused
//     Referer https://evil.example/page (no Origin)         refused
//     Origin https://files.example.com  on /webedit         served
//     Origin https://files.example.com  on /lock            refused
//     no Origin, no Referer, Sec-Fetch-Site same-site       refused
//     no header of a browser at all                         served
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

// The origin of an absolute http or https URL in one form: scheme and host
// in lower case, IPv6 hosts in brackets, the port always written:
// "HTTPS://Files.Example.com/a?b" gives "https://files.example.com:443".
// With `originOnly` the URL must be an origin and nothing more (an Origin
// header: no path, query, fragment or user). "" for anything else ("null",
// "file://", "ftp://x", "/path").
std::string originOf(const std::string& url, bool originOnly);

// True when `origin` (as originOf gives it) is one of the endpoint's own
// origins on `port`.
bool isOwnOrigin(const std::string& origin, Poco::UInt16 port);

// What a request is checked against.
struct Allowed {
    Poco::UInt16 port = 0;       // the endpoint's port
    std::string serverOrigin;    // originOf the server URL; "" for none
    bool quickEdit = false;      // the request is on the quick-edit route
};

// True when the request carries more than one Host header: it names no one
// host, and is answered as a bad request (400) before anything else is read.
bool hasDuplicateHost(const Poco::Net::HTTPServerRequest& request);

// True when the request may be served (see above); otherwise false with the
// reason for the log in `reason`.
bool accepted(const Poco::Net::HTTPServerRequest& request, const Allowed& allowed, std::string& reason);

} // namespace RequestOrigin
} // namespace Sync
} // namespace Nuvaro
