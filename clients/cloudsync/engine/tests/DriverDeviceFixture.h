// A device of the test server's user run in its own process
// (engine_worker_driver, as a service manager runs it) on folders that
// outlive the process, so that a test can kill it in the middle of a pass and
// start it again on the same folders.

#pragma once

#include "SyncDevice.h"

#include "ChildProcess.h"
#include "StoredStatus.h"

#include <Poco/Timestamp.h>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace EngineTest {

class DriverDeviceTest : public ::testing::Test {
protected:
    // The bound of a start and of a stop.
    static constexpr long kStartMs = 20000;

    // A time stamp of whole seconds, `seconds` after 2024-03-01 10:00:00 UTC.
    static Poco::Timestamp serverTime(long seconds) { return Poco::Timestamp::fromEpochTime(1709287200 + seconds); }
    // "bulk/f07.txt" for ("bulk", 7): names that sort as the numbers do (the
    // apply step places the highest name first).
    static std::string numberedName(const std::string& folder, int index) {
        return folder + "/f" + (index < 10 ? "0" : "") + std::to_string(index) + ".txt";
    }

    // `name` names the driver's output files in the test's folder.
    explicit DriverDeviceTest(const std::string& name) : m_name(name) {}

    void SetUp() override { startWithTheUsersAccount(server); }

    std::string root() const { return m_tmp / "laptop"; }
    std::string files() const { return root() + "/sync/My Files"; }
    std::string database() const { return root() + "/data/syncclient.db"; }
    bool placed(const std::string& rel) const { return Poco::File(files() + "/" + rel).exists(); }

    // Starts the device in its own process on the same folders; with a pause
    // (ms) before each file the apply step places.
    void start(const std::string& placementPauseMs = "") {
        ++m_starts;
        std::vector<std::string> arguments{server.baseUrl(), root(), "laptop"};
        if (!placementPauseMs.empty())
            arguments.push_back(placementPauseMs);
        m_child.reset(new CloudSyncTest::ChildProcess(
            ENGINE_WORKER_DRIVER, {}, m_tmp / (m_name + "-" + std::to_string(m_starts) + ".out"), arguments));
        ASSERT_TRUE(m_child->started());
        ASSERT_TRUE(m_child->waitForLine("running", kStartMs)) << m_child->output();
    }
    void stop() {
        m_child->signal(SIGTERM);
        EXPECT_EQ(m_child->waitForExit(kStartMs), 0) << m_child->output();
    }

    std::map<std::string, std::string> serverFiles() { return serverTree(server, SyncDevice::kUser, "/user1"); }

    // The device has stored the server's current status of its folder: it
    // saved everything it applied.
    bool savedServersStatus() {
        return storedStatusSet(database(), "/user1") == server.statusSet(SyncDevice::kUser, "/user1");
    }

    CloudSyncTest::TempFolder m_tmp;
    VaultpineTestServer server;
    std::unique_ptr<CloudSyncTest::ChildProcess> m_child;

private:
    std::string m_name;
    int m_starts = 0;
};

} // namespace EngineTest
