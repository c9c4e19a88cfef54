#include "RequestOrigin.h"

#include <Poco/Exception.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>
#include <Poco/URI.h>

namespace Nuvaro {
namespace Sync {
namespace RequestOrigin {

namespace {

bool isDecimal(const std::string& text) {
    if (text.empty() || text.size() > 5)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// A dotted quad or an IPv6 address in brackets, parsed strictly (no short
// forms such as "127.1", which browsers would have written out).
bool isLoopbackAddress(const std::string& host) {
    Poco::Net::IPAddress address;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        std::string inner = host.substr(1, host.size() - 2);
        return Poco::Net::IPAddress::tryParse(inner, address) && address.family() == Poco::Net::IPAddress::IPv6 &&
               address.isLoopback();
    }
    int dots = 0;
    for (char c : host) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    return dots == 3 && Poco::Net::IPAddress::tryParse(host, address) &&
           address.family() == Poco::Net::IPAddress::IPv4 && address.isLoopback();
}

} // namespace

bool isLoopbackHost(const std::string& host) {
    return Poco::icompare(host, "localhost") == 0 || isLoopbackAddress(host);
}

bool isEndpointHost(const std::string& hostHeader, Poco::UInt16 port) {
    std::string host = hostHeader;
    std::string portText = "80";
    // The port follows the last ":" unless that ":" is inside an IPv6
    // address's brackets.
    std::string::size_type colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
        portText = host.substr(colon + 1);
        host.erase(colon);
    }
    return isLoopbackHost(host) && isDecimal(portText) && Poco::NumberParser::parse(portText) == port;
}

bool isLoopbackOrigin(const std::string& origin) {
    try {
        Poco::URI uri(origin);
        if (uri.getScheme() != "http" && uri.getScheme() != "https")
            return false;
        if (!uri.getUserInfo().empty() || !uri.getPath().empty() || !uri.getRawQuery().empty() ||
            !uri.getFragment().empty())
            return false;
        std::string host = uri.getHost();
        if (host.find(':') != std::string::npos)
            host = "[" + host + "]";
        return isLoopbackHost(host);
    } catch (const Poco::Exception&) {
        return false;
    }
}

bool accepted(const Poco::Net::HTTPServerRequest& request, Poco::UInt16 port, std::string& reason) {
    if (!request.has("Host")) {
        reason = "no Host header";
        return false;
    }
    if (!isEndpointHost(request.get("Host"), port)) {
        reason = "foreign Host " + request.get("Host");
        return false;
    }
    if (request.has("Origin") && !isLoopbackOrigin(request.get("Origin"))) {
        reason = "foreign Origin " + request.get("Origin");
        return false;
    }
    if (Poco::icompare(request.get("Sec-Fetch-Site", ""), "cross-site") == 0) {
        reason = "sent by a page of another site";
        return false;
    }
    return true;
}

} // namespace RequestOrigin
} // namespace Sync
} // namespace Nuvaro
