#pragma once

// The thread of a worker of the local services (FSWebServerWorker,
// FSWebEditWorker): a Poco thread named "Sync" running the worker's body, the
// ready event the body sets once its set-up is done, the stop flag, and the
// worker's queue, whose waiters are woken to stop.
//
// start() starts the body once and waits for ready; stop() sets the flag,
// wakes the queue and joins the thread; after stop() nothing starts again.
// Both belong to the owner's thread (one call at a time; they serialise on a
// lock of their own); stopping() and setReady() to the body.

#include <Poco/Event.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <atomic>
#include <mutex>

namespace Nuvaro {
namespace Sync {

class WorkerThread {
public:
    explicit WorkerThread(Poco::NotificationQueue& queue);
    // stop().
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Runs `body` on the thread and returns once it called setReady(). Does
    // nothing when started before or stopped.
    void start(Poco::Runnable& body);
    // Sets the stop flag, wakes every waiter of the queue and joins the
    // thread when it was started. Harmless twice and before start.
    void stop();

    bool stopping() const { return m_stop.load(); }
    void setReady() { m_ready.set(); }

private:
    Poco::NotificationQueue& m_queue;
    Poco::Thread m_thread;
    Poco::Event m_ready;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    bool m_started = false;
};

} // namespace Sync
} // namespace Nuvaro
