// FSAppRunner: starting and stopping the workers, the server status and the
// accessors.

#include "FSAppRunner.h"

#include "LoginFailure.h"
#include "UIEvent.h"
#include "nuvarocbfs_Network.h"

#include <Poco/Logger.h>

#include <chrono>
#include <thread>

namespace Nuvaro {
namespace Sync {

namespace {

Poco::Logger& rootLog() {
    return Poco::Logger::root();
}

// The pause between two tries of the lifecycle lock by a remote-management
// block that waits for it.
const std::chrono::milliseconds kRemoteLockStep(10);

std::string recordValue(const Nuvaro::Record& record, const std::string& key, bool& present) {
    present = false;
    if (!record)
        return std::string();
    auto found = record->find(key);
    if (found == record->end())
        return std::string();
    present = true;
    return found->second;
}

} // namespace

// ---- Serialising start and stop ----

std::unique_lock<std::mutex> FSAppRunner::lockLifecycle(bool fromRemoteManagement) {
    if (!fromRemoteManagement)
        return std::unique_lock<std::mutex>(lifecycleMutex);
    std::unique_lock<std::mutex> lock(lifecycleMutex, std::defer_lock);
    while (!remoteStopRequested.load()) {
        if (lock.try_lock())
            return lock;
        std::this_thread::sleep_for(kRemoteLockStep);
    }
    return lock;
}

bool FSAppRunner::startup() {
    std::unique_lock<std::mutex> lock = lockLifecycle(false);
    startupLocked();
    return true;
}

bool FSAppRunner::shutdown(bool stopRemoteManagement) {
    std::unique_lock<std::mutex> lock = lockLifecycle(!stopRemoteManagement);
    if (!lock.owns_lock())
        return false;
    shutdownLocked(stopRemoteManagement);
    return true;
}

void FSAppRunner::shutdownForExit() {
    std::unique_lock<std::mutex> lock = lockLifecycle(false);
    closing = true;
    shutdownLocked(true);
}

void FSAppRunner::setIntervalsForTesting(const Intervals& intervals) {
    std::unique_lock<std::mutex> lock = lockLifecycle(false);
    this->intervals = intervals;
}

// ---- Start-up ----

void FSAppRunner::startupLocked() {
    shutdownLocked(true);
    if (closing) {
        rootLog().information("The program is stopping: no worker is started");
        return;
    }
    Poco::Logger& log = rootLog();
    const std::string networkFolderName = getNetworkFolderName();
    const std::string teamFolderName = getTeamFolderName();
    const std::string teamFolderAccount = getTeamFolderAccount();
    const bool syncDisabled = config("disablesync", "0") == "1";
    const bool myFilesDisabled = config("disablemyfiles", "0") == "1";
    if (myFilesDisabled)
        log.information("My Files Disabled on Server, Disabling Syncing of My Files");
    std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
    offlineDB->getAllFOJobRecord(jobs);
    bool realtimeJob = false;
    for (const boost::shared_ptr<FOOfflineJobData>& job : jobs)
        realtimeJob = realtimeJob || job->schedule == "realtime";

    // The sync worker.
    if (syncDisabled) {
        log.information("Sync has been disabled on client, Not Starting My Files Sync");
    } else if (myFilesDisabled && !realtimeJob) {
        log.information("Sync has been disabled on client, No My Files or No Realtime Network Folders");
    } else {
        boost::shared_ptr<FSWorker> worker(new FSWorker(getSyncFolder(), basePath, syncDB, myFilesDisabled));
        worker->setIntervalsForTesting(intervals.worker);
        worker->setLoginRefusalNotice(loginNotice);
        {
            std::lock_guard<std::mutex> pointer(workerMutex);
            syncWorker = worker;
        }
        if (!config("url").empty() && !config("profile").empty()) {
            Nuvaro::RecordList settings = getSettings();
            worker->startup(settings, quiet, networkFolderName, teamFolderName, teamFolderAccount);
        }
    }

    // The job manager.
    if (syncDisabled) {
        log.information("Sync has been disabled on client, Not Starting Offline Jobs");
    } else {
        boost::shared_ptr<FOOfflineFilesManager> manager(
            new FOOfflineFilesManager(resourcePath, basePath, getSettings(), offlineDB));
        manager->setIntervalsForTesting(intervals.offline);
        manager->startup();
        std::lock_guard<std::mutex> pointer(workerMutex);
        offlineManager = manager;
    }

    // The remote-management worker, whatever the settings say.
    if (!rmcWorker) {
        rmcWorker.reset(new FSRMCWorker(this, intervals.remote));
        rmcWorker->startup();
    }
}

// ---- Shutdown ----

void FSAppRunner::shutdownLocked(bool stopRemoteManagement) {
    boost::shared_ptr<FSWorker> worker = currentWorker();
    if (worker) {
        worker->shutdown();
        std::lock_guard<std::mutex> pointer(workerMutex);
        syncWorker.reset();
    }
    worker.reset();

    // The job manager, after the sync worker. It is taken out of the
    // requests' reach first, so that none is posted to a manager that is
    // stopping; a request that took its pointer just before still holds it
    // alive, and the manager's own exit steps stop whatever it started.
    boost::shared_ptr<FOOfflineFilesManager> manager;
    {
        std::lock_guard<std::mutex> pointer(workerMutex);
        manager.swap(offlineManager);
    }
    if (manager) {
        manager->postNotification(OfflineJobNotification::KIND_STOP_ALL);
        manager->shutdown();
        manager.reset();
    }

    // The flag is up exactly while the remote-management thread is joined:
    // a block handler of that thread waiting for lifecycleMutex gives up.
    if (stopRemoteManagement && rmcWorker) {
        remoteStopRequested = true;
        rmcWorker->shutdown();
        rmcWorker.reset();
        remoteStopRequested = false;
    }
}

// ---- Server status ----

bool FSAppRunner::updateServerStatus(bool persist) {
    NuvaroConnector connector(getSettings(), true, "Cloud Connector");
    Poco::Logger& log = rootLog();
    log.trace("Getting Server Status");
    if (!connector.Authenticate(true)) {
        const LoginFailure failure = classifyLoginFailure(connector);
        switch (failure.refusal) {
        case LoginFailure::Refusal::TwoFactorCode:
            log.error("is2FA Required");
            return false;
        case LoginFailure::Refusal::BadLogin:
            log.error("Bad Login");
            return false;
        case LoginFailure::Refusal::DeviceCode:
            log.error("Invalid Auth Code Required");
            return false;
        case LoginFailure::Refusal::None:
            break;
        }
        if (failure.kind == LoginFailure::Kind::SessionTimedOut) {
            log.error("Device Auth Code Session Timeout");
            uiPostEvent(static_cast<uiEventType>(8), "", 0);
        }
        return true;
    }
    log.trace("Authentication OK");
    Nuvaro::RecordList status;
    if (!connector.getServerStatus(status, true) || status.empty())
        return true;
    {
        Poco::Mutex::ScopedLock lock(serverStatusMutex);
        serverStatus = status;
        uiPostEvent(static_cast<uiEventType>(16), "", 0);
    }
    if (!persist || !syncDB)
        return true;

    const Nuvaro::Record& first = status[0];
    for (const char* key : {"disablemyfiles", "uploadrestrictions", "disabledotdot"}) {
        bool present = false;
        const std::string value = recordValue(first, key, present);
        if (present)
            syncDB->setConfigValue("config", key, value);
    }
    for (const char* key : {"networkfoldername", "teamfoldername", "teamfolderaccount"}) {
        bool present = false;
        const std::string value = recordValue(first, key, present);
        if (present && !value.empty())
            syncDB->setConfigValue("config", key, value);
    }
    return true;
}

Nuvaro::RecordList FSAppRunner::getServerStatus() {
    Poco::Mutex::ScopedLock lock(serverStatusMutex);
    return serverStatus;
}

// ---- Accessors ----

std::string FSAppRunner::getSyncFolder() {
    std::lock_guard<std::mutex> lock(syncPathMutex);
    return syncPath;
}

boost::shared_ptr<FSWorker> FSAppRunner::currentWorker() {
    std::lock_guard<std::mutex> pointer(workerMutex);
    return syncWorker;
}

boost::shared_ptr<FOOfflineFilesManager> FSAppRunner::currentOfflineManager() {
    std::lock_guard<std::mutex> pointer(workerMutex);
    return offlineManager;
}

std::string FSAppRunner::getServerURL() {
    if (!syncDB)
        return std::string();
    Nuvaro::RecordList settings = getSettings();
    auto found = settings[0]->find("url");
    return found == settings[0]->end() ? std::string() : found->second;
}

std::string FSAppRunner::getNetworkFolderName() {
    return config("networkfoldername", "Network Folders");
}

std::string FSAppRunner::getTeamFolderName() {
    return config("teamfoldername", "Team Folders");
}

std::string FSAppRunner::getTeamFolderAccount() {
    return config("teamfolderaccount", "");
}

void FSAppRunner::setBackupPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(backupPathMutex);
    backupPath = path;
}

std::string FSAppRunner::getBackupPath() {
    std::lock_guard<std::mutex> lock(backupPathMutex);
    return backupPath;
}

bool FSAppRunner::isRunning() {
    boost::shared_ptr<FSWorker> worker = currentWorker();
    return worker && worker->isRunning();
}

bool FSAppRunner::isOfflineManagerRunning() {
    return static_cast<bool>(currentOfflineManager());
}

std::string FSAppRunner::getSyncStatus() {
    boost::shared_ptr<FSWorker> worker = currentWorker();
    if (!worker)
        return "Idle";
    std::string status = worker->getSyncStatus();
    if (status == "Idle") {
        boost::shared_ptr<FOOfflineFilesManager> manager = currentOfflineManager();
        if (manager && manager->isActive())
            status = "Syncing Offline Files";
    }
    // Folders left unwatched are said beside whatever the worker does.
    const std::string notice = worker->getWatchNotice();
    return notice.empty() ? status : status + " - " + notice;
}

void FSAppRunner::checkForFSChanges() {
    boost::shared_ptr<FSWorker> worker = currentWorker();
    if (worker)
        worker->checkForFSChanges();
}

void FSAppRunner::fileChanged() {
    boost::shared_ptr<FSWorker> worker = currentWorker();
    if (worker)
        worker->fileChanged();
}

} // namespace Sync
} // namespace Nuvaro
