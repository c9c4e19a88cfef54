// The worker's own requests on the wire against the test server: recheck,
// skip upload, checksum, the sync lock and its refresh, and the session
// set-up (proxy) they share. The worker is logged in without its thread; the
// requests run on the test's thread.

#include "WorkerFixture.h"

#include "EventRecorder.h"
#include "RefreshLockActivity.h"

#include "nuvarocbfs_Network.h"

#include <Poco/ThreadPool.h>

#include <algorithm>

namespace EngineTest {

using CloudSyncTest::EventRecorder;

namespace {

using Nuvaro::Sync::FSSyncRecord;
using Nuvaro::Sync::TestServer::RecordedRequest;
using Nuvaro::Sync::TestServer::SyncOptions;

std::string commandReply(const std::string& result, const std::string& message) {
    return "<commands><command><type>sync</type><result>" + result + "</result><message>" + message +
           "</message></command></commands>";
}

class Requests : public WorkerTest {
protected:
    boost::shared_ptr<FSSyncRecord> record(const std::string& serverPath, Poco::Int64 size) {
        boost::shared_ptr<FSSyncRecord> made(new FSSyncRecord());
        made->setFullPath(serverPath);
        made->setSize(size);
        return made;
    }
    RecordedRequest only(const std::string& path) {
        auto sent = server.requests(path);
        EXPECT_EQ(sent.size(), 1u) << path;
        return sent.empty() ? RecordedRequest() : sent.back();
    }
};

// ---- Recheck, skip upload, checksum ----

TEST_F(Requests, RecheckSendsThePathEncodedInAFormBody) {
    server.putFile(kUser, "/user1/a b&c.txt", "abc");
    Poco::Int64 before = server.item(kUser, "/user1/a b&c.txt")->updateVersion;
    ASSERT_TRUE(logIn());
    CloudSyncTest::LogCapture log({"Sync"});
    EXPECT_TRUE(m_worker->doRecheckRecord("/user1/a b&c.txt"));
    RecordedRequest sent = only("/app/sync/recheckrecord");
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.body, "path=%2Fuser1%2Fa%20b%26c.txt");
    EXPECT_EQ(sent.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(sent.header("Content-Length"), std::to_string(sent.body.size()));
    EXPECT_GT(server.item(kUser, "/user1/a b&c.txt")->updateVersion, before);
    EXPECT_TRUE(log.contains("Recheck Response: ")) << log.dump();
}

// The worker's GET head on the wire: HTTP/1.0, the connector's headers with
// the bare device text, then what the HTTP session adds.
TEST_F(Requests, LockSendsTheWorkersGetHead) {
    ASSERT_TRUE(logIn());
    ASSERT_TRUE(m_worker->doLock());
    RecordedRequest sent = only("/app/sync/lock");
    EXPECT_EQ(sent.version, "HTTP/1.0");
    std::vector<std::string> names;
    for (const auto& header : sent.headers)
        names.push_back(header.first);
    EXPECT_EQ(names, (std::vector<std::string>{"User-Agent", "Device-Info", "Cookie", "Connection", "Host"}));
    EXPECT_EQ(sent.header("Device-Info").find("%0A"), std::string::npos);
    EXPECT_TRUE(sent.body.empty());
}

TEST_F(Requests, RecheckFailuresNeverClearTheLogin) {
    ASSERT_TRUE(logIn());
    server.addFault(TestFault::dropAfter("/app/sync/recheckrecord", 0));
    CloudSyncTest::LogCapture log({"Sync"});
    EXPECT_TRUE(m_worker->doRecheckRecord("/user1/x"));
    EXPECT_TRUE(m_worker->flags.loggedIn);
    EXPECT_TRUE(log.contains("doRecheckRecordPoco Exception caught Ignoring for Recheck : ")) << log.dump();

    // Without a login nothing is sent.
    m_worker->connector->resetSession();
    EXPECT_FALSE(m_worker->doRecheckRecord("/user1/x"));
    EXPECT_TRUE(log.contains("doRecheckRecord ERROR Preparing HTTP")) << log.dump();
}

TEST_F(Requests, SkipUploadSendsTheDeviceAndTheRecord) {
    ASSERT_TRUE(logIn());
    CloudSyncTest::LogCapture log({"Sync"});
    EXPECT_TRUE(m_worker->doSkipUpload(record("/user1/docs/big file.bin", 123456789012)));
    RecordedRequest sent = only("/app/sync/skipupload");
    EXPECT_EQ(sent.method, "GET");
    EXPECT_EQ(sent.query, "friendly=My%20PC&name=dev-1&fullpath=%2Fuser1%2Fdocs%2Fbig%20file.bin&size=123456789012");
    EXPECT_TRUE(log.contains("FS Skip OK: /user1/docs/big file.bin")) << log.dump();

    server.addFault(TestFault::withBody("/app/sync/skipupload", commandReply("0", "no")));
    EXPECT_FALSE(m_worker->doSkipUpload(record("/user1/x", 1)));
    EXPECT_TRUE(log.contains("FS Skip Fail: /user1/x")) << log.dump();
    EXPECT_TRUE(m_worker->flags.loggedIn);
}

TEST_F(Requests, ChecksumOfAServerFile) {
    server.putFile(kUser, "/user1/c.txt", "checksum me");
    ASSERT_TRUE(logIn());
    std::string checksum;
    ASSERT_TRUE(m_worker->getCheckSum(record("/user1/c.txt", 11), 11, checksum, true));
    EXPECT_EQ(checksum.size(), 16u);
    RecordedRequest sent = only("/app/sync/getchecksum");
    EXPECT_EQ(sent.query, "friendly=My%20PC&download=1&fullpath=%2Fuser1%2Fc.txt&name=dev-1&start=0&length=11");

    std::string untouched = "kept";
    EXPECT_FALSE(m_worker->getCheckSum(record("/user1/missing.txt", 1), 1, untouched, false));
    EXPECT_EQ(untouched, "kept");
    EXPECT_EQ(server.requests("/app/sync/getchecksum").back().queryField("download"), "0");
}

struct ReplyFault {
    const char* name;
    TestFault fault;
    const char* line;
};

class RefusedReplies : public Requests, public ::testing::WithParamInterface<ReplyFault> {};

// A reply the worker cannot use clears the login flag, so that the next
// pass logs in again.
TEST_P(RefusedReplies, ClearTheLoginFlag) {
    ASSERT_TRUE(logIn());
    server.addFault(GetParam().fault);
    CloudSyncTest::LogCapture log({"Sync"});
    EXPECT_FALSE(m_worker->doSkipUpload(record("/user1/x", 1)));
    EXPECT_FALSE(m_worker->flags.loggedIn);
    EXPECT_TRUE(log.contains(GetParam().line)) << log.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RefusedReplies,
    ::testing::Values(ReplyFault{"Status", TestFault::withStatus("/app/sync/skipupload", 500),
                                 "doSkipUpload Bad HTTP Status, Timeout? "},
                      ReplyFault{"Dropped", TestFault::dropAfter("/app/sync/skipupload", 0),
                                 "doSkipUploadPoco Exception caught : "}),
    [](const ::testing::TestParamInfo<ReplyFault>& info) { return std::string(info.param.name); });

// ---- The sync lock ----

TEST_F(Requests, LockIsTakenAndReleased) {
    m_settings["syncfrequency"] = "30";
    ASSERT_TRUE(logIn());
    TestWorker& worker = *m_worker;
    worker.curInterval = 120;
    EXPECT_TRUE(worker.doLock());
    EXPECT_TRUE(worker.flags.locked);
    EXPECT_EQ(worker.uploadPath, "/user1");
    EXPECT_EQ(worker.curInterval, 30);
    EXPECT_EQ(server.syncLockHolder(kUser), std::optional<std::string>("dev-1"));
    EXPECT_EQ(only("/app/sync/lock").query, "friendly=My%20PC&name=dev-1");

    EXPECT_TRUE(worker.doUnlock());
    EXPECT_FALSE(worker.flags.locked);
    EXPECT_FALSE(server.syncLockHolder(kUser));
    EXPECT_EQ(only("/app/sync/unlock").query, "friendly=My%20PC&name=dev-1");
}

TEST_F(Requests, LockHeldByAnotherDeviceIsRefused) {
    server.setSyncLockHolder(kUser, "phone-7");
    ASSERT_TRUE(logIn());
    CloudSyncTest::LogCapture log({"Sync"});
    EXPECT_FALSE(m_worker->doLock());
    EXPECT_FALSE(m_worker->flags.locked);
    EXPECT_TRUE(m_worker->flags.loggedIn);
    EXPECT_TRUE(log.contains("LOCK failed. Server says: Sync is locked by another device: phone-7")) << log.dump();

    // Releasing a lock this device does not hold: the server refuses, the
    // worker goes on unlocked.
    EXPECT_TRUE(m_worker->doUnlock());
    EXPECT_TRUE(log.contains("UNLOCKED Server FAILED, ignoring")) << log.dump();
    EXPECT_EQ(server.syncLockHolder(kUser), std::optional<std::string>("phone-7"));
}

struct VersionCase {
    const char* name;
    std::function<void(VaultpineTestServer&)> setup;
};

class LockVersions : public Requests, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(LockVersions, AnotherSyncVersionIsReportedAndBacksOff) {
    m_settings["syncfrequency"] = "30";
    GetParam().setup(server);
    ASSERT_TRUE(logIn());
    EventRecorder events;
    EXPECT_FALSE(m_worker->doLock());
    EXPECT_EQ(m_worker->curInterval, 120);
    auto seen = events.events();
    EXPECT_NE(std::find(seen.begin(), seen.end(),
                        EventRecorder::Event{4, "Error: Incompatibe Server Detected. Upgrade to latest version", 0}),
              seen.end());
    std::vector<boost::shared_ptr<Nuvaro::Sync::FSActivity>> errors;
    ASSERT_TRUE(m_db->activityCollectionGet(errors, 5));
    EXPECT_EQ(errors.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Versions, LockVersions,
                         ::testing::Values(VersionCase{"Three",
                                                       [](VaultpineTestServer& s) {
                                                           SyncOptions options;
                                                           options.protocolVersion = "3";
                                                           s.setSyncOptions(options);
                                                       }},
                                           VersionCase{"Missing",
                                                       [](VaultpineTestServer& s) {
                                                           s.addFault(TestFault::withBody(
                                                               "/app/sync/lock",
                                                               "<locks><lock><success>true</success><uploadpath>/user1"
                                                               "</uploadpath></lock></locks>"));
                                                       }}),
                         [](const ::testing::TestParamInfo<VersionCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(Requests, LockWithoutALoginLogsInFirstAndAsksAgainLater) {
    m_settings["syncfrequency"] = "30";
    ASSERT_TRUE(logIn());
    m_worker->flags.loggedIn = false;
    m_worker->curInterval = 120;
    EXPECT_FALSE(m_worker->doLock());
    EXPECT_TRUE(m_worker->flags.loggedIn);
    EXPECT_EQ(m_worker->curInterval, 30);
    EXPECT_TRUE(server.requests("/app/sync/lock").empty());
    EXPECT_EQ(server.requests("/core/loginguest").size(), 2u);
    EXPECT_TRUE(m_worker->doLock());
}

TEST_F(Requests, LockLoginRefusedTellsTheUser) {
    ASSERT_TRUE(logIn());
    m_worker->flags.loggedIn = false;
    (*m_worker->settings[0])["password"] = "wrong";
    m_worker->connector.reset(
        new Nuvaro::NuvaroConnector(m_worker->settings, false, "Cloud Sync")); // the new password
    EventRecorder events({16});
    EXPECT_FALSE(m_worker->doLock());
    EXPECT_FALSE(m_worker->flags.loggedIn);
    std::vector<EventRecorder::Event> expected{EventRecorder::Event{4, "Login Failed, relogin", 0},
                                               EventRecorder::Event{7, "", 0}};
    EXPECT_EQ(events.events(), expected);
}

TEST_F(Requests, LockRequestThatFailsClearsTheLogin) {
    ASSERT_TRUE(logIn());
    server.addFault(TestFault::withStatus("/app/sync/lock", 503));
    EXPECT_FALSE(m_worker->doLock());
    EXPECT_FALSE(m_worker->flags.loggedIn);
    server.clearFaults();
    server.addFault(TestFault::dropAfter("/app/sync/unlock", 0));
    m_worker->flags.loggedIn = true;
    m_worker->flags.locked = true;
    EXPECT_TRUE(m_worker->doUnlock()); // true, the lock state unchanged
    EXPECT_TRUE(m_worker->flags.locked);
    EXPECT_FALSE(m_worker->flags.loggedIn);
}

// ---- Session set-up ----

TEST_F(Requests, ProxyNeedsHostAndPort) {
    m_settings["httpproxyhost"] = "127.0.0.1";
    ASSERT_TRUE(logIn()); // the connector shares the rule: no proxy either
    EXPECT_TRUE(m_worker->doLock());
    EXPECT_EQ(only("/app/sync/lock").target.find("/app/sync/lock"), 0u);
}

TEST_F(Requests, ProxyReceivesTheRequestInAbsoluteForm) {
    ASSERT_TRUE(logIn());
    // The test server itself plays the proxy: it gets the absolute URI.
    (*m_worker->settings[0])["httpproxyhost"] = "127.0.0.1";
    (*m_worker->settings[0])["httpproxyport"] = std::to_string(server.port());
    EXPECT_TRUE(m_worker->doLock());
    EXPECT_EQ(only("/app/sync/lock").target.find("http://127.0.0.1:"), 0u);
}

TEST_F(Requests, ProxyPortOutOfRangeFailsTheRequestInsteadOfUsingAnotherPort) {
    ASSERT_TRUE(logIn());
    (*m_worker->settings[0])["httpproxyhost"] = "127.0.0.1";
    (*m_worker->settings[0])["httpproxyport"] = "70000";
    CloudSyncTest::LogCapture log({"Sync"});
    EXPECT_FALSE(m_worker->doLock());
    EXPECT_TRUE(server.requests("/app/sync/lock").empty());
    EXPECT_TRUE(log.contains("Invalid proxy port 70000")) << log.dump();
}

// ---- The lock refresh ----

TEST_F(Requests, RefreshRunsOnItsIntervalUntilStopped) {
    m_settings["hostname"] = "dev&1=x";
    Nuvaro::Sync::FSWorker::Intervals intervals = fastIntervals();
    intervals.lockRefreshStepMs = 50;
    intervals.lockRefreshSteps = 4; // a refresh every 200 ms
    ASSERT_TRUE(logIn(intervals));
    ASSERT_TRUE(m_worker->doLock());
    int poolUsed = Poco::ThreadPool::defaultPool().used();
    Poco::Timestamp began;
    m_worker->startRefreshLockActivity();
    EXPECT_EQ(Poco::ThreadPool::defaultPool().used(), poolUsed + 1);
    ASSERT_TRUE(server.waitForRequests("/app/sync/refreshlock", 3, 5000));
    Poco::Timestamp::TimeDiff took = began.elapsed();
    EXPECT_GE(took, 550000); // three waits of 200 ms
    m_worker->stopRefreshLockActivity();
    EXPECT_FALSE(m_worker->refreshLock);
    EXPECT_TRUE(waitUntil([&] { return Poco::ThreadPool::defaultPool().used() == poolUsed; }, 2000));
    std::size_t sent = server.requests("/app/sync/refreshlock").size();
    Poco::Thread::sleep(300);
    EXPECT_EQ(server.requests("/app/sync/refreshlock").size(), sent);

    RecordedRequest first = server.requests("/app/sync/refreshlock").front();
    EXPECT_EQ(first.method, "GET");
    EXPECT_EQ(first.query, "&name=dev%261%3Dx");
    EXPECT_EQ(first.queryField("name"), "dev&1=x");
    EXPECT_FALSE(first.header("Cookie").empty());
}

// The refresh's head on the wire: HTTP/1.0, the bare device text, the login
// cookies taken when it was prepared (the worker may log out or in again
// meanwhile), and no proxy even when the connector's settings name one (the
// test server, which would then get the absolute URI).
TEST_F(Requests, RefreshSendsItsOwnHeadWithoutProxy) {
    m_settings["httpproxyhost"] = "127.0.0.1";
    m_settings["httpproxyport"] = std::to_string(server.port());
    Nuvaro::Sync::FSWorker::Intervals intervals = fastIntervals();
    intervals.lockRefreshStepMs = 50;
    intervals.lockRefreshSteps = 2;
    ASSERT_TRUE(logIn(intervals));
    m_worker->startRefreshLockActivity();
    m_worker->connector->resetSession();
    ASSERT_TRUE(server.waitForRequests("/app/sync/refreshlock", 2, 5000));
    m_worker->stopRefreshLockActivity();

    for (const RecordedRequest& sent : server.requests("/app/sync/refreshlock")) {
        EXPECT_EQ(sent.version, "HTTP/1.0");
        EXPECT_EQ(sent.target.find("/app/sync/refreshlock?&name="), 0u) << sent.target;
        std::vector<std::string> names;
        for (const auto& header : sent.headers)
            names.push_back(header.first);
        EXPECT_EQ(names, (std::vector<std::string>{"User-Agent", "Device-Info", "Cookie", "Connection", "Host"}));
        EXPECT_EQ(sent.header("User-Agent"), "Cloud Sync");
        EXPECT_EQ(sent.header("Device-Info").find("%0A"), std::string::npos);
        EXPECT_FALSE(sent.header("Cookie").empty());
        EXPECT_EQ(sent.header("Connection"), "Close");
    }
}

TEST_F(Requests, RefreshRefusedByTheServerIsLoggedAndGoesOn) {
    ASSERT_TRUE(logIn());
    server.setSyncLockHolder(kUser, "phone-7");
    CloudSyncTest::LogCapture log({"Sync"});
    m_worker->startRefreshLockActivity();
    ASSERT_TRUE(server.waitForRequests("/app/sync/refreshlock", 2, 5000));
    m_worker->stopRefreshLockActivity();
    EXPECT_TRUE(log.contains("Background REFRESHLOCK failed. Server says: No sync lock held by dev-1"))
        << log.dump();
}

// The refresh waits for a reply the server delays for 10 s; stopping it, by
// itself or through the worker's shutdown, does not wait for that.
TEST_F(Requests, RefreshStopsAtOnceWithARequestInFlight) {
    server.addFault(TestFault::withDelay("/app/sync/refreshlock", 10000));
    for (bool byShutdown : {false, true}) {
        ASSERT_TRUE(logIn());
        server.clearRequests();
        int poolUsed = Poco::ThreadPool::defaultPool().used();
        m_worker->startRefreshLockActivity();
        ASSERT_TRUE(server.waitForRequests("/app/sync/refreshlock", 1, 5000));
        Poco::Timestamp began;
        if (byShutdown)
            m_worker->shutdown();
        else
            m_worker->stopRefreshLockActivity();
        EXPECT_LT(began.elapsed(), 2000000) << byShutdown;
        EXPECT_FALSE(m_worker->refreshLock);
        EXPECT_TRUE(waitUntil([&] { return Poco::ThreadPool::defaultPool().used() == poolUsed; }, 2000));
    }
}

TEST_F(Requests, RefreshWithTheDefaultIntervalStopsWithinTwoSeconds) {
    ASSERT_TRUE(logIn(Nuvaro::Sync::FSWorker::Intervals()));
    m_worker->startRefreshLockActivity();
    Poco::Thread::sleep(100);
    Poco::Timestamp began;
    m_worker->stopRefreshLockActivity();
    EXPECT_LT(began.elapsed(), 2000000);
    EXPECT_TRUE(server.requests("/app/sync/refreshlock").empty());
}

TEST_F(Requests, RefreshWithoutALoginStaysIdle) {
    ASSERT_TRUE(logIn());
    m_worker->connector->resetSession();
    int poolUsed = Poco::ThreadPool::defaultPool().used();
    m_worker->startRefreshLockActivity();
    ASSERT_TRUE(m_worker->refreshLock);
    EXPECT_FALSE(m_worker->refreshLock->activity().isRunning());
    EXPECT_TRUE(waitUntil([&] { return Poco::ThreadPool::defaultPool().used() == poolUsed; }, 2000));
    m_worker->stopRefreshLockActivity();
    EXPECT_FALSE(m_worker->refreshLock);
}

} // namespace
} // namespace EngineTest
