#include "RequestOrigin.h"

#include <Poco/Exception.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/NumberFormatter.h>
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

std::string originOf(const std::string& url, bool originOnly) {
    try {
        Poco::URI uri(url);
        std::string scheme = Poco::toLower(uri.getScheme());
        if (scheme != "http" && scheme != "https")
            return std::string();
        std::string host = Poco::toLower(uri.getHost());
        if (host.empty() || !uri.getUserInfo().empty())
            return std::string();
        if (originOnly && (!uri.getPath().empty() || !uri.getRawQuery().empty() || !uri.getFragment().empty()))
            return std::string();
        if (host.find(':') != std::string::npos)
            host = "[" + host + "]";
        return scheme + "://" + host + ":" + Poco::NumberFormatter::format(uri.getPort());
    } catch (const Poco::Exception&) {
        return std::string();
    }
}

bool isOwnOrigin(const std::string& origin, Poco::UInt16 port) {
    const std::string suffix = ":" + Poco::NumberFormatter::format(port);
    for (const char* host : {"http://127.0.0.1", "http://localhost", "http://[::1]"})
        if (origin == host + suffix)
            return true;
    return false;
}

namespace {

// The origin a request names (Origin, else Referer), in `named` as sent; false
// when it names none.
bool namedOrigin(const Poco::Net::HTTPServerRequest& request, std::string& header, std::string& named) {
    for (const char* name : {"Origin", "Referer"}) {
        if (request.has(name)) {
            header = name;
            named = request.get(name);
            return true;
        }
    }
    return false;
}

} // namespace

bool hasDuplicateHost(const Poco::Net::HTTPServerRequest& request) {
    int hosts = 0;
    for (const auto& field : request)
        if (Poco::icompare(field.first, "Host") == 0)
            ++hosts;
    return hosts > 1;
}

bool accepted(const Poco::Net::HTTPServerRequest& request, const Allowed& allowed, std::string& reason) {
    if (!request.has("Host")) {
        reason = "no Host header";
        return false;
    }
    if (!isEndpointHost(request.get("Host"), allowed.port)) {
        reason = "foreign Host " + request.get("Host");
        return false;
    }
    std::string header, named;
    if (namedOrigin(request, header, named)) {
        std::string origin = originOf(named, header == "Origin");
        if (isOwnOrigin(origin, allowed.port))
            return true;
        if (allowed.quickEdit && !origin.empty() && origin == allowed.serverOrigin)
            return true;
        reason = "foreign " + header + " " + named;
        return false;
    }
    const std::string site = Poco::toLower(request.get("Sec-Fetch-Site", "none"));
    if (site != "none" && site != "same-origin") {
        reason = "sent by a page of another site (" + site + ")";
        return false;
    }
    return true;
}

} // namespace RequestOrigin
} // namespace Sync
} // namespace Nuvaro
