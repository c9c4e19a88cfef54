// The classification of a failed login, from the connector's flags after real
// login replies of the test server: each reply the login flows can get, and
// the replies that leave two flags set, where the order decides. And the one
// console line while the server refuses a login.

#include "LoginFailure.h"

#include "ConsoleLines.h"
#include "LoginRefusalNotice.h"

#include "VaultpineTestServer.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using Nuvaro::Sync::LoginFailure;
using Nuvaro::Sync::LoginRefusalNotice;
using Nuvaro::Sync::classifyLoginFailure;
using Nuvaro::Sync::TestServer::TestAccount;
using Nuvaro::Sync::TestServer::VaultpineTestServer;
using Kind = LoginFailure::Kind;
using Refusal = LoginFailure::Refusal;

class LoginFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.start();
        TestAccount plain = account("plain");
        plain.deviceCode = "dev-ok";
        server.addAccount(plain);
        TestAccount twoFactor = account("twofactor");
        twoFactor.twoFactorCode = "123456";
        server.addAccount(twoFactor);
        TestAccount question = account("question");
        question.securityQuestion = "Pet?";
        question.securityAnswer = "cat";
        server.addAccount(question);
        TestAccount expired = account("expired");
        expired.deviceCode = "dev-old";
        expired.deviceCodeExpired = true;
        server.addAccount(expired);
    }

    // An account with the password "pass1".
    static TestAccount account(const char* userId) {
        TestAccount made;
        made.userId = userId;
        made.password = "pass1";
        return made;
    }

    // A connector for `settings` (the server's URL added) after the login
    // flow `logIn`, which must fail.
    LoginFailure failedLogin(std::map<std::string, std::string> settings,
                             const std::function<bool(Nuvaro::NuvaroConnector&)>& logIn) {
        settings["url"] = server.baseUrl();
        Nuvaro::RecordList list{Nuvaro::Record(new std::map<std::string, std::string>(settings))};
        Nuvaro::NuvaroConnector connector(list, true, "Cloud Sync");
        EXPECT_FALSE(logIn(connector));
        EXPECT_FALSE(connector.isAuthenticated());
        return classifyLoginFailure(connector);
    }

    // A failed login told to `notice`: the lines the console got.
    std::vector<std::string> tell(LoginRefusalNotice& notice, std::map<std::string, std::string> settings) {
        CloudSyncTest::ConsoleLines console;
        settings["url"] = server.baseUrl();
        Nuvaro::RecordList list{Nuvaro::Record(new std::map<std::string, std::string>(settings))};
        Nuvaro::NuvaroConnector connector(list, true, "Cloud Sync");
        EXPECT_FALSE(connector.Authenticate(true));
        notice.loginFailed(connector, classifyLoginFailure(connector));
        return console.lines();
    }

    VaultpineTestServer server;
};

bool authenticate(Nuvaro::NuvaroConnector& connector) { return connector.Authenticate(true); }

// Authenticate, then (when it asked for a two-factor code or timed out) a
// two-factor code the server refuses: the refusal adds the bad-login flag to
// what the first reply set.
bool authenticateThenWrongCode(Nuvaro::NuvaroConnector& connector) {
    return connector.Authenticate(true) || connector.do2FAVerification("000000");
}

TEST_F(LoginFailureTest, EachLoginReplyGivesItsCase) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> settings;
        bool (*logIn)(Nuvaro::NuvaroConnector&);
        Kind kind;
        Refusal refusal;
    };
    const Case cases[] = {
        {"wrong password: \"0\"", {{"profile", "plain"}, {"password", "bad"}}, authenticate, Kind::Refused,
         Refusal::BadLogin},
        {"unknown user", {{"profile", "nobody"}, {"password", "pass1"}}, authenticate, Kind::Refused,
         Refusal::BadLogin},
        {"two-factor code asked: \"3\"", {{"profile", "twofactor"}, {"password", "pass1"}}, authenticate,
         Kind::Refused, Refusal::TwoFactorCode},
        {"security question left unanswered: \"2\"", {{"profile", "question"}, {"password", "pass1"}},
         authenticate, Kind::Refused, Refusal::BadLogin},
        {"device code refused in device mode: \"0\"",
         {{"profile", "plain"}, {"loginmode", "1"}, {"devauthcode", "dev-wrong"}}, authenticate, Kind::Refused,
         Refusal::DeviceCode},
        {"device code refused in another device mode: \"0\"",
         {{"profile", "plain"}, {"loginmode", "2"}, {"devauthcode", "dev-wrong"}}, authenticate, Kind::Refused,
         Refusal::BadLogin},
        {"device session timed out: \"10\"",
         {{"profile", "expired"}, {"loginmode", "1"}, {"devauthcode", "dev-old"}}, authenticate,
         Kind::SessionTimedOut, Refusal::None},
        {"no password to send", {{"profile", "plain"}}, authenticate, Kind::Other, Refusal::None},
        {"login mode not a number", {{"profile", "plain"}, {"password", "pass1"}, {"loginmode", "x"}},
         authenticate, Kind::Other, Refusal::None},
        // Two flags set: the two-factor request stays with the refused code,
        // and a refusal after a timed-out session wins over the timeout.
        {"two-factor code refused", {{"profile", "twofactor"}, {"password", "pass1"}}, authenticateThenWrongCode,
         Kind::Refused, Refusal::TwoFactorCode},
        {"refused after a timed-out session",
         {{"profile", "expired"}, {"loginmode", "1"}, {"devauthcode", "dev-old"}}, authenticateThenWrongCode,
         Kind::Refused, Refusal::BadLogin},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LoginFailure failure = failedLogin(c.settings, c.logIn);
        EXPECT_EQ(failure.kind, c.kind);
        EXPECT_EQ(failure.refusal, c.refusal);
    }
}

// Each refusal gives its line; while no login succeeds, later refusals give
// none; a failure that is no refusal (here a login without a password, as
// for an unreachable server) gives none either.
TEST_F(LoginFailureTest, RefusalsAreToldOnceUntilALoginSucceeds) {
    const std::string waits = ". Sync waits until a login succeeds";
    struct Case {
        const char* name;
        std::map<std::string, std::string> settings;
        std::string line;
    };
    const Case cases[] = {
        {"wrong password", {{"profile", "plain"}, {"password", "bad"}},
         "Error: The server refused the login: Invalid username or password" + waits +
             "; if the password changed, write the new one into syncconconfig.xml and restart."},
        {"two-factor code asked", {{"profile", "twofactor"}, {"password", "pass1"}},
         "Error: The server refused the login: a two-factor code is required" + waits + "."},
        {"device code refused", {{"profile", "plain"}, {"loginmode", "1"}, {"devauthcode", "dev-wrong"}},
         "Error: The server refused the login: the device code is required or not valid" + waits + "."},
        {"device session timed out", {{"profile", "expired"}, {"loginmode", "1"}, {"devauthcode", "dev-old"}},
         "Error: The server refused the login: the device session timed out" + waits + "."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoginRefusalNotice notice;
        EXPECT_EQ(tell(notice, c.settings), std::vector<std::string>{c.line});
        EXPECT_TRUE(tell(notice, c.settings).empty());
        notice.loggedIn();
        EXPECT_EQ(tell(notice, c.settings), std::vector<std::string>{c.line});
    }
    LoginRefusalNotice notice;
    EXPECT_TRUE(tell(notice, {{"profile", "plain"}}).empty());
    EXPECT_EQ(tell(notice, {{"profile", "plain"}, {"password", "bad"}}).size(), 1u);
}

TEST_F(LoginFailureTest, AnUnreachableServerIsNeitherRefusedNorTimedOut) {
    const std::string url = server.baseUrl();
    server.stop();
    Nuvaro::RecordList list{Nuvaro::Record(
        new std::map<std::string, std::string>{{"url", url}, {"profile", "plain"}, {"password", "pass1"}})};
    Nuvaro::NuvaroConnector connector(list, true, "Cloud Sync");
    ASSERT_FALSE(connector.Authenticate(true));
    const LoginFailure failure = classifyLoginFailure(connector);
    EXPECT_EQ(failure.kind, Kind::Other);
    EXPECT_EQ(failure.refusal, Refusal::None);
}

} // namespace
