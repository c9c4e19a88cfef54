#pragma once

// FSWorker: the sync worker, the engine's backbone. One object owns the
// worker thread "Sync" and its notification queue, the worker's own logged-in
// connector, the change monitor of the sync folder, the current folder scan,
// the lock refresh and the status text shown to the user. The application
// runner constructs it, calls startup(), polls isRunning() and
// getSyncStatus(), forwards the user's requests (checkForFSChanges,
// fileChanged, changesApproved) and finally calls shutdown() and destroys it.
//
// Where the code lives (one .cpp per concern):
//   FSWorker.cpp               construction, startup (settings, login, thread
//                              and monitor), shutdown, status text, error
//                              reports, the application's requests,
//                              getValidFriendlyName, transaction helpers
//   FSWorker_RunLoop.cpp       run (the thread body) and the pass driver:
//                              doSyncFromServer, continueServerSync,
//                              doSyncToServer, checkForUnsynced
//   FSWorker_FolderList.cpp    doGetSyncFolderList, doGetSyncFolderStatusSet
//   FSWorker_Delta.cpp         doGetSyncDelta
//   FSWorker_Downloads.cpp     doDownloadFiles (staging into dataPath/.cache)
//                              and its rules: localCopyUnchanged,
//                              reuseStagedFile, checkExternalAccess,
//                              refuseUnplaceable
//   FSWorker_Transfers.cpp     startJob, simulImpl and the transfer callbacks
//                              (uploadOK, uploadFailed, downloadOK,
//                              downloadFailed), containsNetworkException,
//                              myround
//   FSWorker_Apply.cpp         doEndSync, copyToFile, conflicts
//                              (isConflictedFile, inSendList,
//                              copyToConflictFile), local folders
//                              (createFilePathIfNeeded,
//                              processDirectoryRecord), updateObjectProps
//                              and recordLocalVersion, the two sort orders
//   FSWorker_Journal.cpp       the placement journal of the apply step
//                              (what a killed step placed is recognised)
//   FSWorker_HeldBack.cpp      server changes the apply step could not
//                              place: held back alone, tried again at
//                              every pass, reported once per pass
//   FSWorker_SendList.cpp      what of the scan's change list a pass may
//                              send once the server half is done
//   FSWorker_Deletes.cpp       deletes in both directions:
//                              doEndSyncDeleteFiles, processRecordDelete,
//                              canDeleteDirectory, requestForChangesApproved,
//                              doDeleteFiles
//   FSWorker_Uploads.cpp       doSendFiles
//   FSWorker_Requests.cpp      the worker's own requests: the request
//                              procedure (sendSyncRequest) and setupHTTPProps
//                              that every request of the worker uses,
//                              doRecheckRecord, doSkipUpload, getCheckSum,
//                              doLock, doUnlock, the lock refresh start/stop
//   FSWorker_Housekeeping.cpp  cleanOldSyncFolders, cleanShared,
//                              removeLeftoverReplacements,
//                              restartFolderCheckActivity
// Helper types in headers of their own: WorkerIntervals.h (the waits,
// FSWorker::Intervals), SyncRequest.h (a request and its reply),
// UploadedPaths.h (what this pass uploaded), StepActivities.h (the activity
// entries of a step), DeleteApproval.h (the user's last delete approval),
// HeldBackChanges.h (the server changes held back, kept in the data folder).
// Threads, and who may touch what:
//   - the application's threads (the runner, the loopback service): the
//     constructor, startup, shutdown and the destructor (one thread at a
//     time), and at any time isRunning, isIdle, getSyncStatus,
//     checkForFSChanges, fileChanged, changesApproved;
//   - the worker thread "Sync": run and every pass step;
//   - the monitor thread: posts DirChangeNotification into `queue`;
//   - pool threads: the folder scan (reads `stop`), the lock refresh, and
//     the transfer jobs with their callbacks (uploadOK inserts into
//     uploadedThisPass, with the version sent; uploadFailed clears
//     flags.loggedIn and posts into `queue`; downloadFailed calls
//     doRecheckRecord on the job's own connector, never on the worker's).
// Each field group below says which of them may touch it. Before startup
// starts the thread, and after shutdown has joined it, the application's
// thread may touch every field: this is also how tests drive single pass
// steps on their own thread (see "Test seams").
//
// Shutdown order (shutdown(), also from the destructor, harmless twice and
// before or during startup): `stop` is set first (the loop, a running scan
// and chunked uploads watch it), the queue's waiters are woken, `stopEvent`
// is set and requests in flight are cut short; then the worker thread is
// joined (a pass waits for its own transfer jobs before it returns: a
// transfer pool waits for its jobs when it is destroyed), the monitor is
// shut down, the lock refresh stopped and the scan stopped, waited for and
// deleted; every transfer job still counted on the job board
// (SimulCallbackBase) is waited for; finally the connector is dropped.
// When shutdown returns, no thread, pool job, scan or monitor of the worker
// runs.

#include "DeleteApproval.h"
#include "FSActivity.h"
#include "FSMonitor.h"
#include "FSSyncDB.h"
#include "FSSyncRecord.h"
#include "FolderCacheActivity.h"
#include "HeldBackChanges.h"
#include "LoginRefusalNotice.h"
#include "RefreshLockActivity.h"
#include "RequestCanceller.h"
#include "SimulCallbackBase.h"
#include "StepActivities.h"
#include "StepFolderNames.h"
#include "SyncRequest.h"
#include "UploadedPaths.h"
#include "WorkerIntervals.h"

#include "DataSyncRecord.h"
#include "nuvarocbfs_Network.h"
#include "nuvarocbfs_XmlParser.h"

#include <Poco/ActiveMethod.h>
#include <Poco/ActiveResult.h>
#include <Poco/Event.h>
#include <Poco/Mutex.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>
#include <Poco/Timestamp.h>
#include <Poco/Types.h>

#include <boost/shared_ptr.hpp>

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Nuvaro {
namespace Sync {

// The name with every byte dropped that is not an ASCII letter or digit:
// "Ann's PC-2" gives "AnnsPC2"; "" and a name of only non-ASCII letters give
// "". Used for the device part of conflict-copy names.
std::string getValidFriendlyName(const std::string& name);

// True when text (the connector's last error class after a failed login)
// names a network failure: "HostNotFoundException", "NoAddressFoundException"
// or "InterfaceNotFoundException" anywhere. (FSWorker_Transfers.cpp)
bool containsNetworkException(const std::string& text);
// Rounds for the progress texts: 1 for 0 <= v <= 1, else half away from zero
// (1.5 -> 2, -1.5 -> -2, -0.4 -> 0). (FSWorker_Transfers.cpp)
int myround(double v);

// Sort orders of records by local full path, compared as byte strings (a
// path before every longer path it is a prefix of). Shallow first: a before
// b when a's path is less, so a folder comes before its content (send
// order). Deepest first: a before b when a's path is greater, so the content
// comes before its folder (apply order). (FSWorker_Apply.cpp)
bool sortDirsByShallowFirst(const Nuvaro::DataSync::DataSyncRecordPtr& a,
                            const Nuvaro::DataSync::DataSyncRecordPtr& b);
bool sortDirsByDeepestFirst(const Nuvaro::DataSync::DataSyncRecordPtr& a,
                            const Nuvaro::DataSync::DataSyncRecordPtr& b);

class FSSimulWorker;

class FSWorker : public Poco::Runnable, public SimulCallbackBase {
public:
    typedef std::vector<Nuvaro::DataSync::DataSyncRecordPtr> RecordVector;
    // Started through the job board of SimulCallbackBase (see there).
    typedef Poco::ActiveMethod<ActiveThreadContext, ActiveThreadContext, FSWorker, SimulJobStarter<FSWorker>>
        SimulMethod;

    using Intervals = WorkerIntervals;
    using SyncRequest = Nuvaro::Sync::SyncRequest;
    using SyncReply = Nuvaro::Sync::SyncReply;
    // How the last doSendFiles ended.
    enum class SendOutcome { NotRun, Sent, HeldForApproval, Failed, Stopped };

    // ==== The worker's life (FSWorker.cpp) ====================================

    // Normalises the two paths (getLongPrefix; monitorPath keeps the first
    // argument as given) and builds the thread "Sync", the events and the
    // queue; nothing starts, no I/O but two trace lines.
    FSWorker(const std::string& syncPath, const std::string& dataPath, boost::shared_ptr<FSSyncDB>& db,
             bool myFilesDisabled);
    // Runs the shutdown (without its log lines and events) when it was not
    // called, so no thread outlives the object.
    ~FSWorker() override;
    FSWorker(const FSWorker&) = delete;
    FSWorker& operator=(const FSWorker&) = delete;

    // Reads the options from settings[0] (a private copy of the map is
    // kept), logs the connector in ("Cloud Sync"), then starts the thread and
    // the change monitor. False, with nothing started, when the login was
    // refused (two-factor code, bad credentials, device code required or
    // invalid, device session timed out: UI events 4 and 7, or 4 and 8, and
    // the console line of setLoginRefusalNotice's notice) and
    // when shutdown() came first. A login that failed for any other reason
    // (the network) is logged and the worker starts all the same; the passes
    // log in again. Called once per object.
    bool startup(Nuvaro::RecordList& settings, bool noStreamFactories, const std::string& networkFolderName,
                 const std::string& teamFolderName, const std::string& teamFolderAccount);
    // See "Shutdown order" above. Always true.
    bool shutdown();
    // The memory of the refused logins told at the console (the user sees
    // one line while the server refuses the stored login), shared with the
    // application's other workers that log in; set before startup. Without
    // it the worker keeps one of its own.
    void setLoginRefusalNotice(std::shared_ptr<LoginRefusalNotice> notice) { loginNotice = std::move(notice); }

    // The worker thread runs.
    bool isRunning() const;
    // The worker thread waits on its queue (between passes).
    bool isIdle();

    // The status text; "Idle" when the status lock is busy at the moment
    // (never waits).
    std::string getSyncStatus();
    // Stores the status text, waiting at most 500 ms for the status lock
    // (the text is dropped, with a debug line, when that runs out). Logs
    // "-- SYNC STATUS: " + text unless the text is "Idle".
    void putSyncStatus(const std::string& text);
    // What the user is told while the watch limit leaves folders of the sync
    // folder unwatched (how many, how often they are scanned, the system
    // setting that raises the limit); "" otherwise, and when the status lock
    // is busy at the moment (never waits).
    std::string getWatchNotice();

    // The user asks for a sync now: local changes pending, pass interval back
    // to syncFrequency, a DirChangeNotification posted.
    void checkForFSChanges();
    // A file changed (loopback service): a ForceDirChangeNotification, which
    // starts a scan even when file-change notifications are ignored.
    void fileChanged();
    // The user approved `count` changes (delete approval): recorded with the
    // time, then as checkForFSChanges.
    void changesApproved(int count);
    // The delete-approval gate before local changes are sent, given the
    // counts the upload step made (doSendFiles): `removed` (removals and
    // files emptied to zero bytes) can hold the removals back; edits
    // (`updated`) never do. True when the share of synced files is below
    // deleteApprovalPct or a matching approval (within 9 of the count, at
    // most 599 s old) is used up; otherwise UI event 6, and the first time
    // for this count (heldBackCount) a warning line, an activity entry and a
    // console line (consoleNotice) telling how to approve
    // (skipdeleteapproval), and false.
    bool requestForChangesApproved(unsigned removed, unsigned updated);

    // ==== Test seams ==========================================================

    // The waits of the worker; call before startup (or before driving steps).
    void setIntervalsForTesting(const Intervals& intervals) { this->intervals = intervals; }
    // Called by copyToFile with the local path after the conflict check and
    // before the server's file is copied beside it, looked at again and
    // renamed into place (a test saves the file there, or pauses the step).
    // Set before startup.
    std::function<void(const std::string& localPath)> beforePlacementForTesting;
    // True makes copyToFile place by a copy in a temporary file beside the
    // local file, as it does when the staging folder lies on another file
    // system than the sync folder (a test's folders are on one).
    bool placeByCopyForTesting = false;
    // The settings and login steps of startup only: no thread, no monitor.
    // Returns what startup would (false on a refused login, true otherwise).
    // Tests then call pass steps on their own thread; shutdown() still
    // cleans up.
    bool configureAndLogInForTesting(Nuvaro::RecordList& settings, bool noStreamFactories,
                                     const std::string& networkFolderName, const std::string& teamFolderName,
                                     const std::string& teamFolderAccount);

protected:
    // The pass steps in pass order, then the state they share. Tests reach
    // them through a subclass that re-exports them
    // (engine/tests/WorkerFixture.h, TestWorker).

    // ==== The run loop and the pass driver (FSWorker_RunLoop.cpp) ============

    // The thread body. Sets `started`, then empties localChanges and the
    // pass state (pass.reset()), sets rescanRequested false,
    // curInterval to syncFrequency and localChangesPending true (the first
    // pass comes about a second after the start), and runs one cycle
    // (runCycle) after each wait on `queue` (intervals.queueWaitMs) until
    // `stop`. Never busy-waits: it blocks in the wait and inside a pass.
    void run() override;
    // Server-to-local half of a pass: login check, folder list (or status
    // sets), then per folder delta, staging and apply in rounds; re-login
    // after the folder loop. Returns the pass flag gotReply (true once a
    // folder list, status set or delta was accepted in this half, and the
    // last apply succeeded); serverHalf tells whether every folder was done
    // and whether a delta carried records. Rounds of one folder go on while
    // its two status strings differ and each round brings a new status;
    // `stop` ends them at once. A step that fails ends the folder work of
    // this half (later folders wait for the next pass).
    bool doSyncFromServer();
    // One further round (delta, staging, apply) for one folder; false when
    // the delta request or the staging failed.
    bool continueServerSync(std::string& folder, bool skipdetect, bool& gotReply);
    // Local-to-server half: the upload pass and its re-login; false when
    // nothing was uploaded (also before any reply was accepted since startup,
    // then without touching the status text or lastSync).
    bool doSyncToServer();
    // Reports the first item at the top level of the sync folder that lies
    // outside every synchronised folder (activity type 7, UI events 16, 4).
    // Never throws.
    void checkForUnsynced();

    // ---- Pass driver steps (FSWorker_RunLoop.cpp); worker thread only (the
    // ---- test's thread for a worker without its thread) ----
    // One cycle of the loop after a wait that brought `notification` (null:
    // the wait timed out): the notification, the periodic scan, the
    // unsynced check, the harvest of a finished scan, the pass when it is
    // due, a new scan when one is wanted and no local changes are pending.
    // False when `stop` ends the loop. Exceptions of a cycle are logged
    // ("run" + "Poco Exception caught : " ...) and the loop goes on.
    bool runCycle(Poco::Notification* notification);
    // One pass: curInterval back to syncFrequency, lastSync stamped, the
    // pass state reset, the server half; when it completed, the upload half
    // for the pending local changes that may go now
    // (keepSendableLocalChanges) and a second server half; at the end, the
    // report of the server changes held back in this pass. A busy server
    // (a delta with records at every pass) never holds the other local
    // changes back. Local changes are never dropped on a failure: a pass
    // whose server half failed keeps them (and the next pass waits its whole
    // interval); what server changes touched, what changed since the scan
    // and what the upload half did not send is found again by a new scan,
    // against the records just saved.
    void runSyncPass();
    // Seconds the next pass waits after the last: curInterval, or 1 while
    // local changes are pending, no back-off is in force and the last pass
    // did not fail.
    int passInterval() const;
    // Whole run-loop seconds (intervals.secondMs) since `since`.
    Poco::Int64 elapsedSeconds(const Poco::Timestamp& since) const;
    // Takes the results of a finished scan: its change list (when it found
    // changes), a rescan when the list was limited, the conflict notice;
    // then deletes it and sets the status "Idle".
    void harvestFolderCheck();
    // The half's progress over its folders: ok (no step failed so far) and
    // the pass flag gotReply.
    struct FolderRounds {
        bool ok = true;
        bool gotReply = false;
    };
    // The delta, staging and apply of one folder, then its further rounds,
    // from the progress `before`; a folder after a failed step only logs
    // the status line. Gives the progress after the folder.
    FolderRounds syncFolderInRounds(std::string& folder, bool skipdetect, FolderRounds before);
    // A delta was accepted in this half: note whether it carried records,
    // and the local paths of its records (pass.passPaths).
    void noteAcceptedDelta();
    // Adds to syncFolders the sync folders with changes held back that were
    // not tried in this pass yet (the server may have nothing new there).
    void addFoldersWithHeldBackChanges();

    // ==== What a pass may send (FSWorker_SendList.cpp) ========================

    // Narrows localChanges, after a completed server half, to what may be
    // sent now: never a change at, above or below a server change held back
    // (the server's version there was never placed); and when server changes
    // came in (serverChangesCameIn), only the changes their paths did not
    // touch (pass.passPaths: the same path, a path below one of them, or a
    // path above one that the server deleted or changed; a folder that is
    // there on the server holds back nothing below it) and that are still
    // as the scan saw them (unchangedSinceScan). The touched ones went
    // through the conflict rules of the apply step already. True when a
    // change was left out for a reason a new scan settles (touched, changed
    // since the scan); changes at a held-back path wait without one.
    bool keepSendableLocalChanges(bool serverChangesCameIn);
    // The local item of a change is still what the scan saw: a file of the
    // same size and modification second, a folder, or nothing for a removal
    // (links never count).
    bool unchangedSinceScan(const FSSyncRecord& change) const;
    // The re-login of a half when loggedIn is false. Refused: credentials,
    // two-factor or device code refused, or the device session timed out
    // (logged with refusedText, UI events 4 and 7 or 8, told at the console
    // through loginNotice; the server half
    // backs off 20 x syncFrequency, the upload half leaves curInterval).
    // Failed: any other failure (4 x syncFrequency; reported once unless it
    // is the network).
    enum class LoginOutcome { LoggedIn, Refused, Failed };
    LoginOutcome relogIn(const std::string& refusedText, bool serverHalf);
    // Stops, waits for and deletes a running scan, with the loop's trace
    // lines (the loop is ending).
    void stopFolderCheckForExit();

    // ==== Folder list and status sets (FSWorker_FolderList.cpp) ==============

    // Asks the server for the sync folders (the folder list, with the
    // external paths; the status sets, with the limit paths unless My Files
    // are disabled, then the external paths) and appends to syncFolders,
    // which the caller has emptied, the folders whose status set changed or
    // that were never synced; the sync database forgets the folders the
    // server no longer lists. Sets serverOk and gotReply when a non-empty
    // list was accepted; gotReply false when the server does not allow
    // syncing now. True when the pass may go on (also with no folder: no
    // path to ask for, an empty list); false when the step failed, with
    // syncFolders empty and nothing stored. A reply over 100 MiB (announced
    // or read), one that is cut short, or one that names an authentication
    // failure clears loggedIn. A reply that is not well-formed XML counts as
    // an empty list: nothing of it is used.
    bool doGetSyncFolderList(bool& gotReply);
    bool doGetSyncFolderStatusSet(bool& gotReply);

    // ==== Delta (FSWorker_Delta.cpp) =========================================

    // Asks for the folder's changes since its stored status set (an empty
    // status for a folder never synced) and, when the reply is accepted
    // (status SERVEROK, numrecords equal to the records received, protocol
    // version "2"), puts its records into serverChanges, stores the four
    // status strings, sets serverOk and gotReply, resets curInterval and
    // returns TRUE, also for a delta without records (the apply step then
    // stores the new status). A record the record reader refuses (a path
    // outside the sync folder, "..", a bad date or number) is left out with
    // an error report; the rest of the reply is still accepted, and such a
    // record counts as received for numrecords. FALSE for any failure;
    // nothing of that reply is kept: serverChanges is empty once a reply was
    // parsed (before that it keeps its contents), the stored status set is
    // untouched, so the next pass asks again. Transport failures (a status
    // other than 200, over 500 MiB announced or read on the wire, a gzip
    // body inflating to more than 100 times what came and more than 64 MiB,
    // a body cut short or not valid gzip, a network error) clear loggedIn; a
    // protocol version other than "2" stores the status strings and backs
    // off (curInterval 4 x syncFrequency).
    bool doGetSyncDelta(const std::string& folder, bool& gotReply);

    // ==== Staged downloads (FSWorker_Downloads.cpp) ==========================

    // Downloads every changed file of serverChanges into dataPath/.cache
    // through a transfer pool; true when every download succeeded. The
    // staging folder and the folders in it are made 0700 (an existing
    // staging folder too), the staged files are 0600.
    bool doDownloadFiles(const std::string& folder, bool skipdetect);

    // Steps of doDownloadFiles (worker thread).
    // The local file at localPath already holds the record's content: same
    // size and, with "checkcrc" "1", the same checksum as the server's copy,
    // otherwise the same modification time to the whole second.
    bool localCopyUnchanged(const FSSyncRecordPtr& record, const std::string& localPath);
    // A staged file left by an earlier attempt is the record's download: same
    // size and modification time to the whole second (a finished download
    // gets the record's time), and "checkcrc" is off. When true, the
    // record's attributes and time are set on it again.
    bool reuseStagedFile(const FSSyncRecordPtr& record, const std::string& stagedPath);
    // The access check of an item under "/EXTERNAL/": Granted; Denied (the
    // record is flagged "SKIP" and its folder remembered in noAccessPaths);
    // Failed (the request failed, reported).
    enum class AccessCheck { Granted, Denied, Failed };
    AccessCheck checkExternalAccess(const FSSyncRecordPtr& record, const std::string& remotePath);
    // A server change this device cannot place (LocalPlaces): its local
    // path passes through a link (for a folder record that is not deleted,
    // a link at the folder's own name counts too), or its name or path
    // cannot exist here (in the sync folder or in the staging folder). The record is flagged
    // "SKIP", so the download and the apply step pass over it and the rest
    // of the delta is placed and saved, with one log line and one activity
    // entry; true then. A record with a path outside the sync folder is left
    // to the checks that refuse it.
    bool refuseUnplaceable(const FSSyncRecordPtr& record);

    // ==== Applying a delta (FSWorker_Apply.cpp) ==============================

    // Applies serverChanges to the sync folder `folder` (its server path):
    // loads the folder's records (false, nothing applied, when they do not
    // load completely), merges the delta into them (false when the merge
    // fails: an error entry, nothing saved), removes what the server deleted
    // (doEndSyncDeleteFiles), creates folders, places the staged files or
    // conflict copies (deepest first), then saves the records and only after
    // them the status set remoteStatus, clears the error entries, empties
    // serverChanges and noAccessPaths and removes the folder's staging tree
    // (but for the staged files of held-back changes). The files it is
    // about to place are noted in the placement journal first
    // (FSWorker_Journal.cpp), so that a step killed before its save is
    // recognised by the next one. A record that cannot be placed (a folder
    // that cannot be made or written, a file standing where a folder goes)
    // holds back only itself (holdBack): the rest is placed and saved, and
    // the held change, remembered before the save (rememberHeldBack), is
    // tried again at the next pass.
    // True when everything was placed or held back, and saved; false when
    // stopped, remembering the held changes failed, the save failed or an
    // exception was caught: the stored status set then stays, so the next
    // pass asks for the same changes again (what was already placed is
    // found identical then). An accepted empty delta stores remoteStatus as
    // the folder's status set.
    bool doEndSync(const std::string& folder);
    // What the conflict check saw at a local path (lstat, links not
    // followed): whether anything was there and which file with which size
    // and modification time (to the nanosecond).
    struct LocalFileState {
        bool exists = false;
        LocalFileVersion version; // of the entry itself, when it exists
        mode_t mode = 0;
        static LocalFileState of(const std::string& path);
        // Same entry, same size, same modification time.
        bool sameAs(const LocalFileState& other) const;
    };
    // How copyToFile ended.
    enum class Placement {
        Failed,   // reported; the local file stays as it was
        Placed,   // the server's file is at localPath
        UserSaved // the local file changed after `seen`: it stays, and the
                  // server's file went beside it as a conflict copy
    };
    // Places the staged copy at localPath without ever leaving it missing or
    // half-written: copied into a temporary file beside it, given the
    // record's time and the replaced file's permissions; then, just before
    // the rename over localPath, the local file is looked at once more: when
    // it is no longer what the conflict check saw (`seen`: a save during the
    // copy), the temporary file goes and the server's file is placed as a
    // conflict copy instead (copyToConflictFile). Otherwise the rename, the
    // staged copy deleted and, when addActivity, a download entry added.
    Placement copyToFile(FSSyncRecordPtr& record, const std::string& localPath, bool addActivity,
                         const LocalFileState& seen);
    // True when the local file must not simply be replaced; `identical`
    // (preset false by the caller) set when it already is the server's
    // (same size and second, or checksum). False, with the file untouched,
    // when nothing is there or the file is unchanged since the last sync
    // (same size and second as its stored record, not in the send list) and
    // may be replaced. A local folder of that name, a link (dangling or
    // not: it stays a link), a name that exists only in another Unicode
    // form, a missing stored record or a local edit make it a conflict.
    bool isConflictedFile(FSSyncRecordPtr& record, const std::string& localPath, bool& identical);
    // A record of localChanges has this local full path (or, byParent, this
    // local parent).
    bool inSendList(const std::string& path, bool byParent);
    // Places the staged server copy beside the local file under a conflict
    // name (NameRules::conflictCopyName), then removes older copies of the
    // same file from the same device; false after a report.
    bool copyToConflictFile(FSSyncRecordPtr& record, const std::string& localPath);
    // The folder exists afterwards (created with its parents when missing);
    // false (reported) when it cannot be made, a file is in the way, or the
    // path lies outside the sync folder.
    bool createFilePathIfNeeded(const std::string& path);
    // The Unicode-normalised existence test (caseSensitiveFileExists):
    // through stepFolderNames during the apply step's placements, so that a
    // folder is read once per step, else by reading the folder.
    bool nameExists(const std::string& path);
    // The step made or removed the entry at `path`: stepFolderNames follows.
    void noteAdded(const std::string& path);
    void noteRemoved(const std::string& path);
    bool processDirectoryRecord(FSSyncRecordPtr& record, const std::string& localPath);
    // Stores the local file's modification text and checksum in the record,
    // as "checkmodtime" and "checkcrc" ask.
    void updateObjectProps(const std::string& localPath, FSSyncRecordPtr& record);
    // The same for one version of the file at localPath (an upload's version
    // sent, which the file may no longer be): the modification text of that
    // version, and a checksum only when the file still is that version while
    // it is read (else none).
    void recordLocalVersion(const std::string& localPath, FSSyncRecordPtr& record, const LocalFileVersion& version);

    // ---- Apply step helpers (FSWorker_Apply.cpp); worker thread only ----
    // What one doEndSync did, for its summary.
    struct ApplyCounts {
        int changed = 0;
        int conflicts = 0;
        int removed = 0;
        std::size_t uploaded = 0;
    };
    // The local path of the record, syncPath + "/" + its local full path,
    // when that path lies inside the sync folder (relative, without empty,
    // "." or ".." components); otherwise logs the refusal and gives false.
    bool localPathOf(const FSSyncRecord& record, std::string& localPath) const;
    // The guard of every step that creates, writes, replaces or removes
    // below the sync folder: true when no folder between the sync folder and
    // localPath (nor localPath itself when withItem) is a link; otherwise
    // logs the refusal and gives false. Paths outside the sync folder are
    // refused by their own checks.
    bool noLinkOnTheWay(const std::string& localPath, bool withItem) const;
    // Where the download step staged the record's file:
    // dataPath + "/.cache/" + its local full path.
    std::string stagedPathOf(const FSSyncRecord& record) const;
    // Merges serverChanges into the store; false (logged, error entry) when
    // the merge refused the delta.
    bool mergeDelta(Nuvaro::DataSync::DataSyncStore& store);
    // Steps of one record of the sorted delta at `index` of `count`: true
    // when the record was placed or had nothing to place; false when it
    // could not be placed (doEndSync then holds it back, holdBack).
    bool applyRecord(std::size_t index, std::size_t count, ApplyCounts& counts);
    bool applyFileRecord(FSSyncRecordPtr& record, const std::string& localPath, bool addActivity,
                         ApplyCounts& counts);
    // Saves the store, then the status set remoteStatus; clears the error
    // entries. False (reported) when either write fails.
    bool saveApplied(const std::string& folder, Nuvaro::DataSync::DataSyncStore& store);
    // Removes the folder's staging tree (failures are ignored).
    void removeStagingTree(const std::string& folder);
    // Deletes the conflict copies of fileName made by `device` in `folder`
    // (by their NFC names), all but newCopy; failures are ignored.
    void removeOlderConflictCopies(const std::string& folder, const std::string& fileName, const std::string& device,
                                   const std::string& newCopy);

    // ==== Upload pass (FSWorker_Uploads.cpp) =================================

    // Sends localChanges: the delete-approval gate (removals and files
    // emptied to zero bytes count), the remote deletes, then every new
    // folder (shallow first, so a folder before its content), then the files
    // through a transfer pool (in pieces above 20971520 bytes). uploadedThisPass
    // is emptied first and then holds every folder created and file sent.
    // When the gate refuses, only the removals wait (with the new items that
    // take a removed item's place, a file replaced by a folder or the other
    // way round): they are neither deleted nor sent, and are back in
    // localChanges when the step returns; everything else is sent.
    // True when everything was sent; false when the gate held the removals
    // back, a folder could not be created, a file was missing, a job could
    // not start or failed, `stop` came, or an exception was caught.
    // lastSendOutcome tells which. Every job started is waited for before it
    // returns, whatever happened. One item that cannot be handled holds back
    // only itself: a file that vanished since the scan is reported and
    // skipped and a new scan asked for; a folder the server does not make
    // is reported and nothing below it is sent; a file whose upload fails is
    // reported; the rest is still sent in each case.
    bool doSendFiles();

    // ---- Upload steps (FSWorker_Uploads.cpp); worker thread only ----
    // Upload steps. createRemoteFolders: every new folder of the sorted
    // localChanges; a folder the server does not make (reported) goes into
    // `refused` (local full paths) with every new folder below it, and the
    // rest are still made.
    void createRemoteFolders(std::size_t total, std::set<std::string>& refused);
    // Queues the upload of one file record at `position` of `total`:
    // Queued; Missing when the file is gone (reported, nothing queued);
    // Refused when the pool refused the job.
    enum class UploadQueued { Queued, Missing, Refused };
    UploadQueued queueUpload(FSSimulWorker& pool, const FSSyncRecordPtr& record, std::size_t position,
                             std::size_t total);
    // Posts a DirChangeNotification when the queue is empty (a new scan).
    void requestScanAfterUploadFailure();

    // ==== Deletes (FSWorker_Deletes.cpp) =====================================

    // Server-side deletions of serverChanges (sorted deepest first); adds the
    // items removed locally to `removed`.
    void doEndSyncDeleteFiles(int& removed);
    // Removes the local item of a deleted record when nothing of value would
    // go: a file only when it is unchanged since its stored record (same
    // size and second, or checksum) and not in the send list; a folder only
    // when canDeleteDirectory. True when the record counts as removed. A
    // kept folder is logged and recorded as a skipped local item.
    bool processRecordDelete(FSSyncRecordPtr& record, const std::string& localPath);
    // The folder (not a link) is empty or holds only clutter: system files
    // (".DS_Store", "._" forks, ".directory", "Thumbs.db", "desktop.ini",
    // ...), editor backups beginning with "~", conflict copies of the whole
    // form, our own temporary files, and folders holding only such things.
    // Any other name, hidden ones included, keeps it.
    bool canDeleteDirectory(const std::string& path);
    // Deletes on the server every removed record of localChanges (sorted
    // shallow first), skipping items below a folder it has just deleted;
    // false when stopped or on an exception.
    bool doDeleteFiles();

    // ---- Delete helpers (FSWorker_Deletes.cpp); worker thread only ----
    // canDeleteDirectory's walk: false with `kept` the first entry (a direct
    // entry of path) that keeps the folder, "" when path is no folder or
    // cannot be listed in full.
    bool junkOnlyFolder(const std::string& path, std::string& kept);

    // ==== Transfer jobs and callbacks (FSWorker_Transfers.cpp) ===============

    // Runs simulImpl on a copy of ctx on the default pool (simulMethod); the
    // pool's exception (no free thread) passes through.
    Poco::ActiveResult<ActiveThreadContext> startJob(const ActiveThreadContext& ctx) override;
    // requestCanceller: shutdown ends the transfers in flight at once.
    Nuvaro::RequestCancelHook* transferCancelHook() override { return &requestCanceller; }
    // One upload (mode 0) or download (mode 1) with the job's connector;
    // reports through the callbacks; returns the context with ok and error.
    ActiveThreadContext simulImpl(const ActiveThreadContext& ctx);
    // Pool threads. uploadOK: activity entry and uploadedThisPass.insert of
    // the path with the version the server stored (ctx.sent).
    void uploadOK(ActiveThreadContext& ctx);
    // Activity entry, UI events, loggedIn false, a DirChangeNotification when
    // the queue is empty.
    void uploadFailed(ActiveThreadContext& ctx);
    // Does nothing: the apply step places staged files.
    void downloadOK(ActiveThreadContext& ctx);
    // doRecheckRecord of the server path, then reportError.
    void downloadFailed(ActiveThreadContext& ctx);

    // ==== The worker's own requests (FSWorker_Requests.cpp) ==================

    // The request procedure of every request of the worker (these and the
    // passes'), through the connector's exchange: traces the operation,
    // takes the connector's headers and cookies (NotPrepared, error line,
    // when it is not logged in), opens a session (HTTPS for an "https"
    // server) set up as setupHTTPProps says, sends an HTTP/1.0 request
    // (head: the connector's headers, Content-Type, Content-Length, then
    // Accept-Encoding), and receives the reply: status and length are
    // reported, the body read unless it is too large. The body must be
    // whole: one shorter than its Content-Length, a chunked one without its
    // last chunk or a gzip one without its end throws
    // Poco::Net::MessageException or Poco::IOException. The exchange can be
    // cut short by shutdown. Exceptions (network, time-out, cut short) reach
    // the caller, whose boundary logs them with its own words.
    void sendSyncRequest(const SyncRequest& request, SyncReply& reply);
    // The records named recordName (and the meta records) of a reply body;
    // a body that is not XML is logged (its parse error) and gives what was
    // read before the error.
    static ParseResult parseReply(const std::string& recordName, const std::string& body);

    // Session set-up of every request of the worker: 300 s time-out and the
    // proxy of settings[0] (applyProxySettings: none without both host and
    // port). Throws Poco::InvalidArgumentException for a proxy port that is
    // not a number from 1 to 65535, so the request fails instead of going to
    // another port.
    void setupHTTPProps(boost::shared_ptr<Poco::Net::HTTPClientSession>& session);
    // Asks the server to send the item at `path` again (POST
    // "/app/sync/recheckrecord"). True unless the connector is not logged
    // in: other failures are logged only and never clear loggedIn. Any
    // thread: a transfer job passes its own connector as `via` (empty: the
    // worker's connector, worker thread only).
    bool doRecheckRecord(const std::string& path, const boost::shared_ptr<NuvaroConnector>& via = {});
    // Tells the server to skip the upload of the record; true on result
    // "true" or "1".
    bool doSkipUpload(boost::shared_ptr<FSSyncRecord> record);
    // The server's checksum of the first `length` bytes of the record's file;
    // true with checksum set on result "true" or "1".
    bool getCheckSum(boost::shared_ptr<FSSyncRecord> record, Poco::Int64 length, std::string& checksum,
                     bool download);
    // Takes the server's sync lock. Logs in first when not logged in (then
    // false: the caller tries again). True with locked set and uploadPath
    // stored when the server granted it with sync version "2"; another
    // version is reported and backs the worker off (4 x syncFrequency).
    bool doLock();
    // Releases the sync lock; true (locked false) even when the server says
    // it failed, true with locked unchanged after an exception.
    bool doUnlock();
    // Stops any previous refresh, then creates one for `hostname` and starts
    // it when the connector is logged in.
    void startRefreshLockActivity();
    // Stops the refresh (at once, also with a refresh in flight), waits for
    // it and deletes it.
    void stopRefreshLockActivity();

    // ==== Helpers the pass steps share (FSWorker.cpp) ========================

    // Each writes its name as a trace line on "Sync" and returns 0.
    int doBeginTransaction();
    int doEndTransaction();

    // The one way a failure reaches the user: error line "ERROR: " + message
    // + " Path: " + path, UI event 4 with the message, an activity entry
    // (level 2, `type`, message, path, friendlyName), UI event 16. Any thread.
    void reportError(const std::string& message, const std::string& path, const std::string& friendlyName,
                     FSActivity::Type type);
    // Adds an activity entry of level 2 (the only level the worker writes)
    // through stepActivities: collected while a step is open, else stored at
    // once. A failed write is only logged by the database: it never stops a
    // step. Any thread.
    void logActivity(FSActivity::Type type, const std::string& message, const std::string& path,
                     const std::string& friendlyName);
    // The same for the answers of a server that keeps saying no (sync not
    // allowed, an empty folder list, a failed login): reported once while
    // it keeps giving the same answer, later passes only log the error
    // line. Worker thread only. clearRefusal() (a pass that completed)
    // makes the next one reported again.
    void reportRefusal(const std::string& message);
    void clearRefusal();

    // The two change-check switches ("checkmodtime", "checkcrc") as a fresh
    // settings list of their own, for AttributeManager::sameFileCRC and
    // advancedSizeChecks, which write to the map they are given: never hand
    // them `settings`, which the scan's pool thread reads.
    Nuvaro::RecordList changeCheckSettings() const;
    // A value of settings[0], "" when absent (read with find).
    std::string setting(const std::string& key) const;
    // Every folder of the sync folder is watched by a running monitor.
    bool changeMonitorComplete() const;
    // The run loop's limit for a forced rescan, in seconds since lastScan; 0
    // when forced rescans are off. totalSecsWithoutScan -1 stands for 36000,
    // 0 or another negative value is off, and so is every value while
    // ignoreFileChanges is set. While the monitor cannot watch the whole
    // sync folder (it did not start, or the watch limit was reached), the
    // limit is at most syncFrequency, so changes are still found.
    int periodicScanSeconds() const;
    // Tells the user when the monitor's count of unwatched folders changed:
    // keeps the notice of getWatchNotice, and when folders became
    // unwatched, logs it and raises UI event 4 with it (value: the count).
    void reportWatchLimit(int scanSeconds);

    // ==== Housekeeping (FSWorker_Housekeeping.cpp) ===========================

    // cleanShared("Shared with Me"), then cleanShared("Team Folders").
    void cleanOldSyncFolders();
    // Wipes the folders under monitorPath/rootName (and one level below the
    // protected ones) that no listed "/SHARED/" sync folder covers any more.
    // A candidate is protected when its path equals, lies above or lies
    // inside the local path of such a folder, compared by whole path
    // components. Single files stay; links are never followed.
    void cleanShared(const std::string& rootName);
    // Run once when the worker thread starts, before any pass: removes the
    // temporary files that replacements interrupted by a crash left beside
    // their targets (".NAME.UUID.tmp", Nuvaro::Util::isReplacementTemporaryName)
    // anywhere below the sync folder, when no record names them: a server
    // file that merely has that form has its record and stays. Links are
    // never followed; one log line per file removed.
    void removeLeftoverReplacements();
    // Replaces the current folder scan with a fresh one (nothing before the
    // first accepted server reply, serverOk); clears rescanRequested and
    // stamps lastScan.
    void restartFolderCheckActivity();

    // ---- The placement journal (FSWorker_Journal.cpp); worker thread only.
    // ---- See there for why and how. ----
    // A file an apply step places: the record's size, modification time
    // (UTC unit of the records) and local path below the sync folder.
    struct Placed {
        Poco::Int64 size = 0;
        Poco::Int64 modified = 0;
        std::string localFullPath;
    };
    struct PlacementJournal {
        // The folder's stored status set when the step began.
        std::string status;
        // By server path.
        std::map<std::string, Placed> files;
        // The journal of the sync folder `folder` as text.
        std::string text(const std::string& folder) const;
        // Adds the journals of a journal file's text by folder, but for the
        // folder `leaveOut` when given (its lines are still checked); false
        // for a text that is not one.
        static bool parse(const std::string& text, std::map<std::string, PlacementJournal>& journals,
                          const std::string* leaveOut = nullptr);
    };
    // The journal file's journals by folder, but for the folder `leaveOut`
    // when given (none when there is no file or it cannot be read).
    std::map<std::string, PlacementJournal> readPlacementJournals(const std::string* leaveOut = nullptr) const;
    // Replaces the folder's journal in the file (an empty one removes it,
    // the file goes with the last one); false (logged) when that failed.
    bool storePlacementJournal(const std::string& folder, const PlacementJournal& journal);
    // Fills unsavedPlacements from the folder's journal when it comes from a
    // step that did not save (its status is still the stored one).
    void loadUnsavedPlacements(const std::string& folder);
    // Stores, in one write, unsavedPlacements and every file serverChanges
    // is about to place, with the folder's stored status set; nothing when
    // there is neither. False (reported) when the write failed: nothing may
    // then be placed.
    bool writePlacementJournal(const std::string& folder);
    // After the records and status were saved: the journal keeps only the
    // unsaved placements no delta mentioned yet (none once the server's full
    // status was reached), in one write, or is emptied.
    void settlePlacementJournal(const std::string& folder);
    // The local file (size, modification time in the records' unit) is what
    // an unsaved step placed for the server path fullPath: same size and
    // same modification second.
    bool placedByUnsavedStep(const std::string& fullPath, Poco::Int64 size, Poco::Int64 modified) const;
    // Once the server's full status is reached: removes the files unsaved
    // steps placed that the delta no longer carries and no record names
    // (deleted on the server meanwhile), when they are exactly as placed.
    void removeUnclaimedPlacements();

    // ---- Server changes held back (FSWorker_HeldBack.cpp); worker thread
    // ---- only. See there for why and how. ----
    // The first failure report of the record being placed, while
    // captureFailure is set (reportError and placementError fill it):
    // given once for the record when it is held back.
    struct FailureReport {
        bool captured = false;
        // From reportError (else an error line).
        bool reported = false;
        std::string message;
    };
    // Sets captureFailure for its life and gives what was captured.
    class FailureCapture {
    public:
        explicit FailureCapture(FSWorker& worker);
        ~FailureCapture();
        FailureCapture(const FailureCapture&) = delete;
        FailureCapture& operator=(const FailureCapture&) = delete;
        const FailureReport& report() const { return m_worker.capturedFailure; }

    private:
        FSWorker& m_worker;
    };
    // An error line of a placement step: while a record's placement is
    // captured it is logged at debug level and kept as the record's
    // failure (when nothing was captured yet), else at error level.
    void placementError(const std::string& line) const;
    // Adds the changes held back for the sync folder, once per pass, to the
    // delta just accepted, but for those of a server path the delta carries
    // itself (a newer change of the path takes the place of the held one).
    void retryHeldBack(const std::string& folder);
    // The record at `index` of serverChanges could not be placed: its change
    // is taken back from the store (the database keeps what it held for the
    // item, so the local file stays "unchanged since the last sync" and the
    // conflict rules see it as before), it joins `held`, and the pass
    // reports it once when it ends.
    void holdBack(std::size_t index, Nuvaro::DataSync::DataSyncStore& store, const FailureReport& failure,
                  HeldBackChanges::Records& held);
    // Before the status set of the folder is saved: the changes held back
    // before and those of this step, in one write (false, reported, when
    // that failed: nothing may then be saved).
    bool rememberHeldBack(const std::string& folder, const HeldBackChanges::Records& held);
    // After the save: the folder keeps only the held changes of this step
    // and the earlier ones whose path its delta did not carry.
    void settleHeldBack(const std::string& folder, const HeldBackChanges::Records& held);
    // One error line, one activity entry and UI events per change held
    // back in this pass (reportError), after every step of the pass.
    void reportHeldBack();

    // ==== State ================================================================

    // ---- Thread machinery: built by the constructor. The Poco objects are
    // ---- thread-safe; `stop` is written by shutdown, read everywhere. ----
    // Runs simulImpl on the default pool; bound by the constructor.
    std::unique_ptr<SimulMethod> simulMethod;
    Poco::Thread thread;
    // Set by run as its first act; startup waits for it.
    Poco::Event started;
    // DirChangeNotification, ForceDirChangeNotification.
    Poco::NotificationQueue queue;
    // Set by shutdown.
    Poco::Event stopEvent;
    // The loop ends, steps skip their rest, the scan quits (its quit flag),
    // chunked uploads cancel (their cancel flag).
    std::atomic<bool> stop{false};

    // ---- Constant after construction ----
    const std::string syncPath;
    // Downloads are staged in dataPath + "/.cache".
    const std::string dataPath;
    // Handed to the monitor and to cleanShared.
    const std::string monitorPath;
    // The pointer is constant; the database locks itself (any thread).
    boost::shared_ptr<FSSyncDB> db;
    const bool myFilesDisabled;

    // ---- Settings: written by startup's settings step before the thread
    // ---- starts, read-only afterwards (any thread) ----
    // Element 0: a private copy of the settings map given to startup.
    Nuvaro::RecordList settings;
    // The device identifier; also the lock name.
    std::string hostname;
    std::string friendlyName;
    std::string networkFolderName;
    std::string teamFolderName;
    std::string teamFolderAccount;
    bool checkModTime = false;
    bool skipDeleteApproval = false;
    bool ignoreFileChanges = false;
    bool removeUnshared = false;
    bool noStreamFactories = false;
    int maxThreads = 0;
    // -1 stands for 36000 s.
    int totalSecsWithoutScan = -1;
    int deleteApprovalPct = 10;
    // Told of every login of the stored account (logIn, relogIn); the
    // object locks itself.
    std::shared_ptr<LoginRefusalNotice> loginNotice = std::make_shared<LoginRefusalNotice>();
    // Set before startup (tests); read-only afterwards.
    Intervals intervals;

    // ---- Reply limits of the folder list, the status sets and the delta
    // ---- (FSWorker_FolderList.cpp, FSWorker_Delta.cpp): set before the
    // ---- steps run (tests lower them), read-only afterwards ----
    struct ReplyLimits {
        // Bytes of a folder-list or status-set reply.
        Poco::Int64 folderList = 104857600;
        // Bytes of a delta reply on the wire (compressed when gzipped).
        Poco::Int64 delta = 524288000;
        // An inflated delta may give max(deltaInflateFloor,
        // deltaInflateRatio x its bytes on the wire) (a delta compresses
        // about 12 times; a compression bomb far more).
        Poco::Int64 deltaInflateRatio = 100;
        Poco::Int64 deltaInflateFloor = 67108864;
    };
    ReplyLimits replyLimits;

    // ---- Pass flags: atomics, any thread ----
    struct PassFlags {
        // The worker's connector is logged in; false makes the next pass
        // log in again (uploadFailed clears it on a pool thread).
        std::atomic<bool> loggedIn{false};
        // A folder list, status set or delta was accepted since startup (reset
        // only by startup); the upload half and the scan restart wait for it.
        std::atomic<bool> serverOk{false};
        // From startup until the scan after the first accepted reply was
        // requested.
        std::atomic<bool> firstDeltaPending{false};
        // Local changes wait for a pass; the next pass starts after 1 s.
        std::atomic<bool> localChangesPending{false};
        // A folder scan is wanted.
        std::atomic<bool> rescanRequested{false};
        // The worker holds the server's sync lock.
        std::atomic<bool> locked{false};
        // The last pass did not complete (a server step or an upload
        // failed): pending changes do not shorten the next interval to 1 s,
        // so a failing server is not asked every cycle. Cleared by a pass
        // that completes and by checkForFSChanges (the user asks).
        std::atomic<bool> lastPassFailed{false};
    };
    PassFlags flags;

    // ---- Pass interval, seconds: atomics (checkForFSChanges resets it from
    // ---- the application's threads) ----
    // In force now; back-off sets 4 or 20 x syncFrequency.
    std::atomic<int> curInterval{120};
    // Setting "syncfrequency" (written by startup).
    std::atomic<int> syncFrequency{120};

    // ---- The user's last delete approval: the count and its time change
    // ---- together, under their own lock (the application's threads record,
    // ---- the worker thread reads and uses it up) ----
    DeleteApproval approval;

    // ---- The refusal reported last (reportRefusal); worker thread only ----
    std::string reportedRefusal;

    // ---- Status text: guarded by statusMutex (writers wait at most
    // ---- intervals.statusLockWaitMs, readers only try) ----
    std::string status = "CloudSync";
    std::string watchNotice;
    Poco::Mutex statusMutex;

    // ---- What this pass uploaded: own lock (see UploadedPaths) ----
    UploadedPaths uploadedThisPass;

    // ---- The activity entries of the running step: own lock (see
    // ---- StepActivities); every entry the worker adds goes through it ----
    StepActivities stepActivities;

    // ---- The folder names of the running apply step's placements; worker
    // ---- thread only; empty outside the placements (see StepFolderNames) ----
    std::unique_ptr<StepFolderNames> stepFolderNames;

    // ---- Worker thread only (the application's thread before the thread
    // ---- starts and after it was joined) ----
    // The current folder scan; its pool thread reads `stop`.
    std::unique_ptr<FolderCacheActivity> folderCheck;
    // The lock refresh (its own pool thread).
    std::unique_ptr<RefreshLockActivity> refreshLock;
    // Start of the last folder scan, of the last server half, of the last
    // pass, of the last conflict notice, of the last unsynced check.
    Poco::Timestamp lastScan;
    Poco::Timestamp lastServerCheck;
    Poco::Timestamp lastSync;
    Poco::Timestamp lastConflictNotice;
    Poco::Timestamp lastUnsyncedCheck;
    // The monitor's count of unwatched folders when last reported.
    std::size_t reportedUnwatched = 0;
    // The worker's own connector. Replaced and dropped only under
    // lifecycleMutex by startup and shutdown; transfer jobs never use it
    // (they have their slot's connector).
    boost::shared_ptr<NuvaroConnector> connector;
    // The change list of the last finished scan; the send list.
    RecordVector localChanges;
    // "uploadpath" of the last granted lock.
    std::string uploadPath;
    // The state of one pass, emptied by reset() where a pass starts (and
    // when the thread starts).
    struct PassState {
        // Records changed by the last delta.
        RecordVector serverChanges;
        // The folders that need work in this server half: (name,
        // skipdetect); emptied before each folder list.
        std::vector<std::pair<std::string, bool>> syncFolders;
        // The local full paths of the records of every delta accepted in
        // this pass (held-back changes tried again included), and those of
        // them that are folders the server has (not deletions); gathered
        // only while local changes wait to be sent.
        std::set<std::string> passPaths;
        std::set<std::string> passLiveFolders;
        // Sync folders whose held-back changes were tried in this pass.
        std::set<std::string> retriedFolders;
        // The changes held back in this pass, by server path, with their
        // failure and their local full path and friendly name.
        struct Held {
            FailureReport failure;
            std::string localFullPath;
            std::string friendlyName;
        };
        std::map<std::string, Held> heldThisPass;
        // Server folders found without read or write access while a delta
        // is staged; emptied with the delta.
        std::set<std::string> noAccessPaths;
        // The status strings of the last delta reply.
        std::string remoteStatus;
        std::string remoteFullStatusSet;
        std::string remotePeer;
        std::string localStatus;

        // Empties every field.
        void reset() { *this = PassState(); }
        // Forgets the delta (serverChanges, noAccessPaths): it was applied,
        // or a new reply replaces it, or the pass ended. The list's memory
        // goes too (a first sync's list holds the whole server tree). The
        // status strings stay.
        void dropDelta() {
            RecordVector().swap(serverChanges);
            noAccessPaths.clear();
        }
    };
    PassState pass;
    // The change monitor (startup and shutdown only, under lifecycleMutex).
    boost::shared_ptr<FSMonitor> monitor;

    // ---- Lifecycle: startup and shutdown, any application thread ----
    // Held while startup starts the thread and monitor and while shutdown
    // tears them down; startup starts nothing once `stop` is set.
    std::mutex lifecycleMutex;
    // The thread was started and is not joined yet (under lifecycleMutex).
    bool threadJoinable = false;
    // Requests of the worker in flight; shutdown cuts them short.
    RequestCanceller requestCanceller;

    // ---- Pass steps' state (FSWorker_RunLoop.cpp, FSWorker_Uploads.cpp,
    // ---- FSWorker_Deletes.cpp, FSWorker_Journal.cpp); worker thread only ----
    // What the current server half found (reset at its start).
    struct ServerHalfState {
        // Every folder that needed work had its delta accepted and applied:
        // no step failed and no stop came.
        bool complete = true;
        // A delta of this half carried at least one record.
        bool deltaHadRecords = false;
    };
    ServerHalfState serverHalf;
    // Passes begun since the thread started (any thread may read it).
    std::atomic<int> passesStarted{0};
    // How the last doSendFiles ended.
    SendOutcome lastSendOutcome = SendOutcome::NotRun;
    // The time the gate compares an approval's age with: the real clock
    // unless a test sets it.
    std::function<Poco::Timestamp()> approvalClock;
    // The count the gate last held back and announced; 0 when none.
    Poco::Int64 heldBackCount = 0;
    // Files placed by an apply step of the current folder that never saved
    // its records (from the journal), by server path.
    std::map<std::string, Placed> unsavedPlacements;
    // The server changes held back, by sync folder (dataPath/.heldback).
    HeldBackChanges heldBack;
    // While set, reportError and placementError fill capturedFailure
    // instead of reporting (FailureCapture; the apply step's placements:
    // no transfer job runs then, so no other thread reports meanwhile).
    std::atomic<bool> captureFailure{false};
    mutable FailureReport capturedFailure;
    // The current step wrote its journal.
    bool placementJournalWritten = false;

private:
    // The steps' own helpers, used only inside the class.

    // startup's steps. applySettings: the status, the options from
    // settings[0], the flags; logIn: the connector and its login (false on a
    // refused login); startThreadAndMonitor: the thread, `started`, the
    // monitor (false when shutdown came first).
    void applySettings(Nuvaro::RecordList& settings, bool noStreamFactories, const std::string& networkFolderName,
                       const std::string& teamFolderName, const std::string& teamFolderAccount);
    bool logIn();
    bool startThreadAndMonitor();
    // Stops everything the worker runs (see "Shutdown order").
    void stopAll();
    // Stops, waits for and deletes the current scan.
    void discardFolderCheck();
    // The status texts under statusMutex: a copy of `text` (status or
    // watchNotice), or whenBusy while a writer holds the lock; a write waits
    // at most intervals.statusLockWaitMs and says whether it got the lock.
    std::string readStatusText(const std::string& text, const std::string& whenBusy);
    bool writeStatusText(std::string& text, const std::string& value);
    // The common reply rule of doSkipUpload, getCheckSum, doLock, doUnlock:
    // status 200 and an acceptable length, else an error line and loggedIn
    // false.
    bool replyAccepted(const std::string& operation, const SyncReply& reply);
    // The first record of a "command" reply says result "true" or "1".
    static bool commandSucceeded(const ParseResult& reply);
    static SyncRequest getRequest(const std::string& operation, const std::string& uri);
    // A POST of a form body.
    static SyncRequest postRequest(const std::string& operation, const std::string& uri, const std::string& body);
    // A GET answered by a "command" record (skip upload, checksum): Done
    // (result "true" or "1") or Refused, with the record's message; None
    // when there is no record (not logged in, a refused reply, no record).
    enum class CommandAnswer { None, Done, Refused };
    CommandAnswer askCommand(const std::string& operation, const std::string& uri, std::string& message);
    // "?friendly=" + encoded friendlyName + "&name=" + encoded hostname.
    std::string deviceQuery() const;
    // The login part of doLock (not logged in, or the connector refused to
    // prepare a request).
    void relogInForLock();

    // Folder list and status sets (FSWorker_FolderList.cpp).
    // "count=" + n + "&path1=" + first path + ... (values encoded).
    static std::string pathsBody(const std::vector<std::string>& paths);
    // How a reply of the folder list, the status sets or the delta ended:
    // whether the pass may go on, and what it does to the pass flag
    // gotReply (an accepted reply sets it, a server that does not allow
    // syncing now clears it, anything else leaves it).
    struct ReplyStep {
        enum class Flag { Kept, Set, Cleared };
        bool ok = false;
        Flag gotReply = Flag::Kept;
        // Applies gotReply to the caller's flag; gives ok.
        bool apply(bool& flag) const;
    };
    // Sends a folder-list or status-set request and applies the reply rule
    // of doGetSyncFolderList; folderList chooses the words of an empty list.
    ReplyStep askForSyncFolders(const SyncRequest& request, bool folderList);

    // Delta (FSWorker_Delta.cpp).
    // The records of a delta reply, each built as its element ended.
    struct DeltaRecords {
        // Every record element read (numrecords counts them all).
        Poco::Int64 received = 0;
        // The records the record reader took, in reply order.
        RecordVector accepted;
        // Full path and friendly name of each record it refused.
        std::vector<std::pair<std::string, std::string>> refused;
    };
    // Reports a delta reply refused for its size (outcome TooLarge or
    // TooInflated) in the words of the bound it went past.
    void reportDeltaTooLarge(const SyncReply& reply);
    // The reply rule of doGetSyncDelta for a parsed reply of status 200;
    // moves the accepted records into serverChanges when the reply passes.
    ReplyStep acceptDeltaReply(DeltaRecords& records, const Nuvaro::RecordList& meta);
};

} // namespace Sync
} // namespace Nuvaro
