// The transfer pool against the test server: how many jobs run at once (as
// the server sees them), one login per slot and batch, what a failed or
// throwing job does to the pool, that waiting costs no CPU, and that no job
// outlives its pool or its owner. Jobs are real downloads of server files
// by the sync worker's transfer body, or, where a job must misbehave, the
// body of a small owner of the tests' own (as the job activity has its own).

#include "TransferFixture.h"

#include "FSSimulWorker.h"
#include "SimulCallbackBase.h"

#include <Poco/ActiveMethod.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace EngineTest {
namespace {

using Nuvaro::Sync::FSSimulWorker;
using Nuvaro::Sync::SimulCallbackBase;
using Nuvaro::Sync::SimulJobStarter;

// An owner whose transfer body is the test's function.
class ScriptedOwner : public SimulCallbackBase {
public:
    typedef Poco::ActiveMethod<ActiveThreadContext, ActiveThreadContext, ScriptedOwner,
                               SimulJobStarter<ScriptedOwner>>
        Method;

    explicit ScriptedOwner(std::function<ActiveThreadContext(const ActiveThreadContext&)> body)
        : m_body(std::move(body)) {}
    ~ScriptedOwner() override { waitForAllTransferJobs(); }

    Poco::ActiveResult<ActiveThreadContext> startJob(const ActiveThreadContext& ctx) override {
        return m_method(ctx);
    }

private:
    ActiveThreadContext run(const ActiveThreadContext& ctx) { return m_body(ctx); }

    std::function<ActiveThreadContext(const ActiveThreadContext&)> m_body;
    Method m_method{this, &ScriptedOwner::run};
};

// A gate a job waits at until the test opens it (bounded).
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    bool passWithin(long ms) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

class Pool : public TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        ASSERT_TRUE(logIn());
    }

    // Files /user1/batch/f<i>.txt, each with its own content.
    std::vector<std::string> putFiles(int count) {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            paths.push_back("/user1/batch/f" + std::to_string(i) + ".txt");
            server.putFile(kUser, paths.back(), "content " + std::to_string(i));
        }
        return paths;
    }

    void expectStaged(const std::vector<std::string>& paths) {
        for (const std::string& path : paths) {
            ASSERT_TRUE(Poco::File(stagedPath(path)).exists()) << path;
            EXPECT_EQ(readFile(stagedPath(path)), *server.fileContent(kUser, path)) << path;
        }
    }
};

TEST_F(Pool, MoreJobsThanSlotsRunAtMostMaxJobsAtOnceAndEverySlotLogsInOnce) {
    const std::vector<std::string> paths = putFiles(4);
    // Each request is held long enough that every slot has one in flight at
    // once even when starting a job is slow (a loaded machine, a sanitizer).
    server.addFault(TestFault::withDelay("/core/downloadfile", 500));
    for (int slots : {1, 3}) {
        SCOPED_TRACE("slots " + std::to_string(slots));
        server.clearRequests();
        {
            FSSimulWorker pool(m_worker.get(), slots, m_worker->settings);
            ASSERT_TRUE(pool.init());
            for (const std::string& path : paths) {
                ActiveThreadContext job = downloadJob(path);
                ASSERT_TRUE(pool.addJob(job));
                EXPECT_TRUE(job.connector && job.connector->isAuthenticated());
                EXPECT_GE(job.connectorIndex, 0);
                EXPECT_LT(job.connectorIndex, slots);
            }
            EXPECT_TRUE(pool.waitForAllJobs());
            EXPECT_EQ(pool.runningJobs(), 0);
        }
        EXPECT_EQ(server.peakRequestsInFlight("/core/downloadfile"), slots);
        auto logins = server.requests("/core/loginguest");
        EXPECT_EQ(logins.size(), static_cast<std::size_t>(slots));
        for (const RecordedRequest& login : logins)
            EXPECT_EQ(login.header("User-Agent"), "Cloud Sync");
        EXPECT_EQ(sessionsOf("/core/downloadfile").size(), static_cast<std::size_t>(slots));
        expectStaged(paths);
    }
}

TEST_F(Pool, MaxJobsBelowOneStillTransfersOnOneSlot) {
    const std::vector<std::string> paths = putFiles(2);
    for (int given : {0, -3}) {
        server.clearRequests();
        FSSimulWorker pool(m_worker.get(), given, m_worker->settings);
        EXPECT_EQ(pool.getMaxJobs(), 1);
        ASSERT_TRUE(pool.init());
        for (const std::string& path : paths) {
            ActiveThreadContext job = downloadJob(path);
            ASSERT_TRUE(pool.addJob(job)) << given;
        }
        EXPECT_TRUE(pool.waitForAllJobs());
        EXPECT_EQ(server.requests("/core/loginguest").size(), 1u);
        expectStaged(paths);
    }
}

TEST_F(Pool, AFailedJobStopsThePoolAndWaitForAllJobsReportsIt) {
    const std::vector<std::string> paths = putFiles(2);
    // The good download is slow (its bytes come from the redirect listener);
    // the missing file fails at once.
    server.addFault(TestFault::withDelay("/download/*", 400));
    FSSimulWorker pool(m_worker.get(), 3, m_worker->settings);
    ASSERT_TRUE(pool.init());
    ActiveThreadContext slow = downloadJob(paths[0]);
    ASSERT_TRUE(pool.addJob(slow));
    ActiveThreadContext missing = downloadJob(paths[1]);
    missing.remotePath = "/user1/batch/gone.txt";
    missing.record.setName("gone.txt");
    ASSERT_TRUE(pool.addJob(missing));
    ASSERT_TRUE(waitUntil([&] { return m_worker->finishedTransferJobs() >= 1; }));

    CloudSyncTest::LogCapture log({"Sync"});
    ActiveThreadContext refused = downloadJob(paths[1]);
    EXPECT_FALSE(pool.addJob(refused));
    EXPECT_FALSE(refused.connector);
    EXPECT_FALSE(log.contains("FAILED TO START ANY JOB")) << log.dump();
    EXPECT_FALSE(pool.waitForAllJobs());
    EXPECT_TRUE(pool.isStopped());
    // The job that was running finished normally.
    expectStaged({paths[0]});
    EXPECT_FALSE(Poco::File(stagedPath(paths[1])).exists());
}

TEST_F(Pool, AThrowingJobFreesItsSlotAndFailsTheBatch) {
    Gate gate;
    std::atomic<int> ran{0};
    ScriptedOwner owner([&](const ActiveThreadContext& ctx) -> ActiveThreadContext {
        if (ctx.remotePath == "throw") {
            gate.passWithin(5000);
            throw Poco::IOException("the body broke");
        }
        ++ran;
        ActiveThreadContext done(ctx);
        done.ok = ctx.connector && ctx.connector->isAuthenticated();
        return done;
    });
    CloudSyncTest::LogCapture log({"Sync"});
    FSSimulWorker pool(&owner, 1, settingsList());
    ASSERT_TRUE(pool.init());
    ActiveThreadContext throwing;
    throwing.remotePath = "throw";
    ASSERT_TRUE(pool.addJob(throwing));

    // The only slot is busy: the next job waits for the throwing one, whose
    // slot is then free again.
    std::thread opener([&] {
        Poco::Thread::sleep(100);
        gate.open();
    });
    ActiveThreadContext next;
    next.remotePath = "fine";
    EXPECT_TRUE(pool.addJob(next));
    opener.join();
    EXPECT_EQ(next.connectorIndex, 0);
    EXPECT_FALSE(pool.waitForAllJobs());
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(pool.runningJobs(), 0);
    EXPECT_TRUE(log.contains("Transfer job on connector 0 ended with an exception: ")) << log.dump();
    EXPECT_TRUE(log.contains("Starting Job with connector: 0 because we are less than max threads size 0"))
        << log.dump();

    // A stopped pool takes nothing more.
    ActiveThreadContext late;
    EXPECT_FALSE(pool.addJob(late));
    EXPECT_FALSE(pool.available());
}

TEST_F(Pool, WaitingForJobsDoesNotSpin) {
    const std::vector<std::string> paths = putFiles(2);
    server.addFault(TestFault::withDelay("/core/downloadfile", 700));
    FSSimulWorker pool(m_worker.get(), 1, m_worker->settings);
    ASSERT_TRUE(pool.init());
    ActiveThreadContext first = downloadJob(paths[0]);
    ActiveThreadContext second = downloadJob(paths[1]);
    ASSERT_TRUE(pool.addJob(first));

    Poco::Timestamp began;
    const long cpuBefore = threadCpuMicros();
    ASSERT_TRUE(pool.addJob(second)); // waits for the first transfer
    ASSERT_TRUE(pool.waitForAllJobs()); // waits for the second
    const long cpuUsed = threadCpuMicros() - cpuBefore;
    const Poco::Timestamp::TimeDiff waited = began.elapsed();

    EXPECT_GE(waited, 1000000) << "the two transfers should take about 1.4 s";
    EXPECT_LT(cpuUsed, 100000) << "the waiting thread used " << cpuUsed << " us of CPU in " << waited << " us";
    expectStaged(paths);
}

TEST_F(Pool, DestroyingThePoolWaitsForItsJobs) {
    const std::vector<std::string> paths = putFiles(2);
    server.addFault(TestFault::withDelay("/core/downloadfile", 300));
    {
        FSSimulWorker pool(m_worker.get(), 2, m_worker->settings);
        ASSERT_TRUE(pool.init());
        for (const std::string& path : paths) {
            ActiveThreadContext job = downloadJob(path);
            ASSERT_TRUE(pool.addJob(job));
        }
        // Abandoned without waitForAllJobs, as after an exception.
    }
    // Both bodies are done (a job's thread may still be releasing its copy
    // of the context, which the owner's own wait covers).
    expectStaged(paths);
    EXPECT_TRUE(waitUntil([&] { return m_worker->runningTransferJobs() == 0; }));
    EXPECT_EQ(m_worker->finishedTransferJobs(), 2u);
}

TEST_F(Pool, ShutdownWaitsForEveryTransferJobOfTheWorker) {
    const std::vector<std::string> paths = putFiles(1);
    server.addFault(TestFault::withDelay("/core/downloadfile", 300));
    ActiveThreadContext job = downloadJob(paths[0]);
    job.connector.reset(new Nuvaro::NuvaroConnector(settingsList(), false, "Cloud Sync"));
    ASSERT_TRUE(job.connector->Authenticate(true));
    Poco::ActiveResult<ActiveThreadContext> handle = m_worker->startJob(job);
    m_worker->shutdown();
    EXPECT_EQ(m_worker->runningTransferJobs(), 0);
    ASSERT_TRUE(handle.available());
    // The worker's stop ended the download before its body was written: the
    // job failed and nothing was staged.
    EXPECT_FALSE(handle.data().ok);
    EXPECT_FALSE(Poco::File(stagedPath(paths[0])).exists());
}

TEST_F(Pool, ASlotWhoseLoginFailedLeavesThePoolTheSlotsThatLoggedIn) {
    const std::vector<std::string> paths = putFiles(3);
    TestFault refused = TestFault::withStatus("/core/loginguest", 500);
    refused.skip = 1;
    refused.times = 1;
    server.addFault(refused);
    server.addFault(TestFault::withDelay("/core/downloadfile", 50));
    FSSimulWorker pool(m_worker.get(), 2, m_worker->settings);
    EXPECT_FALSE(pool.init());
    EXPECT_EQ(pool.slotCount(), 1);
    for (const std::string& path : paths) {
        ActiveThreadContext job = downloadJob(path);
        ASSERT_TRUE(pool.addJob(job));
        EXPECT_EQ(job.connectorIndex, 0);
    }
    EXPECT_TRUE(pool.waitForAllJobs());
    EXPECT_EQ(server.peakRequestsInFlight("/core/downloadfile"), 1);
    expectStaged(paths);
}

TEST_F(Pool, APoolWithoutAnySlotRefusesEveryJob) {
    const std::vector<std::string> paths = putFiles(1);
    server.addFault(TestFault::withStatus("/core/loginguest", 500));
    CloudSyncTest::LogCapture log({"Sync"});
    FSSimulWorker pool(m_worker.get(), 2, m_worker->settings);
    EXPECT_FALSE(pool.init());
    EXPECT_EQ(pool.slotCount(), 0);
    ActiveThreadContext job = downloadJob(paths[0]);
    EXPECT_FALSE(pool.addJob(job));
    EXPECT_TRUE(log.contains("------ FAILED TO START ANY JOB---------0")) << log.dump();
    EXPECT_FALSE(pool.available());
    EXPECT_TRUE(pool.waitForAllJobs());
}

} // namespace
} // namespace EngineTest
