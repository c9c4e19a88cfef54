// FSAppRunner: requests of the local integration service that reach the
// workers: the user's answer to a delete approval and the requests to the job
// manager.

#include "FSAppRunner.h"

#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {

namespace {

Poco::Logger& rootLog() {
    return Poco::Logger::root();
}

} // namespace

// The approval goes to the worker through a copy of its pointer: a shutdown
// running meanwhile may release the runner's pointer, never the worker this
// call talks to. The reset checks for a worker and empties the data as one
// step against startup and shutdown, so no worker starts on half-reset data.
void FSAppRunner::confirmDelete(bool approved, int count) {
    Poco::Logger& log = rootLog();
    if (approved) {
        boost::shared_ptr<FSWorker> worker = currentWorker();
        if (worker) {
            log.debug("############ DELETE APPROVED for DELETE APPROVAL REQUESTED " + std::to_string(count));
            worker->changesApproved(count);
        }
        return;
    }
    log.debug("############ Begin Reset Sync Data for Delete Refresh");
    std::unique_lock<std::mutex> lock = lockLifecycle(false);
    if (currentWorker() || !syncDB)
        return;
    syncDB->resetSyncData(true);
    syncDB->clearAllLimitPaths();
    // The reset empties the external paths too; they come from the jobs.
    syncRealtimeJobs();
}

// ---- The job manager ----
//
// Like the approval, each request holds a copy of the manager's pointer while
// it posts: a shutdown meanwhile takes the runner's pointer away first and
// stops the manager, but never destroys the one a request talks to. What is
// posted to a manager that is stopping is dropped with it; a job it starts
// is killed and waited for by its exit steps.

void FSAppRunner::postJobRequest(int kind, const FOOfflineJobData& job) {
    boost::shared_ptr<FOOfflineFilesManager> manager = currentOfflineManager();
    if (manager)
        manager->postNotification(kind, job);
}

void FSAppRunner::addOfflineJob(const boost::shared_ptr<FOOfflineJobData>& job) {
    if (job)
        postJobRequest(OfflineJobNotification::KIND_ADD_JOB, *job);
}

void FSAppRunner::clearAllOfflineJobs() {
    postJobRequest(OfflineJobNotification::KIND_STOP_ALL);
}

void FSAppRunner::runManual() {
    postJobRequest(OfflineJobNotification::KIND_RUN_MANUAL);
}

void FSAppRunner::runAllOfflineJobs() {
    if (!currentOfflineManager())
        return;
    std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
    offlineDB->getAllFOJobRecord(jobs);
    for (const boost::shared_ptr<FOOfflineJobData>& job : jobs) {
        if (job->schedule != "realtime")
            addOfflineJob(job);
    }
}

} // namespace Sync
} // namespace Nuvaro
