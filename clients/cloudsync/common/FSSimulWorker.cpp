// FSSimulWorker: the transfer pool (see the header for its contract).

#include "FSSimulWorker.h"
#include "SyncLog.h"

#include <Poco/Logger.h>

#include <map>
#include <string>

namespace Nuvaro {
namespace Sync {

// Every map is copied (copyRecordList): the slots' connectors read their map
// on pool threads, so they must not share it with a caller that may change it.
FSSimulWorker::FSSimulWorker(SimulCallbackBase* callback, int maxJobs, const Nuvaro::RecordList& settings)
    : maxJobs(maxJobs < 1 ? 1 : maxJobs), settings(copyRecordList(settings)), callback(callback), stopped(false) {}

FSSimulWorker::~FSSimulWorker() {
    for (Job& job : jobs) {
        try {
            job.handle.wait();
        } catch (...) {
        }
    }
}

bool FSSimulWorker::init() {
    Nuvaro::RequestCancelHook* const hook = callback ? callback->transferCancelHook() : nullptr;
    for (int slot = 0; slot < maxJobs; ++slot) {
        boost::shared_ptr<NuvaroConnector> connector(
            new NuvaroConnector(copyRecordList(settings), false, "Cloud Sync"));
        connector->setCancelHook(hook);
        if (!connector->Authenticate(true)) {
            if (hook && hook->cancelled()) {
                // The owner stopped while the slots logged in.
                syncLog().debug("init Transfer slot " + std::to_string(slot) + " not logged in: stopped");
                return false;
            }
            syncLog().error("init Transfer slot " + std::to_string(slot) +
                            " failed to log in: " + connector->getLastError());
            return false;
        }
        ConnectorHolder holder;
        holder.connector = connector;
        connectors.push_back(holder);
    }
    return true;
}

int FSSimulWorker::getFreeConnector() {
    for (std::size_t slot = 0; slot < connectors.size(); ++slot) {
        if (!connectors[slot].busy)
            return static_cast<int>(slot);
    }
    syncLog().trace(std::string("getFreeConnector") + " ERROR: No Free Connector Found for Upload Queue");
    return -1;
}

bool FSSimulWorker::reapIfFinished(Job& job) {
    if (!job.handle.available())
        return false;
    if (job.handle.failed()) {
        syncLog().error("Transfer job on connector " + std::to_string(job.slot) +
                        " ended with an exception: " + job.handle.error());
        failed = true;
    } else if (!job.handle.data().ok) {
        failed = true;
    }
    if (failed && !keepGoing)
        stopped = true;
    if (job.slot >= 0 && job.slot < static_cast<int>(connectors.size()))
        connectors[job.slot].busy = false;
    return true;
}

void FSSimulWorker::clearJobs() {
    for (auto job = jobs.begin(); job != jobs.end();) {
        if (reapIfFinished(*job))
            job = jobs.erase(job);
        else
            ++job;
    }
}

void FSSimulWorker::waitForJob() {
    syncLog().trace("waitForJob");
    while (!jobs.empty()) {
        // Read the count first: a job that ends after the look below has
        // raised it, and the sleep returns at once.
        Poco::UInt64 seen = callback->finishedTransferJobs();
        for (const Job& job : jobs) {
            if (job.handle.available())
                return;
        }
        callback->waitForTransferJobEnd(seen, WAIT_SLICE_MS);
    }
}

bool FSSimulWorker::waitForAllJobs() {
    while (!jobs.empty()) {
        Poco::UInt64 seen = callback->finishedTransferJobs();
        clearJobs();
        if (jobs.empty())
            break;
        callback->waitForTransferJobEnd(seen, WAIT_SLICE_MS);
    }
    return !stopped && !failed;
}

bool FSSimulWorker::available() {
    clearJobs();
    return !stopped && runningJobs() < slotCount() && getFreeConnector() != -1;
}

bool FSSimulWorker::addJob(ActiveThreadContext& ctx) {
    clearJobs();
    if (stopped)
        return false;
    int slot = -1;
    if (runningJobs() < slotCount()) {
        slot = getFreeConnector();
        if (slot == -1)
            return false;
    } else if (!jobs.empty()) {
        waitForJob();
        clearJobs();
        if (runningJobs() >= slotCount()) {
            syncLog().error("------ FAILED TO START ANY JOB---------" + std::to_string(runningJobs()));
            return false;
        }
        slot = getFreeConnector();
        syncLog().trace("Starting Job with connector: " + std::to_string(slot) +
                        " because we are less than max threads size " + std::to_string(runningJobs()));
        if (slot == -1)
            return false;
    } else {
        // No slot logged in: nothing can ever run.
        syncLog().error("------ FAILED TO START ANY JOB---------" + std::to_string(runningJobs()));
        return false;
    }
    startJobImpl(ctx, slot);
    return true;
}

void FSSimulWorker::startJobImpl(ActiveThreadContext& ctx, int slot) {
    ctx.connectorIndex = slot;
    ctx.connector = connectors[slot].connector;
    connectors[slot].busy = true;
    try {
        jobs.push_back(Job{callback->startJob(ctx), slot});
    } catch (...) {
        connectors[slot].busy = false;
        throw;
    }
}

} // namespace Sync
} // namespace Nuvaro
