// FSAppRunner: requests of the local integration service that reach the
// workers: the user's answer to a delete approval.

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

} // namespace Sync
} // namespace Nuvaro
