#pragma once

// Plain Poco HTTP helpers for the test server's own tests: one request per
// call on a fresh session, the reply read whole, and a small XML record
// reader. Deliberately independent of the project's connector.

#include "VaultpineTestServer.h"

#include <Poco/Net/Context.h>

#include <map>
#include <string>
#include <vector>

namespace TestServerTest {

struct Response {
    int status = 0;
    std::string reason;
    std::map<std::string, std::string> headers; // last value per lower-case name
    std::vector<std::string> setCookies;
    std::string body;
    bool failed = false;   // the exchange raised (connection dropped, timeout, ...)
    std::string error;

    std::string header(const std::string& name) const;
};

using Record = std::map<std::string, std::string>;

// Records named `name` (their child elements' texts) of an XML reply.
std::vector<Record> records(const std::string& xml, const std::string& name);

class Client {
public:
    // baseUrl such as "http://127.0.0.1:1234"; context for https (may be null).
    explicit Client(std::string baseUrl, Poco::Net::Context::Ptr context = nullptr);

    Response get(const std::string& target, const std::map<std::string, std::string>& headers = {});
    Response postForm(const std::string& target, const std::string& body,
                      const std::map<std::string, std::string>& headers = {});
    // A multipart upload in the client's wire format (part "filedata").
    Response upload(const std::string& target, const std::string& fileName, const std::string& data);
    // Any request, with the body as given and an optional HTTP version.
    Response send(const std::string& method, const std::string& target, const std::string& body,
                  const std::map<std::string, std::string>& headers, const std::string& version = "HTTP/1.1",
                  const std::string& contentType = "");

    // Logs in with userid/password; true and the session cookie kept on success.
    bool login(const std::string& user, const std::string& password);
    const std::string& cookie() const { return m_cookie; }
    void setCookie(const std::string& cookie) { m_cookie = cookie; }
    int timeoutMs = 5000;

private:
    std::string m_baseUrl;
    Poco::Net::Context::Ptr m_context;
    std::string m_cookie; // "vpsession=<value>" or empty
};

// The session cookie ("name=value") of a login reply, "" when none.
std::string sessionCookie(const Response& response);

// Percent-encodes every byte except letters, digits and "-_.~".
std::string enc(const std::string& text);

} // namespace TestServerTest
