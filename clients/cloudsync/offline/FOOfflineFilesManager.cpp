// FOOfflineFilesManager: the job manager's thread, queue and schedules (see
// the header for the protocol, the threads and the shutdown order).

#include "FOOfflineFilesManager.h"

#include "OfflineJobCommon.h"
#include "RequestText.h"

#include <Poco/AutoPtr.h>
#include <Poco/DateTime.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Exception.h>
#include <Poco/ThreadPool.h>
#include <Poco/Timespan.h>

#include <vector>

namespace Nuvaro {
namespace Sync {

namespace {

Poco::Logger& managerLog() {
    static Poco::Logger& logger = Poco::Logger::get("FOOfflineFilesManager");
    return logger;
}

// The interval in hours of an hourly schedule (1000 for any text not known).
double scheduleHours(const std::string& schedule) {
    if (schedule == "1h")
        return 1.0;
    if (schedule == "2h")
        return 2.0;
    if (schedule == "4h")
        return 4.0;
    if (schedule == "8h")
        return 8.0;
    if (schedule == "24h")
        return 24.0;
    return 1000.0;
}

std::string decimal(double value) {
    return std::to_string(static_cast<long long>(value));
}

} // namespace

FOOfflineFilesManager::FOOfflineFilesManager(const std::string& resourcePath_, const std::string& basePath_,
                                             const Nuvaro::RecordList& settings_,
                                             const boost::shared_ptr<FOOfflineDB>& database_)
    : resourcePath(resourcePath_), basePath(basePath_), settings(copySettingsList(settings_)), database(database_),
      thread("Sync"), started(false) {}

FOOfflineFilesManager::~FOOfflineFilesManager() {
    try {
        stopRequested = true;
        queue.wakeUpAll();
        joinThread();
        // A manager that never ran its loop may still hold jobs only if a
        // test drove it; none of them may outlive it.
        for (auto& job : jobs)
            job.second->killJob();
        jobs.clear();
    } catch (...) {
    }
}

bool FOOfflineFilesManager::startup() {
    syncLog().trace("Startup FOOfflineFilesManager Thread");
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (threadJoinable)
        return true;
    stopRequested = false;
    thread.start(*this);
    threadJoinable = true;
    started.wait();
    return true;
}

bool FOOfflineFilesManager::shutdown() {
    syncLog().trace("Shutdown FOOfflineFilesManager Thread");
    stopRequested = true;
    queue.wakeUpAll();
    joinThread();
    syncLog().trace("FOOfflineFilesManager Thread exited");
    return true;
}

// Joined whenever it was started, also when its loop has already ended: the
// join is what orders the loop's last steps before whatever follows (the
// jobs released by the destructor).
void FOOfflineFilesManager::joinThread() {
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (threadJoinable) {
        thread.join();
        threadJoinable = false;
    }
}

void FOOfflineFilesManager::postNotification(int kind, const FOOfflineJobData& job) {
    queue.enqueueNotification(new OfflineJobNotification(kind, job));
}

// ---- The loop ----

void FOOfflineFilesManager::run() {
    started.set();
    Poco::AutoPtr<Poco::Notification> kept;
    while (!stopRequested) {
        Poco::AutoPtr<Poco::Notification> notification(queue.waitDequeueNotification(intervals.queueWaitMs));
        if (stopRequested) {
            kept = notification;
            break;
        }
        try {
            if (!notification) {
                clearJobs(true);
                ++idleCount;
                if (idleCount >= intervals.emptyWaitsPerCheck) {
                    checkScheduledJobs();
                    idleCount = 0;
                }
            } else {
                handle(notification.get());
            }
        } catch (...) {
            syncLog().error(RequestText::exceptionLine("run", "", ""));
        }
    }
    exitSteps(kept.get());
}

void FOOfflineFilesManager::handle(Poco::Notification* notification) {
    auto* request = dynamic_cast<OfflineJobNotification*>(notification);
    if (!request)
        return;
    managerLog().trace("Got New Job Notification ");
    switch (request->kind) {
    case OfflineJobNotification::KIND_ADD_JOB:
        addNewJob(request->job, true);
        break;
    case OfflineJobNotification::KIND_RUN_MANUAL:
        runManual();
        break;
    case OfflineJobNotification::KIND_STOP_ALL:
        stopAllJobs();
        break;
    default:
        break;
    }
}

void FOOfflineFilesManager::exitSteps(Poco::Notification* kept) {
    bool stopAll = false;
    auto isStopAll = [](Poco::Notification* notification) {
        auto* request = dynamic_cast<OfflineJobNotification*>(notification);
        return request && request->kind == OfflineJobNotification::KIND_STOP_ALL;
    };
    stopAll = kept && isStopAll(kept);
    for (;;) {
        Poco::AutoPtr<Poco::Notification> left(queue.dequeueNotification());
        if (!left)
            break;
        stopAll = stopAll || isStopAll(left.get());
    }
    try {
        // A shutdown without a stop-all still leaves no job running.
        if (stopAll || anyJobRunning())
            stopAllJobs();
    } catch (...) {
        syncLog().error(RequestText::exceptionLine("run", "", ""));
    }
}

// ---- Jobs (manager thread) ----

bool FOOfflineFilesManager::anyJobRunning() const {
    for (const auto& job : jobs)
        if (!job.second->isDone() && job.second->activity().isRunning())
            return true;
    return false;
}

void FOOfflineFilesManager::addNewJob(const FOOfflineJobData& job, bool userInitiated) {
    if (jobs.count(job.localLinkPath) != 0) {
        managerLog().trace("FOOfflineFilesManager: Job Already Running, Not Adding to Queue " + job.localLinkPath);
        return;
    }
    bool otherRunning = false;
    for (const auto& entry : jobs)
        otherRunning = otherRunning || entry.second->activity().isRunning();
    boost::shared_ptr<OfflineJobActivity> activity(new OfflineJobActivity(settings, job, database, userInitiated));
    if (otherRunning) {
        managerLog().trace("FOOfflineFilesManager: Queueing Offline Job: " + job.localLinkPath);
    } else {
        managerLog().trace("FOOfflineFilesManager: Starting Offline Job " + job.localLinkPath);
        activity->activity().start(Poco::ThreadPool::defaultPool());
        active = 1;
    }
    jobs[job.localLinkPath] = activity;
}

void FOOfflineFilesManager::startNextJob() {
    if (anyJobRunning())
        return;
    active = 0;
    for (auto& entry : jobs) {
        // The first job that never ran (finished ones are dropped first).
        if (entry.second->isDone())
            continue;
        managerLog().trace("FOOfflineFilesManager: No Jobs Running. Starting Next Job: " + entry.first);
        entry.second->activity().start(Poco::ThreadPool::defaultPool());
        active = 1;
        return;
    }
}

void FOOfflineFilesManager::clearJobs(bool startNext) {
    for (auto entry = jobs.begin(); entry != jobs.end();) {
        if (entry->second->isDone() && !entry->second->activity().isRunning())
            entry = jobs.erase(entry);
        else
            ++entry;
    }
    if (startNext)
        startNextJob();
}

void FOOfflineFilesManager::stopAllJobs() {
    managerLog().trace("FOOfflineFilesManager: Stopping all Jobs");
    for (auto& entry : jobs) {
        OfflineJobActivity& job = *entry.second;
        if (!job.activity().isRunning())
            continue;
        try {
            managerLog().error("JobManager: Stopping job...");
            job.killJob();
        } catch (...) {
        }
        managerLog().trace("JobManager: Wait Begin");
        job.activity().wait();
        managerLog().trace("JobManager: Wait Complete");
    }
    active = 0;
    clearJobs(false);
}

void FOOfflineFilesManager::runManual() {
    managerLog().trace("Running All Manual Jobs ");
    std::vector<boost::shared_ptr<FOOfflineJobData>> stored;
    database->getAllFOJobRecord(stored);
    for (const auto& job : stored)
        if (job->schedule == "manual")
            addNewJob(*job, true);
}

// ---- Schedules ----

bool FOOfflineFilesManager::isDue(const FOOfflineJobData& job, const Poco::Timestamp& now, std::string& reason) {
    if (job.schedule == "manual" || job.schedule == "realtime")
        return false;
    if (job.lastRun.empty()) {
        reason = "Adding Job to Queue as it's never been run";
        return true;
    }
    int zone = 0;
    // The stored time is UTC; a zone in the text is not applied.
    const Poco::DateTime last = Poco::DateTimeParser::parse(Poco::DateTimeFormat::SORTABLE_FORMAT, job.lastRun, zone);
    const Poco::Timespan since = now - last.timestamp();
    if (job.schedule == "30m") {
        const int minutes = static_cast<int>(since.totalMinutes());
        reason = "Adding Job to Queue as it's been " + std::to_string(minutes) +
                 " since last run and schedule says " + std::to_string(30) + " minutes";
        return minutes > 30;
    }
    const int hours = static_cast<int>(since.totalHours());
    const double interval = scheduleHours(job.schedule);
    reason = "Adding Job to Queue as it's been " + std::to_string(hours) + " since last run and schedule says " +
             decimal(interval);
    return static_cast<double>(hours) > interval;
}

void FOOfflineFilesManager::checkScheduledJobs() {
    std::vector<boost::shared_ptr<FOOfflineJobData>> stored;
    database->getAllFOJobRecord(stored);
    const Poco::Timestamp now = intervals.now();
    for (const auto& job : stored) {
        std::string reason;
        bool due = false;
        try {
            due = isDue(*job, now, reason);
        } catch (const Poco::Exception& e) {
            // One bad record must not keep the other jobs from their runs.
            managerLog().error("Unreadable last run time of the job " + job->localLinkPath + ": " + job->lastRun +
                               " " + e.displayText());
            continue;
        }
        if (!due)
            continue;
        managerLog().trace(reason);
        addNewJob(*job, false);
    }
}

} // namespace Sync
} // namespace Nuvaro
