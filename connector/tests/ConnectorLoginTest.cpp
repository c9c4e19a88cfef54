// Login flows against the test server: the guest login's wire format and
// result table, two-factor login, device access and the security question.

#include "ConnectorFixture.h"

#include <Poco/SHA1Engine.h>

using namespace ConnectorTesting;
using namespace ConnectorTesting::Paths;

namespace {

std::string sha1(const std::string& text) {
    Poco::SHA1Engine engine;
    engine.update(text);
    return Poco::DigestEngine::digestToHex(engine.digest());
}

// The login flags after an attempt, in the order callers test them.
struct Flags {
    bool authenticated = false;
    bool badLogin = false;
    bool twoFA = false;
    bool devAuthCodeRequired = false;
    bool devAuthSessionTimeout = false;
    bool devAuthInvalidCode = false;

    static Flags of(const NuvaroConnector& c) {
        return Flags{c.isAuthenticated(),      c.isBadLogin(),           c.is2FARequired(),
                     c.isDevAuthCodeRequired(), c.isDevAuthSessionTimeout(), c.isDevAuthInvalidCode()};
    }
    bool operator==(const Flags& o) const {
        return authenticated == o.authenticated && badLogin == o.badLogin && twoFA == o.twoFA &&
               devAuthCodeRequired == o.devAuthCodeRequired && devAuthSessionTimeout == o.devAuthSessionTimeout &&
               devAuthInvalidCode == o.devAuthInvalidCode;
    }
};

std::ostream& operator<<(std::ostream& out, const Flags& f) {
    return out << "auth=" << f.authenticated << " bad=" << f.badLogin << " 2fa=" << f.twoFA
               << " devReq=" << f.devAuthCodeRequired << " devTimeout=" << f.devAuthSessionTimeout
               << " devInvalid=" << f.devAuthInvalidCode;
}

const Settings DEVICE_LOGIN{{"loginmode", "1"}, {"devauthcode", "D-123"}, {"password", ""}};

} // namespace

class GuestLoginTest : public ConnectorFixture {};

TEST_F(GuestLoginTest, PasswordLoginSendsEveryValueEncodedAndInOrder) {
    // The account's e-mail name logs in only when its "+" reaches the server intact.
    TestAccount withEmail = account();
    withEmail.email = "ann+1@example.com";
    server.addAccount(withEmail);
    auto conn = loggedIn({{"profile", "ann+1@example.com"}, {"RMC_CLIENT_ID", "id&1=2"}});
    const RecordedRequest request = lastRequest(LOGIN);
    const std::string node = percentEncoded(" (" + nodeName() + ")");
    EXPECT_EQ(request.body, "userid=ann%2B1%40example.com&password=p%26ss%2Bw%3Drd%201"
                            "&remote_client_id=id%261%3D2&remote_client_api_level=4"
                            "&remote_client_disp_name=My%20PC" +
                                node +
                                "&remote_client_app_version=15.90.0.35620"
                                "&remote_client_os_type=Linux&remote_client_os_version=6.1");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.header("Device-Info"), percentEncoded("Cloud Sync(" + nodeName() + ")\n"));
}

TEST_F(GuestLoginTest, RealLoginWithPasswordWithoutEmptyAndZeroLoginMode) {
    // The runner's settings always carry "loginmode", empty until a device
    // code was used.
    for (const Settings& mode :
         {Settings{{"loginmode", kAbsent}}, Settings{{"loginmode", ""}}, Settings{{"loginmode", "0"}}}) {
        auto conn = connector(mode);
        EXPECT_TRUE(conn->Authenticate(true)) << conn->getLastError();
        EXPECT_TRUE(conn->isAuthenticated());
        EXPECT_NE(lastRequest(LOGIN).formField("password"), "");
    }
    auto wrong = connector({{"password", "wrong"}});
    EXPECT_FALSE(wrong->Authenticate(true));
    EXPECT_TRUE(wrong->isBadLogin());
    EXPECT_NE(wrong->getLastError(), "");
}

TEST_F(GuestLoginTest, ResultTable) {
    struct Case {
        std::string name;
        Settings settings;
        std::string body; // the login reply; empty: the server is not reachable
        bool result;
        Flags flags;
        std::string lastError;
        std::string errorClassPart;
    };
    const std::string two = "<r><command><result>1</result><message/></command>"
                            "<command><result>1</result><message/></command></r>";
    const std::vector<Case> cases{
        {"result 1", {}, commandBody("1", ""), true, {true}, "", ""},
        {"result 3", {}, commandBody("3", "tok-9"), false, {false, false, true}, "", ""},
        {"result 10", DEVICE_LOGIN, commandBody("10", "expired"), false, {false, false, false, false, true}, "", ""},
        {"result 0, mode 1", DEVICE_LOGIN, commandBody("0", "bad code"), false, {false, false, false, true, false, true},
         "", ""},
        {"result 0, mode 0", {}, commandBody("0", "Invalid password"), false, {false, true}, "Invalid password", ""},
        {"result 0, mode 2", {{"loginmode", "2"}, {"devauthcode", "D"}}, commandBody("0", "no"), false, {false, true},
         "no", ""},
        {"result 7", {}, commandBody("7", "Locked"), false, {false, true}, "Locked", ""},
        {"result 2", {}, commandBody("2", "Question?"), false, {false, true}, "Question?", ""},
        {"two records", {}, two, false, {}, "", ""},
        {"not XML", {}, "<html>oops", false, {}, "Invalid response, check Server.", "SAX"},
        {"refused connection", {{"url", "http://127.0.0.1:1"}}, "", false, {}, "", "ConnectionRefused"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearFaults();
        if (!c.body.empty()) server.addFault(TestFault::withBody(LOGIN, c.body));
        auto conn = connector(c.settings);
        EXPECT_EQ(conn->Authenticate(true), c.result);
        EXPECT_EQ(Flags::of(*conn), c.flags);
        const std::string errorClass = conn->getLastErrorClass();
        if (c.errorClassPart.empty()) {
            EXPECT_EQ(errorClass, "");
        } else {
            EXPECT_NE(errorClass.find(c.errorClassPart), std::string::npos) << errorClass;
        }
        if (c.name == "refused connection") {
            EXPECT_NE(conn->getLastError(), "");
        } else {
            EXPECT_EQ(conn->getLastError(), c.lastError);
        }
    }
}

TEST_F(GuestLoginTest, DeviceCodeLoginSendsDscInsteadOfPassword) {
    server.addFault(TestFault::withBody(LOGIN, commandBody("1", "")));
    auto conn = loggedIn({{"loginmode", "1"}, {"devauthcode", "D+1&2"}});
    const auto fields = lastRequest(LOGIN).formFields();
    ASSERT_GE(fields.size(), 2u);
    EXPECT_EQ(fields[1], std::make_pair(std::string("dsc"), std::string("D+1&2")));
    EXPECT_EQ(lastRequest(LOGIN).formField("password"), "");
}

// The settings map is shared with the connector, so a test can take a secret
// away after a first login attempt and watch the flags stay as they were.
TEST_F(GuestLoginTest, MissingSecretsSendNothingAndKeepTheFlags) {
    struct Case {
        Settings settings;
        std::string log;
    };
    for (const Case& c : {Case{{{"password", ""}}, "Cannot find plain text key for Guest Login"},
                          Case{{{"password", kAbsent}}, "Cannot find plain text key for Guest Login"},
                          Case{{{"loginmode", "2"}}, "Cannot find plain text key for Guest Login"},
                          Case{{{"loginmode", "2"}, {"devauthcode", ""}}, "No dev auth code available"},
                          Case{{{"loginmode", "two"}}, "Invalid login mode"}}) {
        SCOPED_TRACE(c.log);
        server.clearFaults();
        server.addFault(TestFault::withBody(LOGIN, commandBody("3", "tok")));
        Record shared = makeRecord(settings());
        NuvaroConnector conn(RecordList{shared}, true, "Cloud Sync");
        EXPECT_FALSE(conn.Authenticate(true));
        ASSERT_TRUE(conn.is2FARequired());

        *shared = settings(c.settings);
        server.clearRequests();
        CloudSyncTest::LogCapture log;
        EXPECT_FALSE(conn.Authenticate(true));
        EXPECT_TRUE(log.contains(c.log)) << log.dump();
        EXPECT_TRUE(server.requests().empty());
        EXPECT_TRUE(conn.is2FARequired());
        EXPECT_FALSE(conn.isBadLogin());
    }
}

TEST_F(GuestLoginTest, LoginWithoutSetCookieLeavesNoCookieForLaterRequests) {
    server.addFault(TestFault::withBody(LOGIN, commandBody("1", "")));
    auto conn = loggedIn();
    RecordList out;
    conn->getServerStatus(out, true);
    EXPECT_FALSE(lastRequest(STATUS).hasHeader("Cookie"));
}

TEST_F(GuestLoginTest, PasswordNeverReachesTheLog) {
    CloudSyncTest::LogCapture log;
    auto conn = loggedIn();
    EXPECT_FALSE(log.contains("p&ss")) << log.dump();
    EXPECT_FALSE(log.contains("p%26ss")) << log.dump();
    EXPECT_TRUE(log.contains("doGuestLogin : Elapsed time = ")) << log.dump();
}

class TwoFactorTest : public ConnectorFixture {
protected:
    void SetUp() override {
        ConnectorFixture::SetUp();
        TestAccount account = ConnectorFixture::account();
        account.twoFactorCode = "424242";
        server.addAccount(account);
    }
};

TEST_F(TwoFactorTest, TokenRoundTrip) {
    auto conn = connector();
    CloudSyncTest::LogCapture log;
    ASSERT_FALSE(conn->Authenticate(true));
    ASSERT_TRUE(conn->is2FARequired());
    EXPECT_EQ(conn->getLastError(), "");

    ASSERT_TRUE(conn->do2FAVerification("424242")) << conn->getLastError();
    EXPECT_TRUE(conn->isAuthenticated());
    const RecordedRequest request = lastRequest(TWO_FA);
    const auto fields = request.formFields();
    ASSERT_GE(fields.size(), 3u);
    EXPECT_EQ(fields[0].first, "userid");
    EXPECT_EQ(fields[1], std::make_pair(std::string("code"), std::string("424242")));
    EXPECT_EQ(fields[2].first, "token");
    EXPECT_NE(fields[2].second, "");
    EXPECT_EQ(request.formField("remote_client_api_level"), "4");
    EXPECT_FALSE(log.contains("424242")) << log.dump();
    EXPECT_FALSE(log.contains(fields[2].second)) << log.dump();

    RecordList status;
    EXPECT_TRUE(conn->getServerStatus(status, true));
    EXPECT_TRUE(lastRequest(STATUS).hasHeader("Cookie"));
}

TEST_F(TwoFactorTest, WrongCodeIsABadLoginWithTheServersMessage) {
    auto conn = connector();
    ASSERT_FALSE(conn->Authenticate(true));
    EXPECT_FALSE(conn->do2FAVerification("000000"));
    EXPECT_FALSE(conn->isAuthenticated());
    EXPECT_TRUE(conn->isBadLogin());
    EXPECT_TRUE(conn->is2FARequired());
    EXPECT_NE(conn->getLastError(), "");
}

class DeviceAccessTest : public ConnectorFixture {};

TEST_F(DeviceAccessTest, ResultTable) {
    struct Case {
        std::string result;
        bool returns;
        bool adminApproval;
        bool codeRequired;
        bool badLogin;
    };
    for (const Case& c : {Case{"1", true, false, true, false}, Case{"2", true, true, true, false},
                          Case{"0", false, false, false, true}}) {
        SCOPED_TRACE("result " + c.result);
        server.clearFaults();
        server.addFault(TestFault::withBody(DEVICE_ACCESS, commandBody(c.result, "msg " + c.result)));
        auto conn = connector();
        EXPECT_EQ(conn->requestDeviceAccess(), c.returns);
        EXPECT_EQ(conn->isAdminApprovalRequired(), c.adminApproval);
        EXPECT_EQ(conn->isDevAuthCodeRequired(), c.codeRequired);
        EXPECT_EQ(conn->isBadLogin(), c.badLogin);
        EXPECT_FALSE(conn->isAuthenticated());
        EXPECT_EQ(conn->getLastError(), "msg " + c.result);
        const auto fields = lastRequest(DEVICE_ACCESS).formFields();
        ASSERT_EQ(fields.size(), 7u);
        EXPECT_EQ(fields[0], std::make_pair(std::string("userid"), std::string(kUser)));
    }
}

TEST_F(DeviceAccessTest, AgainstTheServersApprovalSwitch) {
    for (bool admin : {false, true}) {
        TestAccount account = ConnectorFixture::account();
        account.adminApprovalRequired = admin;
        server.addAccount(account);
        auto conn = connector();
        EXPECT_TRUE(conn->requestDeviceAccess());
        EXPECT_EQ(conn->isAdminApprovalRequired(), admin);
    }
}

class SecurityQuestionTest : public ConnectorFixture {
protected:
    void SetUp() override {
        ConnectorFixture::SetUp();
        TestAccount account = ConnectorFixture::account();
        account.securityQuestion = "First pet?";
        account.securityAnswer = "Rex & co";
        server.addAccount(account);
    }
};

TEST_F(SecurityQuestionTest, AnswerCarriesThePasswordHashOrTheStoredHash) {
    const std::vector<Settings> cases{
        {{"remoteans", "Rex & co"}},
        {{"remoteans", "Rex & co"}, {"sha1password", sha1(kPassword)}, {"password", "unused"}}};
    for (const Settings& c : cases) {
        SCOPED_TRACE(c.size());
        CloudSyncTest::LogCapture log;
        auto conn = connector(c);
        EXPECT_TRUE(conn->doRemoteLogin("First pet?")) << conn->getLastError();
        EXPECT_TRUE(conn->isAuthenticated());
        EXPECT_EQ(lastRequest(PROFILE).body,
                  "secretqn=First%20pet%3F&secretans=Rex%20%26%20co&password=" + sha1(kPassword));
        EXPECT_FALSE(log.contains("Rex")) << log.dump();
        EXPECT_FALSE(log.contains(sha1(kPassword))) << log.dump();
        EXPECT_TRUE(log.contains("doRemoteLogin: Server requires remote answer for question First pet?"));
    }
}

TEST_F(SecurityQuestionTest, AWrongAnswerIsABadLogin) {
    auto conn = connector({{"remoteans", "Tom"}});
    EXPECT_FALSE(conn->doRemoteLogin("First pet?"));
    EXPECT_TRUE(conn->isBadLogin());
    EXPECT_FALSE(conn->isAuthenticated());
}

TEST_F(SecurityQuestionTest, AServerThatKeepsAskingIsAnsweredABoundedNumberOfTimes) {
    server.addFault(TestFault::withBody(PROFILE, commandBody("2", "Again?")));
    auto conn = connector({{"remoteans", "Rex & co"}});
    CloudSyncTest::LogCapture log;
    EXPECT_FALSE(conn->doRemoteLogin("First pet?"));
    EXPECT_EQ(server.requests(PROFILE).size(), static_cast<size_t>(NuvaroConnector::kMaxSecurityQuestionRounds));
    EXPECT_TRUE(conn->isBadLogin());
    EXPECT_FALSE(conn->isAuthenticated());
    EXPECT_TRUE(log.contains("Security question asked")) << log.dump();

    // The bound is per chain: a later attempt gets its full number of rounds.
    server.clearFaults();
    EXPECT_TRUE(conn->doRemoteLogin("First pet?"));
}

TEST(Sha1Test, HexDigestOfKnownTexts) {
    EXPECT_EQ(NuvaroConnector::getSHA1Hash("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(NuvaroConnector::getSHA1Hash(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}
