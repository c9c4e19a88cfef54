// The server checks of the first login against the test server: the sync
// plugin and the back-end type, through a logged-in connector only.

#include "ServerChecks.h"

#include "VaultpineTestServer.h"

#include <gtest/gtest.h>

namespace {

using Nuvaro::Sync::TestServer::TestAccount;
using Nuvaro::Sync::TestServer::TestFault;
using Nuvaro::Sync::TestServer::VaultpineTestServer;

class ServerChecksTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.start();
        TestAccount account;
        account.userId = "user1";
        account.password = "pass1";
        server.addAccount(account);
        settings = {Nuvaro::Record(new std::map<std::string, std::string>{
            {"url", server.baseUrl()}, {"profile", "user1"}, {"password", "pass1"}})};
    }

    std::unique_ptr<Nuvaro::NuvaroConnector> connector(bool logIn) {
        std::unique_ptr<Nuvaro::NuvaroConnector> made(new Nuvaro::NuvaroConnector(settings, true, "Cloud Connector"));
        if (logIn) {
            EXPECT_TRUE(made->Authenticate(true));
        }
        return made;
    }

    VaultpineTestServer server;
    Nuvaro::RecordList settings;
};

TEST_F(ServerChecksTest, SyncPluginIsFoundByName) {
    auto loggedIn = connector(true);
    EXPECT_TRUE(Nuvaro::Sync::checkForSyncPlugin(*loggedIn, settings));
    ASSERT_FALSE(server.requests("/core/getpluginlaunchlist").empty());
    EXPECT_NE(server.requests("/core/getpluginlaunchlist")[0].header("Cookie"), "");
    server.setPlugins({"explorer", "syncer"});
    EXPECT_FALSE(Nuvaro::Sync::checkForSyncPlugin(*loggedIn, settings));
}

TEST_F(ServerChecksTest, NoAnswerMeansNoPlugin) {
    auto loggedOut = connector(false);
    EXPECT_FALSE(Nuvaro::Sync::checkForSyncPlugin(*loggedOut, settings));
    EXPECT_TRUE(server.requests("/core/getpluginlaunchlist").empty());
    auto loggedIn = connector(true);
    server.addFault(TestFault::withBody("/core/getpluginlaunchlist", "not xml"));
    EXPECT_FALSE(Nuvaro::Sync::checkForSyncPlugin(*loggedIn, settings));
}

TEST_F(ServerChecksTest, BackendTypeIsTheStatusRecordsOS) {
    auto loggedIn = connector(true);
    EXPECT_EQ(Nuvaro::Sync::getBackendOS(*loggedIn), "NUVARO_CLOUD");
    server.setStatusValue("OS", "NUVARO_LINUX");
    EXPECT_EQ(Nuvaro::Sync::getBackendOS(*loggedIn), "NUVARO_LINUX");
    EXPECT_EQ(Nuvaro::Sync::getBackendOS(*connector(false)), "");
}

} // namespace
