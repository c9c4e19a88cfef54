#pragma once

// FSAppRunner: the application object. The console entry point constructs one;
// it owns the sync database (syncclient.db), the job database (offline.db) and
// the workers: the sync worker (FSWorker), the job manager and the
// remote-management worker (FSRMCWorker). It turns the stored account and the
// options of syncclientconfig.xml into the settings list every worker and
// connector is built from, starts and stops the workers, keeps the server's
// status for the other components and carries out the administrator's remote
// commands.
//
// Where the code lives (one .cpp per concern):
//   FSAppRunner.cpp                 construction (logging, options, folders,
//                                   databases, identifiers), destruction,
//                                   setupLogging, setupSyncDir, updateIDs,
//                                   syncRealtimeJobs
//   FSAppRunner_Lifecycle.cpp       startup, shutdown, shutdownForExit, the
//                                   server status, the accessors
//   FSAppRunner_Settings.cpp        getSettings, setSettings
//   FSAppRunner_RemoteCommands.cpp  processRMC, the block and wipe handlers,
//                                   doRemoteWipe and the two resets
//
// Threads, and who may touch what:
//   - the main thread constructs and destroys the runner (no worker runs then)
//     and calls startup, setSettings, updateServerStatus and shutdown;
//   - the remote-management thread calls getSettings, processRMC (and through
//     it the block handlers, which stop workers) and updateServerStatus;
//   - the console's signal thread calls shutdownForExit;
//   - any thread (the local integration service) may call the accessors and
//     getSettings at any time.
// startup, shutdown, setSettings, shutdownForExit and the block handlers
// serialise on `lifecycleMutex`: one of them at a time touches the workers.
// Each field group below says how it is guarded.
//
// Lock order and the one wait that must not happen: shutdown(true) holds
// `lifecycleMutex` while it joins the remote-management thread, and that
// thread's block handlers need `lifecycleMutex` too. They therefore never
// wait for it blindly: they try it in short steps and give up once
// `remoteStopRequested` says their thread is being stopped. A block given up
// is not acknowledged to the server, which sends it again. No other lock is
// held while `lifecycleMutex` is awaited; `workerMutex`, `serverStatusMutex`,
// `idMutex` and `backupPathMutex` are leaves (nothing is awaited while one is
// held).
//
// Shutdown order (shutdown(true), also run by the destructor): the sync worker
// is shut down (its thread, pass, scan, monitor and lock refresh stop) and
// released; then the job manager; then the remote-management worker is
// stopped and deleted. The destructor finally closes both databases.
//
// The job manager: its place is marked in startupLocked (created with
// getSettings() and the job database and started unless "disablesync" is
// "1", after the sync worker and before the remote-management worker) and in
// shutdownLocked (its queued jobs stopped, then shut down and released, after
// the sync worker). With it come its pointer (guarded as the sync worker's),
// isOfflineManagerRunning, and getSyncStatus's "Syncing Offline Files" while
// an idle sync worker meets an active manager. Everything of the job
// database side (realtime jobs handed to the sync engine, the wipe of job
// folders, the reset of jobs) works without it.

#include "FOOfflineDB.h"
#include "FSRMCWorker.h"
#include "FSSyncDB.h"
#include "FSWorker.h"
#include "nuvarocbfs_XmlParser.h"

#include <boost/shared_ptr.hpp>

#include <Poco/Mutex.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {

// Sixteen names for a device whose host name gives no friendly name.
extern const char* const gMyHostNames[16];

// The friendly name made from a host's node name: its ASCII letters and
// digits in order ("my-pc.local" gives "mypclocal"). When none is left, one
// of gMyHostNames picked at random followed by the decimal texts of three
// random numbers ("lyra1804289383846930886168").
std::string friendlyNameFromHost(const std::string& nodeName);

// Sets up the process log: the root logger and every logger that exists
// writes to basePath + "/syncclient.log" (pattern
// "%m-%d-%y %H:%M:%S:%i [%I] :%q: %t" in local time, rotated at 10 MB,
// archives purged after 7 days or beyond 10), at the level named by levelName
// ("fatal" ... "trace"; any other name is trace), and logs
// "***********CLOUD SYNC CLIENT LOG STARTUP **********". The log file and
// its archives are readable by their owner only. An existing log file that
// cannot be written (or opened) leaves logging as it was.
void setupLogging(const std::string& basePath, const std::string& levelName);

// Makes sure the sync folder exists: an existing folder is left as it is; a
// missing one is created with its parents and restricted to its owner.
// False (with a log line) when it cannot be created, and when something that
// is not a folder has its name. The second path and the flag are not used.
bool setupSyncDir(const std::string& path, const std::string& secondPath, bool flag);

class FSAppRunner {
public:
    // The waits of the workers the runner creates; every default is the real
    // value. Tests shorten them through setIntervalsForTesting.
    struct Intervals {
        FSWorker::Intervals worker;
        FSRMCWorker::Timing remote;
    };

    // Constructs and opens everything, in this order: logging (unless quiet),
    // environment lines in the log, the thread pool's capacity raised by 20,
    // the options of syncclientconfig.xml (a missing file is created holding
    // syncfolderlocation "DEFAULT"), the sync folder, syncclient.db and
    // offline.db in basePath (files readable by their owner only), the client
    // identifiers, the settings in the log, the realtime jobs handed to the
    // sync engine. No worker starts.
    // Throws Nuvaro::Exception, after logging the reason, when
    // syncclientconfig.xml exists but cannot be read (it is never replaced),
    // the sync folder cannot be created, or a database cannot be opened;
    // what was opened is released.
    FSAppRunner(const std::string& resourcePath, const std::string& basePath, const std::string& syncPath,
                const std::string& logLevel, bool quiet);
    // shutdown(true), then both databases are closed.
    virtual ~FSAppRunner();
    FSAppRunner(const FSAppRunner&) = delete;
    FSAppRunner& operator=(const FSAppRunner&) = delete;

    // "syncclientconfig.xml": relative, so it lies in the working directory,
    // which the entry point makes the executable's directory.
    static std::string getConfigFilePath();

    // Creates the client identifiers when missing: "friendlyname" (see
    // friendlyNameFromHost) and "hostname" (a time-based UUID, the client id
    // the server knows this device by). Existing ones are kept.
    void updateIDs();
    // Makes the sync database's external paths the server paths of the jobs
    // scheduled "realtime" (an empty list empties them): those network
    // folders are kept in step by the sync worker, not run as jobs.
    void syncRealtimeJobs();

    // ==== Start-up, shutdown, server status (FSAppRunner_Lifecycle.cpp) ====

    // Replaces whatever runs with a fresh set of workers: shutdown(true), then
    //   - the sync worker, unless "disablesync" is "1" or the server disabled
    //     My Files ("disablemyfiles" "1") and no job is scheduled "realtime";
    //     it is started only when "url" and "profile" are stored (otherwise it
    //     exists without running);
    //   - the job manager, unless "disablesync" is "1";
    //   - the remote-management worker, always.
    // After shutdownForExit it starts nothing. Always true.
    bool startup();
    // Stops the sync worker and the job manager, and with stopRemoteManagement
    // the remote-management worker too. The remote-management thread calls it
    // with false; it then gives up (and returns false) when that thread is
    // being stopped meanwhile. True otherwise.
    bool shutdown(bool stopRemoteManagement);
    // shutdown(true) for good: later startups start nothing. For the console's
    // stop signals; the databases stay open until the destructor.
    void shutdownForExit();

    // Logs in with the stored account, fetches the server status and caches
    // it (UI event 16); with persist, stores the server-side options
    // ("disablemyfiles", "uploadrestrictions", "disabledotdot" when the
    // record has them; "networkfoldername", "teamfoldername",
    // "teamfolderaccount" when not empty). False when the login was refused
    // (two-factor code, bad credentials, device code required or invalid);
    // true otherwise, also when the network or the status request failed
    // (the cache then keeps its content).
    bool updateServerStatus(bool persist);
    // A copy of the cached server status.
    Nuvaro::RecordList getServerStatus();

    // ---- Accessors (any thread) ----
    std::string getSyncFolder() const { return syncPath; }
    std::string getDataDirectory() const { return basePath; }
    std::string getSyncLogFolder() const { return options.syncLogFolder; }
    // "url" of the settings; "" without a sync database.
    std::string getServerURL();
    // The stored folder names (defaults "Network Folders", "Team Folders",
    // "").
    std::string getNetworkFolderName();
    std::string getTeamFolderName();
    std::string getTeamFolderAccount();
    bool advancedOfflineSync() const { return options.advancedOffline; }
    bool showNotifications() const { return !options.disableNotifications; }
    void setBackupPath(const std::string& path);
    std::string getBackupPath();
    // A sync worker exists and its thread runs.
    bool isRunning();
    // The sync worker's status text; "Idle" without a sync worker.
    std::string getSyncStatus();
    // Forwarded to the sync worker when one exists.
    void checkForFSChanges();
    void fileChanged();

    // The two databases, for the entry point's start-up steps (selective
    // sync, job entries). Constant from construction to destruction.
    boost::shared_ptr<FSSyncDB> getSyncDatabase() const { return syncDB; }
    boost::shared_ptr<FOOfflineDB> getOfflineDatabase() const { return offlineDB; }

    // ==== Settings (FSAppRunner_Settings.cpp) ====

    // The settings list: one map built from the stored account (section
    // "config"), the deciphered secret ("password", or "devauthcode" when
    // "loginmode" is "1") and the options. Creates "RMC_CLIENT_ID" (a random
    // UUID) and "RMC_CLIENT_DISP_NAME" ("Cloud Sync") when missing. Without a
    // sync database, one empty map. Keys and defaults: see the .cpp.
    Nuvaro::RecordList getSettings();
    // Stores the account of the list's map and restarts the workers:
    // shutdown(true); identifiers made when missing; when another account or
    // server replaces a stored one, the local sync state (sync folders,
    // activity, selective sync, jobs) is forgotten first; the secret is
    // stored only enciphered under a new salt (a stored clear password of an
    // older version is emptied); then startup() and UI event 16.
    void setSettings(Nuvaro::RecordList& settings);

    // ==== Remote management (FSAppRunner_RemoteCommands.cpp) ====

    // Carries out the remote commands in order: "10000" shows the message
    // (UI event 4), "10008" and unknown codes are logged, "10001" blocks and
    // wipes, "10002" blocks; after a block message says what happened, UI
    // event 7 is raised and the later records are left alone. True when
    // every record was handled, false after a block (also one given up).
    // carriedOut, when given, receives the records carried out: the ones to
    // acknowledge.
    bool processRMC(Nuvaro::RecordList& commands, std::string& message, Nuvaro::RecordList* carriedOut = nullptr);
    // Stops the sync worker and the job manager (whether or not the worker
    // runs) and empties the stored configuration except the client id;
    // UI event 4. False when it was given up (see shutdown(false)).
    bool processLoginBlocked();
    // The same, then the synchronised folders and the sync and job data are
    // wiped (doRemoteWipe, resetSyncData) instead of the configuration reset.
    bool processLoginBlockedAndWipe();
    // Removes "My Files", "Shared with Me", the network and team folders in
    // the sync folder and the local folders of the network-folder jobs (not
    // the backup sources). Folder names from the server that are not plain
    // names, and job folders that wipeRefusal refuses, are skipped with an
    // error line. Does nothing while a sync worker exists.
    void doRemoteWipe();
    // The folders doRemoteWipe removes, in order (refused ones left out).
    std::vector<std::string> remoteWipeTargets();
    // Empties the sync database (configuration included, the client id kept),
    // the selective-sync list and the job database, and removes profile.png,
    // login.png and the staging folder ".cache" of the data folder; UI event
    // 18. Does nothing while a sync worker exists.
    void resetSyncData();
    // Empties the configuration except the client id. Does nothing while a
    // sync worker exists.
    void resetConfigData();

    // ==== Test seams ====

    // The waits of the workers created by later startups.
    void setIntervalsForTesting(const Intervals& intervals);

protected:
    // Tests reach the locked steps through a subclass.

    // The bodies of startup and shutdown; the caller holds lifecycleMutex.
    void startupLocked();
    void shutdownLocked(bool stopRemoteManagement);
    // lifecycleMutex for the caller. fromRemoteManagement: tried in short
    // steps, given up (the lock not owned) once remoteStopRequested is set;
    // otherwise simply awaited.
    std::unique_lock<std::mutex> lockLifecycle(bool fromRemoteManagement);

    // The current sync worker (a copy of the pointer, possibly empty).
    boost::shared_ptr<FSWorker> currentWorker();
    // A value of section "config", defaultValue when absent or without a
    // sync database.
    std::string config(const std::string& name, const std::string& defaultValue = std::string());

    // ---- Constant after construction ----
    const std::string basePath;
    const std::string syncPath;
    const std::string resourcePath;
    const bool quiet;
    // The options of syncclientconfig.xml (see FSAppRunner.cpp for each).
    struct Options {
        std::string proxyHost, proxyPort, proxyUser, proxyPassword;
        std::string syncFrequency;
        std::string syncLogFolder;
        bool advancedOffline = false;
        bool removeUnshared = false;
        std::string skipRegex;
        std::string maxThreads = "5";
        bool skipInUseCheck = false;
        bool skipNewFolders = true;
        bool skipDeleteApproval = false;
        bool scanRemoteBeforeBackup = false;
        std::string checkModTime = "0";
        std::string checkCRC = "0";
        std::string checkCRCDocs = "0";
        std::string totalSecsWithoutScan;
        std::string deleteApprovalPct = "10";
        std::string ipcPort;
        bool disableNotifications = false;
        std::string excludePaths;
        bool ignoreFileChangeNotifications = false;
    };
    Options options;
    // The databases lock themselves (any thread). Set by the constructor,
    // closed by the destructor.
    boost::shared_ptr<FSSyncDB> syncDB;
    boost::shared_ptr<FOOfflineDB> offlineDB;

    // ---- Lifecycle: guarded by lifecycleMutex ----
    std::mutex lifecycleMutex;
    std::unique_ptr<FSRMCWorker> rmcWorker;
    // Set by shutdownForExit: startups start nothing.
    bool closing = false;
    // Up while shutdown(true) joins the remote-management thread, so that
    // this thread gives up waiting for lifecycleMutex (read without the lock).
    std::atomic<bool> remoteStopRequested{false};
    // Read by startupLocked.
    Intervals intervals;

    // ---- The sync worker pointer: written under lifecycleMutex and
    // ---- workerMutex, read under workerMutex (accessors copy it) ----
    std::mutex workerMutex;
    boost::shared_ptr<FSWorker> syncWorker;

    // ---- The cached server status: guarded by serverStatusMutex ----
    Poco::Mutex serverStatusMutex;
    Nuvaro::RecordList serverStatus;

    // ---- Guarded by their own mutexes ----
    // Makes the create-if-missing of the remote-management identities one
    // step (getSettings from several threads).
    std::mutex idMutex;
    std::mutex backupPathMutex;
    std::string backupPath;

private:
    // Construction steps.
    void readOptions();
    void openDatabases();
    void logSettings();
    // Forgets the local sync state of another account (setSettings).
    void forgetLocalSyncState();
    // Stores the secret of the map enciphered (setSettings).
    void storeSecret(const Nuvaro::Record& settings);
    // The two block handlers: under lifecycleMutex (given up as
    // lockLifecycle(true) says), the workers but this one stopped, then the
    // wipe and the data reset, or the configuration reset; UI event 4 with
    // notice. name goes into the line of a block given up.
    bool carryOutBlock(bool wipe, const std::string& name, const std::string& notice);
    // Removes one wipe target (see doRemoteWipe).
    void wipeFolder(const std::string& path);
};

} // namespace Sync
} // namespace Nuvaro
