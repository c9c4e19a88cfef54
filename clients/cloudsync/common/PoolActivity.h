#pragma once

// PoolActivity: a member function of an object run once at a time on a
// thread of a Poco::ThreadPool, with a stop request the function polls and a
// wait for its end; the interface of Poco::Activity (start, stop, wait,
// isStopped, isRunning).
//
// Unlike Poco::Activity, whose thread still signals its completion event
// after isRunning() turned false (so that an owner that deletes the object
// once it no longer runs, or once wait() returned, may delete the event under
// the signalling thread), this one marks the end and wakes the waiters under
// its own lock as the pool thread's last access: once isRunning() is false
// and wait() has returned, the object may be destroyed. The folder scan and
// the lock refresh are deleted by their owner right after they end, so they
// use this.
//
// Any thread may call every member; start() again after the end starts a
// new run. The destructor stops and waits.

#include <Poco/Exception.h>
#include <Poco/Runnable.h>
#include <Poco/ThreadPool.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Nuvaro {
namespace Sync {

template <class C>
class PoolActivity : public Poco::Runnable {
public:
    typedef void (C::*Callback)();

    PoolActivity(C* owner, Callback method) : m_owner(owner), m_method(method) {}
    ~PoolActivity() override {
        stop();
        wait();
    }
    PoolActivity(const PoolActivity&) = delete;
    PoolActivity& operator=(const PoolActivity&) = delete;

    // Takes a thread of the pool for the function unless it runs already.
    // The pool's exception (no thread free) passes through, the activity
    // then not running.
    void start(Poco::ThreadPool& pool) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_running)
            return;
        m_stopped = false;
        m_running = true;
        try {
            pool.start(*this);
        } catch (...) {
            m_running = false;
            throw;
        }
    }
    void start() { start(Poco::ThreadPool::defaultPool()); }

    // Asks the function to end; it sees isStopped() at its next check.
    void stop() { m_stopped = true; }

    // Returns once the function has ended and the pool thread is done with
    // this object (at once when it does not run).
    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ended.wait(lock, [this] { return !m_running.load(); });
    }
    // The same, at most `milliseconds`; Poco::TimeoutException when the
    // function still runs then.
    void wait(long milliseconds) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_ended.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return !m_running.load(); }))
            throw Poco::TimeoutException("The activity did not end in time");
    }

    bool isStopped() const { return m_stopped; }
    bool isRunning() const { return m_running; }

    // The pool thread's body.
    void run() override {
        try {
            (m_owner->*m_method)();
        } catch (...) {
            // The function reports its own failures; nothing may escape to
            // the pool thread.
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        m_ended.notify_all();
    }

private:
    C* const m_owner;
    const Callback m_method;
    std::atomic<bool> m_stopped{true};
    std::atomic<bool> m_running{false};
    std::mutex m_mutex;
    std::condition_variable m_ended;
};

} // namespace Sync
} // namespace Nuvaro
