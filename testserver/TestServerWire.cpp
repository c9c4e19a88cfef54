#include "TestServerWire.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>

#include <cctype>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::string percentDecode(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int hi = hexValue(text[i + 1]);
            int lo = hexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

Fields parseFields(const std::string& text)
{
    Fields fields;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('&', start);
        if (end == std::string::npos) end = text.size();
        std::string piece = text.substr(start, end - start);
        if (!piece.empty()) {
            std::size_t eq = piece.find('=');
            if (eq == std::string::npos)
                fields.emplace_back(percentDecode(piece), "");
            else
                fields.emplace_back(percentDecode(piece.substr(0, eq)), percentDecode(piece.substr(eq + 1)));
        }
        start = end + 1;
    }
    return fields;
}

std::string fieldValue(const Fields& fields, const std::string& name)
{
    for (const auto& f : fields)
        if (f.first == name) return f.second;
    return "";
}

bool hasField(const Fields& fields, const std::string& name)
{
    for (const auto& f : fields)
        if (f.first == name) return true;
    return false;
}

bool equalsNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool normaliseServerPath(const std::string& path, std::string& out)
{
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return false;
    std::string result;
    std::size_t start = 1;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string segment = path.substr(start, end - start);
        if (segment == "." || segment == "..") return false;
        if (!segment.empty()) result += "/" + segment;
        start = end + 1;
    }
    out = result.empty() ? "/" : result;
    return true;
}

std::string joinServerPath(const std::string& folder, const std::string& name)
{
    if (folder.empty() || folder.back() != '/') return folder + "/" + name;
    return folder + name;
}

std::string parentOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

std::string lastSegment(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isAtOrBelow(const std::string& path, const std::string& folder)
{
    if (folder == "/") return true;
    if (path == folder) return true;
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

std::string routingPath(const std::string& target, std::string& query)
{
    std::string pathEtc = target;
    std::size_t scheme = target.find("://");
    if (scheme != std::string::npos && target[0] != '/') {
        std::size_t slash = target.find('/', scheme + 3);
        pathEtc = slash == std::string::npos ? "/" : target.substr(slash);
    }
    std::size_t fragment = pathEtc.find('#');
    if (fragment != std::string::npos) pathEtc.erase(fragment);
    std::size_t q = pathEtc.find('?');
    query = q == std::string::npos ? "" : pathEtc.substr(q + 1);
    std::string path = q == std::string::npos ? pathEtc : pathEtc.substr(0, q);
    return path.empty() ? "/" : path;
}

std::string xmlEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

XmlReply::XmlReply(std::string root)
    : m_root(std::move(root))
{
}

XmlReply& XmlReply::record(const std::string& name, const Fields& fields)
{
    m_records += "<" + name + ">";
    for (const auto& f : fields)
        m_records += "<" + f.first + ">" + xmlEscape(f.second) + "</" + f.first + ">";
    m_records += "</" + name + ">";
    return *this;
}

std::string XmlReply::str() const
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + m_root + ">" + m_records + "</" + m_root + ">\n";
}

std::string commandReply(const std::string& type, const std::string& result, const std::string& message)
{
    return XmlReply("commands").record("command", {{"type", type}, {"result", result}, {"message", message}}).str();
}

std::string authFailedReply()
{
    return commandReply("authentication", "0", "Authentication Failed");
}

namespace {

const std::string kStatusPeer = "server";

} // namespace

std::string syncStatusText(Poco::Int64 version)
{
    return kStatusPeer + ":" + std::to_string(version);
}

Poco::Int64 syncStatusVersion(const std::string& text)
{
    Poco::StringTokenizer entries(text, ",", Poco::StringTokenizer::TOK_TRIM | Poco::StringTokenizer::TOK_IGNORE_EMPTY);
    for (const std::string& entry : entries) {
        std::size_t colon = entry.rfind(':');
        Poco::Int64 version = 0;
        if (colon != std::string::npos && entry.compare(0, colon, kStatusPeer) == 0 && colon == kStatusPeer.size() &&
            Poco::NumberParser::tryParse64(entry.substr(colon + 1), version) && version >= 0)
            return version;
    }
    return 0;
}

std::string sortableTime(const Poco::Timestamp& t)
{
    return Poco::DateTimeFormatter::format(t, Poco::DateTimeFormat::SORTABLE_FORMAT);
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
