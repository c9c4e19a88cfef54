// Requests of the local integration service that reach the workers: the
// answer to a delete approval, also while other threads start and stop the
// workers.

#include "RunnerFixture.h"

#include <atomic>
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
    std::atomic<bool> done{false};
    std::vector<std::thread> requesters;
    for (int i = 0; i < 2; ++i) {
        requesters.emplace_back([&runner, &done, i] {
            while (!done.load()) {
                runner.confirmDelete(i == 0, 3);
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
    runner.startup();
    EXPECT_TRUE(runner.isRunning());
}

} // namespace
} // namespace RunnerTest
