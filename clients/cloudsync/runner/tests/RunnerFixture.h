#pragma once

// An application runner against the test server: a test server on 127.0.0.1
// with one account, a data folder and a sync folder in a temp folder that is
// also the working directory (where the runner finds syncclientconfig.xml),
// and a runner built quiet (the test captures the log). TestRunner opens the
// runner's fields and locked steps to the tests.

#include "FSAppRunner.h"
#include "LogCapture.h"
#include "TempFolder.h"
#include "VaultpineTestServer.h"
#include "WaitUntil.h"

#include <Poco/File.h>
#include <Poco/Thread.h>
#include <Poco/UUIDGenerator.h>
#include <Poco/Timestamp.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

namespace RunnerTest {

using Nuvaro::Sync::TestServer::TestAccount;
using Nuvaro::Sync::TestServer::TestFault;
using Nuvaro::Sync::TestServer::VaultpineTestServer;

class TestRunner : public Nuvaro::Sync::FSAppRunner {
public:
    using FSAppRunner::FSAppRunner;
    using FSAppRunner::currentWorker;
    using FSAppRunner::currentOfflineManager;
    using FSAppRunner::lifecycleMutex;
    using FSAppRunner::options;
    using FSAppRunner::remoteStopRequested;
    using FSAppRunner::rmcWorker;
    using FSAppRunner::shutdownLocked;
    using FSAppRunner::startupLocked;
};

using CloudSyncTest::waitUntil;

// Makes a folder the working directory for its lifetime.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path) {
        char buffer[4096];
        if (::getcwd(buffer, sizeof buffer) != nullptr)
            m_previous = buffer;
        if (::chdir(path.c_str()) != 0)
            ADD_FAILURE() << "cannot enter " << path;
    }
    ~WorkingDirectory() {
        if (!m_previous.empty() && ::chdir(m_previous.c_str()) != 0)
            ADD_FAILURE() << "cannot go back to " << m_previous;
    }

private:
    std::string m_previous;
};

class RunnerTest : public ::testing::Test {
public:
    static constexpr const char* kUser = "user1";
    static constexpr const char* kPassword = "Pw-7f3c9e-secret";

protected:
    RunnerTest() : m_cwd(m_tmp.path()) {}

    void SetUp() override {
        server.start();
        server.addAccount(account());
    }

    void TearDown() override { m_runner.reset(); }

    virtual TestAccount account() const {
        TestAccount account;
        account.userId = kUser;
        account.password = kPassword;
        return account;
    }

    std::string dataRoot() const { return m_tmp / "data"; }
    std::string syncRoot() const { return m_tmp / "sync"; }
    std::string configFile() const { return m_tmp / "syncclientconfig.xml"; }

    // Waits short enough for tests; the real ones otherwise.
    static Nuvaro::Sync::FSAppRunner::Intervals fastIntervals() {
        Nuvaro::Sync::FSAppRunner::Intervals fast;
        fast.worker.queueWaitMs = 50;
        fast.worker.scanStartDelayMs = 0;
        fast.worker.lockRefreshStepMs = 20;
        fast.worker.lockRefreshSteps = 5;
        fast.worker.monitor.settleMs = 100;
        fast.remote.tickMs = 20;
        fast.remote.pollDue = Poco::Timespan(0, 50 * 1000);
        fast.remote.statusDue = Poco::Timespan(0, 200 * 1000);
        // The job manager answers at once; its schedule check never comes
        // (a test that stores jobs decides when they run).
        fast.offline.queueWaitMs = 20;
        fast.offline.emptyWaitsPerCheck = 1000000;
        return fast;
    }

    // fastIntervals without remote-management polls (the first poll would
    // otherwise come at the first tick): for tests of other things.
    static Nuvaro::Sync::FSAppRunner::Intervals noPolling() {
        Nuvaro::Sync::FSAppRunner::Intervals intervals = fastIntervals();
        intervals.remote.pollDue = Poco::Timespan(100 * 365, 0, 0, 0, 0);
        return intervals;
    }

    // A quiet runner (the log goes to the test's capture) over the data and
    // sync folders; a runner made before is destroyed first.
    TestRunner& makeRunner(const Nuvaro::Sync::FSAppRunner::Intervals& intervals = fastIntervals()) {
        m_runner.reset();
        Poco::File(dataRoot()).createDirectories();
        m_runner.reset(new TestRunner(m_tmp.path(), dataRoot(), syncRoot(), "trace", true));
        m_runner->setIntervalsForTesting(intervals);
        return *m_runner;
    }

    // The settings list of the first run: the runner's, with the test
    // server's account filled in.
    Nuvaro::RecordList accountSettings(TestRunner& runner) const {
        Nuvaro::RecordList settings = runner.getSettings();
        (*settings[0])["url"] = server.baseUrl();
        (*settings[0])["profile"] = kUser;
        (*settings[0])["password"] = kPassword;
        (*settings[0])["disablesync"] = "0";
        return settings;
    }

    // Stores the account as the first run does (setSettings starts the
    // workers).
    void storeAccount(TestRunner& runner) {
        Nuvaro::RecordList settings = accountSettings(runner);
        runner.setSettings(settings);
    }

    // A value of section "config" of the runner's database.
    std::string stored(const std::string& name, const std::string& fallback = "<absent>") {
        return m_runner->getSyncDatabase()->getConfigValue("config", name, fallback);
    }

    // Stores a sync record of the sync folder `folder` in the runner's
    // database: the local path `local` (relative to the sync folder, "My
    // Files/..."), the server path `remote`, type 1 file or 0 folder, its
    // size and modification time (seconds since 1970). Returns it.
    boost::shared_ptr<Nuvaro::Sync::FSSyncRecord> addSyncRecord(const std::string& local, const std::string& remote,
                                                              int type, Poco::Int64 size, time_t modified,
                                                              bool deleted = false,
                                                              const std::string& folder = "/user1") {
        auto split = [](const std::string& path, std::string& parent) {
            const std::string::size_type slash = path.rfind('/');
            parent = slash == std::string::npos ? "" : path.substr(0, slash);
            return slash == std::string::npos ? path : path.substr(slash + 1);
        };
        std::string localParent, remoteParent;
        const std::string name = split(local, localParent);
        split(remote, remoteParent);
        Nuvaro::DataSync::DataSyncRecord base(Poco::UUIDGenerator::defaultGenerator().createRandom(), 3, "server", 2,
                                              "server", deleted ? 1 : 0);
        boost::shared_ptr<Nuvaro::Sync::FSSyncRecord> record(new Nuvaro::Sync::FSSyncRecord(
            base, type, name, remoteParent, remote, size, Poco::Timestamp::fromEpochTime(modified).utcTime(), "", "",
            "Owner", folder, localParent, local, "", ""));
        EXPECT_TRUE(m_runner->getSyncDatabase()->FSSyncRecordAdd(record.get())) << local;
        return record;
    }

    // The log of the test's code from here on (the lines before are dropped).
    CloudSyncTest::LogCapture& freshLog() {
        m_log.channel().clear();
        return m_log;
    }

    CloudSyncTest::TempFolder m_tmp;
    WorkingDirectory m_cwd;
    // Every runner test captures the log from before its first thread to
    // after its last: a channel changed while workers log is a data race.
    CloudSyncTest::LogCapture m_log;
    VaultpineTestServer server;
    std::unique_ptr<TestRunner> m_runner;
};

} // namespace RunnerTest
