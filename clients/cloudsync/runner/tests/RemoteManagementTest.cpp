// The remote-management worker against the test server: when it polls and
// refreshes the status (with a fake clock and with shortened waits), how the
// runner carries out each command, block and wipe end to end (acknowledged
// only once carried out, also when the sync worker does not run), what a
// wipe removes and what it refuses, and a block that meets a shutdown.

#include "RunnerFixture.h"

#include "EventRecorder.h"
#include "FSRMCWorker.h"

#include <future>

namespace RunnerTest {
namespace {

using Nuvaro::Sync::FOOfflineJobData;
using Nuvaro::Sync::FSRMCWorker;
using CloudSyncTest::EventRecorder;

Nuvaro::Record command(const std::string& id, const std::string& message = "") {
    return Nuvaro::Record(new std::map<std::string, std::string>{{"rid", "r-" + id},
                                                                 {"remote_command_id", id},
                                                                 {"message", message}});
}

class RemoteManagementTest : public RunnerTest {
protected:
    std::string clientId() { return stored("RMC_CLIENT_ID"); }

    size_t polls() { return server.requests("/core/getrmccommands").size(); }
    size_t statusRequests() { return server.requests("/core/getsystemstatus").size(); }

    // The names left in the configuration (of those a block must empty, and
    // the client id it keeps; a later getSettings makes the display name
    // again).
    std::vector<std::string> configNames() {
        std::vector<std::string> names;
        for (const char* name : {"url", "profile", "ENC", "SALT", "sha1password", "hostname", "friendlyname", "os",
                                 "RMC_CLIENT_ID"}) {
            if (m_runner->getSyncDatabase()->doesConfigExist("config", name))
                names.push_back(name);
        }
        return names;
    }

    bool acknowledged(const std::string& rid) {
        for (const auto& queued : server.rmcCommands())
            if (queued.rid == rid)
                return queued.acknowledged;
        return false;
    }

    // A worker of the test's own, not started: the test drives its ticks
    // with a clock it sets.
    std::unique_ptr<FSRMCWorker> clockedWorker(Poco::Timestamp& now) {
        FSRMCWorker::Timing timing;
        timing.clock = [&now] { return now; };
        return std::unique_ptr<FSRMCWorker>(new FSRMCWorker(m_runner.get(), timing));
    }
};

// ---- When it polls ----

TEST_F(RemoteManagementTest, FirstTickPollsAndRefreshesTheStatus) {
    storeAccount(makeRunner(noPolling()));
    server.clearRequests();
    Poco::Timestamp now;
    auto worker = clockedWorker(now);
    worker->processTick();
    EXPECT_EQ(polls(), 1u);
    EXPECT_EQ(statusRequests(), 1u);
    EXPECT_EQ(m_runner->getServerStatus().size(), 1u);
}

TEST_F(RemoteManagementTest, PollIsDueOnlyAfterMoreThan300WholeSeconds) {
    storeAccount(makeRunner(noPolling()));
    server.clearRequests();
    Poco::Timestamp now;
    auto worker = clockedWorker(now);
    worker->processTick();
    ASSERT_EQ(polls(), 1u);
    const Poco::Timestamp first = now;
    for (Poco::Timestamp::TimeDiff after : {1000000LL, 300000000LL, 300999999LL}) {
        now = first + after;
        worker->processTick();
        EXPECT_EQ(polls(), 1u) << after;
    }
    now = first + 301000000LL;
    worker->processTick();
    EXPECT_EQ(polls(), 2u);
}

TEST_F(RemoteManagementTest, StatusIsRefreshedAfterMoreThan3600SecondsAndOnlyAfterAGoodFetch) {
    storeAccount(makeRunner(noPolling()));
    server.clearRequests();
    Poco::Timestamp now;
    const Poco::Timestamp first = now;
    auto worker = clockedWorker(now);
    worker->processTick();
    ASSERT_EQ(statusRequests(), 1u);
    now = first + 3600LL * 1000000;
    worker->processTick();
    EXPECT_EQ(polls(), 2u);
    EXPECT_EQ(statusRequests(), 1u);

    CloudSyncTest::LogCapture& log = freshLog();
    server.addFault(TestFault::withStatus("/core/getrmccommands", 500));
    now = first + 3601LL * 1000000 + 301LL * 1000000;
    worker->processTick();
    EXPECT_EQ(polls(), 3u);
    EXPECT_EQ(statusRequests(), 1u);
    EXPECT_TRUE(log.contains("RMC Check Error. Message: ")) << log.dump();

    server.clearFaults();
    now = now + 301LL * 1000000;
    worker->processTick();
    EXPECT_EQ(statusRequests(), 2u);
}

TEST_F(RemoteManagementTest, NoPollWithoutAStoredAccount) {
    makeRunner(noPolling());
    Poco::Timestamp now;
    auto worker = clockedWorker(now);
    worker->processTick();
    EXPECT_TRUE(server.requests("/core/loginguest").empty());
    EXPECT_EQ(polls(), 0u);
}

TEST_F(RemoteManagementTest, RunningWorkerPollsAtItsIntervalAndStopsAtOnce) {
    storeAccount(makeRunner());
    ASSERT_TRUE(server.waitForRequests("/core/getrmccommands", 3, 5000));
    ASSERT_TRUE(m_runner->rmcWorker != nullptr);
    EXPECT_TRUE(waitUntil([&] { return m_runner->rmcWorker->isIdle(); }));
    EXPECT_GE(statusRequests(), 1u);
    Poco::Timestamp began;
    m_runner->shutdown(true);
    EXPECT_LT(began.elapsed(), 2000 * 1000);
    EXPECT_EQ(m_runner->rmcWorker, nullptr);
}

// ---- The commands ----

TEST_F(RemoteManagementTest, BlockEndsTheListAndLaterMessagesAreNotShown) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    EventRecorder events({10, 11, 12, 13, 16});
    Nuvaro::RecordList commands{command("10000", "first"), command("10002"), command("10000", "second")};
    Nuvaro::RecordList carriedOut;
    std::string message;
    EXPECT_FALSE(runner.processRMC(commands, message, &carriedOut));
    EXPECT_EQ(message, "Admin has blocked this client from logging in. Login disallowed");
    EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{
                                   {4, "first", 0}, {4, "Admin has blocked this client. Login disallowed", 0}, {7, "", 0}}));
    ASSERT_EQ(carriedOut.size(), 2u);
    EXPECT_EQ(carriedOut[1], commands[1]);
}

TEST_F(RemoteManagementTest, OtherCodesAreLoggedAndTheListGoesOn) {
    TestRunner& runner = makeRunner(noPolling());
    CloudSyncTest::LogCapture& log = freshLog();
    Nuvaro::RecordList commands{command("10008"), command("12345"),
                                Nuvaro::Record(new std::map<std::string, std::string>{{"rid", "x"}})};
    Nuvaro::RecordList carriedOut;
    std::string message = "unchanged";
    EXPECT_TRUE(runner.processRMC(commands, message, &carriedOut));
    EXPECT_EQ(message, "unchanged");
    EXPECT_EQ(carriedOut.size(), 3u);
    const auto entries = log.channel().entries();
    auto has = [&](const std::string& text, Poco::Message::Priority priority) {
        for (const auto& entry : entries)
            if (entry.text == text && entry.priority == priority)
                return true;
        return false;
    };
    EXPECT_TRUE(has("Ignoring RMC Command Received..10008", Poco::Message::PRIO_TRACE)) << log.dump();
    EXPECT_TRUE(has("Unknown RMC Command Received..12345", Poco::Message::PRIO_ERROR)) << log.dump();
    EXPECT_TRUE(has("Unknown RMC Command Received..", Poco::Message::PRIO_ERROR)) << log.dump();
    Nuvaro::RecordList none;
    EXPECT_TRUE(runner.processRMC(none, message));
}

TEST_F(RemoteManagementTest, MessageFromTheServerIsShownAndAcknowledged) {
    TestRunner& runner = makeRunner();
    EventRecorder events({10, 11, 12, 13, 16});
    storeAccount(runner);
    const std::string rid = server.queueRmcCommand(clientId(), "10000", "Maintenance tonight");
    ASSERT_TRUE(waitUntil([&] { return acknowledged(rid); }));
    EXPECT_EQ(events.events().at(0), EventRecorder::Event(4, "Maintenance tonight", 0));
    EXPECT_TRUE(runner.isRunning());
}

TEST_F(RemoteManagementTest, BlockStopsTheSyncWorkerKeepsTheClientIdAndIsAcknowledged) {
    TestRunner& runner = makeRunner();
    storeAccount(runner);
    ASSERT_TRUE(runner.isRunning());
    const std::string id = clientId();
    const std::string rid = server.queueRmcCommand(id, "10002");
    ASSERT_TRUE(waitUntil([&] { return acknowledged(rid); }));
    EXPECT_FALSE(runner.currentWorker());
    EXPECT_FALSE(runner.isOfflineManagerRunning());
    EXPECT_EQ(configNames(), std::vector<std::string>{"RMC_CLIENT_ID"});
    EXPECT_EQ(clientId(), id);
    // The remote-management worker goes on, with nothing to log in with.
    ASSERT_TRUE(runner.rmcWorker != nullptr);
    server.clearRequests();
    Poco::Thread::sleep(200);
    EXPECT_TRUE(server.requests("/core/loginguest").empty());
}

TEST_F(RemoteManagementTest, BlockIsCarriedOutWhenTheSyncWorkerDoesNotRun) {
    TestRunner& runner = makeRunner(noPolling());
    runner.getSyncDatabase()->setConfigValue("config", "profile", kUser);
    runner.getSettings();
    runner.startup();
    ASSERT_TRUE(runner.currentWorker());
    ASSERT_FALSE(runner.isRunning());
    const std::string id = clientId();
    Nuvaro::RecordList commands{command("10002")};
    Nuvaro::RecordList carriedOut;
    std::string message;
    runner.processRMC(commands, message, &carriedOut);
    EXPECT_EQ(carriedOut.size(), 1u);
    EXPECT_FALSE(runner.currentWorker());
    EXPECT_EQ(configNames(), std::vector<std::string>{"RMC_CLIENT_ID"});
    EXPECT_EQ(clientId(), id);
}

TEST_F(RemoteManagementTest, ResetWritesNoEmptyClientIdWhereThereWasNone) {
    TestRunner& runner = makeRunner(noPolling());
    runner.resetConfigData();
    runner.resetSyncData();
    EXPECT_EQ(clientId(), "<absent>");
    EXPECT_EQ(runner.getSettings()[0]->at("RMC_CLIENT_ID").size(), 36u);
}

// A block that finds the runner busy with a shutdown that stops its thread
// gives up instead of waiting for ever, and is not acknowledged, so the
// server sends it again.
TEST_F(RemoteManagementTest, BlockMeetingAShutdownGivesUpUnacknowledgedWithoutDeadlock) {
    TestRunner& runner = makeRunner();
    storeAccount(runner);
    CloudSyncTest::LogCapture& log = freshLog();
    std::unique_lock<std::mutex> busy(runner.lifecycleMutex);
    const std::string rid = server.queueRmcCommand(clientId(), "10002");
    ASSERT_TRUE(waitUntil([&] { return log.contains("++++++++++++ Process LOGIN BLOCK"); })) << log.dump();

    std::future<void> shutdown = std::async(std::launch::async, [&runner] { runner.shutdownLocked(true); });
    ASSERT_EQ(shutdown.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    busy.unlock();
    EXPECT_TRUE(log.contains("LOGIN BLOCK not carried out")) << log.dump();
    EXPECT_FALSE(acknowledged(rid));
    EXPECT_EQ(stored("url"), server.baseUrl());
}

// ---- The wipe ----

class WipeTest : public RemoteManagementTest {
protected:
    // The synchronised folders, two job folders, the data folder's extras and
    // things that are not the program's.
    void seedFiles(TestRunner& runner) {
        for (const char* path : {"sync/My Files/a.txt", "sync/Shared with Me/b/c.txt", "sync/Network Folders/n.txt",
                                 "sync/Team Folders/t.txt", "sync/Other/keep.txt", "netjob/n/x.txt",
                                 "backupsrc/photo.jpg", "outside/keep.txt", "data/profile.png", "data/login.png",
                                 "data/.cache/user1/staged.txt"})
            m_tmp.write(path, "content");
        FOOfflineJobData network("/EXTERNAL/share", m_tmp / "netjob", 0, true, "1h", "", false, false);
        FOOfflineJobData backup("/user1/backup", m_tmp / "backupsrc", 1, true, "24h", "", false, false);
        runner.getOfflineDatabase()->FOAddJobRecord(&network);
        runner.getOfflineDatabase()->FOAddJobRecord(&backup);
    }

    bool exists(const std::string& relative) { return Poco::File(m_tmp / relative).exists(); }
};

TEST_F(WipeTest, RemovesTheSynchronisedFoldersAndDataAndNothingElse) {
    TestRunner& runner = makeRunner();
    storeAccount(runner);
    seedFiles(runner);
    const std::string id = clientId();
    EventRecorder events({10, 11, 12, 13, 16});
    const std::string rid = server.queueRmcCommand(id, "10001");
    ASSERT_TRUE(waitUntil([&] { return acknowledged(rid); }));

    for (const char* gone : {"sync/My Files", "sync/Shared with Me", "sync/Network Folders", "sync/Team Folders",
                             "netjob", "data/profile.png", "data/login.png", "data/.cache"})
        EXPECT_FALSE(exists(gone)) << gone;
    for (const char* kept : {"sync/Other/keep.txt", "backupsrc/photo.jpg", "outside/keep.txt", "data/syncclient.db",
                             "data/offline.db", "syncclientconfig.xml"})
        EXPECT_TRUE(exists(kept)) << kept;
    EXPECT_EQ(configNames(), std::vector<std::string>{"RMC_CLIENT_ID"});
    EXPECT_EQ(clientId(), id);
    std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
    runner.getOfflineDatabase()->getAllFOJobRecord(jobs);
    EXPECT_TRUE(jobs.empty());
    EXPECT_FALSE(runner.currentWorker());
    EXPECT_FALSE(runner.isOfflineManagerRunning());
    const auto seen = events.events();
    EXPECT_NE(std::find(seen.begin(), seen.end(), EventRecorder::Event(18, "", 0)), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(),
                        EventRecorder::Event(4, "Admin has blocked and issued remote wipe of this client. Login disallowed", 0)),
              seen.end());
}

TEST_F(WipeTest, IsCarriedOutWhenTheSyncWorkerDoesNotRun) {
    TestRunner& runner = makeRunner(noPolling());
    seedFiles(runner);
    runner.startup();
    ASSERT_TRUE(runner.currentWorker());
    ASSERT_FALSE(runner.isRunning());
    Nuvaro::RecordList commands{command("10001")};
    std::string message;
    runner.processRMC(commands, message);
    EXPECT_FALSE(exists("sync/My Files"));
    EXPECT_FALSE(exists("netjob"));
    EXPECT_TRUE(exists("backupsrc/photo.jpg"));
}

// A running job writes into its folder and offline.db: without a sync
// worker the wipe and the data reset still wait until the job manager is
// stopped too.
TEST_F(WipeTest, NothingIsWipedWhileAJobManagerRuns) {
    TestRunner& runner = makeRunner(noPolling());
    runner.getSyncDatabase()->setConfigValue("config", "disablemyfiles", "1");
    seedFiles(runner);
    runner.startup();
    ASSERT_FALSE(runner.currentWorker());
    ASSERT_TRUE(runner.isOfflineManagerRunning());
    runner.doRemoteWipe();
    runner.resetSyncData();
    EXPECT_TRUE(exists("sync/My Files/a.txt"));
    EXPECT_TRUE(exists("netjob/n/x.txt"));
    std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
    runner.getOfflineDatabase()->getAllFOJobRecord(jobs);
    EXPECT_EQ(jobs.size(), 2u);

    runner.shutdown(true);
    runner.doRemoteWipe();
    EXPECT_FALSE(exists("sync/My Files"));
    EXPECT_FALSE(exists("netjob"));
}

TEST_F(WipeTest, RefusesFoldersThatAreNotTheProgramsAndGoesOnWithTheOthers) {
    TestRunner& runner = makeRunner(noPolling());
    seedFiles(runner);
    runner.getSyncDatabase()->setConfigValue("config", "networkfoldername", "../outside");
    runner.getSyncDatabase()->setConfigValue("config", "teamfoldername", "Team Folders/..");
    for (const std::string& dangerous : {std::string("/"), m_tmp.path(), m_tmp / "data", m_tmp / "data/..",
                                         std::string("relative/folder")}) {
        FOOfflineJobData job("/EXTERNAL/x", dangerous, 0, true, "1h", "", false, false);
        runner.getOfflineDatabase()->FOAddJobRecord(&job);
    }
    CloudSyncTest::LogCapture& log = freshLog();
    EXPECT_EQ(runner.remoteWipeTargets(),
              (std::vector<std::string>{syncRoot() + "/My Files", syncRoot() + "/Shared with Me", m_tmp / "netjob"}));
    EXPECT_TRUE(log.contains("Remote Wipe refused for the folder name \"../outside\"")) << log.dump();
    EXPECT_TRUE(log.contains("Remote Wipe refused for the job folder /: the root folder")) << log.dump();
    EXPECT_TRUE(log.contains("Remote Wipe refused for the job folder relative/folder")) << log.dump();

    runner.doRemoteWipe();
    EXPECT_TRUE(exists("outside/keep.txt"));
    EXPECT_TRUE(exists("sync/Team Folders/t.txt"));
    EXPECT_TRUE(exists("data/syncclient.db"));
    EXPECT_FALSE(exists("sync/My Files"));
}

// The user's home folder (HOME) and the folders holding it are refused as
// job folders even where they hold none of the program's folders; a folder
// below the home folder is wiped.
TEST_F(WipeTest, RefusesTheHomeFolderAsAJobFolder) {
    const std::string home = m_tmp / "users/ann";
    m_tmp.write("users/ann/notes.txt", "mine");
    m_tmp.write("users/ann/Shared Drive/s.txt", "synced");
    const char* savedHome = ::getenv("HOME");
    const std::string previousHome = savedHome ? savedHome : "";
    ::setenv("HOME", home.c_str(), 1);
    TestRunner& runner = makeRunner(noPolling());
    for (const std::string& folder : {home, m_tmp / "users", home + "/Shared Drive"}) {
        FOOfflineJobData job("/EXTERNAL/x", folder, 0, true, "1h", "", false, false);
        runner.getOfflineDatabase()->FOAddJobRecord(&job);
    }
    CloudSyncTest::LogCapture& log = freshLog();
    const std::vector<std::string> targets = runner.remoteWipeTargets();
    runner.doRemoteWipe();
    if (savedHome)
        ::setenv("HOME", previousHome.c_str(), 1);
    else
        ::unsetenv("HOME");

    EXPECT_EQ(targets, (std::vector<std::string>{syncRoot() + "/My Files", syncRoot() + "/Shared with Me",
                                                 home + "/Shared Drive", syncRoot() + "/Network Folders",
                                                 syncRoot() + "/Team Folders"}));
    EXPECT_TRUE(log.contains("Remote Wipe refused for the job folder " + home +
                             ": the home folder or a folder holding it"))
        << log.dump();
    EXPECT_TRUE(log.contains("Remote Wipe refused for the job folder " + (m_tmp / "users") +
                             ": the home folder or a folder holding it"))
        << log.dump();
    EXPECT_TRUE(exists("users/ann/notes.txt"));
    EXPECT_FALSE(exists("users/ann/Shared Drive"));
}

TEST_F(WipeTest, ALinkInPlaceOfAFolderIsRemovedAndItsTargetKept) {
    TestRunner& runner = makeRunner(noPolling());
    m_tmp.write("outside/keep.txt", "mine");
    Poco::File(syncRoot()).createDirectories();
    ASSERT_EQ(::symlink((m_tmp / "outside").c_str(), (syncRoot() + "/My Files").c_str()), 0);
    runner.doRemoteWipe();
    EXPECT_FALSE(Poco::File(syncRoot() + "/My Files").exists());
    EXPECT_TRUE(exists("outside/keep.txt"));
}

TEST_F(WipeTest, NothingHappensWhileASyncWorkerExists) {
    TestRunner& runner = makeRunner(noPolling());
    seedFiles(runner);
    runner.startup();
    ASSERT_TRUE(runner.currentWorker());
    runner.doRemoteWipe();
    runner.resetSyncData();
    runner.resetConfigData();
    EXPECT_TRUE(exists("sync/My Files/a.txt"));
    EXPECT_TRUE(exists("data/profile.png"));
    EXPECT_NE(stored("hostname"), "<absent>");
}

} // namespace
} // namespace RunnerTest
