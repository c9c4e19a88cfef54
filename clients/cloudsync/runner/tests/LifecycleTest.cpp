// Starting and stopping the workers (which ones run for which settings, twice
// in a row, from several threads at once, for good at exit), the server
// status and the server-side options it stores, and the accessors.

#include "RunnerFixture.h"

#include "ConsoleLines.h"
#include "EventRecorder.h"

#include <atomic>
#include <functional>
#include <map>
#include <thread>

namespace RunnerTest {
namespace {

using Nuvaro::Sync::FOOfflineJobData;

int countLines(CloudSyncTest::LogCapture& log, const std::string& text) {
    int count = 0;
    for (const auto& entry : log.channel().entries())
        count += entry.text == text ? 1 : 0;
    return count;
}

// ---- Which workers run ----

TEST_F(RunnerTest, WithoutAStoredAccountTheSyncWorkerExistsButDoesNotRun) {
    TestRunner& runner = makeRunner(noPolling());
    runner.startup();
    ASSERT_TRUE(runner.currentWorker());
    EXPECT_FALSE(runner.isRunning());
    EXPECT_TRUE(runner.rmcWorker != nullptr);
    EXPECT_TRUE(server.requests("/core/loginguest").empty());
    // The requests of the user reach the idle worker without harm.
    runner.checkForFSChanges();
    runner.fileChanged();
}

TEST_F(RunnerTest, WithAStoredAccountTheSyncWorkerRunsUntilShutdown) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    runner.startup();
    EXPECT_TRUE(runner.isRunning());
    EXPECT_TRUE(runner.isOfflineManagerRunning());
    EXPECT_NE(runner.getSyncStatus(), "Idle");
    runner.shutdown(true);
    EXPECT_FALSE(runner.currentWorker());
    EXPECT_FALSE(runner.isRunning());
    EXPECT_FALSE(runner.isOfflineManagerRunning());
    EXPECT_EQ(runner.rmcWorker, nullptr);
    EXPECT_EQ(runner.getSyncStatus(), "Idle");
    EXPECT_TRUE(runner.shutdown(true));
}

TEST_F(RunnerTest, StartupTwiceLeavesOneOfEachWorkerAndReplacesTheRemoteOne) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    CloudSyncTest::LogCapture& log = freshLog();
    runner.startup();
    runner.startup();
    EXPECT_EQ(countLines(log, "Startup FSRMCWorker Thread"), 2);
    EXPECT_EQ(countLines(log, "FSRMCWorker Thread exited"), 2);  // the one of storeAccount and the first here
    EXPECT_EQ(countLines(log, "Shutdown FSWorker Thread"), 2);
    EXPECT_EQ(countLines(log, "Startup FOOfflineFilesManager Thread"), 2);
    EXPECT_EQ(countLines(log, "FOOfflineFilesManager Thread exited"), 2);
    EXPECT_TRUE(runner.isRunning());
    EXPECT_TRUE(runner.isOfflineManagerRunning());
    EXPECT_TRUE(runner.rmcWorker != nullptr);
}

TEST_F(RunnerTest, ShutdownFalseKeepsTheRemoteManagementWorker) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    EXPECT_TRUE(runner.shutdown(false));
    EXPECT_FALSE(runner.currentWorker());
    EXPECT_FALSE(runner.isOfflineManagerRunning());
    EXPECT_TRUE(runner.rmcWorker != nullptr);
}

struct WorkerChoice {
    const char* name;
    std::string disableSync;
    std::string disableMyFiles;
    std::string jobSchedule;  // "" no job
    bool syncWorker;
    std::string logLine;
};

class WorkerChoices : public RunnerTest, public ::testing::WithParamInterface<WorkerChoice> {};

TEST_P(WorkerChoices, FollowTheStoredSettings) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    runner.getSyncDatabase()->setConfigValue("config", "disablesync", GetParam().disableSync);
    runner.getSyncDatabase()->setConfigValue("config", "disablemyfiles", GetParam().disableMyFiles);
    if (!GetParam().jobSchedule.empty()) {
        FOOfflineJobData job("/EXTERNAL/share", m_tmp / "share", 0, true, GetParam().jobSchedule, "", false, false);
        runner.getOfflineDatabase()->FOAddJobRecord(&job);
    }
    CloudSyncTest::LogCapture& log = freshLog();
    runner.startup();
    EXPECT_EQ(bool(runner.currentWorker()), GetParam().syncWorker);
    EXPECT_EQ(runner.isRunning(), GetParam().syncWorker);
    EXPECT_EQ(runner.isOfflineManagerRunning(), GetParam().disableSync != "1");
    EXPECT_TRUE(runner.rmcWorker != nullptr);
    if (!GetParam().logLine.empty()) {
        EXPECT_TRUE(log.contains(GetParam().logLine)) << log.dump();
    }
    if (!GetParam().syncWorker) {
        EXPECT_EQ(runner.getSyncStatus(), "Idle");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runner, WorkerChoices,
    ::testing::Values(
        WorkerChoice{"Default", "0", "0", "", true, ""},
        WorkerChoice{"SyncDisabled", "1", "0", "realtime", false,
                     "Sync has been disabled on client, Not Starting My Files Sync"},
        WorkerChoice{"SyncDisabledNoJobs", "1", "0", "", false,
                     "Sync has been disabled on client, Not Starting Offline Jobs"},
        WorkerChoice{"MyFilesDisabledWithARealtimeJob", "0", "1", "realtime", true,
                     "My Files Disabled on Server, Disabling Syncing of My Files"},
        WorkerChoice{"MyFilesDisabledWithoutARealtimeJob", "0", "1", "1h", false,
                     "Sync has been disabled on client, No My Files or No Realtime Network Folders"}),
    [](const ::testing::TestParamInfo<WorkerChoice>& info) { return std::string(info.param.name); });

// ---- Several threads at once ----

TEST_F(RunnerTest, StartupAndShutdownFromSeveralThreadsAtOnceEndWithoutDeadlock) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    std::atomic<bool> go{false};
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i) {
        callers.emplace_back([&runner, &go, i] {
            while (!go.load())
                std::this_thread::yield();
            for (int round = 0; round < 3; ++round) {
                if (i == 0)
                    runner.startup();
                else
                    runner.shutdown(i == 1);
            }
        });
    }
    go = true;
    for (std::thread& caller : callers)
        caller.join();
    runner.startup();
    EXPECT_TRUE(runner.isRunning());
    EXPECT_TRUE(runner.rmcWorker != nullptr);
}

TEST_F(RunnerTest, AfterShutdownForExitNothingStartsAgain) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    runner.shutdownForExit();
    EXPECT_FALSE(runner.currentWorker());
    EXPECT_EQ(runner.rmcWorker, nullptr);
    runner.startup();
    Nuvaro::RecordList settings = accountSettings(runner);
    runner.setSettings(settings);
    EXPECT_FALSE(runner.currentWorker());
    EXPECT_FALSE(runner.isOfflineManagerRunning());
    EXPECT_EQ(runner.rmcWorker, nullptr);
}

// A folder-list request that the server holds for 3 s is in flight when the
// runner shuts down.
TEST_F(RunnerTest, ShutdownDuringAPassEndsThePassAndLeavesNoThread) {
    server.addFault(TestFault::withDelay("/app/sync/getsyncfolderlist", 3000));
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    ASSERT_TRUE(server.waitForRequests("/app/sync/getsyncfolderlist", 1, 10000));
    Poco::Timestamp began;
    runner.shutdown(true);
    EXPECT_LT(began.elapsed(), 2000 * 1000);
    EXPECT_FALSE(runner.isRunning());
    runner.shutdown(true);
}

// ---- Server status ----

TEST_F(RunnerTest, ServerStatusIsCachedAndTheServerSideOptionsStored) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    runner.getSyncDatabase()->setConfigValue("config", "networkfoldername", "Stored Network");
    runner.getSyncDatabase()->setConfigValue("config", "teamfolderaccount", "stored-team");
    runner.getSyncDatabase()->setConfigValue("config", "uploadrestrictions", "exe");
    server.setStatusValue("disablemyfiles", "1");
    server.setStatusValue("disabledotdot", "1");
    server.setStatusValue("teamfoldername", "Our Teams");
    server.setStatusValue("teamfolderaccount", "");
    server.removeStatusValue("networkfoldername");
    server.removeStatusValue("uploadrestrictions");

    CloudSyncTest::EventRecorder events({4, 7, 10, 11, 12, 13});
    EXPECT_TRUE(runner.updateServerStatus(true));
    EXPECT_EQ(events.events(), std::vector<CloudSyncTest::EventRecorder::Event>{CloudSyncTest::EventRecorder::Event(16, "", 0)});
    Nuvaro::RecordList status = runner.getServerStatus();
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ((*status[0])["OS"], "NUVARO_CLOUD");
    EXPECT_EQ(stored("disablemyfiles"), "1");
    EXPECT_EQ(stored("disabledotdot"), "1");
    EXPECT_EQ(stored("teamfoldername"), "Our Teams");
    EXPECT_EQ(runner.getTeamFolderName(), "Our Teams");
    EXPECT_EQ(stored("teamfolderaccount"), "stored-team");
    EXPECT_EQ(stored("networkfoldername"), "Stored Network");
    EXPECT_EQ(stored("uploadrestrictions"), "exe");
}

TEST_F(RunnerTest, ServerStatusWithoutPersistStoresNothing) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    server.setStatusValue("disabledotdot", "1");
    EXPECT_TRUE(runner.updateServerStatus(false));
    EXPECT_EQ(stored("disabledotdot"), "<absent>");
    EXPECT_EQ(runner.getServerStatus().size(), 1u);
}

TEST_F(RunnerTest, ServerStatusReportsARefusedLoginAndKeepsTheCacheOtherwise) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    ASSERT_TRUE(runner.updateServerStatus(false));
    CloudSyncTest::LogCapture& log = freshLog();
    server.setAccountBlocked(kUser, true);
    EXPECT_FALSE(runner.updateServerStatus(true));
    EXPECT_TRUE(log.contains("Bad Login")) << log.dump();
    server.setAccountBlocked(kUser, false);

    server.addFault(TestFault::withStatus("/core/getsystemstatus", 500));
    EXPECT_TRUE(runner.updateServerStatus(true));
    EXPECT_EQ(runner.getServerStatus().size(), 1u);
    server.stop();
    EXPECT_TRUE(runner.updateServerStatus(true));
    EXPECT_EQ(runner.getServerStatus().size(), 1u);
}

// Each refused login has its own line and no event; a timed-out device
// session is logged, raises event 8 and keeps the cached status (true).
TEST_F(RunnerTest, ServerStatusNamesWhatRefusedTheLogin) {
    struct Case {
        const char* name;
        std::function<void(TestAccount&)> account;
        std::map<std::string, std::string> settings;
        const char* line;
        bool result;
        std::vector<CloudSyncTest::EventRecorder::Event> events;
    };
    const Case cases[] = {
        {"two-factor code asked", [](TestAccount& a) { a.twoFactorCode = "123456"; }, {}, "is2FA Required", false,
         {}},
        {"wrong password", [](TestAccount& a) { a.password = "changed"; }, {}, "Bad Login", false, {}},
        {"device code refused", [](TestAccount& a) { a.deviceCode = "dev-ok"; },
         {{"loginmode", "1"}, {"devauthcode", "dev-wrong"}}, "Invalid Auth Code Required", false, {}},
        {"device session timed out",
         [](TestAccount& a) {
             a.deviceCode = "dev-old";
             a.deviceCodeExpired = true;
         },
         {{"loginmode", "1"}, {"devauthcode", "dev-old"}}, "Device Auth Code Session Timeout", true,
         {CloudSyncTest::EventRecorder::Event(8, "", 0)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestAccount changed = account();
        c.account(changed);
        server.addAccount(changed);
        TestRunner& runner = makeRunner(noPolling());
        Nuvaro::RecordList settings = accountSettings(runner);
        for (const auto& setting : c.settings)
            (*settings[0])[setting.first] = setting.second;
        runner.setSettings(settings);
        CloudSyncTest::LogCapture& log = freshLog();
        CloudSyncTest::EventRecorder events;
        EXPECT_EQ(runner.updateServerStatus(true), c.result);
        EXPECT_TRUE(log.contains(c.line)) << log.dump();
        EXPECT_EQ(events.events(), c.events);
    }
}

// ---- A login refused while the workers run ----

// Regression: a password changed on the server while the client ran was only
// logged, at every retry of every worker; the console said nothing. Now the
// sync worker and the remote-management worker, retrying, give one line
// together, and another only after a login succeeded in between.
TEST_F(RunnerTest, PasswordChangedOnTheServerWhileRunningIsToldOnceUntilALoginSucceeds) {
    CloudSyncTest::ConsoleLines console;
    Nuvaro::Sync::FSAppRunner::Intervals intervals = fastIntervals();
    intervals.worker.secondMs = 5;  // a pass every 0.6 s
    TestRunner& runner = makeRunner(intervals);
    storeAccount(runner);
    ASSERT_TRUE(runner.isRunning());
    CloudSyncTest::LogCapture& log = freshLog();
    const std::string line = "Error: The server refused the login: Invalid username or password. Sync waits until a "
                             "login succeeds; if the password changed, write the new one into syncconconfig.xml and "
                             "restart.";
    auto changePassword = [this](const std::string& password) {
        TestAccount changed = account();
        changed.password = password;
        server.addAccount(changed);
        server.dropSessions(kUser);
    };

    changePassword("Pw-changed");
    ASSERT_TRUE(waitUntil([&] { return !console.lines().empty(); }, 10000));
    // Both workers go on retrying (the remote-management worker every poll).
    const std::size_t logins = server.requests("/core/loginguest").size();
    EXPECT_TRUE(waitUntil([&] { return server.requests("/core/loginguest").size() >= logins + 10; }, 10000));
    EXPECT_TRUE(waitUntil([&] { return log.contains("Authenticated Failed or bad 2FA code or bad Device Auth Code"); },
                          10000))
        << "the sync worker's own retry";
    EXPECT_EQ(console.lines(), std::vector<std::string>{line});

    changePassword(kPassword);
    ASSERT_TRUE(waitUntil([&] { return server.sessionCount(kUser) > 0; }, 10000)) << "a login succeeded";
    changePassword("Pw-changed-again");
    EXPECT_TRUE(waitUntil([&] { return console.lines().size() == 2; }, 10000));
    const std::size_t again = server.requests("/core/loginguest").size();
    EXPECT_TRUE(waitUntil([&] { return server.requests("/core/loginguest").size() >= again + 10; }, 10000));
    EXPECT_EQ(console.lines(), (std::vector<std::string>{line, line}));
    runner.shutdown(true);
}

// ---- Accessors ----

TEST_F(RunnerTest, AccessorsGiveTheFoldersNamesAndOptions) {
    m_tmp.write("syncclientconfig.xml",
                "<config><advancedoffline>1</advancedoffline><disablenotifications>1</disablenotifications></config>");
    TestRunner& runner = makeRunner(noPolling());
    EXPECT_EQ(runner.getSyncFolder(), syncRoot());
    EXPECT_EQ(runner.getDataDirectory(), dataRoot());
    EXPECT_EQ(runner.getSyncLogFolder(), dataRoot());
    EXPECT_EQ(Nuvaro::Sync::FSAppRunner::getConfigFilePath(), "syncclientconfig.xml");
    EXPECT_EQ(runner.getNetworkFolderName(), "Network Folders");
    EXPECT_EQ(runner.getTeamFolderName(), "Team Folders");
    EXPECT_EQ(runner.getTeamFolderAccount(), "");
    EXPECT_EQ(runner.getServerURL(), "");
    EXPECT_TRUE(runner.advancedOfflineSync());
    EXPECT_FALSE(runner.showNotifications());
    runner.setBackupPath("/backups");
    EXPECT_EQ(runner.getBackupPath(), "/backups");
    storeAccount(runner);
    EXPECT_EQ(runner.getServerURL(), server.baseUrl());
}

} // namespace
} // namespace RunnerTest
