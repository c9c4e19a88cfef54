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
//   FSAppRunner_Overlay.cpp         getOverlayForPath
//   FSAppRunner_Maintenance.cpp     changeSyncFolder, removeLimitFolder,
//                                   removeAllSyncedData, repairDB,
//                                   downloadLoginImage, the advanced data
//   FSAppRunner_Requests.cpp        confirmDelete and the requests to the
//                                   job manager
//
// Threads, and who may touch what:
//   - the main thread constructs and destroys the runner (no worker runs then)
//     and calls startup, setSettings, updateServerStatus and shutdown;
//   - the remote-management thread calls getSettings, processRMC (and through
//     it the block handlers, which stop workers) and updateServerStatus;
//   - the console's signal thread calls shutdownForExit;
//   - any thread (the local integration service) may call the accessors,
//     getSettings and the services (overlay status, moving the sync folder,
//     maintenance, delete approval, job requests) at any time.
// startup, shutdown, setSettings, shutdownForExit, the block handlers and
// the services that stop and restart the workers around their work
// (changeSyncFolder, removeLimitFolder, removeAllSyncedData, and
// confirmDelete's reset) serialise on `lifecycleMutex`: one of them at a
// time touches the workers. The requests that only reach a worker
// (confirmDelete's approval, the requests to the job manager) take a copy
// of its pointer under `workerMutex`, so the worker they talk to stays alive
// even when a shutdown releases it meanwhile. Each field group below says
// how it is guarded.
//
// Lock order and the one wait that must not happen: shutdown(true) holds
// `lifecycleMutex` while it joins the remote-management thread, and that
// thread's block handlers need `lifecycleMutex` too. They therefore never
// wait for it blindly: they try it in short steps and give up once
// `remoteStopRequested` says their thread is being stopped. A block given up
// is not acknowledged to the server, which sends it again. No other lock is
// held while `lifecycleMutex` is awaited; `workerMutex`, `serverStatusMutex`,
// `idMutex`, `backupPathMutex`, `syncPathMutex` and `configFileMutex` are
// leaves (nothing is awaited while one is held).
//
// Start-up order: the sync worker, the job manager (created with
// getSettings() and the job database, unless "disablesync" is "1"), the
// remote-management worker.
// Shutdown order (shutdown(true), also run by the destructor): the sync worker
// is shut down (its thread, pass, scan, monitor and lock refresh stop) and
// released; then the job manager is taken out of reach of the requests, told
// to stop all jobs and shut down (every running job is killed and waited for)
// and released; then the remote-management worker is stopped and deleted.
// The destructor finally closes both databases.

#include "FOOfflineDB.h"
#include "FOOfflineFilesManager.h"
#include "FOOfflineJobData.h"
#include "FSRMCWorker.h"
#include "FSSyncDB.h"
#include "FSWorker.h"
#include "LoginRefusalNotice.h"
#include "VariantRow.h"
#include "nuvarocbfs_XmlParser.h"

#include <boost/shared_ptr.hpp>

#include <Poco/Mutex.h>

#include <atomic>
#include <functional>
#include <iosfwd>
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
        FOOfflineFilesManager::Intervals offline;
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
    // what was opened is released. The exception's message is the reason
    // as logged ("Unable to setup sync folder: <path>", "Failed opening DB:
    // <path> <reason>"), for the caller to show.
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
    // The sync folder (changeSyncFolder may move it).
    std::string getSyncFolder();
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
    bool showNotifications() const { return !notificationsDisabled.load(); }
    void setBackupPath(const std::string& path);
    std::string getBackupPath();
    // A sync worker exists and its thread runs.
    bool isRunning();
    // A job manager exists.
    bool isOfflineManagerRunning();
    // The sync worker's status text; "Idle" without a sync worker, and
    // "Syncing Offline Files" when the worker is "Idle" while the job
    // manager runs a job; followed by " - " and the worker's watch notice
    // while folders of the sync folder are left unwatched.
    std::string getSyncStatus();
    // Forwarded to the sync worker when one exists.
    void checkForFSChanges();
    void fileChanged();

    // The memory of the refused logins told at the console, shared by the
    // workers that log in with the stored account (the sync worker, the
    // remote-management worker): one line while the refusals last.
    // Constant from construction to destruction; the object locks itself.
    LoginRefusalNotice& loginRefusalNotice() { return *loginNotice; }

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
    // error line. Does nothing while a sync worker or a job manager exists
    // (a job writes into its folder).
    void doRemoteWipe();
    // The folders doRemoteWipe removes, in order (refused ones left out).
    std::vector<std::string> remoteWipeTargets();
    // Empties the sync database (configuration included, the client id kept),
    // the selective-sync list and the job database, and removes profile.png,
    // login.png and the staging folder ".cache" of the data folder; UI event
    // 18. Does nothing while a sync worker or a job manager exists.
    void resetSyncData();
    // Empties the configuration except the client id. Does nothing while a
    // sync worker exists.
    void resetConfigData();

    // ==== Services for the local integration and maintenance ====
    //
    // "Inside" a folder always means the folder itself or a path below it by
    // whole components: "/home/u/SyncOld/x" is not inside "/home/u/Sync".

    // The overlay state of an absolute local path (FSAppRunner_Overlay.cpp):
    //   "none"      the sync folder itself, or a path not inside it
    //   "ok"        a top folder ("my files", the network-folder, team-folder
    //               and "shared with me" names, lower-cased, compared with
    //               the path as given), a folder with a sync record, a file
    //               unchanged since its record, a job's local folder, a job
    //               folder's row or unchanged file, a path under
    //               "Shared with Me" with records at or below it
    //   "modified"  a file whose size or modification time (whole seconds)
    //               differs from its sync record or job row
    //   "conflict"  a conflict copy's name (ConflictChecks.h)
    //   "unknown"   anything else: a missing file, a path without record
    //               or row, a file that cannot be examined
    // Reads the databases while the workers run; changes nothing.
    std::string getOverlayForPath(const std::string& path);

    // Moves the sync folder to newPath (FSAppRunner_Maintenance.cpp). With
    // the workers stopped: newPath is created when missing; what the old
    // folder holds is copied into newPath itself (copyFolderContents: files
    // keep their times, a file already in newPath is kept, never
    // overwritten); syncfolderlocation of syncclientconfig.xml becomes
    // newPath; the network-folder jobs whose local folder lies inside the old
    // folder get the same place inside newPath. Then the workers start on
    // newPath; true. The old folder stays as it was.
    // False, with the workers started on the old folder and nothing changed
    // but what was already copied: newPath cannot be made a folder, the old
    // folder is missing, one folder lies inside the other (or they are the
    // same), the copy fails, or the configuration file cannot be read or
    // written (an existing file that cannot be read is never replaced).
    // False after that point (a job that could not be moved): the new folder
    // is in use, and the job that failed keeps its old folder.
    bool changeSyncFolder(const std::string& newPath);

    // Downloads the account's profile picture, shrinks it to 64 by 64 pixels
    // and stores it as profile.png in the data folder, then the login page's
    // picture as login.png. Without a stored account, or when the login
    // fails, nothing happens. A picture that cannot be downloaded, decoded or
    // resized leaves an error line ("downloadLoginImage: ...") and the
    // previous profile.png as it was (the download goes to a temporary file
    // first).
    void downloadLoginImage();

    // Forgets one sync folder as the sync database names it (its records and
    // its status set), with the workers stopped and started again. The local
    // files stay. False on a database error.
    bool removeLimitFolder(const std::string& folder);
    // Forgets every sync folder and empties the activity log, with the
    // workers stopped and started again. False on a database error.
    bool removeAllSyncedData();

    // Finds sync records that share a server path within a sync folder
    // (deleted rows included, records flagged "SKIP" left out) and writes a
    // report to `out` (std::cout by default): "Found Dups: " per duplicate,
    // "Processed : N records" every 10000 records. Where exactly one of a
    // pair is deleted, the live one is marked deleted too ("Fixing : "), so
    // that the next pass decides the path afresh. Works while the workers
    // run.
    void repairDB();
    void repairDB(std::ostream& out);

    // The advanced options of syncclientconfig.xml: the proxy, the sync
    // frequency (120 when absent), whether notifications are hidden and
    // whether the progress icon is white (left as passed when absent).
    void getAdvancedData(std::string& proxyHost, std::string& proxyPort, std::string& proxyUser,
                         std::string& proxyPassword, int& syncFrequency, bool& disableNotifications,
                         bool& useWhiteProgressIcon);
    // Stores them in syncclientconfig.xml (a missing file is created; one
    // that exists but cannot be read is left alone, with an error line) and
    // takes the notification flag at once; the rest applies from the next
    // start of the program.
    void setAdvancedData(const std::string& proxyHost, const std::string& proxyPort, const std::string& proxyUser,
                         const std::string& proxyPassword, int syncFrequency, bool disableNotifications,
                         bool useWhiteProgressIcon);

    // The user's answer to a delete approval (FSAppRunner_Requests.cpp).
    // Approved: the sync worker, when one exists, carries out the `count`
    // deletions. Refused: when no sync worker exists, the synchronised state
    // is forgotten (records, sync folders, activity; the configuration and
    // the realtime network folders stay) and the selective-sync list
    // emptied, so that the next pass starts afresh; with a sync worker
    // nothing happens.
    void confirmDelete(bool approved, int count);

    // Requests to the job manager (FSAppRunner_Requests.cpp); each does
    // nothing while no job manager exists (sync disabled, or the workers
    // stopped), also when a shutdown takes it away meanwhile: a request
    // reaches a manager that is running, or none.
    // Runs the job now, or after the running job (a copy of all its fields
    // is posted; a job already running or waiting is not added twice).
    void addOfflineJob(const boost::shared_ptr<FOOfflineJobData>& job);
    // Stops every running job (killed and waited for by the manager).
    void clearAllOfflineJobs();
    // Runs every stored job scheduled "manual".
    void runManual();
    // Runs every stored job but the realtime ones (those network folders
    // are kept in step by the sync worker).
    void runAllOfflineJobs();

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
    // The current job manager (a copy of the pointer, possibly empty).
    boost::shared_ptr<FOOfflineFilesManager> currentOfflineManager();
    // A value of section "config", defaultValue when absent or without a
    // sync database.
    std::string config(const std::string& name, const std::string& defaultValue = std::string());

    // ---- Constant after construction ----
    const std::string basePath;
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
        std::string excludePaths;
        bool ignoreFileChangeNotifications = false;
    };
    Options options;
    // See loginRefusalNotice().
    const std::shared_ptr<LoginRefusalNotice> loginNotice = std::make_shared<LoginRefusalNotice>();
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

    // ---- The sync worker and job manager pointers: written under
    // ---- lifecycleMutex and workerMutex, read under workerMutex (accessors
    // ---- and requests copy them) ----
    std::mutex workerMutex;
    boost::shared_ptr<FSWorker> syncWorker;
    boost::shared_ptr<FOOfflineFilesManager> offlineManager;

    // ---- The cached server status: guarded by serverStatusMutex ----
    Poco::Mutex serverStatusMutex;
    Nuvaro::RecordList serverStatus;

    // ---- The sync folder: written under lifecycleMutex and syncPathMutex
    // ---- (changeSyncFolder), read under syncPathMutex (getSyncFolder) ----
    std::mutex syncPathMutex;
    std::string syncPath;

    // ---- Any thread ----
    // "disablenotifications": read from the options, set by setAdvancedData.
    std::atomic<bool> notificationsDisabled{false};

    // ---- Guarded by their own mutexes ----
    // Makes each read-modify-write of syncclientconfig.xml one step
    // (changeSyncFolder, setAdvancedData).
    std::mutex configFileMutex;
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
    // Posts a request of `kind` to the current job manager, if any.
    void postJobRequest(int kind, const FOOfflineJobData& job = FOOfflineJobData());
    // Forgets one sync folder's records and status set.
    bool forgetSyncFolder(const std::string& folder);
    // changeSyncFolder's steps, with the workers stopped.
    bool moveSyncFolder(const std::string& oldPath, const std::string& newPath);
    bool storeSyncFolderLocation(const std::string& newPath);
    // Reads syncclientconfig.xml, applies `change` and writes it back, under
    // configFileMutex. False, with an error line naming `caller`, when an
    // existing file cannot be read (it is left alone) or the write fails.
    bool updateConfigFile(const std::string& caller, const std::function<void(Nuvaro::Data::VariantRow&)>& change);
    bool moveJobFolders(const std::string& oldPath, const std::string& newPath);
    // The overlay state of a path inside the sync folder without a sync
    // record (getOverlayForPath).
    std::string overlayWithoutRecord(const std::string& path, const std::string& relative);
};

} // namespace Sync
} // namespace Nuvaro
