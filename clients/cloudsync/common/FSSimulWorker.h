#pragma once

// FSSimulWorker: the transfer pool. Built for one batch of transfers (the
// staged downloads of one sync folder, the uploads of one pass, one phase of
// a network-folder or backup job) and destroyed after it. It owns one
// logged-in connector per slot ("Cloud Sync"), starts each job through its
// owner's startJob (SimulCallbackBase) on a thread of the default thread
// pool, hands the job a free slot's connector, reaps finished jobs, and stops
// accepting jobs for good once one of its jobs has failed.
//
// Use, on the owner's thread only (the pool has no lock):
//     FSSimulWorker pool(owner, size, settings);
//     pool.init();                      // logs the slots in
//     while (...) if (!pool.addJob(ctx)) { ...give up the batch... }
//     bool allOk = pool.waitForAllJobs();
//     // the destructor waits for every job still running
//
// Sizes: the pool has at least one slot whatever it is given, so a setting
// "maxthreads" of 0 (or garbage) still transfers, one file at a time. The
// callers size it as the smaller of "maxthreads" and the batch, at least 1.
// Slots whose login failed are not created: the pool then runs as many jobs
// at once as it has slots, and refuses jobs only when it has none.
//
// A job has failed when the context its body returned has `ok` false, or
// when its body threw (its handle then holds no context: the slot index is
// kept beside the handle, so the slot is freed all the same). The failure of
// a job is seen when the pool reaps it; from then on addJob refuses (checked
// once, at its start) and waitForAllJobs returns false. Jobs already running
// finish normally. The failure itself is reported by the transfer body's
// callbacks; a body that threw is logged here. A pool told to
// keepGoingAfterFailures goes on accepting jobs after a failure (one file
// the server refuses must not keep the others of its batch from going);
// waitForAllJobs still returns false.
//
// Waiting never polls: the pool reads the owner's count of finished jobs,
// looks at its handles, and sleeps on the owner's job board until a job
// ends (a time-out only bounds each sleep).
//
// Destruction waits for every job this pool started, also after an
// exception in the owner's loop: no job of a batch outlives its pool, so the
// owner never goes on (applying staged files, or shutting down) while one
// still writes.

#include "ActiveThreadContext.h"
#include "SimulCallbackBase.h"

#include "nuvarocbfs_Network.h"
#include "nuvarocbfs_XmlParser.h"

#include <Poco/ActiveResult.h>

#include <boost/shared_ptr.hpp>

#include <vector>

namespace Nuvaro {
namespace Sync {

// One slot of the pool: its connector and whether a job runs on it.
struct ConnectorHolder {
    boost::shared_ptr<NuvaroConnector> connector;
    bool busy = false;
};

class FSSimulWorker {
public:
    // The longest single sleep of a wait for a job; a job's end wakes the
    // wait at once.
    static const long WAIT_SLICE_MS = 1000;

    // No slot yet (init logs them in), no job, not stopped. maxJobs below 1
    // counts as 1. The settings list is copied, maps included.
    FSSimulWorker(SimulCallbackBase* callback, int maxJobs, const Nuvaro::RecordList& settings);
    // Waits for every job started by this pool (see above).
    ~FSSimulWorker();
    FSSimulWorker(const FSSimulWorker&) = delete;
    FSSimulWorker& operator=(const FSSimulWorker&) = delete;

    // Creates and logs in the slots in order; a failed login ends it (the
    // slots before stay). True when all maxJobs logged in.
    bool init();
    // Starts the job on a free slot (waiting for a running job to end when
    // every slot is busy) and fills ctx's connector and connectorIndex.
    // False when the pool is stopped or has no slot; the thread pool's
    // exception (no free thread) passes through.
    bool addJob(ActiveThreadContext& ctx);
    // Returns once every started job has finished; false when a job of this
    // pool failed.
    bool waitForAllJobs();
    // From now on a failed job no longer stops the pool (see above).
    void keepGoingAfterFailures() { keepGoing = true; }
    // Reaps finished jobs; true when a job could start now without waiting.
    bool available();

    int getMaxJobs() const { return maxJobs; }
    // Slots that logged in.
    int slotCount() const { return static_cast<int>(connectors.size()); }
    // Jobs started and not reaped yet.
    int runningJobs() const { return static_cast<int>(jobs.size()); }
    bool isStopped() const { return stopped; }

private:
    struct Job {
        Poco::ActiveResult<ActiveThreadContext> handle;
        int slot;
    };

    // The first slot not busy; -1 (with a trace line) when none.
    int getFreeConnector();
    // Returns once a started job has finished (at once without jobs).
    void waitForJob();
    // Reaps every finished job: frees its slot, notes a failure.
    void clearJobs();
    // True when the job has finished; reaps it then.
    bool reapIfFinished(Job& job);
    // Step 5 of addJob: the slot's connector into ctx, the slot busy, the
    // job started and kept.
    void startJobImpl(ActiveThreadContext& ctx, int slot);

    int maxJobs;
    Nuvaro::RecordList settings;
    std::vector<Job> jobs;
    std::vector<ConnectorHolder> connectors;
    SimulCallbackBase* callback;
    bool stopped;
    // A job of this pool failed (with keepGoing the pool is not stopped).
    bool failed = false;
    bool keepGoing = false;
};

} // namespace Sync
} // namespace Nuvaro
