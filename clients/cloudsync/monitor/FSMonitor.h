#pragma once

// FSMonitor: watches the local sync folder and wakes the sync worker when
// something in it changed, by posting one DirChangeNotification into the
// worker's queue (only while the queue is empty, so at most one waits). It
// carries no detail: the worker answers with a folder scan.
//
// A thin owner of an InotifyWatcher (the watch loop, its thread named "Sync",
// the wake-up pipe and the watch list, all belonging to this object), which
// says what is watched and how a burst of changes is told apart; this class
// adds the notification and its log texts.
//
// Calling order: constructor, startup(), shutdown() (also run by the
// destructor; harmless twice or without startup()). When startup() fails, or
// the watch limit leaves folders unwatched (watchesComplete() false), the
// worker relies on periodic scans instead.
//
// Threads: constructor, startup() and shutdown() on the owner's thread (the
// sync worker's owner); the notifications are posted from the watch thread.
// The queue is thread-safe; its emptiness test and the post are two calls,
// so another producer may add an entry in between (then two wait).

#include "InotifyWatcher.h"

#include <Poco/NotificationQueue.h>

#include <cstddef>
#include <string>

namespace Nuvaro {
namespace Sync {

class FSMonitor {
public:
    // The watcher's texts for the sync folder, with the default timings.
    static InotifyWatcher::Options defaultOptions();

    // No I/O. `queue` must outlive the monitor.
    FSMonitor(const std::string& path, Poco::NotificationQueue* queue);
    FSMonitor(const std::string& path, Poco::NotificationQueue* queue, const InotifyWatcher::Options& options);
    virtual ~FSMonitor();
    FSMonitor(const FSMonitor&) = delete;
    FSMonitor& operator=(const FSMonitor&) = delete;

    // Starts the watch thread and returns once it runs; false when the
    // wake-up pipe cannot be made (no thread then).
    bool startup();
    // Stops and joins the watch thread; returns true.
    bool shutdown();

    bool isRunning() const { return m_watcher.isRunning(); }
    // Every folder of the sync folder is watched (see InotifyWatcher).
    bool watchesComplete() const { return m_watcher.complete(); }
    std::size_t watchCount() const { return m_watcher.watchCount(); }
    // Folders left unwatched for the watch limit (see InotifyWatcher).
    std::size_t unwatchedCount() const { return m_watcher.unwatchedCount(); }

private:
    void notifyChange();

    const std::string m_path;
    Poco::NotificationQueue* const m_queue;
    InotifyWatcher m_watcher;
};

} // namespace Sync
} // namespace Nuvaro
