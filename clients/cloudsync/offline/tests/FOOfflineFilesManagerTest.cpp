// The job manager against the test server with real job folders and a real
// offline.db: run-now, manual runs, schedules (the due test as a table, and
// the schedule check of a running manager), one job at a time in key order,
// and stop-all at shutdown with a running job killed and waited for (also
// in the middle of a slow download). Waits
// are shortened through the manager's intervals.

#include "FOOfflineFilesManager.h"
#include "OfflineJobFixture.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/DirectoryIterator.h>
#include <Poco/Exception.h>

#include <chrono>

namespace OfflineTest {
namespace {

using Nuvaro::Sync::FOOfflineFilesManager;
using Nuvaro::Sync::OfflineJobNotification;

// The longest wait for a job run to show (sanitizer builds are slow).
const long kWaitMs = 20000;

// The manager with what the tests look at after shutdown.
class TestManager : public FOOfflineFilesManager {
public:
    using FOOfflineFilesManager::FOOfflineFilesManager;
    using FOOfflineFilesManager::anyJobRunning;
};

class Manager : public JobTest {
protected:
    void TearDown() override {
        if (m_manager)
            m_manager->shutdown();
        m_manager.reset();
        JobTest::TearDown();
    }

    static FOOfflineFilesManager::Intervals fast() {
        FOOfflineFilesManager::Intervals intervals;
        intervals.queueWaitMs = 20;
        intervals.emptyWaitsPerCheck = 3;
        return intervals;
    }

    TestManager& start(const FOOfflineFilesManager::Intervals& intervals = fast()) {
        m_manager.reset(new TestManager(m_tmp / "resources", m_tmp.path(), settingsList(), m_db));
        m_manager->setIntervalsForTesting(intervals);
        EXPECT_TRUE(m_manager->startup());
        return *m_manager;
    }

    // A network-folder job with one server file and its local folder, stored.
    FOOfflineJobData job(const std::string& name, const std::string& schedule, const std::string& lastRun = "") {
        JobDir pair = dir(name);
        pair.putServer("a.txt", "alpha", -3600);
        Poco::File(pair.local).createDirectories();
        return storeJob(pair, FOOfflineJobData::TYPE_NETWORK_FOLDER, false, schedule, lastRun);
    }

    bool ran(const FOOfflineJobData& stored) {
        boost::shared_ptr<FOOfflineJobData> now = m_db->getFOJobRecord(stored.localLinkPath);
        return now && now->lastRun != stored.lastRun;
    }

    // The server folders in the order their first listing arrived.
    std::vector<std::string> listingOrder() {
        std::vector<std::string> order;
        for (const RecordedRequest& sent : server.requests("/core/getfilelist")) {
            std::string path = sent.formField("path");
            if (path.empty())
                path = sent.queryField("path");
            if (std::find(order.begin(), order.end(), path) == order.end())
                order.push_back(path);
        }
        return order;
    }

    static std::string ago(long seconds) {
        return Poco::DateTimeFormatter::format(Poco::Timestamp() - Poco::Timespan(seconds, 0),
                                               Poco::DateTimeFormat::SORTABLE_FORMAT);
    }

    std::unique_ptr<TestManager> m_manager;
};

TEST_F(Manager, RunNowRunsTheJobOnce) {
    FOOfflineJobData stored = job("net", "24h", ago(60));
    TestManager& manager = start();

    manager.postNotification(OfflineJobNotification::KIND_ADD_JOB, stored);

    ASSERT_TRUE(waitUntil([&] { return ran(stored); }, kWaitMs));
    EXPECT_EQ(CloudSyncTest::TempFolder::read(stored.localLinkPath + "/a.txt"), "alpha");
    EXPECT_TRUE(waitUntil([&] { return !manager.isActive(); }, kWaitMs));
}

TEST_F(Manager, RunManualStartsOnlyManualJobs) {
    FOOfflineJobData manual = job("manual", "manual");
    FOOfflineJobData hourly = job("hourly", "1h", ago(60));
    FOOfflineJobData realtime = job("realtime", "realtime");
    FOOfflineFilesManager::Intervals noChecks = fast();
    noChecks.emptyWaitsPerCheck = 1000000;
    TestManager& manager = start(noChecks);

    manager.postNotification(OfflineJobNotification::KIND_RUN_MANUAL);
    manager.postNotification(3); // an unknown kind changes nothing

    ASSERT_TRUE(waitUntil([&] { return ran(manual); }, kWaitMs));
    EXPECT_TRUE(waitUntil([&] { return !manager.isActive() && manager.isIdle(); }, kWaitMs));
    EXPECT_FALSE(ran(hourly));
    EXPECT_FALSE(ran(realtime));
}

TEST_F(Manager, DueJobsFollowTheirSchedules) {
    const Poco::Timestamp now = wholeSecond(0);
    auto before = [&now](long seconds) {
        return Poco::DateTimeFormatter::format(now - Poco::Timespan(seconds, 0), Poco::DateTimeFormat::SORTABLE_FORMAT);
    };
    struct Case {
        std::string schedule;
        std::string lastRun;
        bool due;
    } cases[] = {
        {"30m", "", true},
        {"30m", before(30 * 60 + 59), false},
        {"30m", before(31 * 60), true},
        {"1h", before(3600 + 59 * 60), false},
        {"1h", before(2 * 3600), true},
        {"2h", before(2 * 3600 + 3599), false},
        {"2h", before(3 * 3600), true},
        {"4h", before(5 * 3600), true},
        {"8h", before(8 * 3600 + 3599), false},
        {"24h", before(24 * 3600 + 3599), false},
        {"24h", before(25 * 3600), true},
        {"12h", before(999 * 3600 + 3599), false}, // a text outside the list waits 1000 hours
        {"12h", before(1001 * 3600), true},
        {"1h", before(-3 * 3600), false}, // last run in the future
        {"manual", "", false},
        {"manual", before(5000 * 3600), false},
        {"realtime", "", false},
    };
    for (const Case& c : cases) {
        FOOfflineJobData stored("/user1/x", "/x", 0, true, c.schedule, c.lastRun, false, false);
        std::string reason;
        EXPECT_EQ(FOOfflineFilesManager::isDue(stored, now, reason), c.due) << c.schedule << " " << c.lastRun;
    }
    FOOfflineJobData broken("/user1/x", "/x", 0, true, "1h", "2024-13-45 99:00:00", false, false);
    std::string reason;
    EXPECT_THROW(FOOfflineFilesManager::isDue(broken, now, reason), Poco::Exception);
}

TEST_F(Manager, TheScheduleCheckStartsDueJobsAndPassesOverAnUnreadableOne) {
    // Stored first, so that it is read first: it must not keep the others from their runs.
    FOOfflineJobData unreadable = job("a-unreadable", "1h", "2024-13-45 99:00:00");
    FOOfflineJobData never = job("b-never", "24h");
    FOOfflineJobData due = job("c-due", "1h", ago(3 * 3600));
    FOOfflineJobData notDue = job("d-notdue", "24h", ago(3600));
    CloudSyncTest::LogCapture log({"FOOfflineFilesManager"});
    TestManager& manager = start();

    ASSERT_TRUE(waitUntil([&] { return ran(never) && ran(due); }, kWaitMs));
    EXPECT_TRUE(waitUntil([&] { return !manager.isActive(); }, kWaitMs));
    EXPECT_FALSE(ran(notDue));
    EXPECT_FALSE(ran(unreadable));
    EXPECT_TRUE(log.contains("Unreadable last run time of the job " + unreadable.localLinkPath));
}

TEST_F(Manager, RunsOneJobAtATimeAndStartsWaitingJobsInFolderOrder) {
    FOOfflineJobData first = job("c-first", "manual");
    FOOfflineJobData laterB = job("b-second", "manual");
    FOOfflineJobData laterA = job("a-third", "manual");
    server.addFault(TestFault::withDelay("/core/getfilelist", 150));
    TestManager& manager = start();

    manager.postNotification(OfflineJobNotification::KIND_ADD_JOB, first);
    ASSERT_TRUE(server.waitForRequests("/core/getfilelist", 1, 10000));
    manager.postNotification(OfflineJobNotification::KIND_ADD_JOB, laterB);
    manager.postNotification(OfflineJobNotification::KIND_ADD_JOB, laterA);
    manager.postNotification(OfflineJobNotification::KIND_ADD_JOB, first); // already there: not again

    ASSERT_TRUE(waitUntil([&] { return ran(first) && ran(laterA) && ran(laterB); }, kWaitMs));
    EXPECT_EQ(server.peakRequestsInFlight("/core/getfilelist"), 1);
    EXPECT_EQ(listingOrder(), (std::vector<std::string>{"/user1/c-first", "/user1/a-third", "/user1/b-second"}));
    EXPECT_EQ(server.requests("/core/getfilelist").size(), 3u);
}

TEST_F(Manager, StopAllAtShutdownKillsTheRunningJobAndWaitsForIt) {
    FOOfflineJobData stored = job("net", "manual");
    JobDir pair{&server, stored.remotePath, stored.localLinkPath};
    for (int i = 0; i < 5; ++i)
        pair.putServer("more" + std::to_string(i) + ".txt", "content", -3600);
    m_settings["maxthreads"] = "1";
    server.addFault(TestFault::withDelay("/core/downloadfile", 300));
    TestManager& manager = start();
    manager.postNotification(OfflineJobNotification::KIND_ADD_JOB, stored);
    ASSERT_TRUE(server.waitForRequests("/core/downloadfile", 1, 10000));
    ASSERT_TRUE(manager.isActive());

    manager.postNotification(OfflineJobNotification::KIND_STOP_ALL);
    manager.shutdown();

    EXPECT_FALSE(manager.anyJobRunning());
    EXPECT_FALSE(manager.isActive());
    EXPECT_FALSE(ran(stored));
    const std::size_t downloads = server.requests("/core/downloadfile").size();
    EXPECT_LT(downloads, 6u);
    Poco::Thread::sleep(400);
    EXPECT_EQ(server.requests("/core/downloadfile").size(), downloads); // nothing runs on
}

TEST_F(Manager, StopAllDuringASlowJobDownloadEndsWithinSeconds) {
    FOOfflineJobData stored = job("net", "manual");
    JobDir pair{&server, stored.remotePath, stored.localLinkPath};
    pair.putServer("big.bin", std::string(2000000, 'x'), -60); // 40 s at 50 kB/s
    server.addFault(TestFault::throttled("/download/*", 50000));
    TestManager& manager = start();
    manager.postNotification(OfflineJobNotification::KIND_ADD_JOB, stored);
    // The body is on its way once its temporary file lies beside a.txt.
    ASSERT_TRUE(waitUntil(
        [&] {
            int names = 0;
            for (Poco::DirectoryIterator it(pair.local), end; it != end; ++it)
                names += it.name().find(".tmp.part") != std::string::npos ? 1 : 0;
            return names > 0;
        },
        kWaitMs));

    const auto stopped = std::chrono::steady_clock::now();
    manager.postNotification(OfflineJobNotification::KIND_STOP_ALL);
    manager.shutdown();

    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(15));
    EXPECT_FALSE(manager.anyJobRunning());
    EXPECT_FALSE(ran(stored));
    EXPECT_FALSE(pair.onDisk("big.bin"));
}

TEST_F(Manager, ShutdownWithoutAStopAllLeavesNoJobRunning) {
    FOOfflineJobData stored = job("net", "manual");
    server.addFault(TestFault::withDelay("/core/getfilelist", 300));
    TestManager& manager = start();
    manager.postNotification(OfflineJobNotification::KIND_ADD_JOB, stored);
    ASSERT_TRUE(server.waitForRequests("/core/getfilelist", 1, 10000));

    manager.shutdown();

    EXPECT_FALSE(manager.anyJobRunning());
    EXPECT_FALSE(ran(stored));
}

TEST_F(Manager, ShutdownOfAManagerNeverStartedReturns) {
    TestManager manager(m_tmp / "resources", m_tmp.path(), settingsList(), m_db);
    EXPECT_TRUE(manager.shutdown());
    EXPECT_FALSE(manager.isActive());
}

} // namespace
} // namespace OfflineTest
