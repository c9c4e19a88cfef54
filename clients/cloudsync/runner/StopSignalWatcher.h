#pragma once

// StopSignalWatcher: turns SIGINT and SIGTERM into an orderly stop of the
// console program. The two signals are blocked in every thread (call
// blockStopSignals() first thing in main, before any thread exists, so every
// later thread inherits the mask); one thread of this object takes them with
// sigtimedwait, so no code runs in signal context. On the first signal it
// marks the stop, wakes waitForStop and runs the stop action (the runner's
// shutdownForExit) on its own thread; later signals are taken and ignored
// while the program stops.
//
// Threads: the owner (the main thread) constructs and destroys the object
// and sets and clears the stop action; the watcher thread runs the action.
// The action is guarded by `actionMutex`, so clearStopAction returns only
// after an action in progress has ended: the owner may then destroy what the
// action uses.

#include <Poco/Event.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace Nuvaro {
namespace Sync {

class StopSignalWatcher {
public:
    // Blocks SIGINT and SIGTERM for the calling thread and the threads it
    // starts later.
    static void blockStopSignals();

    // Starts the watcher thread (the signals must be blocked already).
    StopSignalWatcher();
    // Ends the watcher thread.
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

    // The action run on the first stop signal; run at once when a stop came
    // before it was set.
    void setStopAction(std::function<void()> action);
    // Removes the action, waiting for it to end when it runs.
    void clearStopAction();

    // A stop signal came.
    bool stopRequested() const { return stop.load(); }
    // Waits up to timeoutMs for a stop signal; true when one came.
    bool waitForStop(long timeoutMs);

private:
    void watch();
    void runAction();

    std::atomic<bool> stop{false};
    std::atomic<bool> quit{false};
    Poco::Event stopped{Poco::Event::EVENT_MANUALRESET};
    std::mutex actionMutex;
    std::function<void()> action;  // guarded by actionMutex
    bool actionDone = false;       // guarded by actionMutex
    std::thread thread;
};

} // namespace Sync
} // namespace Nuvaro
