#include "StopSignalWatcher.h"

#include <csignal>
#include <ctime>
#include <pthread.h>

namespace Nuvaro {
namespace Sync {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// How long one wait for a signal lasts before the thread looks at `quit`.
const long kWaitSliceNs = 100 * 1000 * 1000;

} // namespace

void StopSignalWatcher::blockStopSignals() {
    sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignalWatcher::StopSignalWatcher() : thread(&StopSignalWatcher::watch, this) {}

StopSignalWatcher::~StopSignalWatcher() {
    quit = true;
    thread.join();
}

void StopSignalWatcher::watch() {
    const sigset_t set = stopSignals();
    const timespec slice{0, kWaitSliceNs};
    while (!quit.load()) {
        if (sigtimedwait(&set, nullptr, &slice) < 0)
            continue;
        if (stop.exchange(true))
            continue;
        stopped.set();
        runAction();
    }
}

void StopSignalWatcher::runAction() {
    std::lock_guard<std::mutex> lock(actionMutex);
    if (action && !actionDone) {
        actionDone = true;
        action();
    }
}

void StopSignalWatcher::setStopAction(std::function<void()> stopAction) {
    {
        std::lock_guard<std::mutex> lock(actionMutex);
        action = std::move(stopAction);
        actionDone = false;
    }
    if (stop.load())
        runAction();
}

void StopSignalWatcher::clearStopAction() {
    std::lock_guard<std::mutex> lock(actionMutex);
    action = nullptr;
}

bool StopSignalWatcher::waitForStop(long timeoutMs) {
    return stopped.tryWait(timeoutMs);
}

} // namespace Sync
} // namespace Nuvaro
