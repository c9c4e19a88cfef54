// FSWorker: the thread body. So far the loop takes the wake-ups and starts
// the folder scans they ask for; the timers, the harvest of a finished scan
// and the pass come with the pass driver.

#include "FSWorker.h"

#include "DirChangeNotification.h"
#include "ForceDirChangeNotification.h"
#include "NuvaroException.h"

#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <exception>

namespace Nuvaro {
namespace Sync {

void FSWorker::run() {
    started.set();
    Poco::Logger& log = Poco::Logger::get("Sync");
    localChanges.clear();
    serverChanges.clear();
    passPaths.clear();
    noAccessPaths.clear();
    flags.rescanRequested = false;
    curInterval = syncFrequency.load();
    flags.localChangesPending = true;

    while (!stop.load()) {
        Poco::AutoPtr<Poco::Notification> notification(queue.waitDequeueNotification(intervals.queueWaitMs));
        if (stop.load()) {
            if (folderCheck && folderCheck->activity().isRunning()) {
                folderCheck->activity().stop();
                log.trace("[[ STOPPED Activity ]]");
                folderCheck->activity().wait();
                log.trace("[[ WAITED Activity ]]");
                folderCheck.reset();
                log.trace("[[ DELETED Activity ]]");
            }
            return;
        }
        try {
            if (dynamic_cast<ForceDirChangeNotification*>(notification.get())) {
                log.trace("--> Force Dir Change Notification...");
                flags.rescanRequested = true;
            } else if (dynamic_cast<DirChangeNotification*>(notification.get())) {
                if (ignoreFileChanges)
                    log.trace("Ignoring File Change Notification...");
                else
                    flags.rescanRequested = true;
            }
            if (!flags.localChangesPending.load() && flags.rescanRequested.load()) {
                log.trace("Requesting another FS Scan");
                restartFolderCheckActivity();
            }
        } catch (const Poco::Exception& e) {
            log.error(std::string("run") + "Poco Exception caught : " + e.displayText() + " " + e.message());
        } catch (const Nuvaro::Exception& e) {
            log.error(std::string("run") + "Exception caught : " + e.message());
        } catch (...) {
            log.error(std::string("run") + "Unknown Exception caught : ");
        }
    }
}

} // namespace Sync
} // namespace Nuvaro
