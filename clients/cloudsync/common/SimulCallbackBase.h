#pragma once

// SimulCallbackBase: the owner of a transfer pool (FSSimulWorker), through
// which the pool starts each job. Implemented by the sync worker and by the
// job activity; each runs its own transfer body.
//
// startJob runs the owner's transfer body on a copy of the context on a
// thread of Poco::ThreadPool::defaultPool() and returns the job's handle,
// which signals completion through its event and then holds the context the
// body returned (or, when the body threw, the exception). Owners implement it
// with a Poco::ActiveMethod whose starter is SimulJobStarter:
//
//     class MyOwner : public SimulCallbackBase {
//         typedef Poco::ActiveMethod<ActiveThreadContext, ActiveThreadContext, MyOwner,
//                                    SimulJobStarter<MyOwner>> Method;
//         Method simulMethod{this, &MyOwner::simulImpl};
//         Poco::ActiveResult<ActiveThreadContext> startJob(const ActiveThreadContext& ctx) override {
//             return simulMethod(ctx);
//         }
//         ActiveThreadContext simulImpl(const ActiveThreadContext& ctx);
//         ~MyOwner() { waitForAllTransferJobs(); ... }
//     };
//
// The starter counts the owner's jobs on this object's job board: how many
// run, and how many have finished so far. The pool waits on the board for
// "some job finished" instead of polling its handles, and the owner waits on
// it before it goes away: a job's body calls into its owner, so an owner
// must call waitForAllTransferJobs() (in its shutdown or destructor) before
// it destroys anything its transfer body uses. The destructor here waits as
// well, but only protects the board itself.
//
// A job counts as finished once its body has returned or thrown, its handle
// has been signalled and its copy of the context (with its share of the
// slot's connector) has been released; the pool thread then touches nothing
// of the owner any more.
//
// Threads: the board is guarded by m_mutex; every member may be called from
// any thread. A thread pool without a free thread makes start() throw
// Poco::NoThreadAvailableException through startJob; the job then never
// counted.

#include "ActiveThreadContext.h"

#include <Poco/ActiveResult.h>
#include <Poco/ActiveRunnable.h>
#include <Poco/Types.h>

#include <condition_variable>
#include <mutex>

namespace Nuvaro {
namespace Sync {

class SimulCallbackBase {
public:
    SimulCallbackBase();
    // Waits until no job of this owner runs (see above).
    virtual ~SimulCallbackBase();
    SimulCallbackBase(const SimulCallbackBase&) = delete;
    SimulCallbackBase& operator=(const SimulCallbackBase&) = delete;

    // Runs the owner's transfer body on a copy of ctx on a pool thread.
    virtual Poco::ActiveResult<ActiveThreadContext> startJob(const ActiveThreadContext& ctx) = 0;
    // The owner's stop as a cancel hook for the connectors of its pools
    // (null, the default: none). The pool gives it to every slot before the
    // slot logs in, so that the owner's stop ends a transfer in flight at
    // once, also while it waits for a server that does not answer. It must
    // outlive the owner's pools.
    virtual Nuvaro::RequestCancelHook* transferCancelHook() { return nullptr; }

    // ---- The job board ----

    // How many jobs have finished since construction.
    Poco::UInt64 finishedTransferJobs() const;
    // Waits until more than `seen` jobs have finished, at most timeoutMs;
    // true when they have. The pool reads finishedTransferJobs(), looks at
    // its handles, and waits with the count it read, so that a job ending in
    // between is never missed.
    bool waitForTransferJobEnd(Poco::UInt64 seen, long timeoutMs) const;
    // How many jobs run now (started and not finished).
    int runningTransferJobs() const;
    // Returns once no job of this owner runs.
    void waitForAllTransferJobs() const;

    // For SimulJobStarter: counts the job and starts the active method's
    // runnable on the default thread pool. The pool's exception passes
    // through (the job is then not counted).
    void startTransferJob(const Poco::ActiveRunnableBase::Ptr& runnable);

private:
    class CountedJob;
    // The pool thread's last touch of the owner.
    void transferJobEnded();

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    int m_running = 0;           // guarded by m_mutex
    Poco::UInt64 m_finished = 0; // guarded by m_mutex
};

// The starter policy of the owners' Poco::ActiveMethod: starts the job on the
// default thread pool through the owner's job board.
template <class Owner>
class SimulJobStarter {
public:
    static void start(Owner* owner, Poco::ActiveRunnableBase::Ptr runnable) {
        static_cast<SimulCallbackBase*>(owner)->startTransferJob(runnable);
    }
};

} // namespace Sync
} // namespace Nuvaro
