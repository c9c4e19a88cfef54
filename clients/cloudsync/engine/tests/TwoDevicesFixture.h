#pragma once

// Two devices of one user against one account on the test server, and a
// third party (a colleague in the web interface) changing files on the
// server directly. A test changes one side, lets both devices sync, and
// compares the three trees:
//
//     laptop.write("a.txt", "new");
//     server.removeItem(kUser, "/user1/b.txt");   // the third party
//     syncAll();
//     expectConverged();
//
// Each device drives its own passes (scan, then pass) on the test's thread;
// syncAll runs them in turn until a round brings nothing new.

#include "SyncDevice.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

namespace EngineTest {

// The helpers are public so that tables of cases can use them.
class TwoDevicesTest : public ::testing::Test {
public:
    static constexpr const char* kUser = SyncDevice::kUser;

    void SetUp() override {
        startWithTheUsersAccount(server);
        server.setApiPeer("web", "Colleague");
        laptopDevice.reset(new SyncDevice(m_tmp / "laptop", server.baseUrl(), "laptop"));
        phoneDevice.reset(new SyncDevice(m_tmp / "phone", server.baseUrl(), "phone"));
        ASSERT_TRUE(laptop().databaseOpened() && phone().databaseOpened());
        // The trees of these tests are small: a single deletion would be
        // more than the share of files the delete approval lets through.
        // The approval has a test of its own.
        laptop().settings["skipdeleteapproval"] = "1";
        phone().settings["skipdeleteapproval"] = "1";
        ASSERT_TRUE(laptop().logIn());
        ASSERT_TRUE(phone().logIn());
    }
    void TearDown() override {
        laptopDevice.reset();
        phoneDevice.reset();
    }

    SyncDevice& laptop() { return *laptopDevice; }
    SyncDevice& phone() { return *phoneDevice; }

    // Passes of the laptop and the phone in turn until a round in which
    // neither found or received anything (at most `rounds` rounds).
    void syncAll(int rounds = 6) {
        for (int round = 0; round < rounds; ++round) {
            const bool laptopBusy = laptop().syncOnce();
            const bool phoneBusy = phone().syncOnce();
            if (!laptopBusy && !phoneBusy)
                return;
        }
        ADD_FAILURE() << "the devices were still busy after " << rounds << " rounds";
    }

    // The server's files below "/user1": relative path -> content
    // ("<folder>" for folders), as SyncDevice::tree lists a device's.
    std::map<std::string, std::string> serverTree() { return EngineTest::serverTree(server, kUser, "/user1"); }

    // Both devices and the server hold the same tree.
    void expectConverged() {
        const std::map<std::string, std::string> onServer = serverTree();
        EXPECT_EQ(laptop().tree(), onServer);
        EXPECT_EQ(phone().tree(), onServer);
    }

    CloudSyncTest::TempFolder m_tmp;
    VaultpineTestServer server;

private:
    std::unique_ptr<SyncDevice> laptopDevice;
    std::unique_ptr<SyncDevice> phoneDevice;
};

} // namespace EngineTest
