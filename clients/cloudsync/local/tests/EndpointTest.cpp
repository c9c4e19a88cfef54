// The loopback endpoint with real HTTP requests on a free port of 127.0.0.1:
// the routing of every target, one request per connection, the refusal of
// requests from web pages, the port setting, the limits on slow callers,
// start and shutdown; and the pure rules beneath (hosts and origins, request
// heads the endpoint waits for, paths named by a request, the desktop
// opener's refusals).

#include "LocalFixture.h"

#include "CallerGateSocket.h"
#include "LocalRequest.h"
#include "QuickEditPages.h"
#include "RequestOrigin.h"
#include "VariantRow.h"
#include "WaitUntil.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Timestamp.h>

namespace LocalTest {
namespace {

using Nuvaro::Sync::FSWebServerWorker;
namespace LocalRequest = Nuvaro::Sync::LocalRequest;
namespace RequestOrigin = Nuvaro::Sync::RequestOrigin;

const char* const kNotFound = "404 Sorry, Page Not Found!";
const char* const kForbidden = "404 Sorry, Forbidden";

int countOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::string::size_type at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

// A port nothing listens on at the moment.
Poco::UInt16 freePort() {
    Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
    return probe.address().port();
}

class EndpointTest : public LocalServiceTest {};

// ---- Routing ----

struct RouteCase {
    const char* target;
    const char* method;
    int status;
    const char* contentType;
    const char* bodyPart;  // a piece of the body
    const char* event4;    // text of a UI event 4 raised, or nullptr for none
};

TEST_F(EndpointTest, EveryTargetReachesItsHandlerByThePrefixOfTheRawUri) {
    startService();
    const RouteCase cases[] = {
        {"/", "GET", 404, "text/html", kNotFound, nullptr},
        {"/status", "GET", 200, "text/xml", "<system><status><syncfolder>", nullptr},
        {"/status?x=1", "GET", 200, "text/xml", "<syncfolder>", nullptr},
        {"/statusbar", "GET", 200, "text/xml", "<syncfolder>", nullptr},
        {"/status", "POST", 200, "text/xml", "<syncfolder>", nullptr},
        {"/share", "GET", 404, "text/html", kNotFound, nullptr},
        {"/sharelink?path=x", "GET", 404, "text/html", kNotFound, nullptr},
        {"/getoverlaystatus", "GET", 403, "text/html", kForbidden, nullptr},
        {"/getoverlaystatusx", "POST", 403, "text/html", kForbidden, nullptr},
        {"/getsharelink", "GET", 403, "text/html", kForbidden, nullptr},
        {"/viewwebfile", "GET", 403, "text/html", kForbidden, nullptr},
        {"/webedit", "GET", 403, "text/html", kForbidden, nullptr},
        {"/webedit?path=", "GET", 200, "text/html", "Load FAILED", nullptr},
        {"/syncnow", "GET", 200, "text/xml", "<type>syncnow</type><result>1</result>", nullptr},
        {"/syncnow", "POST", 200, "text/xml", "<type>syncnow</type>", nullptr},
        {"/lock", "GET", 403, "text/html", kForbidden, "Lock Failed"},
        {"/lockfile", "GET", 403, "text/html", kForbidden, "Lock Failed"},
        {"/unlock", "GET", 403, "text/html", kForbidden, "Unlock Failed"},
        {"/filebrowser", "GET", 200, "text/xml", "<type>filebrowser</type>", nullptr},
        {"/filechanged", "GET", 200, "text/xml", "<type>filechanged</type>", nullptr},
        {"/foo", "GET", 404, "text/html", kNotFound, nullptr},
        {"/%zz", "GET", 404, "text/html", kNotFound, nullptr},
    };
    for (const RouteCase& c : cases) {
        EventRecorder events({9});
        m_log.channel().clear();
        Reply reply = send(c.target, {}, c.method);
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.contentType, c.contentType);
        EXPECT_NE(reply.body.find(c.bodyPart), std::string::npos) << reply.body;
        std::vector<EventRecorder::Event> expected;
        if (c.event4)
            expected.emplace_back(4, c.event4, 0);
        EXPECT_EQ(events.events(), expected);
        bool unknown = std::string(c.target) == "/foo";
        EXPECT_EQ(m_log.contains("URL Handler not found for "), unknown) << m_log.dump();
        if (unknown) {
            EXPECT_TRUE(m_log.contains("URL Handler not found for /foo"));
        }
    }
}

TEST_F(EndpointTest, EachConnectionCarriesOneRequest) {
    startService();
    Reply reply = send("/status");
    EXPECT_FALSE(reply.keepAlive);
    // Two requests sent at once on one connection: one answer, then the
    // connection is closed.
    std::string received =
        sendRaw("GET /status HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) + "\r\n\r\n" +
                "GET /filebrowser HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) + "\r\n\r\n");
    EXPECT_EQ(countOf(received, "HTTP/1.1 "), 1) << received;
    EXPECT_NE(received.find("<syncfolder>"), std::string::npos);
    EXPECT_NE(received.find("Connection: Close"), std::string::npos) << received;
}

// ---- Requests from web pages ----

struct OriginCase {
    const char* name;
    const char* target;  // "/filebrowser", or "/webedit?path=" (answered "Load FAILED" when served)
    Headers headers;     // "{port}" stands for the endpoint's port, "{server}" for the server's URL
    bool served;
};

TEST_F(EndpointTest, RequestsFromWebPagesAndForeignHostNamesAreRefused) {
    startService();
    const char* const browser = "/filebrowser";
    const char* const edit = "/webedit?path=";
    const OriginCase cases[] = {
        // The Host header.
        {"no headers of a browser", browser, {}, true},
        {"localhost", browser, {{"Host", "localhost:{port}"}}, true},
        {"localhost in capitals", browser, {{"Host", "LOCALHOST:{port}"}}, true},
        {"another loopback address", browser, {{"Host", "127.0.0.2:{port}"}}, true},
        {"IPv6 loopback", browser, {{"Host", "[::1]:{port}"}}, true},
        {"rebinding name", browser, {{"Host", "evil.example:{port}"}}, false},
        {"name ending like loopback", browser, {{"Host", "127.0.0.1.nip.io:{port}"}}, false},
        {"localhost below a foreign name", browser, {{"Host", "localhost.evil.example:{port}"}}, false},
        {"another port", browser, {{"Host", "127.0.0.1:1"}}, false},
        {"no port", browser, {{"Host", "127.0.0.1"}}, false},
        {"a port that is no number", browser, {{"Host", "127.0.0.1:{port}x"}}, false},
        // The Origin header: the endpoint's own origins only.
        {"own origin", browser, {{"Origin", "http://127.0.0.1:{port}"}}, true},
        {"own origin by name", browser, {{"Origin", "http://localhost:{port}"}}, true},
        {"own origin over IPv6", browser, {{"Origin", "http://[::1]:{port}"}}, true},
        {"same origin", browser, {{"Sec-Fetch-Site", "same-origin"}, {"Origin", "http://127.0.0.1:{port}"}}, true},
        {"own host and port over https", browser, {{"Origin", "https://127.0.0.1:{port}"}}, false},
        {"another loopback port", browser, {{"Origin", "http://127.0.0.1:8000"}, {"Sec-Fetch-Site", "same-site"}},
         false},
        {"another loopback port by name", browser, {{"Origin", "http://localhost:3000"}}, false},
        {"a loopback page on the default port", browser, {{"Origin", "http://localhost"}}, false},
        {"a foreign page", browser, {{"Origin", "https://evil.example"}}, false},
        {"a foreign page on a loopback-like name", browser, {{"Origin", "http://127.0.0.1.evil.example"}}, false},
        {"a sandboxed page", browser, {{"Origin", "null"}}, false},
        {"a sandboxed page with an own Referer", browser,
         {{"Origin", "null"}, {"Referer", "http://127.0.0.1:{port}/"}}, false},
        {"a file page", browser, {{"Origin", "file://"}}, false},
        {"the server's pages elsewhere than quick edit", browser, {{"Origin", "{server}"}}, false},
        // The Referer header, when there is no Origin.
        {"own page as Referer", browser, {{"Referer", "http://127.0.0.1:{port}/status?x=1"}}, true},
        {"foreign Referer only", browser, {{"Referer", "https://evil.example/cats.html"}}, false},
        {"Referer on another loopback port", browser, {{"Referer", "http://127.0.0.1:8000/"}}, false},
        {"Referer that is no URL", browser, {{"Referer", "about:blank"}}, false},
        {"own Origin before a foreign Referer", browser,
         {{"Origin", "http://127.0.0.1:{port}"}, {"Referer", "https://evil.example/"}}, true},
        // Fetch metadata without an origin.
        {"typed by the user", browser, {{"Sec-Fetch-Site", "none"}}, true},
        {"a navigation from another site", browser, {{"Sec-Fetch-Site", "cross-site"}}, false},
        {"a page on another loopback port without Referer", browser, {{"Sec-Fetch-Site", "same-site"}}, false},
        // Quick edit: the server's own pages too.
        {"quick edit from the server's page", edit, {{"Origin", "{server}"}, {"Sec-Fetch-Site", "cross-site"}}, true},
        {"quick edit from the server's page as Referer", edit, {{"Referer", "{server}/app/index.html#files"}}, true},
        {"quick edit from the own origin", edit, {{"Origin", "http://localhost:{port}"}}, true},
        {"quick edit from a local program", edit, {}, true},
        {"quick edit from the server's host on another port", edit, {{"Origin", "http://127.0.0.1:8000"}}, false},
        {"quick edit from the server's host over https", edit, {{"Origin", "{server-https}"}}, false},
        {"quick edit from a foreign page", edit, {{"Origin", "https://evil.example"}}, false},
        {"quick edit from a foreign Referer", edit, {{"Referer", "https://evil.example/x"}}, false},
        {"quick edit from a sandboxed page", edit, {{"Origin", "null"}}, false},
        {"quick edit from another site without origin", edit, {{"Sec-Fetch-Site", "cross-site"}}, false},
    };
    const std::string serverUrl = server.baseUrl();
    for (const OriginCase& c : cases) {
        SCOPED_TRACE(c.name);
        Headers headers;
        for (const auto& header : c.headers) {
            std::string value = header.second;
            const std::pair<const char*, std::string> fields[] = {
                {"{port}", std::to_string(port())},
                {"{server-https}", "https" + serverUrl.substr(serverUrl.find(':'))},
                {"{server}", serverUrl}};
            for (const auto& field : fields) {
                std::string::size_type at = value.find(field.first);
                if (at != std::string::npos)
                    value.replace(at, std::char_traits<char>::length(field.first), field.second);
            }
            headers.emplace_back(header.first, value);
        }
        EventRecorder events;
        m_log.channel().clear();
        Reply reply = send(c.target, headers);
        if (c.served) {
            EXPECT_EQ(reply.status, 200);
            if (c.target == browser)
                EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{EventRecorder::Event{9, "", 0}}));
            else
                EXPECT_NE(reply.body.find("Load FAILED"), std::string::npos) << reply.body;
        } else {
            EXPECT_EQ(reply.status, 403);
            EXPECT_EQ(reply.contentType, "text/html");
            EXPECT_EQ(reply.body, kForbidden);
            EXPECT_TRUE(events.events().empty());
            EXPECT_TRUE(m_log.contains("Refused local request " + std::string(c.target))) << m_log.dump();
        }
    }
}

TEST_F(EndpointTest, ServersOwnPageStartsAQuickEdit) {
    startService();
    server.putFile(kUser, "/user1/docs/a.txt", "alpha");
    OpenedTargets opened;
    Reply reply = send("/webedit?path=%2Fuser1%2Fdocs%2Fa.txt",
                       {{"Origin", server.baseUrl()}, {"Sec-Fetch-Site", "cross-site"}, {"Sec-Fetch-Mode", "navigate"}});
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(reply.body.find("Load OK"), std::string::npos) << reply.body;
    ASSERT_EQ(opened.targets().size(), 1u);
    EXPECT_EQ(CloudSyncTest::TempFolder::read(opened.targets()[0]), "alpha");
}

TEST_F(EndpointTest, DuplicateHostIsABadRequest) {
    startService();
    const std::string host = "127.0.0.1:" + std::to_string(port());
    const std::string requests[] = {
        "GET /filebrowser HTTP/1.1\r\nHost: " + host + "\r\nHost: " + host + "\r\n\r\n",
        "GET /filebrowser HTTP/1.1\r\nHost: " + host + "\r\nhost: evil.example\r\n\r\n",
        "GET /filebrowser HTTP/1.1\r\nHOST: evil.example\r\nHost: " + host + "\r\n\r\n",
    };
    for (const std::string& request : requests) {
        EventRecorder events;
        m_log.channel().clear();
        std::string received = sendRaw(request);
        EXPECT_EQ(received.compare(0, 12, "HTTP/1.1 400"), 0) << received;
        EXPECT_NE(received.find("400 Sorry, Bad Request"), std::string::npos) << received;
        EXPECT_TRUE(events.events().empty());
        EXPECT_TRUE(m_log.contains("Refused local request /filebrowser: Host header given more than once"))
            << m_log.dump();
    }
}

TEST_F(EndpointTest, RequestWithoutHostIsRefused) {
    startService();
    EventRecorder events;
    std::string received = sendRaw("GET /filebrowser HTTP/1.0\r\n\r\n");
    EXPECT_EQ(received.compare(0, 12, "HTTP/1.0 403"), 0) << received;
    EXPECT_TRUE(events.events().empty());
}

TEST_F(EndpointTest, RefusedRequestsChangeNothing) {
    TestRunner& runner = startService();
    putFileBothSides("a.txt", "a");
    EventRecorder events;
    OpenedTargets opened;
    Headers page{{"Origin", "https://evil.example"}};
    for (const std::string& target : {"/lock?path=" + encoded(local("My Files/a.txt")), std::string("/syncnow"),
                                      "/viewwebfile?path=" + encoded(local("My Files/a.txt")),
                                      std::string("/webedit?path=%2Fuser1%2Fa.txt")})
        EXPECT_EQ(send(target, page).status, 403) << target;
    EXPECT_TRUE(events.events().empty());
    EXPECT_TRUE(opened.targets().empty());
    EXPECT_TRUE(server.requests("/core/loginguest").empty());
    EXPECT_FALSE(server.lockOf(kUser, "/user1/a.txt"));
    EXPECT_FALSE(Poco::File(editRoot()).exists());
    (void)runner;
}

TEST(RequestOriginRules, HostHeadersOfTheEndpoint) {
    struct Case {
        const char* host;
        bool endpoint;
    };
    const Case cases[] = {
        {"127.0.0.1:34320", true},   {"localhost:34320", true},      {"LocalHost:34320", true},
        {"127.9.8.7:34320", true},   {"[::1]:34320", true},          {"127.0.0.1:34321", false},
        {"127.0.0.1", false},        {"localhost", false},           {"127.1:34320", false},
        {"::1:34320", false},        {"[::2]:34320", false},         {"10.0.0.1:34320", false},
        {"evil.example:34320", false}, {"localhost.:34320", false},  {"127.0.0.1:+34320", false},
        {"127.0.0.1:034320", false}, {"", false},                    {":34320", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RequestOrigin::isEndpointHost(c.host, 34320), c.endpoint) << c.host;
    EXPECT_TRUE(RequestOrigin::isEndpointHost("localhost", 80));
}

TEST(RequestOriginRules, OriginsOfUrls) {
    struct Case {
        const char* url;
        bool originOnly;
        const char* origin;  // "" for none
    };
    const Case cases[] = {
        {"http://localhost", true, "http://localhost:80"},
        {"http://127.0.0.1:34320", true, "http://127.0.0.1:34320"},
        {"HTTPS://Files.Example.com", true, "https://files.example.com:443"},
        {"https://files.example.com:443", true, "https://files.example.com:443"},
        {"http://[::1]:8080", true, "http://[::1]:8080"},
        {"https://files.example.com/vault/", false, "https://files.example.com:443"},
        {"https://files.example.com:8443/a?b=1#c", false, "https://files.example.com:8443"},
        {"https://files.example.com/vault/", true, ""},
        {"https://files.example.com?x", true, ""},
        {"http://user@localhost:34320", false, ""},
        {"null", true, ""},
        {"file://", true, ""},
        {"file:///etc/passwd", false, ""},
        {"ftp://localhost", true, ""},
        {"about:blank", false, ""},
        {"/status", false, ""},
        {"", true, ""},
        {"http://", true, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RequestOrigin::originOf(c.url, c.originOnly), c.origin) << c.url;
}

TEST(RequestOriginRules, OwnOriginsOfTheEndpoint) {
    struct Case {
        const char* origin;
        bool own;
    };
    const Case cases[] = {
        {"http://127.0.0.1:34320", true},  {"http://localhost:34320", true},   {"http://[::1]:34320", true},
        {"http://127.0.0.1:34321", false}, {"http://localhost:80", false},     {"https://127.0.0.1:34320", false},
        {"http://127.0.0.2:34320", false}, {"http://evil.example:34320", false}, {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RequestOrigin::isOwnOrigin(c.origin, 34320), c.own) << c.origin;
}

// ---- Paths named by a request ----

TEST(RequestPaths, APathMustLieInsideTheFolderWithoutDotDot) {
    struct Case {
        const char* path;
        bool folderItself;
        const char* resolved;  // nullptr: refused
    };
    const Case cases[] = {
        {"/home/u/Sync/docs/a.txt", false, "/home/u/Sync/docs/a.txt"},
        {"/home/u/Sync//docs/a.txt/", false, "/home/u/Sync/docs/a.txt"},
        {"/home/u/Sync", true, "/home/u/Sync"},
        {"/home/u/Sync/", true, "/home/u/Sync"},
        {"/home/u/Sync", false, nullptr},
        {"/home/u/Sync2/a", false, nullptr},
        {"/x/home/u/Sync/a", false, nullptr},
        {"/home/u/Sync/../etc/passwd", false, nullptr},
        {"/home/u/Sync/docs/..", false, nullptr},
        {"/home/u/Sync/./a", false, nullptr},
        {"home/u/Sync/a", false, nullptr},
        {"", true, nullptr},
        {"/etc/passwd", false, nullptr},
    };
    for (const Case& c : cases) {
        std::string resolved = "untouched";
        bool inside = LocalRequest::resolveInside(c.path, "/home/u/Sync/", c.folderItself, resolved);
        EXPECT_EQ(inside, c.resolved != nullptr) << c.path;
        if (c.resolved)
            EXPECT_EQ(resolved, c.resolved) << c.path;
        else
            EXPECT_EQ(resolved, "untouched") << c.path;
    }
}

// ---- The desktop ----

TEST(DesktopOpener, TargetsThatReadAsOptionsAreRefused) {
    OpenedTargets opened;
    EXPECT_TRUE(Nuvaro::Sync::openWithDesktop("http://127.0.0.1/#expl-tabl./user1"));
    EXPECT_TRUE(Nuvaro::Sync::openWithDesktop("/tmp/quick edit/a b.txt"));
    EXPECT_FALSE(Nuvaro::Sync::openWithDesktop("--help"));
    EXPECT_FALSE(Nuvaro::Sync::openWithDesktop("-"));
    EXPECT_FALSE(Nuvaro::Sync::openWithDesktop(""));
    EXPECT_EQ(opened.targets(),
              (std::vector<std::string>{"http://127.0.0.1/#expl-tabl./user1", "/tmp/quick edit/a b.txt"}));
}

// ---- The port ----

TEST_F(EndpointTest, PortSettingIsANumberFrom1To65535OrTheDefault) {
    struct Case {
        const char* setting;
        Poco::UInt16 port;
        bool logged;
    };
    const Case cases[] = {
        {"", 34320, false},     {"8080", 8080, false},  {"1", 1, false},      {"65535", 65535, false},
        {"0", 34320, true},     {"65536", 34320, true}, {"99999", 34320, true}, {"-1", 34320, true},
        {"80x", 34320, true},   {" 80", 34320, true},   {"abc", 34320, true}, {"1000000", 34320, true},
    };
    for (const Case& c : cases) {
        m_log.channel().clear();
        EXPECT_EQ(Nuvaro::Sync::ipcPortFromSetting(c.setting), c.port) << c.setting;
        EXPECT_EQ(m_log.contains("Invalid ipcport setting \"" + std::string(c.setting) + "\", using port 34320"),
                  c.logged)
            << c.setting;
    }
}

TEST_F(EndpointTest, ListensOnThePortOfTheSettingOn127001Only) {
    Poco::UInt16 wanted = freePort();
    Nuvaro::Data::VariantRow config;
    config["syncfolderlocation"] = "DEFAULT";
    config["ipcport"] = std::to_string(wanted);
    ASSERT_TRUE(config.write(configFile()));
    TestRunner& runner = makeLocalRunner();
    FSWebServerWorker endpoint("", editRoot(), &runner);
    endpoint.startup();
    EXPECT_EQ(endpoint.port(), wanted) << m_log.dump();
    EXPECT_TRUE(m_log.contains("Starting IPC Server on 127.0.0.1:" + std::to_string(wanted))) << m_log.dump();
    // Idle once its thread waits on its queue (startup returns before).
    EXPECT_TRUE(CloudSyncTest::waitUntil([&] { return endpoint.isIdle(); }));
    endpoint.shutdown();
}

TEST_F(EndpointTest, WithoutAPortSettingTheDefaultPortIsUsed) {
    TestRunner& runner = makeLocalRunner();
    try {
        Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 34320));
    } catch (const Poco::Exception&) {
        GTEST_SKIP() << "port 34320 is in use on this machine";
    }
    FSWebServerWorker endpoint("", editRoot(), &runner);
    endpoint.startup();
    EXPECT_EQ(endpoint.port(), 34320);
    EXPECT_TRUE(m_log.contains("Starting IPC Server on 127.0.0.1:34320")) << m_log.dump();
    endpoint.shutdown();
}

TEST_F(EndpointTest, PortInUseIsLoggedAndShutdownStillReturns) {
    TestRunner& runner = makeLocalRunner();
    Poco::Net::ServerSocket taken(Poco::Net::SocketAddress("127.0.0.1", 0));
    FSWebServerWorker endpoint("", editRoot(), &runner);
    endpoint.setListenPortForTesting(taken.address().port());
    EXPECT_TRUE(endpoint.startup());
    EXPECT_EQ(endpoint.port(), 0);
    EXPECT_FALSE(endpoint.isIdle());
    EXPECT_TRUE(m_log.contains("run ")) << m_log.dump();
    EXPECT_TRUE(endpoint.shutdown());
}

// ---- Shutdown ----

// ---- Limits ----

TEST_F(EndpointTest, SilentConnectionIsClosedAfterAFewSeconds) {
    startService();
    // One connection sends nothing, one stops in the middle of its request.
    Poco::Net::StreamSocket silent(Poco::Net::SocketAddress("127.0.0.1", port()));
    Poco::Net::StreamSocket stalled(Poco::Net::SocketAddress("127.0.0.1", port()));
    const std::string half = "GET /status HTTP/1.1\r\nHost: 127.0.0.1:";
    stalled.sendBytes(half.data(), static_cast<int>(half.size()));
    Poco::Timestamp began;
    for (Poco::Net::StreamSocket* socket : {&silent, &stalled}) {
        socket->setReceiveTimeout(Poco::Timespan(30, 0));
        char buffer[1024];
        int n = 0;
        try {
            while ((n = socket->receiveBytes(buffer, sizeof buffer)) > 0) {
            }
        } catch (const Poco::TimeoutException&) {
            ADD_FAILURE() << "the endpoint kept a silent connection open for 30 seconds";
        }
    }
    // Closed by the endpoint after a few seconds (the bound is generous for a
    // loaded machine; the limit it checks is far below the minute a
    // connection was kept before).
    EXPECT_LT(began.elapsed(), 20 * Poco::Timestamp::resolution());
    // Meanwhile and afterwards the endpoint serves others.
    EXPECT_EQ(send("/status").status, 200);
}

// Whether the endpoint closes `socket` within `ms` (what it sends before is
// added to `received`).
bool closedWithin(Poco::Net::StreamSocket& socket, long ms, std::string* received = nullptr) {
    Poco::Timestamp began;
    char buffer[4096];
    do {
        long left = std::max<long>(0, ms - static_cast<long>(began.elapsed() / 1000));
        if (!socket.poll(Poco::Timespan(left * 1000), Poco::Net::Socket::SELECT_READ))
            return false;
        try {
            int n = socket.receiveBytes(buffer, sizeof buffer);
            if (n <= 0)
                return true;
            if (received)
                received->append(buffer, static_cast<std::size_t>(n));
        } catch (const Poco::Exception&) {
            return true;  // reset
        }
    } while (began.elapsed() < ms * 1000LL);
    return false;
}

TEST_F(EndpointTest, DrippingConnectionIsClosedByTheHeadDeadline) {
    startService(1000);
    const std::string head = "GET /status HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) + "\r\n\r\n";
    Poco::Net::StreamSocket dripping(Poco::Net::SocketAddress("127.0.0.1", port()));
    Poco::Timestamp began;
    bool closed = false;
    // One byte every 400 ms: each far within the 5 s a read may wait, the
    // whole head never.
    for (std::size_t at = 0; at + 1 < head.size() && !closed && began.elapsed() < 4 * Poco::Timestamp::resolution();
         ++at) {
        try {
            dripping.sendBytes(&head[at], 1);
        } catch (const Poco::Exception&) {
            closed = true;
            break;
        }
        closed = closedWithin(dripping, 400);
    }
    EXPECT_TRUE(closed) << "a head dripping in for 4 seconds was still awaited";
    EXPECT_LT(began.elapsed(), 3 * Poco::Timestamp::resolution());
    EXPECT_TRUE(m_log.contains("Closed local connection from 127.0.0.1:")) << m_log.dump();
    EXPECT_TRUE(m_log.contains(": request head not complete within 1000 ms")) << m_log.dump();
    EXPECT_EQ(send("/status").status, 200);
}

TEST_F(EndpointTest, OwnersStatusIsAnsweredWhileItsOtherConnectionsDrip) {
    startService();
    // More slow connections of this user than the 10 connection threads and
    // the 20 places of their queue, each with the first byte of its head.
    std::vector<Poco::Net::StreamSocket> dripping;
    for (int i = 0; i < 32; ++i) {
        dripping.emplace_back(Poco::Net::SocketAddress("127.0.0.1", port()));
        dripping.back().sendBytes("G", 1);
    }
    Poco::Thread::sleep(300);
    Poco::Timestamp began;
    Reply status = send("/status");
    EXPECT_EQ(status.status, 200);
    EXPECT_NE(status.body.find("<syncfolder>"), std::string::npos) << status.body;
    EXPECT_LT(began.elapsed(), 3 * Poco::Timestamp::resolution());
    // They are still awaited (well within the 5 s deadline): one more byte
    // each.
    for (Poco::Net::StreamSocket& socket : dripping) {
        socket.sendBytes("E", 1);
        EXPECT_FALSE(closedWithin(socket, 0));
    }
}

TEST_F(EndpointTest, ConnectionsThatCannotBeServedAreClosedAtOnce) {
    startService(30000);
    struct Case {
        const char* name;
        std::string bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"a first line that is no request line", "GET\r\n\r\n", "not an HTTP request"},
        {"a head too large", "GET / HTTP/1.1\r\nX-Filler: " + std::string(40000, 'a'),
         "request head larger than 32768 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_log.channel().clear();
        Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", port()));
        Poco::Timestamp began;
        socket.sendBytes(c.bytes.data(), static_cast<int>(c.bytes.size()));
        std::string received;
        EXPECT_TRUE(closedWithin(socket, 3000, &received));
        EXPECT_EQ(received, "");
        EXPECT_TRUE(m_log.contains(std::string(": ") + c.reason)) << m_log.dump();
    }
}

TEST(CallerGateHeads, WhatTheFirstBytesOfAConnectionAre) {
    using Nuvaro::Sync::CallerGateSocket;
    typedef CallerGateSocket::HeadState State;
    struct Case {
        const char* bytes;
        State state;
    };
    const Case cases[] = {
        {"GET /status HTTP/1.1\r\nHost: a\r\n\r\n", State::Complete},
        {"GET /status HTTP/1.1\r\n\r\n", State::Complete},
        {"GET /status HTTP/1.1\n\n", State::Complete},
        {"GET /status HTTP/1.1\nHost: a\r\n\r\n", State::Complete},
        {"\r\n\r\nGET /status HTTP/1.0\r\n\r\n", State::Complete},
        {"POST /syncnow HTTP/1.1\r\nContent-Length: 5\r\n\r\nab", State::Complete},
        {"GET  /status\tHTTP/1.1 x\r\n\r\n", State::Complete},
        {"GET /status HTTP/1.1\r\nHost: a\r\n", State::Incomplete},
        {"GET /status HTTP/1.1\r\nHost: a\r\n\r", State::Incomplete},
        {"GET /status HTTP/1.1\r\nHost: a\r\n \r\n", State::Incomplete},
        {"GET /status HTTP/1.1", State::Incomplete},
        {"\r\n\r\n", State::Incomplete},
        {"", State::Incomplete},
        {"GET /status\r\n\r\n", State::NotHttp},
        {"GET\n\n", State::NotHttp},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CallerGateSocket::headState(c.bytes), c.state) << c.bytes;
}

TEST_F(EndpointTest, ShutdownIsPromptAndNoConnectionIsAcceptedAfterIt) {
    startService();
    Poco::UInt16 was = port();
    ASSERT_EQ(send("/status").status, 200);
    // A connection that never sends its request does not hold shutdown up.
    Poco::Net::StreamSocket idle(Poco::Net::SocketAddress("127.0.0.1", was));
    Poco::Thread::sleep(100);
    Poco::Timestamp began;
    EXPECT_TRUE(m_endpoint->shutdown());
    EXPECT_LT(began.elapsed(), 3 * Poco::Timestamp::resolution());
    EXPECT_EQ(m_endpoint->port(), 0);
    EXPECT_FALSE(m_endpoint->isIdle());
    EXPECT_THROW(Poco::Net::StreamSocket(Poco::Net::SocketAddress("127.0.0.1", was)),
                 Poco::Net::ConnectionRefusedException);
    EXPECT_TRUE(m_endpoint->shutdown());
}

// ---- The quick-edit pages ----

// Serves one page of QuickEditPages.h.
class PageHandler : public Poco::Net::HTTPRequestHandler {
public:
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override {
        bool ok = request.getURI().find("ok") != std::string::npos;
        if (request.getURI().find("message") != std::string::npos)
            Nuvaro::Sync::sendEditResponse(ok, response);
        else
            Nuvaro::Sync::sendEditHTMLResponse(ok, response);
    }
};

class PageFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
        return new PageHandler;
    }
};

TEST(QuickEditPages, TheTwoPages) {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    Poco::Net::HTTPServer pages(new PageFactory, socket, new Poco::Net::HTTPServerParams);
    pages.start();
    auto fetch = [&](const std::string& target) {
        Poco::Net::HTTPClientSession session("127.0.0.1", socket.address().port());
        Poco::Net::HTTPRequest request("GET", target);
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::string body;
        Poco::StreamCopier::copyToString(session.receiveResponse(response), body);
        EXPECT_EQ(response.getStatus(), 200);
        EXPECT_EQ(response.getContentType(), "text/html");
        return body;
    };
    std::string loaded = fetch("/page-ok");
    EXPECT_EQ(loaded.compare(0, 30, "<!DOCTYPE html>\t\t   <html>\t\t  "), 0) << loaded;
    EXPECT_NE(loaded.find("</style>\t\t   </head><body onload=\"javascript:window.close();\">"), std::string::npos);
    EXPECT_NE(loaded.find("<h2 class=\"btn\">Quick Editing</h2>"), std::string::npos);
    EXPECT_NE(loaded.find("<div id=\"statustag\">Load OK</div>\t\t   </body></html>"), std::string::npos);
    std::string failed = fetch("/page");
    EXPECT_NE(failed.find("</head><body>\t\t   <h2"), std::string::npos) << failed;
    EXPECT_NE(failed.find("<div id=\"statustag\">Load FAILED</div>\t\t   </body></html>"), std::string::npos);
    EXPECT_EQ(fetch("/message-ok"),
              "<!DOCTYPE html><html><head><script type=\"text/javascript\">window.onmessage = function(event) {  "
              "event.source.postMessage(\"OK\", event.origin); };</script></head><body ></body></html>");
    EXPECT_NE(fetch("/message").find("postMessage(\"FAIL\", event.origin)"), std::string::npos);
    pages.stop();
}

} // namespace
} // namespace LocalTest
