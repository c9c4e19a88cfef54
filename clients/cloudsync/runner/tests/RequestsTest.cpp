// Requests of the local integration service that reach the workers: the
// answer to a delete approval, and the four requests to the job manager
// carried out against the test server (run one job, run the manual jobs, run
// every job but the realtime ones, stop all jobs); also while other threads
// start and stop the workers.

#include "RunnerFixture.h"

#include <atomic>
#include <functional>
#include <thread>

namespace RunnerTest {
namespace {

using Nuvaro::Sync::FOOfflineJobData;
using Nuvaro::Sync::FSActivity;

const time_t kT = 1494928800;

class RequestsTest : public RunnerTest {
protected:
    // Twelve synchronised files, an activity entry, a selective-sync folder
    // and a realtime network folder.
    void seed(TestRunner& runner) {
        for (int i = 0; i < 12; ++i)
            addSyncRecord("My Files/f" + std::to_string(i), "/user1/f" + std::to_string(i), 1, 1, kT);
        runner.getSyncDatabase()->setStatusSet("/user1", "server:12");
        runner.getSyncDatabase()->updateStats();
        boost::shared_ptr<FSActivity> entry(
            new FSActivity(FSActivity::LevelNormal, FSActivity::TypeDownload, "got it", "/x", "Owner"));
        runner.getSyncDatabase()->activityAdd(entry);
        std::vector<std::string> limits{"/user1/docs"};
        runner.getSyncDatabase()->addLimitPaths(limits);
        FOOfflineJobData job("/EXTERNAL/live", m_tmp / "live", 0, true, "realtime", "", false, false);
        runner.getOfflineDatabase()->FOAddJobRecord(&job);
        runner.syncRealtimeJobs();
    }

    std::size_t recordCount() {
        std::vector<boost::shared_ptr<Nuvaro::Sync::FSSyncRecord>> records;
        m_runner->getSyncDatabase()->getFolderRecords("", records);
        return records.size();
    }
    std::vector<std::string> limitPaths() {
        std::vector<std::string> paths;
        m_runner->getSyncDatabase()->getLimitPaths(paths);
        return paths;
    }
    std::vector<std::string> externalPaths() {
        std::vector<std::string> paths;
        m_runner->getSyncDatabase()->getExternalPaths(paths);
        return paths;
    }

    // Calls each request over and over on a thread of its own while this
    // thread starts and stops the workers three times.
    static void requestWhileRestarting(TestRunner& runner, const std::vector<std::function<void()>>& requests) {
        std::atomic<bool> done{false};
        std::vector<std::thread> requesters;
        for (const std::function<void()>& request : requests) {
            requesters.emplace_back([&done, request] {
                while (!done.load()) {
                    request();
                    std::this_thread::yield();
                }
            });
        }
        for (int round = 0; round < 3; ++round) {
            runner.startup();
            runner.shutdown(true);
        }
        done = true;
        for (std::thread& requester : requesters)
            requester.join();
    }
};

// Without a stored account the sync worker exists without running, so the
// test thread may ask its delete-approval gate directly.
TEST_F(RequestsTest, ApprovalReachesTheSyncWorker) {
    TestRunner& runner = makeRunner(noPolling());
    seed(runner);
    runner.startup();
    boost::shared_ptr<Nuvaro::Sync::FSWorker> worker = runner.currentWorker();
    ASSERT_TRUE(worker);
    EXPECT_FALSE(worker->requestForChangesApproved(12, 0));  // all twelve files: approval needed

    CloudSyncTest::LogCapture& log = freshLog();
    runner.confirmDelete(true, 12);
    EXPECT_TRUE(log.contains("############ DELETE APPROVED for DELETE APPROVAL REQUESTED 12")) << log.dump();
    EXPECT_TRUE(worker->requestForChangesApproved(12, 0));
    EXPECT_FALSE(worker->requestForChangesApproved(12, 0));  // used up
    EXPECT_EQ(recordCount(), 12u);
}

TEST_F(RequestsTest, ApprovalWithoutASyncWorkerDoesNothing) {
    TestRunner& runner = makeRunner(noPolling());
    seed(runner);
    CloudSyncTest::LogCapture& log = freshLog();
    runner.confirmDelete(true, 12);
    EXPECT_FALSE(log.contains("DELETE APPROVED")) << log.dump();
    EXPECT_EQ(recordCount(), 12u);
}

TEST_F(RequestsTest, RefusalWithoutASyncWorkerStartsTheSyncDataAfresh) {
    TestRunner& runner = makeRunner(noPolling());
    seed(runner);
    const std::string clientId = stored("hostname");
    CloudSyncTest::LogCapture& log = freshLog();
    runner.confirmDelete(false, 12);
    EXPECT_TRUE(log.contains("############ Begin Reset Sync Data for Delete Refresh")) << log.dump();
    EXPECT_EQ(recordCount(), 0u);
    EXPECT_TRUE(limitPaths().empty());
    std::vector<std::string> folders;
    runner.getSyncDatabase()->getSyncFolders(folders);
    EXPECT_TRUE(folders.empty());
    EXPECT_EQ(stored("hostname"), clientId);  // the configuration stays
    EXPECT_EQ(externalPaths(), std::vector<std::string>{"/EXTERNAL/live"});
}

TEST_F(RequestsTest, RefusalWithASyncWorkerChangesNothing) {
    TestRunner& runner = makeRunner(noPolling());
    seed(runner);
    runner.startup();
    runner.confirmDelete(false, 12);
    EXPECT_EQ(recordCount(), 12u);
    EXPECT_EQ(limitPaths(), std::vector<std::string>{"/user1/docs"});
}

// The requests come from the service's threads while another thread starts
// and stops the workers: each talks to a worker that stays alive until it is
// done (the sanitizer builds check the rest).
TEST_F(RequestsTest, RequestsDuringStartupAndShutdownNeverMeetAWorkerBeingDestroyed) {
    TestRunner& runner = makeRunner(noPolling());
    storeAccount(runner);
    requestWhileRestarting(runner, {[&runner] { runner.confirmDelete(true, 3); },
                                    [&runner] { runner.confirmDelete(false, 3); }});
    runner.startup();
    EXPECT_TRUE(runner.isRunning());
}

// ---- Requests to the job manager ----

// The longest wait for a job run to show (sanitizer builds are slow).
const long kJobWaitMs = 20000;

class JobRequestsTest : public RequestsTest {
protected:
    // A runner with the account stored and the workers started; My Files
    // off, so that only a realtime job brings a sync worker.
    TestRunner& start() {
        TestRunner& runner = makeRunner(noPolling());
        runner.getSyncDatabase()->setConfigValue("config", "disablemyfiles", "1");
        storeAccount(runner);
        return runner;
    }

    // A network-folder job with one server file, stored in offline.db.
    FOOfflineJobData job(const std::string& name, const std::string& schedule, const std::string& lastRun = "",
                         int files = 1) {
        EXPECT_TRUE(server.makeFolder(kUser, "/user1/" + name));
        for (int i = 0; i < files; ++i)
            EXPECT_TRUE(server.putFile(kUser, "/user1/" + name + "/f" + std::to_string(i) + ".txt", "alpha"));
        Poco::File(m_tmp / name).createDirectories();
        FOOfflineJobData stored("/user1/" + name, m_tmp / name, FOOfflineJobData::TYPE_NETWORK_FOLDER, true, schedule,
                                lastRun, false, false);
        EXPECT_TRUE(m_runner->getOfflineDatabase()->FOAddJobRecord(&stored));
        return stored;
    }

    // A run of the job ended (its last-run time moved).
    bool ran(const FOOfflineJobData& stored) {
        boost::shared_ptr<FOOfflineJobData> now = m_runner->getOfflineDatabase()->getFOJobRecord(stored.localLinkPath);
        return now && now->lastRun != stored.lastRun;
    }

    // The manager took every request and has no job left running.
    bool settled(TestRunner& runner) {
        boost::shared_ptr<Nuvaro::Sync::FOOfflineFilesManager> manager = runner.currentOfflineManager();
        return manager && !manager->isActive() && manager->isIdle();
    }

    int jobRequestsTaken(CloudSyncTest::LogCapture& log) {
        int count = 0;
        for (const auto& entry : log.channel().entries())
            count += entry.text.find("Got New Job Notification") == 0 ? 1 : 0;
        return count;
    }

    // A job of six slow downloads, run now: it is in its first download on
    // return.
    FOOfflineJobData startSlowJob(TestRunner& runner) {
        FOOfflineJobData stored = job("net", "manual", "", 6);
        server.addFault(TestFault::withDelay("/core/downloadfile", 300));
        runner.addOfflineJob(boost::shared_ptr<FOOfflineJobData>(new FOOfflineJobData(stored)));
        EXPECT_TRUE(server.waitForRequests("/core/downloadfile", 1, 10000));
        return stored;
    }

    // A stopped job sends nothing more. Requests it sent before the stop
    // may still be on their way through the server (a stop no longer waits
    // for their replies): those are counted once the server is done with
    // them.
    void expectNoMoreDownloads() {
        EXPECT_TRUE(waitUntil([&] { return server.requestsInFlight("/core/downloadfile") == 0; }, 10000));
        const std::size_t downloads = server.requests("/core/downloadfile").size();
        Poco::Thread::sleep(400);
        EXPECT_EQ(server.requests("/core/downloadfile").size(), downloads);
    }

    static const char* recent() { return "2100-01-01 00:00:00"; }  // never due by its schedule
};

TEST_F(JobRequestsTest, AddOfflineJobRunsTheJobAtOnce) {
    TestRunner& runner = start();
    FOOfflineJobData stored = job("net", "24h", recent());
    runner.addOfflineJob(boost::shared_ptr<FOOfflineJobData>(new FOOfflineJobData(stored)));
    ASSERT_TRUE(waitUntil([&] { return ran(stored); }, kJobWaitMs));
    EXPECT_EQ(CloudSyncTest::TempFolder::read(stored.localLinkPath + "/f0.txt"), "alpha");
}

TEST_F(JobRequestsTest, RunManualRunsOnlyTheManualJobs) {
    TestRunner& runner = start();
    FOOfflineJobData manual = job("manual", "manual");
    FOOfflineJobData hourly = job("hourly", "1h", recent());
    runner.runManual();
    ASSERT_TRUE(waitUntil([&] { return ran(manual); }, kJobWaitMs));
    EXPECT_TRUE(waitUntil([&] { return settled(runner); }, kJobWaitMs));
    EXPECT_FALSE(ran(hourly));
}

TEST_F(JobRequestsTest, RunAllOfflineJobsSkipsTheRealtimeJobs) {
    TestRunner& runner = makeRunner(noPolling());
    FOOfflineJobData manual = job("manual", "manual");
    FOOfflineJobData hourly = job("hourly", "1h", recent());
    FOOfflineJobData realtime = job("realtime", "realtime");
    runner.getSyncDatabase()->setConfigValue("config", "disablemyfiles", "1");
    storeAccount(runner);
    CloudSyncTest::LogCapture& log = freshLog();
    runner.runAllOfflineJobs();
    ASSERT_TRUE(waitUntil([&] { return ran(manual) && ran(hourly); }, kJobWaitMs));
    EXPECT_TRUE(waitUntil([&] { return settled(runner); }, kJobWaitMs));
    EXPECT_EQ(jobRequestsTaken(log), 2) << log.dump();
    EXPECT_FALSE(ran(realtime));
    EXPECT_FALSE(Poco::File(realtime.localLinkPath + "/f0.txt").exists());
}

TEST_F(JobRequestsTest, ClearAllOfflineJobsStopsTheRunningJob) {
    TestRunner& runner = start();
    FOOfflineJobData stored = startSlowJob(runner);
    CloudSyncTest::LogCapture& log = freshLog();
    runner.clearAllOfflineJobs();
    ASSERT_TRUE(waitUntil([&] { return log.contains("JobManager: Wait Complete"); }, kJobWaitMs)) << log.dump();
    EXPECT_TRUE(log.contains("FOOfflineFilesManager: Stopping all Jobs")) << log.dump();
    EXPECT_TRUE(waitUntil([&] { return settled(runner); }, kJobWaitMs));
    EXPECT_FALSE(ran(stored));
    expectNoMoreDownloads();
}

TEST_F(JobRequestsTest, RequestsWithoutAJobManagerDoNothing) {
    TestRunner& runner = makeRunner(noPolling());
    FOOfflineJobData stored = job("net", "manual");
    runner.addOfflineJob(boost::shared_ptr<FOOfflineJobData>(new FOOfflineJobData(stored)));
    runner.runManual();
    runner.runAllOfflineJobs();
    runner.clearAllOfflineJobs();
    storeAccount(runner);
    runner.getSyncDatabase()->setConfigValue("config", "disablesync", "1");
    runner.startup();
    ASSERT_FALSE(runner.isOfflineManagerRunning());
    runner.runAllOfflineJobs();
    Poco::Thread::sleep(200);
    EXPECT_FALSE(ran(stored));
    EXPECT_TRUE(server.requests("/core/getfilelist").empty());
}

// A shutdown stops the job it finds running: the runner's stop-all reaches
// the manager before it ends, so no job outlives it.
TEST_F(JobRequestsTest, ShutdownStopsARunningJob) {
    TestRunner& runner = start();
    FOOfflineJobData stored = startSlowJob(runner);
    runner.shutdown(true);
    EXPECT_FALSE(runner.isOfflineManagerRunning());
    EXPECT_FALSE(ran(stored));
    expectNoMoreDownloads();
}

// The four requests from the service's threads while another thread starts
// and stops the workers: each reaches a running manager or none (the
// sanitizer builds check that none meets a manager being destroyed).
TEST_F(JobRequestsTest, RequestsDuringStartupAndShutdownNeverMeetAManagerBeingDestroyed) {
    TestRunner& runner = start();
    boost::shared_ptr<FOOfflineJobData> stored(new FOOfflineJobData(job("net", "manual")));
    requestWhileRestarting(runner, {[&runner, stored] { runner.addOfflineJob(stored); },
                                    [&runner] { runner.clearAllOfflineJobs(); },
                                    [&runner] { runner.runManual(); },
                                    [&runner] { runner.runAllOfflineJobs(); }});
    runner.startup();
    EXPECT_TRUE(runner.isOfflineManagerRunning());
}

} // namespace
} // namespace RunnerTest
