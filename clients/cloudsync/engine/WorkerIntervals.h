#pragma once

#include "FSMonitor.h"
#include "FolderCacheActivity.h"
#include "RefreshLockActivity.h"

namespace Nuvaro {
namespace Sync {

// Waits and time limits of the worker; every default is the real value.
// Tests shorten them through setIntervalsForTesting.
struct WorkerIntervals {
    // One wait of the run loop on `queue`.
    long queueWaitMs = 5000;
    // The folder scan's pause before it reads the tree.
    long scanStartDelayMs = FolderCacheActivity::DEFAULT_START_DELAY_MS;
    // The lock refresh: `lockRefreshSteps` sleeps of `lockRefreshStepMs`
    // between refreshes.
    long lockRefreshStepMs = RefreshLockActivity::DEFAULT_STEP_MS;
    int lockRefreshSteps = RefreshLockActivity::DEFAULT_STEPS;
    // How long putSyncStatus waits for the status lock.
    long statusLockWaitMs = 500;
    // The change monitor (burst length, watch cap).
    InotifyWatcher::Options monitor = FSMonitor::defaultOptions();
    // Length of one second of the run loop's timers (the pass interval,
    // the periodic scan, the unsynced check, the conflict notice): tests
    // and the test driver run the loop in faster time.
    long secondMs = 1000;
};

} // namespace Sync
} // namespace Nuvaro
