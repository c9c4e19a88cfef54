#pragma once

// OfflineJobActivity: one run of one network-folder job (syncType 0: the
// server folder is mirrored locally and local changes are uploaded) or backup
// job (syncType 1: the local folder is uploaded only). The job manager
// creates one per queued job, starts activity() on the default thread pool,
// polls isDone() and kills it on stop-all.
//
// A run, on its pool thread (run):
//   1. reads its options from the settings;
//   2. logs its own connector in ("Cloud Connector");
//   3. checks that the server allows network folders / backups;
//   4. makes sure the server folder and the local folder exist (a network
//      folder's on the file system of its last run), and removes what
//      downloads of a killed process left in a network folder;
//   5. lists the server folder (recursively when the job recurses) into the
//      listing cache, and removes local items the server no longer has;
//   6. network folders: unless it would delete on the server while none of
//      the items of the last run is there locally, downloads new and changed
//      server files and deletes on the server what the user deleted;
//   7. uploads new and changed local items;
//   8. stamps the job's last run (network folders: and the file system of
//      the local folder); backups post a backup record; a summary event
//      tells the user what happened;
//   9. raises the status event and sets the done flag.
// A run that fails or is killed ends early, always with the done flag set.
//
// Where the code lives:
//   OfflineJobActivity.cpp            construction, kill, the run and its
//                                     settings, server checks, the base folders,
//                                     remote folder creation and case twins,
//                                     the backup record, local properties
//   OfflineJobActivity_Listing.cpp    the remote listing, its cache and the
//                                     local removals it causes (deleteEntry)
//   OfflineJobActivity_Downloads.cpp  the download phase and its decisions
//   OfflineJobActivity_Uploads.cpp    the change scan and the upload phase
//   OfflineJobActivity_Transfers.cpp  the transfer body and its callbacks
//
// What the run keeps safe (worked example: job "/user1/net" <-> "/home/u/Net"):
//   - Only paths inside the job's local folder are written or removed: server
//     paths are translated with FOTranslateToNativePath (which refuses "..",
//     empty components and paths outside the server folder), and nothing is
//     written or removed through a symbolic link below the local folder.
//   - A user's file is never missing: downloads go to a unique temporary file
//     beside NAME and are renamed over NAME once complete, of the listed size,
//     and only while NAME is as it was when the download was queued; a file
//     changed on both sides keeps the local file and brings the server's copy
//     down beside it as "Conflict_NAME" (recorded on NAME's row; never over
//     another file of that name), and the local change is not sent while
//     that copy exists or the server's copy differs from the row.
//   - "Unchanged since the last run" means the same size and the same
//     modification time to the whole second as the job's row (with "checkcrc"
//     "1" and a recorded checksum: the same checksum); on the server side, the
//     listed size and time against the row's size and stored time. A
//     same-size edit on either side is therefore seen.
//   - Removals follow only what was seen: a server deletion removes a local
//     file only when it is unchanged since the last run (a changed one is kept
//     and uploaded again); a local deletion (with "remote delete" on) deletes
//     the server item only when the server copy is unchanged since the last
//     run (for a folder: everything in it, as listed), otherwise the server's
//     copy comes down again. Only "no such file" counts as deleted locally:
//     an item that cannot be examined (no permission, I/O error) is left
//     alone on both sides, a server deletion needs the item's folder to be
//     listable at that moment, and a job whose folder cannot be listed is
//     skipped (one error entry). A missing local folder of a job that has run
//     before (an unplugged disk) fails the run instead of being taken for
//     "everything deleted"; so does a network folder's local folder that is
//     empty or not the one of the last run: on another file system than at
//     the last completed run (another disk, or none mounted on the mount
//     point), or holding none of the items the job recorded while the run
//     would delete on the server (checked before any deletion is sent). Such
//     a run deletes nothing, keeps its rows and tells the user with one
//     error entry; deletions of some items, with others still there, go on.
//     A failed listing removes nothing; an empty listing of the job's server
//     folder is never trusted, and one of a subfolder only when the server
//     confirms that the items it held are gone.
//
// Threads, and who may touch what:
//   - constant after construction (any thread): settings, job, db,
//     userInitiated, eventPrefix;
//   - the run's pool thread only: connector, the options read in step 1
//     (written before any transfer starts, then only read, also by the
//     transfer bodies), the listing cache, listedCount, serverStatus,
//     uploadList, deletedFolders;
//   - any thread: done and the four counters (atomics), killRequested (an
//     atomic flag that chunked uploads and downloads read as their cancel
//     flag),
//     targetStates (under targetStatesLock), and the activity's own
//     start/stop/wait;
//   - transfer bodies and callbacks run on other pool threads, several at
//     once: they read the options and the job, raise the counters and write
//     the job database (which locks itself).
// Life cycle: construct (idle) -> activity().start() -> run on a pool thread
// -> isDone() -> destroy. killJob() (any thread) asks a run to end: the run
// tests the stop flag between phases and between items, and every request
// and transfer in flight ends at once, also one waiting for a server that
// does not answer (a download's temporary file removed, the local file as
// it was). The destructor stops the run, waits for it and for every
// transfer job it started.

#include "ActiveThreadContext.h"
#include "FOLocalFiles.h"
#include "FOOfflineDB.h"
#include "FOOfflineEntry.h"
#include "FOOfflineJobData.h"
#include "FSActivity.h"
#include "FSSimulWorker.h"
#include "PoolActivity.h"
#include "RequestCanceller.h"
#include "SimulCallbackBase.h"

#include "nuvarocbfs_Network.h"
#include "nuvarocbfs_XmlParser.h"

#include <Poco/ActiveMethod.h>
#include <Poco/ActiveResult.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Timestamp.h>
#include <Poco/Types.h>

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace Nuvaro {
namespace Sync {

class OfflineJobActivity : public SimulCallbackBase {
public:
    typedef Poco::ActiveMethod<ActiveThreadContext, ActiveThreadContext, OfflineJobActivity,
                               SimulJobStarter<OfflineJobActivity>>
        SimulMethod;
    typedef PoolActivity<OfflineJobActivity> Activity;
    typedef boost::shared_ptr<FOOfflineEntry> EntryPtr;

    // Files larger than this go up in pieces of CHUNK_SIZE bytes; a file of
    // exactly 20 MiB goes in one request.
    static const Poco::Int64 CHUNK_THRESHOLD = 20971520;
    static const Poco::Int64 CHUNK_SIZE = 10485760;
    // The most bytes read of the backup record's reply.
    static const Poco::Int64 MAX_REPLY_BYTES = 104857600;

    // What the run did, for the summary and for the owner.
    struct Counts {
        int downloaded = 0;
        int uploaded = 0;
        int conflicts = 0;
        int deleted = 0;
    };

    // Copies the settings (maps included; an empty map 0 when there is
    // none), the job and the database pointer; nothing runs until
    // activity().start().
    OfflineJobActivity(const Nuvaro::RecordList& settings, const FOOfflineJobData& job,
                       const boost::shared_ptr<FOOfflineDB>& db, bool userInitiated);
    // Stops the run, waits for it and for every transfer job it started.
    ~OfflineJobActivity() override;
    OfflineJobActivity(const OfflineJobActivity&) = delete;
    OfflineJobActivity& operator=(const OfflineJobActivity&) = delete;

    // The run on a pool thread: start, stop, wait, isRunning, isStopped.
    Activity& activity() { return jobActivity; }
    // Set when the run has ended (however it ended).
    bool isDone() const { return done.load(); }
    // Asks the run to end: sets the kill flag and the activity's stop flag
    // and cancels the run's requests and transfers in flight (their
    // connections are shut down, so a transfer ends at once in any state but
    // connecting, which is bounded by the connector's connection time-out).
    // A stopped transfer reports no failure. Does not wait.
    void killJob();
    // Logs the connector in again (no caller in this program); false when it
    // fails, with the login-refusal or session-timeout event where one
    // applies.
    bool reconnect();
    // The transfer pool's entry: runs simulImpl(ctx) on the default pool.
    Poco::ActiveResult<ActiveThreadContext> startJob(const ActiveThreadContext& ctx) override;
    // The pools' slots stop with the run: killJob ends their transfers.
    Nuvaro::RequestCancelHook* transferCancelHook() override { return &canceller; }

    const FOOfflineJobData& getJob() const { return job; }
    bool isUserInitiated() const { return userInitiated; }
    Counts counts() const;

protected:
    // ==== The run and its steps (OfflineJobActivity.cpp) ====================

    // The activity's body: runSteps inside the exception boundary, then the
    // status event (unless a step ended the run early) and the done flag.
    void run();
    // Steps 1 to 8; false when the run ended early (no stamp, no summary).
    bool runSteps();
    // Step 1: the options of settings map 0.
    void readSettings();
    // Step 2: logs the connector in; false (with its log line and event)
    // when the login failed.
    bool logIn();
    // A refused login (two-factor code, bad login, device code required or
    // invalid: event 7; device session timed out: event 8), logged on the
    // root logger; false for any other cause (nothing logged).
    bool reportLoginRefusal();
    // Step 8: stamps lastRun and (network folders) the file system of the
    // local folder (or forgets the rows of a job deleted meanwhile), posts
    // the backup record, raises the summary event.
    void finishRun();

    // Step 3: false (logged, with the event 4 for a disabled feature) when
    // the status cannot be read, or the job's kind is disabled by the admin:
    // a server path containing "EXTERNAL" needs "allownetworkfoldersync" "1",
    // a backup needs "allowbackup" "1".
    bool checkServerStatus();
    // At the start of a network folder's run: removes the temporary download
    // files below folder (subfolders when the job recurses; links never
    // followed) that a process now gone left behind (killed during a
    // download): only names of exactly the connector's temporary form whose
    // process id is no running process.
    void removeStaleTemporaryFiles(const std::string& folder);
    // Step 4: the server folder exists (a backup creates it, a network
    // folder fails without it; a question the server cannot answer fails)
    // and the local folder is ready (prepareLocalBaseFolder). False on any
    // failure, also after an exception.
    bool createRemoteBaseFolder();
    // The local folder exists as a folder. A missing one is created (with
    // its parents) only for a job that never ran and owns no rows; for a job
    // that has run before it fails the run with an error entry, since an
    // unplugged disk or unmounted share must not read as "everything was
    // deleted".
    bool prepareLocalBaseFolder();
    // A network folder's local folder lies on the file system recorded at
    // its last completed run (FOLocalDeviceOf), or that is not known (never
    // recorded, as in a database of an older program, or not readable now).
    // Otherwise false after refuseLocalFolder: another disk, or none mounted
    // on the mount point, is not the folder of the last run. Notes the file
    // system in localDevice for finishRun. Backups: always true.
    bool sameFileSystemAsLastRun();
    // Ends a network folder's run whose local folder is empty or not the one
    // of the last run: one error entry "ERROR: Local folder is empty or not
    // the one of the last run " + the folder (also as event 4) and one error
    // line that gives the reason. Nothing is deleted, the rows stay.
    void refuseLocalFolder(const std::string& reason);
    // Creates every missing level of the server path but the first (the
    // user's root); a level that exists with other letter case is renamed
    // to the wanted name. False after an error entry when a level cannot be
    // made.
    bool createFolderRecursive(const std::string& path);
    // Renames the item of parentPath whose name equals name but for letter
    // case to name; false when there is none or the rename fails.
    bool renameIfExists(const std::string& parentPath, const std::string& name);
    // The HTTP session of the backup record: 300 s time-out and the proxy of
    // the settings. Throws Poco::InvalidArgumentException for a proxy port
    // that is not a number from 1 to 65535 (nothing is sent).
    void setupHTTPProps(Poco::Net::HTTPClientSession& session);
    // POSTs "/app/backup/addbackuprecord" for this backup with the number of
    // files uploaded; the outcome is only logged.
    void addBackupRecord(int uploadedCount);
    // Size, fileMod and (withCrc) fileCrc of the entry from the regular file
    // at path; a file that cannot be read leaves the entry as it was.
    void updateObjectProps(const std::string& path, FOOfflineEntry& entry, bool withCrc);
    // Size, modified and fileMod of the entry from the version of its file
    // an upload sent, and (with "checkcrc") fileCrc only while the file
    // still is that version (else none).
    void recordVersionSent(FOOfflineEntry& entry, const LocalFileVersion& sent);

    // ==== The listing (OfflineJobActivity_Listing.cpp) ======================

    // Lists folder into the cache (its first listing of the run is kept),
    // removes what the server no longer has (network folders), and lists the
    // subfolders when the job recurses. A failed listing leaves the folder
    // out of the cache (an error entry says so); nothing is removed for it.
    void getRemoteFileList(const std::string& folder);
    // Removes (deleteEntry) the local items of folder whose rows name an item
    // the listing lacks. An empty listing of the job's own server folder
    // removes nothing; an empty listing of a subfolder that has rows is
    // trusted only when the server confirms each of those items gone.
    void removeMissingRemoteFiles(const std::string& folder, const Nuvaro::RecordList& listing);
    // True when the server confirms (an existence check answered "absent")
    // that every item of rows is gone from folder.
    bool serverConfirmsGone(const std::string& folder, const std::vector<EntryPtr>& rows);
    // Looks parentPath's listing up for an item called name: a folder
    // matches; a file matches with the same size and (modified not -1) the
    // same time to the whole second.
    bool remoteExists(const std::string& parentPath, const std::string& name, Poco::Int64 size,
                      Poco::Int64 modified);
    // Removes the local item of a row whose server item is gone: a file only
    // when unchanged since the last run (a changed file is kept and its row
    // dropped, so that it is uploaded again); a folder with the unchanged
    // files in it (removeUnchangedTree). Links below the job folder are
    // never followed.
    void deleteEntry(const EntryPtr& row);
    // Removes the unchanged files with rows below folder and every folder
    // left empty; true when folder itself is gone.
    bool removeUnchangedTree(const std::string& folder);

    // ==== Downloads (OfflineJobActivity_Downloads.cpp) ======================

    // The download phase: every listed item in cache order, folders through
    // processRemoteFolder, files through processRemoteFile, downloads on a
    // transfer pool.
    void downloadFiles();
    // Creates the local folder of a server folder, or deletes the server
    // folder the user deleted locally (remote delete on, and everything in
    // it unchanged since the last run).
    void processRemoteFolder(Nuvaro::Record& item);
    // Decides one server file (see the table in the .cpp) and queues its
    // download on pool.
    void processRemoteFile(Nuvaro::Record& item, FSSimulWorker* pool);
    // Queues the download of item into target (the local file, or its
    // conflict copy), recording row (or a new row) with the server's size and time.
    void queueDownload(Nuvaro::Record& item, const std::string& local, const std::string& target,
                       const EntryPtr& row, FSSimulWorker* pool);
    // A conflict copy may be written at copy for the file local: nothing is
    // there, or it is the copy this job made for local. Otherwise false, with
    // an error entry.
    bool mayWriteConflictCopy(const std::string& local, const std::string& copy);
    // True when the server folder at folderPath was listed in this run and
    // everything in it (recursively) has a row and is unchanged since.
    bool remoteFolderUnchangedSinceRun(const std::string& folderPath);
    // The server copy of a row whose local item is missing may be deleted on
    // the server: the local parent folder can be listed now, and the server
    // copy is unchanged since the last run (a folder: everything in it).
    bool serverCopyMayGo(const Nuvaro::Record& item, const std::string& local, const FOOfflineEntry& row);
    // The download phase would delete this listed item on the server (the
    // user deleted it locally, remote delete on). Looks only, logs nothing.
    bool wouldDeleteOnServer(const Nuvaro::Record& item);
    // Asked before the download phase, so before any deletion is sent: true
    // when the phase would delete on the server while none of the items the
    // job recorded (at least one) is there locally any more. A folder emptied
    // by accident, or the empty mount point of a disk that is not mounted,
    // reads the same as "the user deleted everything": such a run deletes
    // nothing (a user who really emptied the folder deletes on the server).
    // False without remote delete: nothing would be deleted.
    bool deletionsWouldEmptyTheJob();

    // ==== Uploads (OfflineJobActivity_Uploads.cpp) ==========================

    // The upload phase: the change scan, then folders created on the server
    // and files queued on a transfer pool, folders first.
    void uploadFiles();
    // One entry of the upload list: a folder made on the server, or a file
    // recorded (a file new to the job that the listing shows with its size
    // and second) or queued. False when the phase must end.
    bool uploadEntry(const EntryPtr& entry, FSSimulWorker& pool);
    // The change scan of the job's local folder: fills uploadList with new
    // items and changed files (see the skip rules in the .cpp).
    void loadChangedList(const std::string& root);
    // What one change scan reads once (the rows, the skip pattern) and the
    // folders it has still to visit.
    struct ChangeScan;
    // One item of a folder: skipped, new, changed or unchanged; a folder to
    // visit when the job recurses.
    void scanChild(ChangeScan& scan, const std::string& folder, const std::string& rawName);
    // Rules 1 to 6 of the change scan (by name and path); true when the item
    // is left out.
    bool skippedByName(const ChangeScan& scan, const std::string& name, const std::string& path, bool validUtf8);
    // A network folder's file whose server copy, as listed in this run,
    // differs from row in size or second (its row; for a file new to the
    // job, its local state): its local change must not be sent yet.
    bool serverChangedSinceRow(const std::string& path, const FOOfflineEntry& row);
    // fileMod (with "checkmodtime") and fileCrc (with "checkcrc", files) of
    // an entry from the local item.
    void describeLocalState(FOOfflineEntry& entry, const std::string& path, const Poco::Timestamp& modified);
    // An activity entry of type 7 (skipped local item), friendly name
    // "Local File".
    void addSkipped(const std::string& message, const std::string& path);
    // True when a stored name under parent has the NFC form name.
    bool checkIfUTF8PathExists(const std::multimap<std::string, std::string>& names, const std::string& parent,
                               const std::string& name);
    // Drops the rows under the server folder's local twin whose name differs
    // from name only by letter case (folders with their rows below), when
    // that local item no longer exists.
    void clearDifferentCaseItemsDB(const std::string& remoteParent, const std::string& name);

    // ==== Transfers (OfflineJobActivity_Transfers.cpp) ======================

    // One upload or download with the job's slot connector. Sets ok true for
    // every transfer carried to an end, failed or not (the callbacks report
    // failures), so that a failed transfer does not stop the pool.
    ActiveThreadContext simulImpl(const ActiveThreadContext& ctx);
    void uploadOK(ActiveThreadContext& ctx);
    void uploadFailed(ActiveThreadContext& ctx);
    void downloadOK(ActiveThreadContext& ctx);
    void downloadFailed(ActiveThreadContext& ctx);

    // ==== Shared small steps ================================================

    bool isStopped() const { return jobActivity.isStopped(); }
    // A value of settings map 0; "" when absent.
    std::string setting(const std::string& key) const;
    // The local path of a server path of the job ("" when refused).
    std::string localPathOf(const std::string& remotePath) const;
    // The same for a path the run may write: also "" (logged) when a link
    // or special file below the job folder lies on the way.
    std::string writableLocalPathOf(const std::string& remotePath) const;
    // The local file at path is a regular file unchanged since row was
    // written (see the header comment).
    bool localUnchangedSinceRow(const std::string& path, const FOOfflineEntry& row);
    // The listed server file has row's size and, to the whole second, row's
    // time.
    bool remoteUnchangedSinceRow(const Nuvaro::Record& item, const FOOfflineEntry& row) const;
    // The state of a download's target when it was queued, for the check
    // just before the download replaces it (any thread).
    void rememberTargetState(const std::string& target);
    FOLocalState queuedTargetState(const std::string& target);
    // Writes the entry's row: updated when one exists, else added.
    void storeRow(FOOfflineEntry& entry);
    // An activity entry of level 2 with the friendly name "Cloud Sync".
    void addActivity(FSActivity::Type type, const std::string& message, const std::string& path);

    // ---- Constant after construction ----
    const Nuvaro::RecordList settings;
    const FOOfflineJobData job;
    const boost::shared_ptr<FOOfflineDB> db;
    const bool userInitiated;
    const std::string eventPrefix;

    // ---- The run's thread (see the class comment) ----
    std::unique_ptr<NuvaroConnector> connector;
    std::map<std::string, Nuvaro::RecordList> listingCache;
    int listedCount = 0;
    Nuvaro::RecordList serverStatus;
    std::vector<EntryPtr> uploadList;
    std::vector<std::string> deletedFolders;
    std::vector<std::string> uploadRestrictions;
    std::string uploadRestrictionsText;
    std::string skipRegex;
    std::string disableDotDot;
    int maxThreads = 0;
    bool scanRemote = false;
    bool checkModTime = false;
    bool checkCrc = false;
    std::set<std::string> excludePaths;
    // The file system of a network folder's local folder at the start of
    // the run ("" when not read).
    std::string localDevice;

    // ---- Any thread ----
    std::atomic<bool> done{false};
    std::atomic<int> downloaded{0};
    std::atomic<int> uploaded{0};
    std::atomic<int> conflicts{0};
    std::atomic<int> deleted{0};
    std::atomic<bool> killRequested{false};
    // The run's requests and transfers in flight (its own connector's and
    // its pools' slots'); killJob cuts them short, also a wait for a server
    // that does not answer.
    RequestCanceller canceller;
    // Download targets as they were when their downloads were queued.
    std::mutex targetStatesLock;
    std::map<std::string, FOLocalState> targetStates;

private:
    SimulMethod simulMethod{this, &OfflineJobActivity::simulImpl};
    // Last member: destroyed first, so a run never outlives the fields.
    Activity jobActivity{this, &OfflineJobActivity::run};
};

} // namespace Sync
} // namespace Nuvaro
