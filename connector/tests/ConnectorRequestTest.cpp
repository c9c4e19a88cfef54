// The request procedure against the test server: request heads, cookies, the
// server URL, the proxy setting, the login gate, the last error and failures
// of the exchange.

#include "ConnectorFixture.h"

#include <Poco/Base64Encoder.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPStreamFactory.h>
#include <Poco/URIStreamOpener.h>

#include <chrono>
#include <functional>
#include <sstream>

using namespace ConnectorTesting;
using namespace ConnectorTesting::Paths;

namespace {

std::string basicAuth(const std::string& user, const std::string& password) {
    std::ostringstream out;
    Poco::Base64Encoder encoder(out);
    encoder << user << ":" << password;
    encoder.close();
    return "Basic " + out.str();
}

} // namespace

class RequestHeadTest : public ConnectorFixture {};

// Device-Info is "<agent>(<node>)" encoded; POST requests add an encoded line feed.
TEST_F(RequestHeadTest, UserAgentAndDeviceInfoOfGetAndPost) {
    struct Case {
        std::string agent;
        bool post;
    };
    for (const Case& c : {Case{"Cloud Sync", false}, Case{"Cloud Sync", true}, Case{"Cloud Connector", false},
                          Case{"Quick Edit", true}}) {
        SCOPED_TRACE(c.agent + (c.post ? " POST" : " GET"));
        server.clearRequests();
        auto conn = loggedIn({}, c.agent);
        RecordList out;
        const std::string path = c.post ? ACCESS : PLUGINS;
        if (c.post) {
            ASSERT_TRUE(conn->getAccessDetailsForPath("/user1", out));
        } else {
            ASSERT_TRUE(conn->getInstalledPluginList(out));
        }
        const RecordedRequest request = lastRequest(path);
        EXPECT_EQ(request.method, c.post ? "POST" : "GET");
        EXPECT_EQ(request.version, "HTTP/1.1");
        EXPECT_EQ(request.header("User-Agent"), c.agent);
        EXPECT_EQ(request.header("Device-Info"),
                  percentEncoded(c.agent + "(" + nodeName() + ")" + (c.post ? "\n" : "")));
    }
}

TEST_F(RequestHeadTest, DeviceInfoOfTheDocumentedExample) {
    // Independent of the host: the encoding of the example agent and node.
    EXPECT_EQ(percentEncoded("Cloud Sync(box1)"), "Cloud%20Sync%28box1%29");
    auto conn = loggedIn();
    Poco::Net::HTTPRequest request;
    ASSERT_TRUE(conn->prepareHTTPRequest(request));
    EXPECT_EQ(request.get("Device-Info"), percentEncoded("Cloud Sync(" + nodeName() + ")"));
}

TEST_F(RequestHeadTest, NoCookieBeforeLoginAndTheLoginCookiesAfterIt) {
    auto conn = connector();
    RecordList out;
    conn->getServerStatus(out, false);
    EXPECT_FALSE(lastRequest(STATUS).hasHeader("Cookie"));

    ASSERT_TRUE(conn->Authenticate(true));
    EXPECT_FALSE(lastRequest(LOGIN).hasHeader("Cookie"));
    ASSERT_TRUE(conn->getServerStatus(out, true));
    const std::string firstCookie = lastRequest(STATUS).header("Cookie");
    EXPECT_EQ(firstCookie.rfind("vpsession=", 0), 0u) << firstCookie;

    // A second login replaces the cookies wholesale.
    ASSERT_TRUE(conn->Authenticate(true));
    ASSERT_TRUE(conn->getServerStatus(out, true));
    EXPECT_NE(lastRequest(STATUS).header("Cookie"), firstCookie);
    EXPECT_EQ(server.sessionCount(kUser), 2);
}

TEST_F(RequestHeadTest, EveryCookieOfTheLoginGoesInOneCookieHeaderInOrder) {
    TestFault login = TestFault::withBody(LOGIN, commandBody("1", ""));
    login.headers = {{"Set-Cookie", "vpsession=abc; path=/; HttpOnly"}, {"Set-Cookie", "lang=en; Secure"}};
    server.addFault(login);
    auto conn = loggedIn();
    RecordList out;
    conn->getServerStatus(out, true);
    const RecordedRequest request = lastRequest(STATUS);
    EXPECT_EQ(request.header("Cookie"), "vpsession=abc; lang=en");
    int cookieHeaders = 0;
    for (const auto& header : request.headers) cookieHeaders += header.first == "Cookie" ? 1 : 0;
    EXPECT_EQ(cookieHeaders, 1);
}

TEST_F(RequestHeadTest, PrepareHttpRequestNeedsALoginAndKeepsMethodUriAndVersion) {
    auto conn = connector();
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_POST, "/app/sync/x", Poco::Net::HTTPMessage::HTTP_1_0);
    EXPECT_FALSE(conn->prepareHTTPRequest(request));
    EXPECT_FALSE(request.has("User-Agent"));

    ASSERT_TRUE(conn->Authenticate(true));
    ASSERT_TRUE(conn->prepareHTTPRequest(request));
    EXPECT_EQ(request.getMethod(), "POST");
    EXPECT_EQ(request.getURI(), "/app/sync/x");
    EXPECT_EQ(request.getVersion(), "HTTP/1.0");
    EXPECT_EQ(request.get("User-Agent"), "Cloud Sync");
    EXPECT_TRUE(request.has("Cookie"));
}

TEST_F(RequestHeadTest, OnlySchemeHostAndPortOfTheConfiguredUrlAreUsed) {
    auto conn = loggedIn({{"url", server.baseUrl() + "/some/path?x=1"}});
    RecordList out;
    ASSERT_TRUE(conn->getInstalledPluginList(out));
    EXPECT_EQ(lastRequest(PLUGINS).target, PLUGINS);
    EXPECT_EQ(conn->getServerURI(), server.baseUrl() + "/some/path?x=1");
}

class ProxyTest : public ConnectorFixture {};

// The test server doubles as the proxy: a request through a proxy names the
// whole URL as its target, so the configured server host need not resolve.
TEST_F(ProxyTest, RequestsGoThroughTheProxyWithCredentialsOnlyWhenBothAreSet) {
    struct Case {
        std::string user;
        std::string password;
        bool credentials;
    };
    const std::string port = std::to_string(server.port());
    for (const Case& c : {Case{"", "", false}, Case{"proxyuser", "", false}, Case{"", "secret", false},
                          Case{"proxyuser", "secret", true}}) {
        SCOPED_TRACE("user '" + c.user + "' password '" + c.password + "'");
        server.clearRequests();
        auto conn = loggedIn({{"url", "http://vaultpine.invalid:8080/ignored"},
                              {"httpproxyhost", "127.0.0.1"},
                              {"httpproxyport", port},
                              {"httpproxyuser", c.user},
                              {"httpproxypassword", c.password}});
        RecordList out;
        ASSERT_TRUE(conn->getInstalledPluginList(out));
        for (const RecordedRequest& request : server.requests()) {
            EXPECT_EQ(request.target.rfind("http://vaultpine.invalid:8080/core/", 0), 0u) << request.target;
            EXPECT_EQ(request.hasHeader("Proxy-Authorization"), c.credentials);
            if (c.credentials) {
                EXPECT_EQ(request.header("Proxy-Authorization"), basicAuth("proxyuser", "secret"));
            }
        }
        EXPECT_EQ(server.requests().size(), 2u);
    }
}

TEST_F(ProxyTest, AProxyNeedsBothHostAndPort) {
    for (const Settings& proxy : {Settings{{"httpproxyhost", ""}, {"httpproxyport", "3128"}},
                                  Settings{{"httpproxyhost", "127.0.0.2"}, {"httpproxyport", ""}}}) {
        server.clearRequests();
        auto conn = loggedIn(proxy);
        EXPECT_EQ(lastRequest(LOGIN).target, LOGIN);
    }
}

TEST_F(ProxyTest, ProxyPortThatIsNotANumberFrom1To65535IsRejected) {
    for (const char* port : {"abc", "0", "65536", "70000", "-1", "80x", " 80", "99999999999"}) {
        SCOPED_TRACE(std::string("port '") + port + "'");
        server.clearRequests();
        CloudSyncTest::LogCapture log;
        auto conn = connector({{"httpproxyhost", "127.0.0.1"}, {"httpproxyport", port}});
        EXPECT_FALSE(conn->Authenticate(true));
        EXPECT_TRUE(server.requests().empty());
        EXPECT_TRUE(log.contains("Invalid proxy port")) << log.dump();
        EXPECT_NE(conn->getLastError().find(port), std::string::npos);
    }
}

class GateTest : public ConnectorFixture {};

TEST_F(GateTest, AnUnauthenticatedConnectorSendsNothingForAuthenticatedRequests) {
    struct Case {
        std::string text;
        std::function<bool(NuvaroConnector&)> call;
    };
    RecordList out;
    Record entry;
    const std::vector<Case> cases{
        {"getServerStatus : Not authenticated. Cannot get server status",
         [&](NuvaroConnector& c) { return c.getServerStatus(out, true); }},
        {"Not authenticated. Cannot get File info", [&](NuvaroConnector& c) { return c.getFileInfo("/user1", entry); }},
        {"Not authenticated. Cannot get access details for path",
         [&](NuvaroConnector& c) { return c.getAccessDetailsForPath("/user1", out); }},
        {"Not authenticated. Cannot get favorites in list",
         [&](NuvaroConnector& c) { return c.getFavoritesInList("1", out); }},
        {"Not authenticated. Cannot get favorite lists",
         [&](NuvaroConnector& c) { return c.getAllFavoriteLists("1", out); }},
        {"Not authenticated. Cannot get plugin list", [&](NuvaroConnector& c) { return c.getInstalledPluginList(out); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CloudSyncTest::LogCapture log;
        auto conn = connector();
        EXPECT_FALSE(c.call(*conn));
        EXPECT_TRUE(log.contains(c.text)) << log.dump();
        EXPECT_EQ(conn->getLastError(), "");
    }
    EXPECT_TRUE(server.requests().empty());
}

class LastErrorTest : public ConnectorFixture {};

TEST_F(LastErrorTest, GetLastErrorReturnsTheTextOnceAndClearsTheClass) {
    server.addFault(TestFault::withBody(LOGIN, commandBody("0", "Invalid password")));
    auto conn = connector();
    ASSERT_FALSE(conn->Authenticate(true));
    EXPECT_EQ(conn->getLastError(), "Invalid password");
    EXPECT_EQ(conn->getLastError(), "");

    // A refused connection leaves text and exception class.
    auto refused = connector({{"url", "http://127.0.0.1:1"}});
    ASSERT_FALSE(refused->Authenticate(true));
    const std::string errorClass = refused->getLastErrorClass();
    EXPECT_NE(errorClass.find("ConnectionRefused"), std::string::npos) << errorClass;
    EXPECT_EQ(refused->getLastErrorClass(), "");
    EXPECT_NE(refused->getLastError(), "");

    ASSERT_FALSE(refused->Authenticate(true));
    EXPECT_NE(refused->getLastError(), "");
    EXPECT_EQ(refused->getLastErrorClass(), "");
}

TEST_F(LastErrorTest, AfterResetSessionLoginFailsWithTheEmptyConfigurationError) {
    auto conn = loggedIn();
    conn->resetSession();
    EXPECT_FALSE(conn->isAuthenticated());
    EXPECT_EQ(conn->getServerURI(), "");
    server.clearRequests();
    CloudSyncTest::LogCapture log;
    EXPECT_FALSE(conn->Authenticate(true));
    EXPECT_TRUE(log.contains("No configuration data loaded. Authentication cannot be performed")) << log.dump();
    EXPECT_TRUE(server.requests().empty());
}

class ExchangeFailureTest : public ConnectorFixture {};

// A bad server URL or a session that cannot be built fails the request with an
// error text; nothing is thrown to the caller.
TEST_F(ExchangeFailureTest, BadServerUrlFailsCleanlyWithAnErrorText) {
    for (const char* url : {"", "http://[::1", "http://", "not a url", "https://127.0.0.1:1"}) {
        SCOPED_TRACE(std::string("url '") + url + "'");
        auto conn = connector({{"url", url}});
        bool result = true;
        EXPECT_NO_THROW(result = conn->Authenticate(true));
        EXPECT_FALSE(result);
        EXPECT_NE(conn->getLastError(), "");
        RecordList out;
        EXPECT_NO_THROW(result = conn->getServerStatus(out, false));
        EXPECT_FALSE(result);
    }
}

TEST_F(ExchangeFailureTest, TimeoutsAreBoundedByTheInjectableLimit) {
    auto conn = loggedIn();
    server.addFault(TestFault::withDelay(PLUGINS, 3000));
    conn->setTimeoutLimit(Poco::Timespan(0, 300 * 1000));
    CloudSyncTest::LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    RecordList out{makeRecord({{"kept", "1"}})};
    EXPECT_FALSE(conn->getInstalledPluginList(out));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_TRUE(log.contains("getInstalledPluginList : Caught Exception ")) << log.dump();
    ASSERT_EQ(out.size(), 1u);
}

TEST_F(ExchangeFailureTest, NonXmlAndCutOffRepliesFailWithoutRaising) {
    auto conn = loggedIn();
    for (const TestFault& fault :
         {TestFault::withBody(PLUGINS, "<html>Bad gateway"), TestFault::truncatedBody(PLUGINS, 20),
          TestFault::dropAfter(PLUGINS, 10)}) {
        server.clearFaults();
        server.addFault(fault);
        CloudSyncTest::LogCapture log;
        RecordList out;
        bool result = true;
        EXPECT_NO_THROW(result = conn->getInstalledPluginList(out));
        EXPECT_FALSE(result);
        EXPECT_TRUE(log.contains("getInstalledPluginList : Caught Exception ")) << log.dump();
    }
}

class ExchangeOptionsTest : public ConnectorFixture {
protected:
    // A cancel hook that refuses at one step, and counts the detaches.
    struct Hook : Nuvaro::RequestCancelHook {
        bool refuseAttach = false;
        bool refuseSent = false;
        int detached = 0;
        bool attach(Poco::Net::HTTPClientSession*) override { return !refuseAttach; }
        bool sent(Poco::Net::HTTPClientSession*) override { return !refuseSent; }
        void detach(Poco::Net::HTTPClientSession*) override { ++detached; }
    };

    static Nuvaro::RequestSpec pluginsSpec() { return Nuvaro::RequestSpec("exchange", "GET", PLUGINS); }
};

// A session set-up of the caller's replaces the connector's proxy: one that
// does nothing sends directly although the connector names a proxy, and one
// that gives the session a proxy is followed by a connector without one (the
// test server plays the proxy).
TEST_F(ExchangeOptionsTest, TheCallersSessionSetUpReplacesTheConnectorsProxy) {
    const Settings proxy{{"httpproxyhost", "127.0.0.1"}, {"httpproxyport", std::to_string(server.port())}};
    struct Case {
        Settings connectorSettings;
        Record given;
        bool viaProxy;
    };
    for (const Case& c : {Case{proxy, Record(), false}, Case{{}, makeRecord(proxy), true}}) {
        SCOPED_TRACE(c.viaProxy);
        auto conn = loggedIn(c.connectorSettings);
        server.clearRequests();
        Nuvaro::RequestSpec spec = pluginsSpec();
        spec.setupSession = [&c](Poco::Net::HTTPClientSession& session) {
            std::string error;
            ASSERT_TRUE(Nuvaro::applyProxySettings(c.given, session, error)) << error;
        };
        Nuvaro::Reply reply;
        conn->exchange(spec, reply);
        EXPECT_TRUE(reply.parsed());
        EXPECT_EQ(lastRequest(PLUGINS).target.rfind("http://127.0.0.1:", 0) == 0, c.viaProxy)
            << lastRequest(PLUGINS).target;
    }
}

// A hook that refuses before the start sends nothing; one that refuses once
// the request is sent leaves the reply unread; the session is detached
// whenever it was attached.
TEST_F(ExchangeOptionsTest, TheCancelHookStopsTheExchangeWhereItRefuses) {
    struct Case {
        bool refuseAttach;
        bool refuseSent;
        Nuvaro::Reply::Outcome outcome;
        std::size_t requests;
        int detached;
    };
    auto conn = loggedIn();
    for (const Case& c : {Case{true, false, Nuvaro::Reply::Outcome::Canceled, 0, 0},
                          Case{false, true, Nuvaro::Reply::Outcome::Canceled, 1, 1},
                          Case{false, false, Nuvaro::Reply::Outcome::Parsed, 1, 1}}) {
        SCOPED_TRACE(std::to_string(c.refuseAttach) + std::to_string(c.refuseSent));
        server.clearRequests();
        Hook hook;
        hook.refuseAttach = c.refuseAttach;
        hook.refuseSent = c.refuseSent;
        Nuvaro::RequestSpec spec = pluginsSpec();
        spec.cancelHook = &hook;
        Nuvaro::Reply reply;
        conn->exchange(spec, reply);
        EXPECT_EQ(reply.outcome, c.outcome);
        EXPECT_EQ(reply.body.empty(), c.outcome != Nuvaro::Reply::Outcome::Parsed);
        if (c.requests > 0)
            EXPECT_TRUE(server.waitForRequests(PLUGINS, c.requests, 5000));
        else
            EXPECT_TRUE(server.requests(PLUGINS).empty());
        EXPECT_EQ(hook.detached, c.detached);
    }
}

// The copy keeps the login (cookies, server) when the original logs out, so
// another thread can go on sending with it.
TEST_F(ExchangeOptionsTest, ACopyForRequestsKeepsTheLoginOfTheOriginal) {
    auto conn = loggedIn();
    std::unique_ptr<NuvaroConnector> copy = conn->copyForRequests();
    conn->resetSession();
    EXPECT_FALSE(conn->isAuthenticated());
    ASSERT_TRUE(copy->isAuthenticated());
    Nuvaro::Reply reply;
    copy->exchange(pluginsSpec(), reply);
    EXPECT_TRUE(reply.parsed());
    EXPECT_FALSE(lastRequest(PLUGINS).header("Cookie").empty());
    EXPECT_EQ(lastRequest(PLUGINS).header("User-Agent"), "Cloud Sync");
}

TEST(StreamFactoryTest, RegistrationIsOncePerProcessAndToleratesAnEarlierOne) {
    if (!NuvaroConnector::streamFactoriesRegistered()) {
        // Someone else registered "http" first.
        if (!Poco::URIStreamOpener::defaultOpener().supportsScheme("http"))
            Poco::Net::HTTPStreamFactory::registerFactory();
    }
    std::unique_ptr<NuvaroConnector> first, second;
    EXPECT_NO_THROW(first = std::make_unique<NuvaroConnector>(RecordList{}, true, "Cloud Sync"));
    EXPECT_NO_THROW(second = std::make_unique<NuvaroConnector>(RecordList{}, true, "Cloud Sync"));
    EXPECT_TRUE(NuvaroConnector::streamFactoriesRegistered());
    EXPECT_TRUE(Poco::URIStreamOpener::defaultOpener().supportsScheme("http"));
    EXPECT_TRUE(Poco::URIStreamOpener::defaultOpener().supportsScheme("ftp"));
}
