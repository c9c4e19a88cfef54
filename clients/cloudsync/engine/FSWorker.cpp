// FSWorker: construction, startup (settings, login, monitor and thread),
// shutdown, the status text, error reports, the application's requests and
// the small helpers every pass step shares.

#include "FSWorker.h"

#include "DirChangeNotification.h"
#include "FSUtil.h"
#include "ForceDirChangeNotification.h"
#include "LoginFailure.h"
#include "SyncLog.h"
#include "UIEvent.h"
#include "WorkerHelpers.h"

#include <Poco/Logger.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <exception>

namespace Nuvaro {
namespace Sync {

namespace {

Poco::Logger& rootLog() {
    static Poco::Logger& logger = Poco::Logger::get("");
    return logger;
}

// A decimal number read from its leading digits (an optional sign first):
// "12abc" is 12, "" or "abc" is 0; values beyond an int are clamped.
int leadingNumber(const std::string& text) {
    long value = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::max<long>(INT_MIN, std::min<long>(INT_MAX, value)));
}

} // namespace

// ---- Small shared pieces ----

std::string getValidFriendlyName(const std::string& name) {
    std::string valid;
    for (char c : name) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 128 && std::isalnum(byte))
            valid += c;
    }
    return valid;
}

// ---- Construction ----

FSWorker::FSWorker(const std::string& syncPath, const std::string& dataPath, boost::shared_ptr<FSSyncDB>& db,
                   bool myFilesDisabled)
    : thread("Sync"),
      started(Poco::Event::EVENT_AUTORESET),
      stopEvent(Poco::Event::EVENT_AUTORESET),
      syncPath(getLongPrefix(syncPath)),
      dataPath(getLongPrefix(dataPath)),
      monitorPath(syncPath),
      db(db),
      myFilesDisabled(myFilesDisabled),
      heldBack(this->dataPath + "/.heldback") {
    simulMethod.reset(new SimulMethod(this, &FSWorker::simulImpl));
    rootLog().trace("Using Normalized Sync Path: " + this->syncPath);
    rootLog().trace("Using Normalized Data Path: " + this->dataPath);
}

FSWorker::~FSWorker() {
    try {
        stopAll();
    } catch (...) {
    }
}

// ---- Startup ----

bool FSWorker::startup(Nuvaro::RecordList& settings, bool noStreamFactories, const std::string& networkFolderName,
                       const std::string& teamFolderName, const std::string& teamFolderAccount) {
    applySettings(settings, noStreamFactories, networkFolderName, teamFolderName, teamFolderAccount);
    if (!logIn())
        return false;
    return startThreadAndMonitor();
}

bool FSWorker::configureAndLogInForTesting(Nuvaro::RecordList& settings, bool noStreamFactories,
                                           const std::string& networkFolderName, const std::string& teamFolderName,
                                           const std::string& teamFolderAccount) {
    applySettings(settings, noStreamFactories, networkFolderName, teamFolderName, teamFolderAccount);
    return logIn();
}

void FSWorker::applySettings(Nuvaro::RecordList& given, bool noStreamFactories,
                             const std::string& networkFolderName, const std::string& teamFolderName,
                             const std::string& teamFolderAccount) {
    putSyncStatus("Starting Up...");
    settings = Nuvaro::copySettingsList(given);
    const std::map<std::string, std::string>& values = *settings[0];
    auto has = [&values](const std::string& key) { return values.find(key) != values.end(); };

    checkModTime = setting("checkmodtime") == "1";
    hostname = setting("hostname");
    friendlyName = setting("friendlyname");
    this->networkFolderName = networkFolderName;
    this->teamFolderName = teamFolderName;
    this->teamFolderAccount = teamFolderAccount;
    skipDeleteApproval = setting("skipdeleteapproval") == "1";
    maxThreads = leadingNumber(setting("maxthreads"));
    if (!setting("totalsecswithoutscan").empty())
        totalSecsWithoutScan = leadingNumber(setting("totalsecswithoutscan"));
    if (has("syncfrequency"))
        syncFrequency = leadingNumber(setting("syncfrequency"));
    if (has("deleteapprovalpct"))
        deleteApprovalPct = leadingNumber(setting("deleteapprovalpct"));
    if (setting("ignorefilechangenotifications") == "1")
        ignoreFileChanges = true;
    removeUnshared = has("removeunshared") && setting("removeunshared") == "1";
    curInterval = syncFrequency.load();

    Poco::Logger& root = rootLog();
    root.debug("=== SETTINGS ===");
    root.debug("Host Name: " + hostname);
    root.debug("Friendly Name: " + friendlyName);
    root.debug("Restrictions: " + setting("uploadrestrictions"));
    root.debug("Disable Dot Dot: " + setting("disabledotdot"));
    root.debug("Team Folder Name: " + this->teamFolderName);
    root.debug("Team Folder Account Name: " + this->teamFolderAccount);
    root.debug("=== SETTINGS ===");

    flags.serverOk = false;
    flags.firstDeltaPending = true;
    this->noStreamFactories = noStreamFactories;
}

bool FSWorker::logIn() {
    boost::shared_ptr<NuvaroConnector> login(
        new NuvaroConnector(Nuvaro::copySettingsList(settings), !noStreamFactories, "Cloud Sync"));
    // Shutdown cuts its requests short, as it does the transfer jobs'.
    login->setCancelHook(&requestCanceller);
    {
        std::lock_guard<std::mutex> lock(lifecycleMutex);
        connector = login;
    }
    // The login runs on its own reference: a shutdown meanwhile drops only
    // the worker's.
    if (login->Authenticate(true)) {
        flags.loggedIn = true;
        rootLog().trace("Authenticated OK");
        loginNotice->loggedIn();
        return true;
    }
    flags.loggedIn = false;
    const LoginFailure classified = classifyLoginFailure(*login);
    loginNotice->loginFailed(*login, classified);
    const LoginFailure::Kind failure = classified.kind;
    if (failure == LoginFailure::Kind::Refused) {
        rootLog().error("Authenticated Failed or bad 2FA code or bad Device Auth Code");
        postEvent(4, "Login Failed, relogin", 0);
        postEvent(7, "", 0);
        return false;
    }
    if (failure == LoginFailure::Kind::SessionTimedOut) {
        rootLog().error("Device Auth Code Session Timeout");
        postEvent(4, "Device Session Timedout, relogin", 0);
        postEvent(8, "", 0);
        return false;
    }
    // Most likely the network: the passes log in again once it is back.
    rootLog().error("Authenticated Failed" + login->getLastError());
    return true;
}

// The monitor starts before the thread, so that the loop never sees the
// monitor field change under it; a change meanwhile waits in the queue.
bool FSWorker::startThreadAndMonitor() {
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (stop.load())
        return false;
    rootLog().trace("Starting up FS Monitor");
    monitor.reset(new FSMonitor(monitorPath, &queue, intervals.monitor));
    monitor->startup();
    try {
        thread.start(*this);
    } catch (const std::exception& e) {
        rootLog().error(std::string("startup Exception caught : ") + e.what());
        monitor->shutdown();
        monitor.reset();
        return false;
    }
    threadJoinable = true;
    started.wait();
    return true;
}

// ---- Shutdown ----

bool FSWorker::shutdown() {
    syncLog().debug("Shutdown FSWorker Thread");
    putSyncStatus("Shutting down...");
    stopAll();
    syncLog().debug("FSWorker Thread exited");
    postEvent(13, "", 0);
    return true;
}

void FSWorker::stopAll() {
    stop = true;
    queue.wakeUpAll();
    stopEvent.set();
    requestCanceller.cancel();

    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (threadJoinable) {
        thread.join();
        threadJoinable = false;
    }
    if (monitor) {
        monitor->shutdown();
        monitor.reset();
    }
    stopRefreshLockActivity();
    discardFolderCheck();
    waitForAllTransferJobs();
    connector.reset();
}

void FSWorker::discardFolderCheck() {
    if (!folderCheck)
        return;
    folderCheck->activity().stop();
    folderCheck->activity().wait();
    folderCheck.reset();
}

// ---- State for the application ----

bool FSWorker::isRunning() const {
    return thread.isRunning();
}

bool FSWorker::isIdle() {
    return queue.hasIdleThreads();
}

std::string FSWorker::readStatusText(const std::string& text, const std::string& whenBusy) {
    try {
        if (!statusMutex.tryLock())
            return whenBusy;
        std::string copy = text;
        statusMutex.unlock();
        return copy;
    } catch (...) {
        return whenBusy;
    }
}

bool FSWorker::writeStatusText(std::string& text, const std::string& value) {
    try {
        if (statusMutex.tryLock(intervals.statusLockWaitMs)) {
            text = value;
            statusMutex.unlock();
            return true;
        }
    } catch (...) {
    }
    return false;
}

std::string FSWorker::getSyncStatus() {
    return readStatusText(status, "Idle");
}

void FSWorker::putSyncStatus(const std::string& text) {
    if (text != "Idle")
        syncLog().debug("-- SYNC STATUS: " + text);
    if (!writeStatusText(status, text))
        syncLog().debug(std::string("putSyncStatus") + "Put Sync Lock Failed");
}

std::string FSWorker::getWatchNotice() {
    return readStatusText(watchNotice, std::string());
}

void FSWorker::reportWatchLimit(int scanSeconds) {
    const std::size_t unwatched = monitor && monitor->isRunning() ? monitor->unwatchedCount() : 0;
    if (unwatched == reportedUnwatched)
        return;
    const bool newlyLimited = reportedUnwatched == 0;
    reportedUnwatched = unwatched;
    std::string notice;
    if (unwatched > 0) {
        notice = decimal(static_cast<Poco::Int64>(unwatched)) +
                 " folder(s) not watched for changes: the system's limit of watches is reached. Changes in them "
                 "are found by a scan every " +
                 decimal(scanSeconds) +
                 " seconds. Raising the system setting fs.inotify.max_user_watches lets every folder be watched.";
        if (newlyLimited) {
            rootLog().warning(notice);
            postEvent(4, notice, static_cast<int>(unwatched));
        }
    }
    writeStatusText(watchNotice, notice);
}

void FSWorker::checkForFSChanges() {
    flags.localChangesPending = true;
    flags.lastPassFailed = false;
    curInterval = syncFrequency.load();
    queue.enqueueNotification(new DirChangeNotification());
}

void FSWorker::changesApproved(int count) {
    approval.record(count);
    checkForFSChanges();
}

void FSWorker::fileChanged() {
    queue.enqueueNotification(new ForceDirChangeNotification());
}

int FSWorker::doBeginTransaction() {
    syncLog().trace("doBeginTransaction");
    return 0;
}

int FSWorker::doEndTransaction() {
    syncLog().trace("doEndTransaction");
    return 0;
}

void FSWorker::reportError(const std::string& message, const std::string& path, const std::string& friendlyName,
                           FSActivity::Type type) {
    if (captureFailure.load()) {
        // A placement of the apply step: the record is held back and
        // reported once, with this first report of its failure.
        syncLog().debug("ERROR: " + message + " Path: " + path);
        if (!capturedFailure.reported)
            capturedFailure = FailureReport{true, true, message};
        return;
    }
    syncLog().error("ERROR: " + message + " Path: " + path);
    postEvent(4, message, 0);
    logActivity(type, message, path, friendlyName);
    postEvent(16, "", 0);
}

void FSWorker::logActivity(FSActivity::Type type, const std::string& message, const std::string& path,
                           const std::string& friendlyName) {
    boost::shared_ptr<FSActivity> entry(new FSActivity(FSActivity::LevelNormal, type, message, path, friendlyName));
    stepActivities.add(entry, db.get());
}

void FSWorker::reportRefusal(const std::string& message) {
    if (message == reportedRefusal) {
        syncLog().error("ERROR: " + message + " (reported before)");
        return;
    }
    reportedRefusal = message;
    reportError(message, "", "", FSActivity::TypeError);
}

void FSWorker::clearRefusal() {
    reportedRefusal.clear();
}

// ---- Helpers the pass steps share ----

std::string FSWorker::setting(const std::string& key) const {
    if (settings.empty() || !settings[0])
        return std::string();
    auto found = settings[0]->find(key);
    return found == settings[0]->end() ? std::string() : found->second;
}

Nuvaro::RecordList FSWorker::changeCheckSettings() const {
    Nuvaro::Record checks(new std::map<std::string, std::string>{{"checkmodtime", setting("checkmodtime")},
                                                                  {"checkcrc", setting("checkcrc")}});
    return Nuvaro::RecordList{checks};
}

bool FSWorker::changeMonitorComplete() const {
    return monitor && monitor->isRunning() && monitor->watchesComplete();
}

int FSWorker::periodicScanSeconds() const {
    if (ignoreFileChanges)
        return 0;
    int limit = totalSecsWithoutScan == -1 ? 36000 : std::max(totalSecsWithoutScan, 0);
    if (!changeMonitorComplete()) {
        int fallback = std::max(syncFrequency.load(), 1);
        limit = limit == 0 ? fallback : std::min(limit, fallback);
    }
    return limit;
}

} // namespace Sync
} // namespace Nuvaro
