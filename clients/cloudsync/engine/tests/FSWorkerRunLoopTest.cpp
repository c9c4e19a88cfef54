// The run loop and the pass driver: when a pass runs and what curInterval
// is after it, the rounds of a folder, the re-login, when the upload half
// runs, the server that keeps saying no, the housekeeping of the loop, and
// the loop on its own thread. Most tests drive the loop's cycles and passes
// on the test's thread (a worker without its thread), with the timestamps
// set back instead of waiting.

#include "SyncDevice.h"

#include "CaseName.h"
#include "DirChangeNotification.h"
#include "EventRecorder.h"
#include "FSActivity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace EngineTest {
namespace {

using CloudSyncTest::EventRecorder;
using Nuvaro::Sync::FSActivity;
using Nuvaro::Sync::FSWorker;

// Run-loop seconds of a real second: tests set timestamps back by whole
// seconds and never wait for one.
FSWorker::Intervals realSeconds() {
    FSWorker::Intervals intervals = SyncDevice::fastIntervals();
    intervals.secondMs = 1000;
    return intervals;
}

Poco::Timestamp secondsAgo(long seconds) {
    return Poco::Timestamp() - static_cast<Poco::Timestamp::TimeDiff>(seconds) * Poco::Timestamp::resolution();
}

class RunLoopTest : public OneDeviceTest {
public:
    static constexpr int kFrequency = 120;

protected:
    PassWorker& ready() { return OneDeviceTest::ready(realSeconds()); }
};

// ---- When a pass runs ----

TEST_F(RunLoopTest, PassRunsOnceMoreThanItsIntervalHasPassed) {
    PassWorker& worker = ready();
    worker.flags.localChangesPending = false;
    const int before = worker.passesStarted.load();

    worker.lastSync = secondsAgo(kFrequency - 5);
    EXPECT_TRUE(worker.runCycle(nullptr));
    EXPECT_EQ(worker.passesStarted.load(), before);

    worker.lastSync = secondsAgo(kFrequency + 1);
    EXPECT_TRUE(worker.runCycle(nullptr));
    EXPECT_EQ(worker.passesStarted.load(), before + 1);
    EXPECT_LT(worker.lastSync.elapsed(), 60 * Poco::Timestamp::resolution());
}

TEST_F(RunLoopTest, PendingLocalChangesShortenTheIntervalToOneSecond) {
    PassWorker& worker = ready();
    worker.flags.localChangesPending = false;
    EXPECT_EQ(worker.passInterval(), kFrequency);
    worker.checkForFSChanges();
    EXPECT_EQ(worker.passInterval(), 1);
    worker.lastSync = secondsAgo(2);
    const int before = worker.passesStarted.load();
    worker.runCycle(nullptr);
    EXPECT_EQ(worker.passesStarted.load(), before + 1);
}

TEST_F(RunLoopTest, NoPassAndNoNewScanWhileAScanRuns) {
    PassWorker& worker = ready();
    worker.lastSync = secondsAgo(kFrequency + 1);
    worker.flags.localChangesPending = false;
    worker.setIntervalsForTesting([] {
        FSWorker::Intervals slow = realSeconds();
        slow.scanStartDelayMs = 60000;
        return slow;
    }());
    worker.restartFolderCheckActivity();
    ASSERT_TRUE(worker.folderCheck && worker.folderCheck->activity().isRunning());
    const int before = worker.passesStarted.load();
    worker.runCycle(nullptr);
    EXPECT_EQ(worker.passesStarted.load(), before);
    worker.folderCheck->activity().stop();
    worker.folderCheck->activity().wait();
    worker.runCycle(nullptr);
    EXPECT_FALSE(worker.folderCheck);
    EXPECT_EQ(worker.passesStarted.load(), before + 1);
}

// ---- curInterval after a pass ----

struct IntervalCase {
    std::string what;
    // Sets the server (and the device) up before the pass.
    std::function<void(VaultpineTestServer&, SyncDevice&)> setUp;
    int curIntervalFactor;     // curInterval after the pass, in syncFrequency
    bool localChangesPending;  // left pending by the pass
    int passInterval;          // the next pass's interval with changes pending, in seconds
};

class PassIntervals : public RunLoopTest, public ::testing::WithParamInterface<IntervalCase> {};

TEST_P(PassIntervals, FollowTheOutcome) {
    const IntervalCase& c = GetParam();
    PassWorker& worker = ready();
    device->write("local.txt", "mine");
    device->scan();
    c.setUp(server, *device);
    worker.runSyncPass();
    EXPECT_EQ(worker.curInterval.load(), c.curIntervalFactor * kFrequency);
    EXPECT_EQ(worker.flags.localChangesPending.load(), c.localChangesPending);
    worker.flags.localChangesPending = true;
    EXPECT_EQ(worker.passInterval(), c.passInterval);
}

const int kF = RunLoopTest::kFrequency;

INSTANTIATE_TEST_SUITE_P(
    Outcomes, PassIntervals,
    ::testing::Values(
        IntervalCase{"changes sent", [](VaultpineTestServer&, SyncDevice&) {}, 1, false, 1},
        IntervalCase{"login refused",
                     [](VaultpineTestServer& s, SyncDevice&) { s.setAccountBlocked(SyncDevice::kUser, true); }, 20,
                     true, 20 * kF},
        IntervalCase{"login fails with a server error",
                     [](VaultpineTestServer& s, SyncDevice&) {
                         s.dropSessions(SyncDevice::kUser);
                         s.addFault(TestFault::withStatus("/core/loginguest", 500));
                     },
                     4, true, 4 * kF},
        IntervalCase{"sync not allowed",
                     [](VaultpineTestServer& s, SyncDevice&) { s.setAllowSync(SyncDevice::kUser, false); }, 4, true,
                     4 * kF},
        IntervalCase{"empty folder list",
                     [](VaultpineTestServer& s, SyncDevice&) {
                         s.addFault(TestFault::withBody("/app/sync/getsyncfolderlist",
                                                        "<syncfolders><meta><allowsync>1</allowsync></meta>"
                                                        "</syncfolders>"));
                     },
                     4, true, 4 * kF},
        // The re-login after the failed step succeeds: no back-off, but no
        // 1-second retry of a failing server either.
        IntervalCase{"delta fails",
                     [](VaultpineTestServer& s, SyncDevice&) {
                         s.putFile(SyncDevice::kUser, "/user1/theirs.txt", "t");
                         s.addFault(TestFault::withStatus("/app/sync/getsyncdelta", 503));
                     },
                     1, true, kF},
        IntervalCase{"delta cut short",
                     [](VaultpineTestServer& s, SyncDevice&) {
                         s.putFile(SyncDevice::kUser, "/user1/theirs.txt", "t");
                         s.addFault(TestFault::truncatedBody("/app/sync/getsyncdelta", 40));
                     },
                     1, true, kF},
        IntervalCase{"protocol version mismatch",
                     [](VaultpineTestServer& s, SyncDevice&) {
                         s.putFile(SyncDevice::kUser, "/user1/theirs.txt", "t");
                         Nuvaro::Sync::TestServer::SyncOptions options;
                         options.protocolVersion = "3";
                         s.setSyncOptions(options);
                     },
                     4, true, 4 * kF},
        IntervalCase{"upload fails",
                     [](VaultpineTestServer& s, SyncDevice&) {
                         s.addFault(TestFault::withBody("/upload", "Failed: quota exceeded", 200));
                     },
                     1, false, kF}),
    NameByWhat());

TEST_F(RunLoopTest, UserRequestEndsTheWaitOfAFailedPassButNotABackOff) {
    PassWorker& worker = ready();
    worker.flags.lastPassFailed = true;
    worker.flags.localChangesPending = true;
    EXPECT_EQ(worker.passInterval(), kFrequency);
    worker.checkForFSChanges();
    EXPECT_EQ(worker.passInterval(), 1);
    // A back-off set by a later failure holds even with changes pending.
    worker.curInterval = 20 * kFrequency;
    EXPECT_EQ(worker.passInterval(), 20 * kFrequency);
}

// ---- A server that keeps saying no ----

struct RefusalCase {
    std::string what;
    std::function<void(VaultpineTestServer&)> refuse;
};

class Refusals : public RunLoopTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, AreReportedOnceNotAtEveryPass) {
    PassWorker& worker = ready();
    GetParam().refuse(server);
    for (int pass = 0; pass < 3; ++pass)
        worker.runSyncPass();
    EXPECT_EQ(activities(FSActivity::TypeError).size(), 1u);
    EXPECT_EQ(worker.curInterval.load(), 4 * kFrequency);
    EXPECT_TRUE(worker.flags.lastPassFailed.load());

    // Back: the next passes (a login may come first) complete.
    server.clearFaults();
    server.setAllowSync(SyncDevice::kUser, true);
    worker.runSyncPass();
    worker.runSyncPass();
    EXPECT_FALSE(worker.flags.lastPassFailed.load());
    EXPECT_EQ(worker.curInterval.load(), kFrequency);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Refusals,
    ::testing::Values(
        RefusalCase{"sync not allowed", [](VaultpineTestServer& s) { s.setAllowSync(SyncDevice::kUser, false); }},
        RefusalCase{"empty folder list",
                    [](VaultpineTestServer& s) {
                        s.addFault(TestFault::withBody(
                            "/app/sync/getsyncfolderlist",
                            "<syncfolders><meta><allowsync>1</allowsync></meta></syncfolders>"));
                    }},
        RefusalCase{"failed logins",
                    [](VaultpineTestServer& s) {
                        s.dropSessions(SyncDevice::kUser);
                        s.addFault(TestFault::withStatus("/core/loginguest", 500));
                    }}),
    NameByWhat());

// ---- Rounds ----

TEST_F(RunLoopTest, RoundsGoOnUntilTheFolderHasEveryChange) {
    PassWorker& worker = ready();
    for (int i = 0; i < 5; ++i)
        server.putFile(SyncDevice::kUser, "/user1/r" + std::to_string(i) + ".txt", std::to_string(i));
    Nuvaro::Sync::TestServer::SyncOptions paged;
    paged.pageSize = 2;
    server.setSyncOptions(paged);
    server.clearRequests();
    worker.runSyncPass();
    EXPECT_EQ(requestCount("/app/sync/getsyncdelta"), 3u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(device->read("r" + std::to_string(i) + ".txt"), std::to_string(i));
    EXPECT_EQ(worker.pass.remoteStatus, worker.pass.remoteFullStatusSet);
    EXPECT_FALSE(worker.flags.lastPassFailed.load());
}

// Regression: rounds had no end when a round brought no new status.
TEST_F(RunLoopTest, RoundThatBringsNoNewStatusEndsTheFolderForThisPass) {
    PassWorker& worker = ready();
    server.putFile(SyncDevice::kUser, "/user1/x.txt", "x");
    server.addFault(TestFault::withBody(
        "/app/sync/getsyncdelta",
        "<syncdelta><meta><status>SERVEROK</status><localstatus></localstatus><remotestatus>server:1</remotestatus>"
        "<remotefullstatusset>server:99</remotefullstatusset><remotepeer>server</remotepeer>"
        "<numrecords>0</numrecords><syncprotocolversion>2</syncprotocolversion></meta></syncdelta>"));
    server.clearRequests();
    device->write("local.txt", "l");
    device->scan();
    worker.runSyncPass();
    EXPECT_EQ(requestCount("/app/sync/getsyncdelta"), 2u);
    // The folder is not done: nothing is sent, the changes wait.
    EXPECT_TRUE(worker.flags.lastPassFailed.load());
    EXPECT_EQ(requestCount("/upload"), 0u);
    EXPECT_EQ(worker.localChanges.size(), 1u);
}

TEST_F(RunLoopTest, StopEndsTheRoundsAtOnce) {
    PassWorker& worker = ready();
    for (int i = 0; i < 6; ++i)
        server.putFile(SyncDevice::kUser, "/user1/s" + std::to_string(i) + ".txt", "s");
    Nuvaro::Sync::TestServer::SyncOptions paged;
    paged.pageSize = 1;
    server.setSyncOptions(paged);
    server.addFault(TestFault::withDelay("/app/sync/getsyncdelta", 100));
    server.clearRequests();
    std::thread pass([&] { worker.runSyncPass(); });
    EXPECT_TRUE(server.waitForRequests("/app/sync/getsyncdelta", 2, 5000));
    worker.stop = true;
    pass.join();
    EXPECT_LE(requestCount("/app/sync/getsyncdelta"), 3u);
}

// ---- Login ----

TEST_F(RunLoopTest, PassLogsInAgainWhenTheServerForgotTheSession) {
    PassWorker& worker = ready();
    server.dropSessions(SyncDevice::kUser);
    server.clearRequests();
    const Poco::Timestamp before = worker.lastServerCheck;
    worker.runSyncPass();
    EXPECT_TRUE(worker.flags.loggedIn.load());
    EXPECT_EQ(requestCount("/core/loginguest"), 1u);
    EXPECT_EQ(worker.curInterval.load(), kFrequency);
    EXPECT_GT(worker.lastServerCheck, before);
    // The next pass works with the new session.
    server.putFile(SyncDevice::kUser, "/user1/after.txt", "a");
    worker.runSyncPass();
    EXPECT_EQ(device->read("after.txt"), "a");
}

TEST_F(RunLoopTest, PassWithoutALoginDoesNoServerWorkButLogsIn) {
    PassWorker& worker = ready();
    worker.flags.loggedIn = false;
    server.clearRequests();
    worker.runSyncPass();
    EXPECT_EQ(requestCount("/app/sync/getsyncfolderlist"), 0u);
    EXPECT_EQ(requestCount("/core/loginguest"), 1u);
    EXPECT_TRUE(worker.flags.loggedIn.load());
    EXPECT_TRUE(worker.flags.lastPassFailed.load());
}

TEST_F(RunLoopTest, RefusedLoginStopsTheHalfAtOnce) {
    PassWorker& worker = ready();
    server.setAccountBlocked(SyncDevice::kUser, true);
    EventRecorder events({10, 11, 13, 16});
    const Poco::Timestamp before = worker.lastServerCheck;
    EXPECT_FALSE(worker.doSyncFromServer());
    EXPECT_EQ(worker.lastServerCheck, before);
    EXPECT_EQ(events.events(), (std::vector<EventRecorder::Event>{EventRecorder::Event(4, "Login Failed, relogin", 0),
                                                                  EventRecorder::Event(7, "", 0)}));
}

// A device logged in with a device-authorisation code whose session then
// times out on the server (the user must renew the login in a browser): the
// pass backs off for 20 x syncFrequency, with changes pending too, and tells
// the user; the upload half's re-login leaves curInterval to the server half.
class DeviceSessionTimeOut : public RunLoopTest {
protected:
    PassWorker& readyWithADeviceCode() {
        m_account.userId = SyncDevice::kUser;
        m_account.password = SyncDevice::kPassword;
        m_account.deviceCode = "code-1";
        server.addAccount(m_account);
        device->settings["loginmode"] = "1";
        device->settings["devauthcode"] = "code-1";
        return ready();
    }
    void timeOutTheSession() {
        m_account.deviceCodeExpired = true;
        server.addAccount(m_account);
        server.dropSessions(SyncDevice::kUser);
    }
    const std::vector<EventRecorder::Event> m_told{EventRecorder::Event(4, "Device Session Timedout, relogin", 0),
                                                   EventRecorder::Event(8, "", 0)};

private:
    TestAccount m_account;
};

TEST_F(DeviceSessionTimeOut, BacksOffThePassAndTellsTheUser) {
    PassWorker& worker = readyWithADeviceCode();
    ASSERT_TRUE(worker.flags.loggedIn.load());
    device->write("mine.txt", "mine");
    device->scan();
    timeOutTheSession();
    server.clearRequests();
    EventRecorder events({10, 11, 13, 16});
    CloudSyncTest::LogCapture log;

    worker.runSyncPass();

    EXPECT_GE(requestCount("/core/loginguest"), 1u);
    EXPECT_EQ(requestCount("/upload"), 0u);
    EXPECT_FALSE(worker.flags.loggedIn.load());
    EXPECT_EQ(worker.curInterval.load(), 20 * kFrequency);
    EXPECT_TRUE(worker.flags.localChangesPending.load());
    EXPECT_EQ(worker.passInterval(), 20 * kFrequency);
    EXPECT_EQ(events.events(), m_told);
    EXPECT_TRUE(log.contains("Device Auth Code Session Timeout")) << log.dump();
}

TEST_F(DeviceSessionTimeOut, UploadHalfSendsNothingAndLeavesTheInterval) {
    PassWorker& worker = readyWithADeviceCode();
    device->write("mine.txt", "mine");
    device->scan();
    ASSERT_EQ(worker.localChanges.size(), 1u);
    timeOutTheSession();
    worker.flags.loggedIn = false;
    server.clearRequests();
    EventRecorder events({10, 11, 13, 16});

    EXPECT_FALSE(worker.doSyncToServer());

    EXPECT_EQ(requestCount("/upload"), 0u);
    EXPECT_EQ(requestCount("/core/loginguest"), 1u);
    EXPECT_EQ(worker.curInterval.load(), kFrequency);
    EXPECT_EQ(events.events(), m_told);
}

// The re-login of the upload half: a refusal leaves curInterval to the
// server half (which already backed it off), another failure backs off.
struct UploadLoginCase {
    std::string what;
    std::function<void(VaultpineTestServer&)> fail;
    int curIntervalFactor;
    std::vector<EventRecorder::Event> events;
};

class UploadHalfLogins : public RunLoopTest, public ::testing::WithParamInterface<UploadLoginCase> {};

TEST_P(UploadHalfLogins, FailedReLoginSendsNothing) {
    const UploadLoginCase& c = GetParam();
    PassWorker& worker = ready();
    device->write("mine.txt", "mine");
    device->scan();
    ASSERT_EQ(worker.localChanges.size(), 1u);
    worker.flags.loggedIn = false;
    c.fail(server);
    server.clearRequests();
    EventRecorder events({10, 11, 13, 16});
    EXPECT_FALSE(worker.doSyncToServer());
    EXPECT_EQ(requestCount("/upload"), 0u);
    EXPECT_EQ(requestCount("/core/loginguest"), 1u);
    EXPECT_EQ(worker.curInterval.load(), c.curIntervalFactor * kFrequency);
    EXPECT_EQ(events.events(), c.events);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, UploadHalfLogins,
    ::testing::Values(
        UploadLoginCase{"login refused",
                        [](VaultpineTestServer& s) { s.setAccountBlocked(SyncDevice::kUser, true); }, 1,
                        {EventRecorder::Event(4, "Login Failed, relogin", 0), EventRecorder::Event(7, "", 0)}},
        UploadLoginCase{"login fails with a server error",
                        [](VaultpineTestServer& s) {
                            s.dropSessions(SyncDevice::kUser);
                            s.addFault(TestFault::withStatus("/core/loginguest", 500));
                        },
                        4,
                        {EventRecorder::Event(4, "Failed to Login! Invalid response, check Server.", 0)}}),
    NameByWhat());

// ---- When the upload half runs ----

TEST_F(RunLoopTest, LocalChangesAreSentWhenTheServerHadNothingNew) {
    PassWorker& worker = ready();
    device->write("docs/new.txt", "new");
    device->scan();
    server.clearRequests();
    worker.runSyncPass();
    EXPECT_EQ(server.fileContent(SyncDevice::kUser, "/user1/docs/new.txt"), std::string("new"));
    EXPECT_TRUE(worker.localChanges.empty());
    EXPECT_FALSE(worker.flags.localChangesPending.load());
    // The second half took the echo: recorded, nothing downloaded back.
    EXPECT_EQ(worker.uploadedThisPass.size(), 0u);
    EXPECT_EQ(requestCount("/core/downloadfile"), 0u);
    EXPECT_TRUE(device->db()->getFSSyncRecord("/user1/docs/new.txt") != nullptr);
    // A new scan finds nothing more to send.
    device->scan();
    EXPECT_TRUE(worker.localChanges.empty());
}

// Regression: when server changes came in, the whole change list waited
// for a new scan, and a server that changed at every pass held every upload
// back for good. What the server did not touch goes in the same pass; what
// it touched waits for the new scan.
TEST_F(RunLoopTest, ServerChangesHoldBackOnlyTheLocalChangesTheyTouch) {
    server.putFile(SyncDevice::kUser, "/user1/shared.txt", "v1");
    PassWorker& worker = ready();
    worker.runSyncPass();
    device->write("mine.txt", "mine");
    device->write("shared.txt", "my edit", 100);
    device->scan();
    ASSERT_EQ(worker.localChanges.size(), 2u);
    server.putFile(SyncDevice::kUser, "/user1/theirs.txt", "theirs");
    server.putFile(SyncDevice::kUser, "/user1/shared.txt", "their edit");
    server.clearRequests();

    worker.runSyncPass();

    EXPECT_EQ(requestCount("/upload"), 1u);
    EXPECT_EQ(server.fileContent(SyncDevice::kUser, "/user1/mine.txt"), std::string("mine"));
    EXPECT_EQ(server.fileContent(SyncDevice::kUser, "/user1/shared.txt"), std::string("their edit"));
    EXPECT_EQ(device->read("theirs.txt"), "theirs");
    EXPECT_EQ(device->read("shared.txt"), "my edit");
    EXPECT_TRUE(worker.flags.rescanRequested.load());
    EXPECT_FALSE(worker.flags.localChangesPending.load());
    EXPECT_FALSE(worker.flags.lastPassFailed.load());
    // The loop's next cycle starts the scan asked for: the edit stays beside
    // the server's version (conflict copy), nothing more goes up.
    worker.runCycle(nullptr);
    ASSERT_TRUE(worker.folderCheck);
    worker.folderCheck->activity().wait();
    worker.lastSync = secondsAgo(2);
    worker.runCycle(nullptr);
    EXPECT_EQ(requestCount("/upload"), 1u);
    EXPECT_EQ(server.fileContent(SyncDevice::kUser, "/user1/shared.txt"), std::string("their edit"));
}

TEST_F(RunLoopTest, FailedServerHalfKeepsTheLocalChanges) {
    PassWorker& worker = ready();
    device->write("mine.txt", "mine");
    device->scan();
    ASSERT_EQ(worker.localChanges.size(), 1u);
    server.putFile(SyncDevice::kUser, "/user1/theirs.txt", "theirs");
    server.addFault(TestFault::withStatus("/app/sync/getsyncdelta", 500));
    worker.runSyncPass();
    EXPECT_EQ(worker.localChanges.size(), 1u);
    EXPECT_TRUE(worker.flags.localChangesPending.load());
    EXPECT_EQ(requestCount("/upload"), 0u);

    server.clearFaults();
    worker.runSyncPass();  // brings the server's change: the upload waits
    device->syncOnce();
    EXPECT_EQ(server.fileContent(SyncDevice::kUser, "/user1/mine.txt"), std::string("mine"));
}

TEST_F(RunLoopTest, UploadHalfWaitsForTheFirstAcceptedReply) {
    EXPECT_TRUE(device->logIn(realSeconds()));
    PassWorker& worker = device->worker();
    worker.putSyncStatus("Before");
    const Poco::Timestamp before = worker.lastSync;
    EXPECT_FALSE(worker.doSyncToServer());
    EXPECT_EQ(worker.getSyncStatus(), "Before");
    EXPECT_EQ(worker.lastSync, before);
}

// ---- Housekeeping ----

TEST_F(RunLoopTest, PeriodicScanIsAskedForOnceTheLimitHasPassed) {
    device->settings["totalsecswithoutscan"] = "600";
    device->settings["syncfrequency"] = "1000";
    PassWorker& worker = ready();
    worker.flags.localChangesPending = true;  // no scan starts in these cycles
    worker.lastSync = Poco::Timestamp();
    worker.lastScan = secondsAgo(590);
    worker.runCycle(nullptr);
    EXPECT_EQ(worker.queue.size(), 0);
    worker.lastScan = secondsAgo(601);
    worker.runCycle(nullptr);
    EXPECT_EQ(worker.queue.size(), 1);
    worker.runCycle(nullptr);  // not while one waits in the queue
    EXPECT_EQ(worker.queue.size(), 1);
}

TEST_F(RunLoopTest, ConflictNoticeAtMostOnceInSixThousandSeconds) {
    server.putFile(SyncDevice::kUser, "/user1/f.txt", "server");
    PassWorker& worker = ready();
    device->write("f.txt", "edited here", 100);
    device->write("f(Conflict_Phone_2024-01-01-10-00-00).txt", "theirs");
    EventRecorder events({10, 11, 12, 13, 16});
    worker.lastConflictNotice = secondsAgo(5990);
    device->scan();
    EXPECT_TRUE(events.events().empty());
    worker.lastConflictNotice = secondsAgo(6001);
    device->scan();
    EXPECT_EQ(events.events(),
              (std::vector<EventRecorder::Event>{EventRecorder::Event(
                  4, "1 conflict files found, please View Errors and Conflicts via more options to resolve conflict.",
                  0)}));
}

struct TopLevelCase {
    std::string what;
    std::vector<std::string> files;
    std::vector<std::string> folders;
    std::vector<std::string> reported;  // any one of them
};

class UnsyncedTopLevel : public RunLoopTest, public ::testing::WithParamInterface<TopLevelCase> {};

TEST_P(UnsyncedTopLevel, OneItemIsReportedPerCheck) {
    const TopLevelCase& c = GetParam();
    PassWorker& worker = ready();
    for (const std::string& name : c.files)
        std::ofstream(device->syncRoot() + "/" + name) << "x";
    for (const std::string& name : c.folders)
        Poco::File(device->syncRoot() + "/" + name).createDirectories();
    worker.lastUnsyncedCheck = secondsAgo(10801);
    worker.flags.localChangesPending = true;
    worker.lastSync = Poco::Timestamp();
    worker.runCycle(nullptr);
    auto skipped = activities(FSActivity::TypeSkippedLocal);
    ASSERT_EQ(skipped.size(), c.reported.empty() ? 0u : 1u);
    if (!c.reported.empty()) {
        const std::string name = skipped[0]->fullPath.substr(device->syncRoot().size() + 1);
        EXPECT_NE(std::find(c.reported.begin(), c.reported.end(), name), c.reported.end()) << name;
        EXPECT_EQ(skipped[0]->message, "Skipping files at the top level folder");
    }
    EXPECT_LT(worker.lastUnsyncedCheck.elapsed(), 60 * Poco::Timestamp::resolution());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnsyncedTopLevel,
    ::testing::Values(TopLevelCase{"only known names",
                                   {".hidden", "Icon\r", "desktop.ini", "Thumbs.db"},
                                   {"Shared with Me", "Team Folders", "Network Folders"},
                                   {}},
                      TopLevelCase{"one stray file", {".hidden", "Icon\r", "notes.txt"}, {"Shared with Me"},
                                   {"notes.txt"}},
                      TopLevelCase{"two stray items", {"a.txt"}, {"old stuff"}, {"a.txt", "old stuff"}}),
    NameByWhat());

// ---- The loop on its own thread ----

TEST_F(RunLoopTest, StartedWorkerSyncsBothWaysOnItsOwn) {
    server.putFile(SyncDevice::kUser, "/user1/welcome.txt", "hello");
    ASSERT_TRUE(device->start());
    EXPECT_TRUE(waitUntil([&] { return device->exists("welcome.txt"); }, 20000));
    device->write("reply.txt", "thanks");
    EXPECT_TRUE(waitUntil([&] { return server.fileContent(SyncDevice::kUser, "/user1/reply.txt").has_value(); },
                          20000));
    device->stop();
}

TEST_F(RunLoopTest, ShutdownDuringAPassEndsItPromptly) {
    server.addFault(TestFault::withDelay("/app/sync/getsyncfolderlist", 5000));
    ASSERT_TRUE(device->start());
    ASSERT_TRUE(server.waitForRequests("/app/sync/getsyncfolderlist", 1, 10000));
    Poco::Timestamp began;
    device->stop();
    EXPECT_LT(began.elapsed(), 3 * Poco::Timestamp::resolution());
}

} // namespace
} // namespace EngineTest
