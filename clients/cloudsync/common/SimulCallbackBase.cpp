#include "SimulCallbackBase.h"

#include <Poco/Runnable.h>
#include <Poco/ThreadPool.h>

#include <chrono>
#include <memory>

namespace Nuvaro {
namespace Sync {

// The runnable a pool thread runs for one job: the active method's own
// runnable (the body, the handle's result and signal), then the release of
// the job's context, then the count on the board. It deletes itself.
class SimulCallbackBase::CountedJob : public Poco::Runnable {
public:
    CountedJob(SimulCallbackBase& owner, const Poco::ActiveRunnableBase::Ptr& job) : m_owner(owner), m_job(job) {}

    void run() override {
        std::unique_ptr<CountedJob> self(this);
        // ActiveRunnable::run releases one reference to itself when it ends
        // (the one Poco's own starter adds); ours stays until below.
        m_job->duplicate();
        m_job->run();
        m_job = nullptr;
        m_owner.transferJobEnded();
    }

private:
    SimulCallbackBase& m_owner;
    Poco::ActiveRunnableBase::Ptr m_job;
};

SimulCallbackBase::SimulCallbackBase() = default;

SimulCallbackBase::~SimulCallbackBase() {
    waitForAllTransferJobs();
}

void SimulCallbackBase::startTransferJob(const Poco::ActiveRunnableBase::Ptr& runnable) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_running;
    }
    std::unique_ptr<CountedJob> job(new CountedJob(*this, runnable));
    try {
        Poco::ThreadPool::defaultPool().start(*job);
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_running;
        m_changed.notify_all();
        throw;
    }
    job.release();
}

void SimulCallbackBase::transferJobEnded() {
    // Notified under the lock: once the waiter sees the count, this thread
    // no longer touches the object.
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_running;
    ++m_finished;
    m_changed.notify_all();
}

Poco::UInt64 SimulCallbackBase::finishedTransferJobs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished;
}

bool SimulCallbackBase::waitForTransferJobEnd(Poco::UInt64 seen, long timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_finished > seen; });
}

int SimulCallbackBase::runningTransferJobs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}

void SimulCallbackBase::waitForAllTransferJobs() const {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_running == 0; });
}

} // namespace Sync
} // namespace Nuvaro
