// FSWorker: the thread body and the pass driver. The thread waits on its
// queue; change notifications ask for a scan of the sync folder, a finished
// scan hands over its change list, and when the pass interval has passed a
// pass runs:
//
//     server half      folder list (or status sets), then per folder that
//                      needs work: delta -> staging -> apply, in rounds
//                      while the folder's two status strings differ
//     upload half      only when the server half completed and local
//                      changes wait: the upload pass for those that may go
//                      now (FSWorker_SendList.cpp: not what this pass's
//                      server changes touched, not what changed since the
//                      scan, not what meets a server change held back),
//                      then a second server half that takes the echo of
//                      what was sent
//
// A busy server (changes in every delta) never holds the user's other
// changes back: what the server did not touch goes in the same pass, what
// it touched went through the conflict rules and is found again, as far as
// it still differs, by a new scan. A server change the apply step cannot
// place holds back only itself (FSWorker_HeldBack.cpp); it is tried again
// at every pass and reported once per pass, when the pass ends.
//
// Timing: a pass runs when more than passInterval() run-loop seconds have
// passed since lastSync. curInterval is syncFrequency at the start of every
// pass; a failed login or step backs it off to 4 or 20 x syncFrequency
// (always an assignment, never a multiplication, so it never grows beyond
// 20 x). While local changes are pending, no back-off is in force and the
// last pass did not fail, the interval is 1 s. A server that keeps failing
// or saying no is therefore asked again after a whole interval, never at
// every cycle.
//
// Worker thread only (see FSWorker.h); a worker without its thread is driven
// the same way from a test's thread.

#include "FSWorker.h"

#include "DirChangeNotification.h"
#include "FSEntry.h"
#include "ForceDirChangeNotification.h"
#include "LoginFailure.h"
#include "WorkerHelpers.h"

#include <Poco/AutoPtr.h>
#include <Poco/Logger.h>

#include <dirent.h>
#include <malloc.h>

namespace Nuvaro {
namespace Sync {

namespace {

Poco::Logger& rootLog() {
    static Poco::Logger& logger = Poco::Logger::get("");
    return logger;
}

// Names at the top level of the sync folder that are no unsyncable items:
// the synchronised roots and the desktop's own files.
bool isKnownTopLevelName(const std::string& name, const std::string& networkFolderName,
                         const std::string& teamFolderName) {
    static const char* const kKnown[] = {"My Files",  "Shared with Me", "desktop.ini", "Desktop.ini", "sync.ico",
                                         ".DS_Store", "Thumbs.db",      "thumbs.db"};
    for (const char* known : kKnown)
        if (name == known)
            return true;
    return name == networkFolderName || name == teamFolderName || name.compare(0, 1, ".") == 0 ||
           name.find("Icon") != std::string::npos;
}

} // namespace

// ---- The thread ----

void FSWorker::run() {
    started.set();
    localChanges.clear();
    pass.reset();
    flags.rescanRequested = false;
    curInterval = syncFrequency.load();
    flags.localChangesPending = true;
    removeLeftoverReplacements();

    while (!stop.load()) {
        Poco::AutoPtr<Poco::Notification> notification(queue.waitDequeueNotification(intervals.queueWaitMs));
        if (!runCycle(notification.get()))
            return;
    }
}

bool FSWorker::runCycle(Poco::Notification* notification) {
    Poco::Logger& log = syncLog();
    if (stop.load()) {
        stopFolderCheckForExit();
        return false;
    }
    try {
        if (dynamic_cast<ForceDirChangeNotification*>(notification)) {
            log.trace("--> Force Dir Change Notification...");
            flags.rescanRequested = true;
        } else if (dynamic_cast<DirChangeNotification*>(notification)) {
            if (ignoreFileChanges)
                log.trace("Ignoring File Change Notification...");
            else
                flags.rescanRequested = true;
        }

        const int scanLimit = periodicScanSeconds();
        reportWatchLimit(scanLimit);
        if (scanLimit > 0 && elapsedSeconds(lastScan) > scanLimit && queue.empty()) {
            log.trace("===> Starting Manual FS Scan ===>");
            queue.enqueueNotification(new DirChangeNotification());
        }
        if (elapsedSeconds(lastUnsyncedCheck) > 10800) {
            checkForUnsynced();
            lastUnsyncedCheck.update();
        }

        // No pass and no new scan while a scan runs.
        if (folderCheck && folderCheck->activity().isRunning())
            return true;
        if (folderCheck)
            harvestFolderCheck();

        if (elapsedSeconds(lastSync) > passInterval())
            runSyncPass();
        if (stop.load())
            return false;

        if (!flags.localChangesPending.load() && flags.rescanRequested.load()) {
            log.trace("Requesting another FS Scan");
            restartFolderCheckActivity();
        }
    } catch (...) {
        log.error(exceptionLine("run", ""));
    }
    return true;
}

void FSWorker::stopFolderCheckForExit() {
    // A scan that has already finished is left to the destructor.
    if (!folderCheck || !folderCheck->activity().isRunning())
        return;
    Poco::Logger& log = syncLog();
    folderCheck->activity().stop();
    log.trace("[[ STOPPED Activity ]]");
    folderCheck->activity().wait();
    log.trace("[[ WAITED Activity ]]");
    folderCheck.reset();
    log.trace("[[ DELETED Activity ]]");
}

Poco::Int64 FSWorker::elapsedSeconds(const Poco::Timestamp& since) const {
    const Poco::Int64 second = static_cast<Poco::Int64>(intervals.secondMs > 0 ? intervals.secondMs : 1) * 1000;
    return since.elapsed() / second;
}

int FSWorker::passInterval() const {
    const int interval = curInterval.load();
    if (flags.localChangesPending.load() && interval == syncFrequency.load() && !flags.lastPassFailed.load())
        return 1;
    return interval;
}

void FSWorker::harvestFolderCheck() {
    if (folderCheck->changesDetected()) {
        flags.localChangesPending = true;
        localChanges.clear();
        folderCheck->getChangeList(localChanges);
    }
    if (folderCheck->changesLimited())
        flags.rescanRequested = true;
    const int conflicts = folderCheck->numConflictsDetected();
    if (conflicts > 0 && elapsedSeconds(lastConflictNotice) > 6000) {
        postEvent(4,
                  decimal(conflicts) + " conflict files found, please View Errors and Conflicts via more options to "
                                       "resolve conflict.",
                  0);
        lastConflictNotice.update();
    }
    discardFolderCheck();
    putSyncStatus("Idle");
}

// ---- A pass ----

void FSWorker::runSyncPass() {
    Poco::Logger& log = syncLog();
    curInterval = syncFrequency.load();
    lastSync.update();
    ++passesStarted;
    pass.reset();

    bool completed = doSyncFromServer() && serverHalf.complete;
    if (completed && !localChanges.empty()) {
        // See the file comment: the list predates what was just applied.
        if (keepSendableLocalChanges(serverHalf.deltaHadRecords)) {
            log.debug("Server changes came in this pass: the local changes they touched wait for a new scan");
            flags.rescanRequested = true;
        }
        if (!localChanges.empty()) {
            const bool sent = doSyncToServer();
            doSyncFromServer();
            if (!sent && lastSendOutcome != SendOutcome::HeldForApproval) {
                // What was not sent is found again by a new scan; the next
                // pass waits its whole interval.
                flags.rescanRequested = true;
                completed = false;
            }
        }
        localChanges.clear();
        flags.localChangesPending = false;
    } else if (completed) {
        flags.localChangesPending = false;
    }
    // A failed server half keeps localChanges and localChangesPending: the
    // next pass sends them (and the apply step keeps protecting them).
    flags.lastPassFailed = !completed;
    if (completed && !stop.load())
        clearRefusal();
    reportHeldBack();

    // The pass's records go now, and the freed memory goes back to the
    // system: freed blocks kept by the allocator (in this thread's arena, out
    // of reach of the scan's thread) would otherwise stay resident and add to
    // the scan's. The status strings stay until the next pass.
    pass.dropDelta();
    pass.passPaths.clear();
    pass.passLiveFolders.clear();
    malloc_trim(0);
    putSyncStatus("Idle");
}

// ---- Server-to-local half ----

bool FSWorker::doSyncFromServer() {
    Poco::Logger& log = syncLog();
    bool gotReply = false;
    serverHalf = ServerHalfState();
    putSyncStatus("Checking Server...");
    const bool authenticated = connector && connector->isAuthenticated();
    if (!authenticated)
        flags.loggedIn = false;
    if (authenticated && flags.loggedIn.load()) {
        putSyncStatus("Getting Server Sync Level...");
        pass.syncFolders.clear();
        bool ok;
        if (db->getConfigValue("APP", "LIMITSYNC", "0") == "1") {
            ok = doGetSyncFolderStatusSet(gotReply);
        } else {
            ok = doGetSyncFolderList(gotReply);
            if (ok && removeUnshared)
                cleanOldSyncFolders();
        }
        if (!ok)
            serverHalf.complete = false;
        else
            addFoldersWithHeldBackChanges();
        if (pass.syncFolders.empty()) {
            log.trace("ALL OK: Skipping Server Sync");
        } else {
            // A copy: the steps below may not change the list, but a folder
            // name is handed on as a modifiable reference.
            std::vector<std::pair<std::string, bool>> folders = pass.syncFolders;
            FolderRounds rounds{ok, gotReply};
            for (auto& folder : folders)
                rounds = syncFolderInRounds(folder.first, folder.second, rounds);
            gotReply = rounds.gotReply;
        }
    } else {
        serverHalf.complete = false;
    }

    uploadedThisPass.clear();
    putSyncStatus("Idle");

    if (!flags.loggedIn.load()) {
        serverHalf.complete = false;
        if (relogIn("Authenticated Failed or bad 2FA code or bad Device Auth Code", true) == LoginOutcome::Refused)
            return false;
    }
    lastServerCheck.update();
    if (flags.serverOk.load() && flags.firstDeltaPending.load()) {
        queue.enqueueNotification(new DirChangeNotification());
        flags.firstDeltaPending = false;
    }
    return gotReply;
}

FSWorker::FolderRounds FSWorker::syncFolderInRounds(std::string& folder, bool skipdetect, FolderRounds before) {
    Poco::Logger& log = syncLog();
    auto statusLine = [&] {
        log.debug("-- After Initial Sync: Local Status: " + pass.remoteStatus +
                  " RemoteSyncStatus: " + pass.remoteFullStatusSet);
    };
    if (!before.ok) {
        statusLine();
        return before;
    }
    bool ok = true;
    bool gotReply = before.gotReply;
    bool applied = false;
    if (!stop.load()) {
        putSyncStatus("Getting Server Delta Changes ...");
        ok = doGetSyncDelta(folder, gotReply);
        if (ok) {
            retryHeldBack(folder);
            noteAcceptedDelta();
        }
    }
    if (ok && !stop.load()) {
        putSyncStatus("Downloading Files...");
        ok = doDownloadFiles(folder, skipdetect);
        postEvent(13, "Downloading Changes", 0);
    }
    if (ok && !stop.load()) {
        putSyncStatus("Moving Files to Sync Folder...");
        gotReply = doEndSync(folder);
        applied = gotReply;
        postEvent(13, "Processing Changes", 0);
    }

    // Further rounds while the server has more than this delta brought. A
    // round that brings no new status would only ask the same again: the
    // folder's rounds end for this pass (the next pass asks again).
    statusLine();
    while (ok && gotReply && pass.remoteStatus != pass.remoteFullStatusSet && !stop.load()) {
        log.debug("Sync status incomplete, get next round of server changes");
        const std::string before = pass.remoteStatus;
        ok = continueServerSync(folder, skipdetect, gotReply);
        applied = ok && gotReply;
        statusLine();
        if (ok && gotReply && pass.remoteStatus == before && pass.remoteStatus != pass.remoteFullStatusSet) {
            log.error("Sync status of " + folder + " did not advance in a round (" + pass.remoteStatus + " of " +
                      pass.remoteFullStatusSet + "); the next pass asks again");
            break;
        }
    }
    // Not done: a step failed, the stop came, or the server has more than
    // it sent (the rounds ended early).
    if (!ok || !applied || stop.load() || pass.remoteStatus != pass.remoteFullStatusSet)
        serverHalf.complete = false;
    return {ok, gotReply};
}

void FSWorker::noteAcceptedDelta() {
    if (!pass.serverChanges.empty())
        serverHalf.deltaHadRecords = true;
    // Only a pass with local changes to send asks what its deltas touched
    // (a first sync's delta holds the whole server tree).
    if (localChanges.empty())
        return;
    for (const auto& change : pass.serverChanges) {
        const FSSyncRecord* record = dynamic_cast<const FSSyncRecord*>(change.get());
        if (!record || record->getFlags() == "SKIP")
            continue;
        pass.passPaths.insert(record->getLocalFullPath());
        if (record->getType() == FSTypeFolder && record->getIsDeleted() != 1)
            pass.passLiveFolders.insert(record->getLocalFullPath());
    }
}

bool FSWorker::continueServerSync(std::string& folder, bool skipdetect, bool& gotReply) {
    bool ok = true;
    if (!stop.load()) {
        putSyncStatus("Getting Server Changes ...");
        ok = doGetSyncDelta(folder, gotReply);
        if (!ok)
            return false;
        noteAcceptedDelta();
    }
    if (!stop.load()) {
        putSyncStatus("Downloading Files...");
        ok = doDownloadFiles(folder, skipdetect);
        postEvent(13, "Downloading Changes", 0);
    }
    if (!ok || stop.load())
        return ok;
    putSyncStatus("Moving Files to Sync Folder...");
    gotReply = doEndSync(folder);
    postEvent(13, "Processing Changes", 0);
    return ok;
}

// ---- Local-to-server half ----

bool FSWorker::doSyncToServer() {
    if (!flags.serverOk.load())
        return false;
    if (!connector || !connector->isAuthenticated())
        flags.loggedIn = false;
    if (stop.load())
        return false;
    bool result = false;
    if (flags.loggedIn.load()) {
        putSyncStatus("Sending Files...");
        result = doSendFiles();
        postEvent(13, "Uploading Changes", 0);
        if (stop.load())
            return false;
    }
    putSyncStatus("Idle");
    // The next interval counts from the end of the upload.
    lastSync.update();
    if (flags.loggedIn.load())
        return result;
    if (relogIn("Authenticated Failed or Bad 2FA code or bad Device Auth Code", false) == LoginOutcome::Refused)
        return false;
    return result;
}

FSWorker::LoginOutcome FSWorker::relogIn(const std::string& refusedText, bool serverHalf) {
    boost::shared_ptr<NuvaroConnector> login = connector;
    if (login && login->Authenticate(true)) {
        flags.loggedIn = true;
        rootLog().trace("Authenticated OK");
        loginNotice->loggedIn();
        curInterval = syncFrequency.load();
        return LoginOutcome::LoggedIn;
    }
    flags.loggedIn = false;
    if (!login)
        return LoginOutcome::Failed;
    const LoginFailure classified = classifyLoginFailure(*login);
    loginNotice->loginFailed(*login, classified);
    const LoginFailure::Kind failure = classified.kind;
    if (failure == LoginFailure::Kind::Refused) {
        if (serverHalf)
            curInterval = 20 * syncFrequency.load();
        rootLog().error(refusedText);
        postEvent(4, "Login Failed, relogin", 0);
        postEvent(7, "", 0);
        return LoginOutcome::Refused;
    }
    if (failure == LoginFailure::Kind::SessionTimedOut) {
        if (serverHalf)
            curInterval = 20 * syncFrequency.load();
        rootLog().error("Device Auth Code Session Timeout");
        postEvent(4, "Device Session Timedout, relogin", 0);
        postEvent(8, "", 0);
        return LoginOutcome::Refused;
    }
    const std::string error = login->getLastError();
    const std::string errorClass = login->getLastErrorClass();
    syncLog().error(" Authenticate Failed.. " + error + " Exception: " + errorClass);
    if (!containsNetworkException(errorClass))
        reportRefusal("Failed to Login! " + error);
    curInterval = 4 * syncFrequency.load();
    return LoginOutcome::Failed;
}

// ---- Housekeeping ----

void FSWorker::checkForUnsynced() {
    try {
        DIR* dir = ::opendir(syncPath.c_str());
        if (!dir)
            return;
        std::string found;
        while (struct dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == ".." || isKnownTopLevelName(name, networkFolderName, teamFolderName))
                continue;
            found = name;
            break;
        }
        ::closedir(dir);
        if (found.empty())
            return;
        logActivity(FSActivity::TypeSkippedLocal, "Skipping files at the top level folder",
                         syncPath + "/" + found, "Local File");
        postEvent(16, "", 0);
        postEvent(4,
                  found + " found at " + syncPath +
                      " will not be synced, remove them or move them inside My Files or other subfolders",
                  0);
        syncLog().error("Unknown Folders found at " + syncPath + ". These will not be synced! ");
    } catch (...) {
        // A missing sync folder or a failed write: the next check tries again.
    }
}

} // namespace Sync
} // namespace Nuvaro
