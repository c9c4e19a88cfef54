#include "TestServerClient.h"

#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Element.h>
#include <Poco/DOM/NodeList.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPCookie.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/NameValueCollection.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <Poco/URI.h>

#include <memory>

namespace TestServerTest {

std::string Response::header(const std::string& name) const
{
    auto it = headers.find(Poco::toLower(name));
    return it == headers.end() ? "" : it->second;
}

std::vector<Record> records(const std::string& xml, const std::string& name)
{
    std::vector<Record> out;
    Poco::XML::DOMParser parser;
    Poco::AutoPtr<Poco::XML::Document> doc = parser.parseString(xml);
    Poco::AutoPtr<Poco::XML::NodeList> list = doc->getElementsByTagName(name);
    for (unsigned long i = 0; i < list->length(); ++i) {
        Record r;
        for (auto* child = list->item(i)->firstChild(); child; child = child->nextSibling())
            if (child->nodeType() == Poco::XML::Node::ELEMENT_NODE) r[child->nodeName()] = child->innerText();
        out.push_back(r);
    }
    return out;
}

Client::Client(std::string baseUrl, Poco::Net::Context::Ptr context)
    : m_baseUrl(std::move(baseUrl))
    , m_context(std::move(context))
{
}

Response Client::send(const std::string& method, const std::string& target, const std::string& body,
                      const std::map<std::string, std::string>& headers, const std::string& version,
                      const std::string& contentType)
{
    Response response;
    try {
        Poco::URI uri(m_baseUrl);
        std::unique_ptr<Poco::Net::HTTPClientSession> session;
        if (uri.getScheme() == "https")
            session = std::make_unique<Poco::Net::HTTPSClientSession>(uri.getHost(), uri.getPort(), m_context);
        else
            session = std::make_unique<Poco::Net::HTTPClientSession>(uri.getHost(), uri.getPort());
        session->setTimeout(Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(timeoutMs) * 1000));

        Poco::Net::HTTPRequest request(method, target, version);
        if (!m_cookie.empty()) request.set("Cookie", m_cookie);
        for (const auto& h : headers) request.set(h.first, h.second);
        if (!contentType.empty()) request.setContentType(contentType);
        if (method == "POST" || !body.empty()) request.setContentLength(static_cast<std::streamsize>(body.size()));
        std::ostream& out = session->sendRequest(request);
        out << body;

        Poco::Net::HTTPResponse reply;
        std::istream& in = session->receiveResponse(reply);
        response.status = reply.getStatus();
        response.reason = reply.getReason();
        for (const auto& h : reply) {
            response.headers[Poco::toLower(h.first)] = h.second;
            if (Poco::icompare(h.first, "Set-Cookie") == 0) response.setCookies.push_back(h.second);
        }
        Poco::StreamCopier::copyToString(in, response.body);
    } catch (Poco::Exception& e) {
        response.failed = true;
        response.error = e.displayText();
    }
    return response;
}

Response Client::get(const std::string& target, const std::map<std::string, std::string>& headers)
{
    return send("GET", target, "", headers);
}

Response Client::postForm(const std::string& target, const std::string& body,
                          const std::map<std::string, std::string>& headers)
{
    return send("POST", target, body, headers, "HTTP/1.1", "application/x-www-form-urlencoded");
}

Response Client::upload(const std::string& target, const std::string& fileName, const std::string& data)
{
    const std::string boundary = "---------------------------248221545120005";
    std::string body = "--" + boundary + "\r\n" + "Content-Disposition: form-data; name=\"filedata\"; filename=\"" +
                       fileName + "\"\r\n" + "Content-Type: application/octet-stream\r\n\r\n" + data + "\r\n--" +
                       boundary + "--\r\n";
    return send("POST", target, body, {}, "HTTP/1.1", "multipart/form-data; boundary=" + boundary);
}

bool Client::login(const std::string& user, const std::string& password)
{
    Response r = postForm("/core/loginguest", "userid=" + enc(user) + "&password=" + enc(password) +
                                                  "&remote_client_id=client-1&remote_client_disp_name=Test");
    m_cookie = sessionCookie(r);
    return !m_cookie.empty();
}

std::string sessionCookie(const Response& response)
{
    for (const std::string& header : response.setCookies) {
        std::string pair = header.substr(0, header.find(';'));
        if (pair.compare(0, 10, "vpsession=") == 0) return pair;
    }
    return "";
}

std::string enc(const std::string& text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

} // namespace TestServerTest
