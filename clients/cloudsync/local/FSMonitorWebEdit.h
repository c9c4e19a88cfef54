#pragma once

// FSMonitorWebEdit: watches the quick-edit root and every folder below it and
// wakes the web-edit worker when something in them changed, by posting one
// DirChangeNotification into the worker's queue (only while the queue is
// empty, so a burst of events, such as an editor saving through a temporary
// file, wakes the worker once). It never says what changed: the worker
// examines every quick-edit folder.
//
// The sync folder's monitor (FSMonitor) does the same for the sync worker;
// this one is an FSMonitor with texts of its own (logger "FSMonitorWebEdit",
// start line "FS Monitoring  " + path, pipe error "FSMonitorWebEdit:: pipe
// creation failed!", shutdown lines "Shutdown FSMonitorWebEdit Thread" and
// "FSMonitorWebEdit Thread exited"). The inotify descriptor, the wake-up pipe
// and the watch list belong to the object (its InotifyWatcher), so it runs
// beside the sync folder's monitor in one process; every event of a read is
// handled and every descriptor is closed once.
//
// Calling order and threads: as FSMonitor (constructor, startup() and
// shutdown() on the owner's thread; notifications posted from the watch
// thread). A new instance is made for each run.

#include "FSMonitor.h"

namespace Nuvaro {
namespace Sync {

class FSMonitorWebEdit : public FSMonitor {
public:
    // The watcher's texts for the quick-edit root, with the default timings.
    static InotifyWatcher::Options webEditOptions();

    // No I/O. `queue` must outlive the monitor.
    FSMonitorWebEdit(const std::string& path, Poco::NotificationQueue* queue,
                     const InotifyWatcher::Options& options = webEditOptions());
    ~FSMonitorWebEdit() override;
};

} // namespace Sync
} // namespace Nuvaro
