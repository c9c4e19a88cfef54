// Login, sessions, request recording and the information endpoints.

#include "TestServerFixture.h"

#include <Poco/DigestEngine.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <Poco/SHA1Engine.h>

namespace TestServerTest {
namespace {

using LoginTest = TestServerFixture;

TEST_F(LoginTest, LoginSetsCookieAndEndpointsRefuseWithoutIt)
{
    Client anonymous(server->baseUrl());
    Response r = anonymous.postForm("/core/loginguest", "userid=user1&password=pass1&remote_client_id=c1");
    ASSERT_EQ(r.status, 200);
    auto cmd = records(r.body, "command");
    ASSERT_EQ(cmd.size(), 1u);
    EXPECT_EQ(cmd[0]["result"], "1");
    ASSERT_EQ(r.setCookies.size(), 1u);
    EXPECT_NE(r.setCookies[0].find("path=/"), std::string::npos);
    std::string cookie = sessionCookie(r);
    ASSERT_FALSE(cookie.empty());

    // Without the cookie: the XML API answers 200 with the refusal record,
    // the transfer endpoints 401 with the same body.
    Response refused = anonymous.get("/core/getsystemstatus?nousage=0");
    EXPECT_EQ(refused.status, 200);
    auto refusal = records(refused.body, "command");
    ASSERT_EQ(refusal.size(), 1u);
    EXPECT_EQ(refusal[0]["result"], "0");
    EXPECT_EQ(refusal[0]["message"], "Authentication Failed");
    EXPECT_TRUE(records(refused.body, "status").empty());
    EXPECT_EQ(anonymous.get("/core/downloadfile?filepath=%2Fuser1&filename=a").status, 401);
    EXPECT_EQ(anonymous.upload("/upload?appname=sync&path=%2Fuser1", "a.txt", "x").status, 401);

    anonymous.setCookie(cookie);
    auto status = records(anonymous.get("/core/getsystemstatus?nousage=0").body, "status");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0]["OS"], "NUVARO_CLOUD");
    EXPECT_EQ(status[0]["currentprofile"], "user1");
    EXPECT_TRUE(status[0].count("rmclevel"));

    // A dropped session is refused again.
    server->dropSessions("user1");
    EXPECT_EQ(records(anonymous.get("/core/getsystemstatus?nousage=0").body, "command").size(), 1u);
}

std::string sha1(const std::string& text)
{
    Poco::SHA1Engine engine;
    engine.update(text);
    return Poco::DigestEngine::digestToHex(engine.digest());
}

TEST_F(LoginTest, EachLoginFlowAnswersItsResult)
{
    auto account = [](const std::string& user, const std::string& password) {
        TestAccount a;
        a.userId = user;
        a.password = password;
        return a;
    };
    TestAccount twoFactor = account("tf", "pw");
    twoFactor.twoFactorCode = "123456";
    TestAccount device = account("dev", "pw");
    device.deviceCode = "good-code";
    TestAccount expired = account("old", "pw");
    expired.deviceCode = "old-code";
    expired.deviceCodeExpired = true;
    TestAccount question = account("q", "p&w");
    question.securityQuestion = "Pet?";
    question.securityAnswer = "Rex";
    TestAccount admin = account("adm", "pw");
    admin.adminApprovalRequired = true;
    TestAccount mail = account("mailuser", "pw");
    mail.profile = "mailprofile";
    mail.email = "Mail.User@Example.com";
    for (const auto& a : {twoFactor, device, expired, question, admin, mail}) server->addAccount(a);

    struct Case {
        std::string path, body, result;
        bool cookie;
    } cases[] = {
        {"/core/loginguest", "userid=user1&password=wrong", "0", false},
        {"/core/loginguest", "userid=nobody&password=pass1", "0", false},
        {"/core/loginguest", "userid=USER1&password=pass1", "1", true},
        {"/core/loginguest", "userid=mail.user%40example.com&password=pw", "1", true},
        {"/core/loginguest", "userid=dev&dsc=good-code", "1", true},
        {"/core/loginguest", "userid=dev&dsc=bad-code", "0", false},
        {"/core/loginguest", "userid=old&dsc=old-code", "10", false},
        {"/core/loginguest", "userid=q&password=p%26w", "2", false},
        {"/core/loginguest", "userid=tf&password=pw", "3", false},
        {"/core/requestdeviceaccess", "userid=dev", "1", false},
        {"/core/requestdeviceaccess", "userid=adm", "2", false},
        {"/core/authenticateprofile", "secretqn=Pet%3F&secretans=Rex&password=" + sha1("p&w"), "1", true},
        {"/core/authenticateprofile", "secretqn=Pet%3F&secretans=Max&password=" + sha1("p&w"), "0", false},
    };
    Client c(server->baseUrl());
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.path + " " + tc.body);
        Response r = c.postForm(tc.path, tc.body);
        auto cmd = records(r.body, "command");
        ASSERT_EQ(cmd.size(), 1u);
        EXPECT_EQ(cmd[0]["result"], tc.result);
        EXPECT_EQ(!sessionCookie(r).empty(), tc.cookie);
    }

    // Two-factor: the "3" reply's message is the token; the code login needs it once.
    std::string token = records(c.postForm("/core/loginguest", "userid=tf&password=pw").body, "command")[0]["message"];
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(records(c.postForm("/core/2falogin", "userid=tf&code=000000&token=" + token).body, "command")[0]["result"],
              "0");
    Response ok = c.postForm("/core/2falogin", "userid=tf&code=123456&token=" + token);
    EXPECT_EQ(records(ok.body, "command")[0]["result"], "1");
    EXPECT_FALSE(sessionCookie(ok).empty());
    EXPECT_EQ(records(c.postForm("/core/2falogin", "userid=tf&code=123456&token=" + token).body, "command")[0]["result"],
              "0");

    // The e-mail login's status names the account's profile.
    Client m(server->baseUrl());
    ASSERT_TRUE(m.login("mail.user@example.com", "pw"));
    EXPECT_EQ(records(m.get("/core/getsystemstatus?nousage=0").body, "status")[0]["currentprofile"], "mailprofile");
}

TEST_F(LoginTest, RecordsTheExactRequest)
{
    server->clearRequests();
    Client raw(server->baseUrl());
    raw.setCookie(client->cookie());
    std::string absolute = server->baseUrl() + "/core/fileinfo?file=%2Fuser1";
    raw.send("GET", absolute, "", {{"Device-Info", "Cloud%20Sync%28box%29"}, {"User-Agent", "Cloud Sync"}},
             "HTTP/1.0");
    raw.postForm("/app/explorer/createfolder", "path=%2Fuser1&name=a%2Bb%20c");

    auto all = server->requests();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].method, "GET");
    EXPECT_EQ(all[0].target, absolute);
    EXPECT_EQ(all[0].path, "/core/fileinfo");
    EXPECT_EQ(all[0].query, "file=%2Fuser1");
    EXPECT_EQ(all[0].version, "HTTP/1.0");
    EXPECT_EQ(all[0].header("device-info"), "Cloud%20Sync%28box%29");
    EXPECT_EQ(all[0].header("Cookie"), client->cookie());
    EXPECT_EQ(all[0].status, 200);
    EXPECT_LT(all[0].sequence, all[1].sequence);

    EXPECT_EQ(all[1].version, "HTTP/1.1");
    EXPECT_EQ(all[1].body, "path=%2Fuser1&name=a%2Bb%20c");
    EXPECT_EQ(all[1].bodySize, 28);
    EXPECT_EQ(all[1].formField("name"), "a+b c");
    EXPECT_EQ(all[1].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_TRUE(server->item("user1", "/user1/a+b c").has_value());
}

TEST_F(LoginTest, KeepAliveServesSeveralRequestsOnOneConnection)
{
    Poco::Net::HTTPClientSession session("127.0.0.1", server->port());
    session.setKeepAlive(true);
    session.setTimeout(Poco::Timespan(5, 0));
    for (int i = 0; i < 3; ++i) {
        Poco::Net::HTTPRequest request("GET", "/core/getpluginlaunchlist", "HTTP/1.1");
        request.setKeepAlive(true);
        request.set("Cookie", client->cookie());
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::string body;
        Poco::StreamCopier::copyToString(session.receiveResponse(response), body);
        EXPECT_TRUE(response.getKeepAlive());
        EXPECT_EQ(records(body, "plugin").size(), 3u);
        EXPECT_TRUE(session.connected()) << "the server closed a keep-alive connection";
    }
    EXPECT_EQ(server->requests("/core/getpluginlaunchlist").size(), 3u);
}

TEST_F(LoginTest, InformationEndpointsAnswerTheirRecords)
{
    server->putFile("user1", "/user1/docs/a.txt", "hello");
    server->setAccess("user1", "/user1/docs", true, false);
    FavoriteList list;
    list.id = "7";
    list.name = "Work";
    list.entries = {{{"name", "a.txt"}, {"path", "/user1/docs/a.txt"}}};
    server->addFavoriteList("user1", list);
    server->setPlugins({"explorer", "sync"});

    auto plugins = records(client->get("/core/getpluginlaunchlist").body, "plugin");
    ASSERT_EQ(plugins.size(), 2u);
    EXPECT_EQ(plugins[1]["name"], "sync");

    auto info = records(client->get("/core/getauthenticationinfo").body, "info");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0]["profile"], "user1");

    auto entry = records(client->get("/core/fileinfo?file=%2Fuser1%2Fdocs%2Fa.txt").body, "entry");
    ASSERT_EQ(entry.size(), 1u);
    EXPECT_EQ(entry[0]["path"], "/user1/docs/a.txt");
    EXPECT_EQ(entry[0]["dirpath"], "/user1/docs/");
    EXPECT_EQ(entry[0]["type"], "file");
    EXPECT_EQ(entry[0]["fullsize"], "5");
    EXPECT_TRUE(records(client->get("/core/fileinfo?file=%2Fuser1%2Fnone").body, "entry").empty());

    auto perm = records(client->postForm("/core/getaccessdetailsforpath", "fullpath=%2Fuser1%2Fdocs%2Fa.txt").body,
                        "permission");
    ASSERT_EQ(perm.size(), 1u);
    EXPECT_EQ(perm[0]["read"], "1");
    EXPECT_EQ(perm[0]["write"], "0");

    auto lists = records(client->get("/core/getallfavoritelists?type=1").body, "favoritelist");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0]["id"], "7");
    auto favs = records(client->get("/core/getfavoritesinlist?id=7&fc=1").body, "entry");
    ASSERT_EQ(favs.size(), 1u);
    EXPECT_EQ(favs[0]["path"], "/user1/docs/a.txt");

    // Bare "/" (no cookie needed): a 302 to the web page by default, or a LAN address.
    Client bare(server->baseUrl());
    Response root = bare.get("/");
    EXPECT_EQ(root.status, 302);
    EXPECT_EQ(root.header("Location"), "/ui/core/index.html");
    server->setRootRedirect("http://192.0.2.7:8080/ui/core/index.html");
    EXPECT_EQ(bare.get("/").header("Location"), "http://192.0.2.7:8080/ui/core/index.html");
    server->setRootRedirect("");
    EXPECT_EQ(bare.get("/").status, 200);
}

TEST_F(LoginTest, PathsOutsideTheAccountAreRefused)
{
    addUser("user2", "pw");
    server->putFile("user2", "/user2/secret.txt", "s");
    for (std::string path : {"/user2/secret.txt", "/user1/../user2/secret.txt", "relative", "/user1/./x"}) {
        SCOPED_TRACE(path);
        Response r = client->get("/core/fileinfo?file=" + enc(path));
        EXPECT_TRUE(records(r.body, "entry").empty());
        ASSERT_EQ(records(r.body, "command").size(), 1u);
        EXPECT_EQ(records(r.body, "command")[0]["result"], "0");
    }
}

} // namespace
} // namespace TestServerTest
