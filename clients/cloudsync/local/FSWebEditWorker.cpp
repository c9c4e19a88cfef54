#include "FSWebEditWorker.h"

#include "DirChangeNotification.h"
#include "FSAppRunner.h"
#include "FSUtil.h"
#include "LocalLogin.h"
#include "NuvaroException.h"
#include "RequestText.h"
#include "SyncLog.h"
#include "UIEvent.h"

#include <Poco/AutoPtr.h>
#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/NumberFormatter.h>
#include <Poco/Timestamp.h>

#include <sys/stat.h>

namespace Nuvaro {
namespace Sync {

namespace {

void postEvent(int type, const std::string& text) {
    uiPostEvent(static_cast<uiEventType>(type), text, 0);
}

bool isRealFolder(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool exists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

// Whole minutes (toward zero) from a recorded UTC time value to now.
long minutesSince(Poco::UInt64 utcTime) {
    Poco::Timestamp recorded = Poco::Timestamp::fromUtcTime(static_cast<Poco::Timestamp::UtcTimeVal>(utcTime));
    return static_cast<long>(recorded.elapsed() / (60 * Poco::Timestamp::resolution()));
}

} // namespace

FSWebEditWorker::FSWebEditWorker(const std::string& initText, const std::string& editPath, FSAppRunner* runner)
    : FSWebEditWorker(initText, editPath, runner, Intervals()) {}

FSWebEditWorker::FSWebEditWorker(const std::string& initText, const std::string& editPath, FSAppRunner* runner,
                                 const Intervals& intervals)
    : initText(initText),
      editPath(editPath),
      appRunner(runner),
      intervals(intervals),
      stopEvent(Poco::Event::EVENT_MANUALRESET),
      thread(queue) {}

FSWebEditWorker::~FSWebEditWorker() {
    stopEvent.set();
    thread.stop();
}

bool FSWebEditWorker::startup() {
    syncLog().debug("Starting FSWebEditWorker Thread");
    thread.start(*this);
    return true;
}

bool FSWebEditWorker::shutdown() {
    syncLog().debug("Shutdown FSWebEditWorker Thread");
    stopEvent.set();
    thread.stop();
    syncLog().debug("FSWebEditWorker Thread exited");
    return true;
}

bool FSWebEditWorker::isIdle() {
    return queue.hasIdleThreads();
}

void FSWebEditWorker::run() {
    Poco::Logger& log = syncLog();
    log.trace("Starting FS Monitor");
    // The monitor can only watch a root that exists (a failure is logged).
    if (!editPath.empty())
        prepareQuickEditRoot(editPath);
    monitor.reset(new FSMonitorWebEdit(editPath, &queue, intervals.monitor));
    monitor->startup();
    thread.setReady();

    while (!thread.stopping()) {
        try {
            Poco::AutoPtr<Poco::Notification> taken(queue.waitDequeueNotification(intervals.queueWaitMs));
            if (thread.stopping())
                break;
            if (!taken) {
                if (++idleCount > intervals.idleWaits) {
                    doProcessChange();
                    idleCount = 0;
                }
            } else if (dynamic_cast<DirChangeNotification*>(taken.get())) {
                // Gives the editor time to finish saving; shutdown cuts it short.
                if (stopEvent.tryWait(intervals.changePauseMs))
                    break;
                log.trace("********* Checking WebEDIT Folders *********");
                doProcessChange();
            }
        } catch (...) {
            log.error(RequestText::exceptionLine("run", ""));
        }
    }
    monitor->shutdown();
    monitor.reset();
}

void FSWebEditWorker::doProcessChange() {
    std::vector<DelInfo> removals;
    collectChanges(removals);
    if (!thread.stopping())
        removeFolders(removals);
}

void FSWebEditWorker::collectChanges(std::vector<DelInfo>& removals) {
    std::vector<std::string> children;
    try {
        Poco::File root(editPath);
        if (!root.isDirectory())
            throw Nuvaro::Exception("Not a directory: " + editPath);
        root.list(children);
    } catch (...) {
        syncLog().trace("Error listing children for Path : " + editPath);
        return;
    }
    for (const std::string& child : children) {
        if (thread.stopping())
            return;
        examineFolder(child, removals);
    }
}

void FSWebEditWorker::examineFolder(const std::string& child, std::vector<DelInfo>& removals) {
    Poco::Logger& log = syncLog();
    const std::string folder = editPath + "/" + child;
    if (!isRealFolder(folder))
        return;
    Nuvaro::Data::VariantRow record;
    if (!record.read(folder + "/" + kEditInfoName)) {
        log.trace("Error reading edit info in path : " + child);
        return;
    }
    const std::string name = record.getField("name").getString();
    if (!record.hasField("name") || !isQuickEditName(name)) {
        log.trace("Missing name in editinfo : " + child);
        return;
    }
    if (!record.hasField("path") || !record.hasField("size") || !record.hasField("checksum") ||
        !record.hasField("modified")) {
        removals.push_back(DelInfo{child, name, std::string()});
        return;
    }
    const std::string copy = folder + "/" + name;
    try {
        if (!exists(copy)) {
            log.trace("File Doesn't Exist Exception  : " + copy);
            removals.push_back(DelInfo{child, name, std::string()});
            return;
        }
        CopyState state;
        if (!readCopyState(copy, state)) {
            log.error("Cannot read the quick edit file, trying again at the next check : " + copy);
            return;
        }
        const std::string recorded = record.getField("checksum").getString();
        if (state.checksum != recorded) {
            uploadEditedCopy(child, record, copy, state);
            return;
        }
        long age = minutesSince(record.getField("modified").getUInt64());
        if (age > intervals.maxUnchangedMinutes) {
            log.trace("Adding to Delete List for : " + copy + " Last Changed: " + Poco::NumberFormatter::format(age));
            removals.push_back(DelInfo{child, name, recorded});
        } else {
            log.trace("No Checksum Change Detected, Skipping : " + copy);
        }
    } catch (...) {
        // The copy may hold the user's only edit: it stays, and the next
        // sweep tries again.
        log.error("Unexpected Exception  : " + copy + " " + RequestText::exceptionText());
    }
}

void FSWebEditWorker::uploadEditedCopy(const std::string& child, Nuvaro::Data::VariantRow& record,
                                       const std::string& copy, const CopyState& state) {
    Poco::Logger& log = syncLog();
    if (!appRunner)
        throw Nuvaro::Exception("No application runner for the upload");
    const std::string serverFolder = record.getField("path").getString();
    const std::string name = record.getField("name").getString();
    std::unique_ptr<Nuvaro::NuvaroConnector> connector = LocalLogin::connect(*appRunner, "Quick Edit");
    if (!connector->isAuthenticated()) {
        if (!LocalLogin::reportRefusedLogin(*connector, "Authentication Failed or bad 2FA code or Dev Code Invalid")) {
            log.trace("Failed Login to save file back : " + serverFolder + " from " + copy);
            postEvent(4, "Failed Login to save edited file");
        }
        return;
    }
    std::string error;
    if (!connector->uploadFile(serverFolder, copy, error, "explorer", -1)) {
        log.trace("You do not have permission to write to this file on the network. Please check with your system "
                  "administrator. Error saving file upload in path : " +
                  serverFolder + " from " + copy);
        log.error("Quick edit upload failed: " + error);
        postEvent(4, name + " error saving to cloud");
        return;
    }
    log.trace("Uploaded File OK: " + serverFolder + " from " + copy);
    putCopyState(record, state);
    if (record.write(editPath + "/" + child + "/" + kEditInfoName)) {
        postEvent(4, name + " saved to cloud");
    } else {
        log.trace("Error saving edit info in path : " + child);
        postEvent(4, name + " error saving edit info");
    }
}

void FSWebEditWorker::removeFolders(const std::vector<DelInfo>& removals) {
    Poco::Logger& log = syncLog();
    for (const DelInfo& entry : removals) {
        const std::string folder = editPath + "/" + entry.folder;
        const std::string copy = folder + "/" + entry.file;
        CopyState now;
        if (!entry.checksum.empty() && readCopyState(copy, now) && now.checksum != entry.checksum) {
            log.trace("Quick edit file changed meanwhile, kept : " + copy);
            continue;
        }
        if (exists(copy)) {
            try {
                Poco::File(copy).remove();
                log.trace("[*****] Removed Quick Edit File : " + copy);
            } catch (...) {
                log.trace("Failed Deleting, Skipping : " + copy);
                continue;
            }
        }
        if (greedyRecursiveWipe(folder))
            log.trace("[*****] Removed Quick Edit Folder : " + folder);
        else
            log.trace("Failed Deleting Quick Edit Folder, Skipping : " + folder);
    }
}

} // namespace Sync
} // namespace Nuvaro
