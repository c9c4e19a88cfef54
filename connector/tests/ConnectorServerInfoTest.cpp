// Server information requests and LAN detection against the test server.

#include "ConnectorFixture.h"

#include <functional>

using namespace ConnectorTesting;
using namespace ConnectorTesting::Paths;

namespace {

std::string recordsBody(const std::string& name, const std::vector<std::string>& paths) {
    std::string body = "<?xml version=\"1.0\"?><reply>";
    for (const auto& path : paths) body += "<" + name + "><path>" + path + "</path></" + name + ">";
    return body + "</reply>";
}

std::string value(const Record& record, const std::string& key) {
    auto it = record->find(key);
    return it == record->end() ? std::string() : it->second;
}

} // namespace

class ServerInfoTest : public ConnectorFixture {};

TEST_F(ServerInfoTest, ServerStatusNeedsStatus200) {
    struct Case {
        std::string name;
        std::function<void()> fault;
        bool result;
        size_t records;
        std::string lastError;
        bool timed; // the elapsed time is logged once a reply was parsed
    };
    const std::vector<Case> cases{
        {"real status", [] {}, true, 1, "", true},
        {"200 without status records", [&] { server.addFault(TestFault::withBody(STATUS, "<r></r>")); }, true, 0, "",
         true},
        {"503 without body", [&] { server.addFault(TestFault::withStatus(STATUS, 503)); }, false, 99,
         "HTTP 503 Service Unavailable", false},
        {"503 with a refusal",
         [&] { server.addFault(TestFault::withStatus(STATUS, 503, commandBody("0", "Maintenance"))); }, false, 99,
         "Maintenance", false},
        {"202 with status records",
         [&] { server.addFault(TestFault::withBody(STATUS, recordsBody("status", {"a"}), 202)); }, false, 99,
         "HTTP 202 Accepted", false},
        {"200 with only a refusal", [&] { server.addFault(TestFault::withBody(STATUS, commandBody("0", "Nope"))); },
         false, 99, "Nope", true},
    };
    auto conn = loggedIn();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearFaults();
        c.fault();
        RecordList status(99, makeRecord({}));
        CloudSyncTest::LogCapture log;
        EXPECT_EQ(conn->getServerStatus(status, true), c.result);
        EXPECT_EQ(status.size(), c.records);
        EXPECT_EQ(conn->getLastError(), c.lastError);
        EXPECT_EQ(log.contains("getServerStatus : Elapsed time = "), c.timed) << log.dump();
    }
}

TEST_F(ServerInfoTest, ServerStatusReportsTheServersKeysAndMayRunLoggedOut) {
    // Logged out, the request is still sent; this server refuses it.
    auto conn = connector();
    RecordList status;
    EXPECT_FALSE(conn->getServerStatus(status, false));
    EXPECT_EQ(lastRequest(STATUS).target, "/core/getsystemstatus?nousage=0");
    EXPECT_NE(conn->getLastError().find("Authentication Failed"), std::string::npos);

    ASSERT_TRUE(conn->Authenticate(true));
    ASSERT_TRUE(conn->getServerStatus(status, true));
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(value(status[0], "OS"), "NUVARO_CLOUD");
    EXPECT_EQ(value(status[0], "currentprofile"), kUser);
}

TEST_F(ServerInfoTest, AuthenticationInfoComparesTheProfileByteForByte) {
    struct Case {
        std::string body;
        bool result;
        bool differs;
    };
    const auto info = [](const std::string& profile) {
        return "<r><info><profile>" + profile + "</profile></info></r>";
    };
    auto conn = loggedIn();
    for (const Case& c : {Case{info("user1"), true, false}, Case{info("User1"), true, true},
                          Case{"<r><info><name>x</name></info></r>", true, true},
                          Case{info("user1") + info("user1"), false, true}, Case{"<r/>", false, true}}) {
        SCOPED_TRACE(c.body);
        server.clearFaults();
        server.addFault(TestFault::withBody(AUTH_INFO, c.body));
        bool differs = true;
        EXPECT_EQ(conn->getAuthenticationInfo(differs), c.result);
        EXPECT_EQ(differs, c.differs);
    }
}

TEST_F(ServerInfoTest, FileInfoNeedsExactlyOneEntry) {
    ASSERT_TRUE(server.putFile(kUser, "/user1/a b&c.txt", "hello"));
    auto conn = loggedIn();

    Record entry;
    ASSERT_TRUE(conn->getFileInfo("/user1/a b&c.txt", entry));
    ASSERT_TRUE(entry);
    EXPECT_EQ(lastRequest(FILE_INFO).target, "/core/fileinfo?file=%2Fuser1%2Fa%20b%26c.txt");
    EXPECT_EQ(value(entry, "name"), "a b&c.txt");

    for (size_t count : {0u, 2u}) {
        SCOPED_TRACE(count);
        server.clearFaults();
        server.addFault(
            TestFault::withBody(FILE_INFO, recordsBody("entry", std::vector<std::string>(count, "/user1/x"))));
        Record kept = makeRecord({{"kept", "1"}});
        CloudSyncTest::LogCapture log;
        EXPECT_FALSE(conn->getFileInfo("/user1/x", kept));
        EXPECT_EQ(value(kept, "kept"), "1");
        EXPECT_TRUE(log.contains(std::to_string(count) + " records received!")) << log.dump();
    }
}

TEST_F(ServerInfoTest, AccessDetailsOfAPath) {
    server.makeFolder(kUser, "/user1/docs");
    server.setAccess(kUser, "/user1/docs", true, false);
    auto conn = loggedIn();
    RecordList permissions;
    CloudSyncTest::LogCapture log;
    ASSERT_TRUE(conn->getAccessDetailsForPath("/user1/docs", permissions));
    EXPECT_TRUE(log.contains(server.baseUrl() + "/core/getaccessdetailsforpath fullpath=%2Fuser1%2Fdocs"))
        << log.dump();
    EXPECT_EQ(lastRequest(ACCESS).body, "fullpath=%2Fuser1%2Fdocs");
    ASSERT_EQ(permissions.size(), 1u);
    EXPECT_EQ(value(permissions[0], "read"), "1");
    EXPECT_EQ(value(permissions[0], "write"), "0");
}

TEST_F(ServerInfoTest, PluginListHoldsSync) {
    auto conn = loggedIn();
    RecordList plugins;
    ASSERT_TRUE(conn->getInstalledPluginList(plugins));
    bool hasSync = false;
    for (const Record& plugin : plugins) {
        for (const auto& [key, text] : *plugin) hasSync = hasSync || text == "sync";
    }
    EXPECT_TRUE(hasSync);
}

TEST_F(ServerInfoTest, FavouriteListsAndTheirEntries) {
    Nuvaro::Sync::TestServer::FavoriteList list;
    list.id = "7&8";
    list.name = "Work";
    list.entries = {{{"path", "/user1/a.txt"}}, {{"path", "/user1/b.txt"}}};
    server.addFavoriteList(kUser, list);
    auto conn = loggedIn();

    RecordList lists;
    ASSERT_TRUE(conn->getAllFavoriteLists("1", lists));
    EXPECT_EQ(lastRequest(FAVORITE_LISTS).target, "/core/getallfavoritelists?type=1");
    ASSERT_EQ(lists.size(), 1u);

    RecordList entries;
    CloudSyncTest::LogCapture log;
    ASSERT_TRUE(conn->getFavoritesInList("7&8", entries));
    EXPECT_TRUE(log.contains(server.baseUrl() + "/core/getfavoritesinlist?id=7%268&fc=1")) << log.dump();
    EXPECT_TRUE(log.contains("2 records received ")) << log.dump();
    EXPECT_EQ(lastRequest(FAVORITES).target, "/core/getfavoritesinlist?id=7%268&fc=1");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(value(entries[1], "path"), "/user1/b.txt");
}

// A refusing command record, an error status, or a dropped session is a
// failure with the server's message, never success with an empty list.
TEST_F(ServerInfoTest, RecordRequestsFailOnRefusalsAndErrorStatus) {
    struct Op {
        std::string path;
        std::function<bool(NuvaroConnector&, RecordList&)> call;
    };
    Record entry;
    const std::vector<Op> ops{
        {STATUS, [](NuvaroConnector& c, RecordList& out) { return c.getServerStatus(out, true); }},
        {ACCESS, [](NuvaroConnector& c, RecordList& out) { return c.getAccessDetailsForPath("/user1", out); }},
        {FAVORITES, [](NuvaroConnector& c, RecordList& out) { return c.getFavoritesInList("1", out); }},
        {FAVORITE_LISTS, [](NuvaroConnector& c, RecordList& out) { return c.getAllFavoriteLists("1", out); }},
        {PLUGINS, [](NuvaroConnector& c, RecordList& out) { return c.getInstalledPluginList(out); }},
        {FILE_INFO, [&](NuvaroConnector& c, RecordList&) { return c.getFileInfo("/user1", entry); }},
    };
    auto conn = loggedIn();
    for (const Op& op : ops) {
        SCOPED_TRACE(op.path);
        for (const TestFault& fault :
             {TestFault::withBody(op.path, commandBody("0", "Denied")),
              TestFault::withStatus(op.path, 500, commandBody("0", "Denied")),
              TestFault::withStatus(op.path, 404, recordsBody("entry", {"x"}))}) {
            server.clearFaults();
            server.addFault(fault);
            RecordList out(3, makeRecord({}));
            EXPECT_FALSE(op.call(*conn, out));
            EXPECT_EQ(out.size(), 3u);
            const std::string error = conn->getLastError();
            EXPECT_TRUE(error == "Denied" || error == "HTTP 404 Not Found") << error;
        }
    }

    server.clearFaults();
    server.dropSessions();
    RecordList plugins;
    EXPECT_FALSE(conn->getInstalledPluginList(plugins));
    EXPECT_NE(conn->getLastError().find("Authentication Failed"), std::string::npos);
}

class LanDetectionTest : public ConnectorFixture {
protected:
    void SetUp() override {
        ConnectorFixture::SetUp();
        lan.start();
        lan.addAccount(account());
    }
    VaultpineTestServer lan;
};

TEST_F(LanDetectionTest, ARedirectToTheLanAddressMovesEveryLaterRequest) {
    server.setRootRedirect(lan.baseUrl() + "/ui/core/index.html");
    auto conn = connector();
    conn->detectLan();
    EXPECT_EQ(conn->getServerURI(), lan.baseUrl());
    const RecordedRequest probe = lastRequest("/");
    EXPECT_FALSE(probe.hasHeader("User-Agent"));
    EXPECT_FALSE(probe.hasHeader("Device-Info"));
    EXPECT_FALSE(probe.hasHeader("Cookie"));

    server.clearRequests();
    ASSERT_TRUE(conn->Authenticate(true));
    RecordList status;
    ASSERT_TRUE(conn->getServerStatus(status, true));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(lan.requests(STATUS).size(), 1u);

    // A later probe of the LAN address that finds nothing keeps it.
    lan.setRootRedirect("");
    conn->detectLan();
    EXPECT_EQ(conn->getServerURI(), lan.baseUrl());
    conn->resetSession();
    EXPECT_EQ(conn->getServerURI(), "");
}

TEST_F(LanDetectionTest, OnlyAnAbsoluteHttpLocationIsTaken) {
    struct Case {
        std::string location; // "" answers 200
        std::string expected; // "" keeps the configured URL
    };
    const std::string lanUrl = lan.baseUrl();
    for (const Case& c : {Case{lanUrl + "/ui/core/index.html", lanUrl}, Case{lanUrl, lanUrl},
                          Case{lanUrl + "/other", lanUrl + "/other"}, Case{"/ui/core/index.html", ""},
                          Case{"/elsewhere", ""}, Case{"ftp://127.0.0.1/ui/core/index.html", ""},
                          Case{"javascript:alert(1)", ""}, Case{"", ""}}) {
        SCOPED_TRACE("Location '" + c.location + "'");
        server.setRootRedirect(c.location);
        auto conn = connector();
        conn->detectLan();
        EXPECT_EQ(conn->getServerURI(), c.expected.empty() ? server.baseUrl() : c.expected);
    }
    server.addFault(TestFault::redirectNoLocation("/"));
    auto conn = connector();
    conn->detectLan();
    EXPECT_EQ(conn->getServerURI(), server.baseUrl());
}
