#pragma once

// FOOfflineFilesManager: the thread that decides when network-folder and
// backup jobs run. It takes requests from its queue (OfflineJobNotification),
// checks the stored schedules of offline.db about once a minute, and runs at
// most one job at a time: each run is an OfflineJobActivity on the default
// thread pool.
//
// The application runner's protocol:
//     FOOfflineFilesManager manager(resourcePath, basePath, settings, jobDb);
//     manager.startup();                                  // the thread runs
//     manager.postNotification(OfflineJobNotification::KIND_ADD_JOB, job);
//     manager.postNotification(OfflineJobNotification::KIND_RUN_MANUAL);
//     ... isActive() / isIdle() from any thread ...
//     manager.postNotification(OfflineJobNotification::KIND_STOP_ALL);
//     manager.shutdown();                                 // then destroy it
// Notifications: KIND_ADD_JOB runs the job now (user-initiated), or after
// the running job; a job already running or waiting is not added twice.
// KIND_STOP_ALL kills every running job and waits for it. KIND_RUN_MANUAL
// adds every stored job whose schedule is "manual". Other kinds are ignored.
//
// The loop (run): waits on the queue in slices of queueWaitMs (5000 ms).
// After each empty wait it drops finished jobs and starts the next waiting
// one (smallest local folder first); every emptyWaitsPerCheck-th empty wait
// (13: about 65 s) it checks the schedules: a job is due when it never ran,
// or when the whole minutes ("30m": more than 30) or whole hours ("1h", "2h",
// "4h", "8h", "24h": more than 1, 2, 4, 8, 24; any other text: more than
// 1000) since its last run exceed its interval. "manual" and "realtime" jobs
// are never due. A job whose last-run time cannot be read is logged and
// passed over; the others are still checked. Exceptions are logged and the
// loop goes on; only shutdown ends it.
//
// Threads, and who may touch what:
//   - the runner's threads: constructor, startup, shutdown, the destructor
//     (one thread at a time), and at any time postNotification, isActive,
//     isIdle;
//   - the manager thread: run and every job operation (`jobs`, `idleCount`,
//     starting and killing job activities);
//   - shared: `queue` (locks itself), `stopRequested` and `active` (atomics),
//     `threadJoinable` (under `lifecycleMutex`: the thread is joined
//     whenever it was started, even when its loop has ended already);
//   - each job runs on a pool thread and sets its own done flag there.
//
// Shutdown order (shutdown(), also from the destructor; harmless twice and
// on a manager never started): `stopRequested` is set and the queue's
// waiters are woken; the loop ends at its next test, carries out a queued
// stop-all, and kills and waits for any job still running, so that no job
// outlives the manager; then the thread is joined. When shutdown returns, no
// job of this manager runs.

#include "FOOfflineDB.h"
#include "FOOfflineJobData.h"
#include "OfflineJobActivity.h"
#include "OfflineJobNotification.h"

#include "nuvarocbfs_XmlParser.h"

#include <Poco/Event.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace Nuvaro {
namespace Sync {

class FOOfflineFilesManager : public Poco::Runnable {
public:
    // Waits and the clock of the manager; every default is the real value.
    // Tests shorten them through setIntervalsForTesting.
    struct Intervals {
        // One wait on the queue.
        long queueWaitMs = 5000;
        // Empty waits between schedule checks (13 x 5000 ms: about 65 s).
        int emptyWaitsPerCheck = 13;
        // "Now" for the schedules (UTC).
        std::function<Poco::Timestamp()> now = [] { return Poco::Timestamp(); };
    };

    // Stores what it is given (the settings list is copied, maps included,
    // and handed to every job); nothing runs. The two paths are the
    // runner's resource and data folders; no operation uses them.
    FOOfflineFilesManager(const std::string& resourcePath, const std::string& basePath,
                          const Nuvaro::RecordList& settings, const boost::shared_ptr<FOOfflineDB>& database);
    // Shuts down when that was not done (see the shutdown order).
    ~FOOfflineFilesManager() override;
    FOOfflineFilesManager(const FOOfflineFilesManager&) = delete;
    FOOfflineFilesManager& operator=(const FOOfflineFilesManager&) = delete;

    // Starts the thread and returns once its loop runs. True; starting a
    // running manager does nothing.
    bool startup();
    // Ends the loop and joins the thread (see the shutdown order). True.
    bool shutdown();

    // Posts a request (a kind of OfflineJobNotification; `job` is read for
    // KIND_ADD_JOB only). Any thread; the manager handles it in order.
    void postNotification(int kind, const FOOfflineJobData& job = FOOfflineJobData());

    // True after the manager started a job, until it finds none running (a
    // value one step old at most).
    bool isActive() const { return active.load() == 1; }
    // True while the manager thread waits on its queue for work.
    bool isIdle() const { return queue.hasIdleThreads(); }

    // Before startup only.
    void setIntervalsForTesting(const Intervals& given) { intervals = given; }

    // Whether a job is due now; `reason` gets the log text of a due job.
    // Throws Poco::SyntaxException for a last-run time that does not parse.
    static bool isDue(const FOOfflineJobData& job, const Poco::Timestamp& now, std::string& reason);

protected:
    // The loop (see the class comment).
    void run() override;
    // Acts on one notification taken from the queue.
    void handle(Poco::Notification* notification);
    // The exit steps: what is still queued is taken; a stop-all among it (or
    // the kept one) is carried out; any job still running is killed and
    // waited for.
    void exitSteps(Poco::Notification* kept);

    // Adds the job unless its local folder is in `jobs` already; starts it at
    // once when no other job runs, else it waits.
    void addNewJob(const FOOfflineJobData& job, bool userInitiated);
    // Starts the first waiting job (smallest key) when no job runs.
    void startNextJob();
    // Drops finished jobs; then, with startNext, starts the next one.
    void clearJobs(bool startNext);
    // Kills every running job and waits for it; drops finished jobs.
    void stopAllJobs();
    // Adds every due job (not user-initiated).
    void checkScheduledJobs();
    // Adds every "manual" job (user-initiated).
    void runManual();
    // True while some job's run has not ended.
    bool anyJobRunning() const;
    // Joins the thread when it was started and not joined yet.
    void joinThread();

    // ---- Constant after construction ----
    const std::string resourcePath;
    const std::string basePath;
    const Nuvaro::RecordList settings;
    const boost::shared_ptr<FOOfflineDB> database;

    // ---- Starting and joining the thread: guarded by lifecycleMutex ----
    std::mutex lifecycleMutex;
    bool threadJoinable = false;

    // ---- Shared ----
    Poco::Thread thread;
    Poco::Event started;
    mutable Poco::NotificationQueue queue;
    std::atomic<bool> stopRequested{false};
    std::atomic<int> active{0};

    // ---- Manager thread only (the runner's thread before startup) ----
    Intervals intervals;
    std::map<std::string, boost::shared_ptr<OfflineJobActivity>> jobs;
    int idleCount = 0;
};

} // namespace Sync
} // namespace Nuvaro
