#pragma once

// FSWebEditWorker: sends quick-edit copies (QuickEdit.h) back to the server
// when the user saved them, and clears copies nobody edits any more.
//
// Its change monitor (FSMonitorWebEdit) watches the quick-edit root. After
// each change (and a pause, so an editor can finish saving) and at idle
// intervals (the 61st empty 5-second wait, about every five minutes) the
// worker sweeps every quick-edit folder (doProcessChange):
//   - a copy whose checksum differs from its record's is uploaded into its
//     server folder on a connector of its own ("Quick Edit") and, once
//     uploaded, its record takes the copy's size, time and checksum;
//   - a copy whose checksum equals its record's and whose recorded time is
//     more than 25 whole minutes ago is removed with its folder;
//   - a folder whose record lacks "path", "size", "checksum" or "modified",
//     or whose copy is gone, is removed;
//   - a folder whose record cannot be read or has no (usable) "name" is left
//     alone and reported at every sweep.
// Nothing the user may still need is removed: an edited copy stays until it
// has been uploaded, whatever fails meanwhile (the login, the upload, the
// network, reading the copy: logged, and tried again at the next sweep), and
// a copy is removed for its age only when it still equals its record at the
// moment of removal. Only real folders directly under the root are examined,
// and removals never follow links.
//
// Owned by an application runner (constructed with it, startup() after the
// runner's startup, shutdown() before its shutdown); the console program
// does not make one.
//
// Threads: the owner's thread (constructor, startup, shutdown, destructor,
// one at a time); the worker thread "Sync" (run and every sweep, so records
// and copies are never examined twice at once; it creates, starts, shuts
// down and releases the monitor); the monitor's thread (posts into `queue`).
// The stop flag (in `thread`) is atomic; `idleCount` and `monitor` belong to
// the worker thread.
// Before startup and after shutdown the owner's thread may sweep itself
// (tests do).
//
// Shutdown order: `stop` is set, the pause after a change is cut short and
// the queue's waiters are woken; a sweep ends before its next folder and
// removes nothing; run shuts the monitor down; the thread is joined.

#include "FSMonitorWebEdit.h"
#include "QuickEdit.h"
#include "WorkerThread.h"

#include <Poco/Event.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Runnable.h>

#include <boost/shared_ptr.hpp>
#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {

class FSAppRunner;

// One entry of a sweep's removal list: the quick-edit folder (its name below
// the root) and the copy's name. `checksum`, when not empty, is the recorded
// checksum of a copy removed for its age: the copy is removed only while it
// still has it.
struct DelInfo {
    std::string folder;
    std::string file;
    std::string checksum;
};

class FSWebEditWorker : public Poco::Runnable {
public:
    // The waits of the worker; every default is the real value.
    struct Intervals {
        // One wait of the loop on `queue`.
        long queueWaitMs = 5000;
        // An idle sweep runs when more than this many waits were empty.
        int idleWaits = 60;
        // The pause between a change notification and its sweep.
        long changePauseMs = 1000;
        // An unchanged copy goes when its recorded time is more than this
        // many whole minutes ago.
        long maxUnchangedMinutes = 25;
        // The change monitor (burst length, watch cap).
        InotifyWatcher::Options monitor = FSMonitorWebEdit::webEditOptions();
    };

    // Builds the thread "Sync", the stop event and the queue; nothing starts, no
    // I/O. `initText` is kept and not read. `runner` gives the settings of
    // the uploads' connectors and must outlive the worker.
    FSWebEditWorker(const std::string& initText, const std::string& editPath, FSAppRunner* runner);
    FSWebEditWorker(const std::string& initText, const std::string& editPath, FSAppRunner* runner,
                    const Intervals& intervals);
    // Stops a running worker (as shutdown, without its log lines).
    ~FSWebEditWorker() override;
    FSWebEditWorker(const FSWebEditWorker&) = delete;
    FSWebEditWorker& operator=(const FSWebEditWorker&) = delete;

    // Starts the thread and returns once the monitor runs (a monitor that
    // failed to start leaves the worker sweeping at idle intervals only).
    // The quick-edit root is created first when missing. Always true; a
    // second call does nothing.
    bool startup();
    // Stops the thread (see the shutdown order above); true. Harmless before
    // startup and twice.
    bool shutdown();
    // True while the worker thread waits on its queue.
    bool isIdle();

    // The thread body.
    void run() override;

    // One sweep: collectChanges, then removeFolders with what it collected
    // (nothing when stopped meanwhile).
    void doProcessChange();
    // The examining part of a sweep: uploads edited copies and appends the
    // folders to remove to `removals`, in listing order. Ends early, leaving
    // `removals` incomplete, once stopped.
    void collectChanges(std::vector<DelInfo>& removals);
    // Removes each entry's copy and then its folder (see DelInfo).
    void removeFolders(const std::vector<DelInfo>& removals);

private:
    // The steps of collectChanges for one folder below the root.
    void examineFolder(const std::string& child, std::vector<DelInfo>& removals);
    // Uploads an edited copy; the record follows on success.
    void uploadEditedCopy(const std::string& child, Nuvaro::Data::VariantRow& record, const std::string& copy,
                          const CopyState& state);

    // ---- Constant after construction ----
    const std::string initText;
    const std::string editPath;
    FSAppRunner* const appRunner;
    const Intervals intervals;

    // Set by shutdown: cuts the pause after a change short.
    Poco::Event stopEvent;
    // Thread-safe: the monitor posts, the worker waits, shutdown wakes.
    Poco::NotificationQueue queue;
    // The thread, its ready event and the stop flag.
    WorkerThread thread;

    // ---- Worker thread ----
    boost::shared_ptr<FSMonitorWebEdit> monitor;
    int idleCount = 0;
};

} // namespace Sync
} // namespace Nuvaro
