#pragma once

// FSRMCWorker: the remote-management thread. An administrator sends commands
// to a client through the server (show a message, block the login, block it
// and wipe the local data). Once a second the thread checks whether a poll is
// due; every five minutes it logs in with the stored account (a refused login
// is told at the console through the runner's LoginRefusalNotice), fetches
// the pending commands, has the runner carry them out (FSAppRunner::processRMC)
// and only then acknowledges the ones carried out, so a command lost in a
// crash or an interrupted block comes again with the next poll. After a good
// fetch it also refreshes the runner's cached server status once an hour.
//
// Owned by the application runner: created and started by its startup,
// stopped and deleted by its shutdown(true). The block handlers it runs stop
// the sync worker (and the job manager) through the runner but leave this
// thread running; with the account emptied by the block, later polls end at
// their settings check.
//
// Threads: the runner's thread calls the constructor, startup, shutdown and
// the destructor (one at a time); the worker thread runs `run` and every tick.
// `stop` is the only field both touch. Before startup and after shutdown the
// owner's thread may call processTick itself (tests do).
//
// Shutdown order: `stop` is set, the queue's waiters are woken so the 1 s wait
// ends at once, then the thread is joined. A tick in progress finishes first;
// the runner cuts its wait for the runner's lifecycle lock short (see
// FSAppRunner::shutdown), so a block that has not started yet is given up
// (and, unacknowledged, comes again).

#include "nuvarocbfs_XmlParser.h"

#include <Poco/Event.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>
#include <Poco/Timespan.h>
#include <Poco/Timestamp.h>

#include <atomic>
#include <functional>
#include <mutex>

namespace Nuvaro {
namespace Sync {

class FSAppRunner;

class FSRMCWorker : public Poco::Runnable {
public:
    // The waits of the worker; every default is the real value. A poll is due
    // once more than 300 whole seconds have passed since the last attempt,
    // that is from 301 s on; the status refresh likewise after 3600.
    struct Timing {
        long tickMs = 1000;
        Poco::Timespan pollDue = Poco::Timespan(301, 0);
        Poco::Timespan statusDue = Poco::Timespan(3601, 0);
        // The clock of processTick; empty: the system clock.
        std::function<Poco::Timestamp()> clock;
    };

    // Builds the thread "Sync", the ready event and the queue; the two time
    // stamps start at 2006-05-05 00:00:00 UTC, so the first tick polls.
    // Nothing starts.
    explicit FSRMCWorker(FSAppRunner* runner);
    FSRMCWorker(FSAppRunner* runner, Timing timing);
    // Joins a thread that still runs (the owner normally called shutdown).
    ~FSRMCWorker() override;
    FSRMCWorker(const FSRMCWorker&) = delete;
    FSRMCWorker& operator=(const FSRMCWorker&) = delete;

    // Starts the thread and returns once it runs its loop. True.
    bool startup();
    // Stops and joins the thread (harmless twice or before startup). True.
    bool shutdown();
    // The thread waits on its queue.
    bool isIdle();

    // One poll step (see the class comment): nothing until a poll is due;
    // then the stamp is taken first (a failed poll waits the full interval),
    // the settings checked, a connector logged in, the commands fetched,
    // carried out and acknowledged, and the status refreshed when due.
    void processTick();

    // The thread body: sets the ready event, then waits tickMs on the queue
    // and ticks on every time-out until `stop`. An exception from a tick is
    // logged and the loop goes on.
    void run() override;

private:
    Poco::Timestamp now() const;

    // ---- Constant after construction ----
    FSAppRunner* const runner;
    const Timing timing;

    // ---- Thread machinery (Poco objects are thread-safe) ----
    Poco::Thread thread;
    Poco::Event ready;
    // Used only to wake the thread; notifications are released unread.
    Poco::NotificationQueue queue;
    std::atomic<bool> stop{false};
    // Guards `started` (startup and shutdown may come from different
    // threads of the owner, one at a time, but never unordered).
    std::mutex lifecycleMutex;
    bool started = false;

    // ---- Worker thread only (the owner's thread while no thread runs) ----
    Poco::Timestamp lastRmcCheck;
    Poco::Timestamp lastStatusUpdate;
};

} // namespace Sync
} // namespace Nuvaro
