// FSWorker: the upload pass, the local-to-server half of a sync pass.
// The gate and the remote deletes come first (a refusing gate holds back
// the removals only, see ApprovalHold); the new folders go on the worker's own
// connector, shallow first, so that each folder exists before anything is
// uploaded into it; the files go through a transfer pool of
// min(maxthreads, changes) slots, each on its own logged-in connector
// (20971520 bytes itself still go in one request). uploadedThisPass lets the
// second server half of the pass take the server's echo of what was sent
// without downloading it back or making conflict copies.
//
// The activity entries of the step (its uploads, failures and deletes) are
// written in one transaction as it ends, whichever way it ends.
//
// Every way out waits for the jobs started: the pool lives in this call
// only and its destruction waits for them, so no upload runs on against a
// pass that has ended (the apply step relies on no callback running beside
// it).

#include "FSWorker.h"

#include "FSEntry.h"
#include "FSSimulWorker.h"
#include "WorkerHelpers.h"

#include "DirChangeNotification.h"

#include <Poco/File.h>
#include <Poco/Logger.h>

#include <algorithm>
#include <memory>
#include <set>

namespace Nuvaro {
namespace Sync {

namespace {

// Files larger than this go in pieces.
const Poco::Int64 CHUNKED_ABOVE = 20971520;

std::string position(std::size_t k, std::size_t total) {
    return "(" + std::to_string(k) + "/" + std::to_string(total) + ") ";
}

// True when the local path lies inside one of the folders (local full paths).
bool liesBelow(const std::string& path, const std::set<std::string>& folders) {
    for (std::string::size_type slash = path.rfind('/'); slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1)) {
        if (folders.count(path.substr(0, slash)) != 0)
            return true;
    }
    return false;
}

// The changes the delete-approval gate holds back: the removals it counted,
// and the new items that take the place of a removed one (a file replaced
// by a folder, a folder by a file), which cannot go up while the old item is
// still on the server. They leave the send list while the step runs and are
// put back when it ends, so that the rest of the pass still sees them
// pending (a server change is not placed over them unseen).
class ApprovalHold {
public:
    explicit ApprovalHold(FSWorker::RecordVector& changes) : m_changes(changes) {}
    ~ApprovalHold() { m_changes.insert(m_changes.end(), m_held.begin(), m_held.end()); }
    ApprovalHold(const ApprovalHold&) = delete;
    ApprovalHold& operator=(const ApprovalHold&) = delete;

    void take(const FSWorker::RecordVector& removals) {
        std::set<const Nuvaro::DataSync::DataSyncRecord*> removal;
        std::set<std::string> removedPaths;
        for (const auto& record : removals) {
            removal.insert(record.get());
            if (record->getIsDeleted() == 1)
                removedPaths.insert(static_cast<const FSSyncRecord&>(*record).getLocalFullPath());
        }
        auto replacesRemoved = [&removedPaths](const std::string& path) {
            return removedPaths.count(path) != 0 || liesBelow(path, removedPaths);
        };
        auto held = std::stable_partition(m_changes.begin(), m_changes.end(), [&](const auto& change) {
            const FSSyncRecord* record = dynamic_cast<const FSSyncRecord*>(change.get());
            return !(removal.count(change.get()) != 0 || (record && replacesRemoved(record->getLocalFullPath())));
        });
        m_held.assign(held, m_changes.end());
        m_changes.erase(held, m_changes.end());
    }
    bool empty() const { return m_held.empty(); }
    std::size_t size() const { return m_held.size(); }

private:
    FSWorker::RecordVector& m_changes;
    FSWorker::RecordVector m_held;
};

} // namespace

bool FSWorker::doSendFiles() {
    Poco::Logger& log = syncLog();
    log.trace(">>>> STEP 5. Uploading Files ");
    uploadedThisPass.clear();
    lastSendOutcome = SendOutcome::Failed;
    // Declared before the pool: the jobs' entries are all in when it writes.
    StepActivities::Scope activities(stepActivities, db.get());
    std::unique_ptr<FSSimulWorker> pool;
    try {
        unsigned removed = 0;
        unsigned updated = 0;
        // What the gate counts as removed.
        RecordVector removals;
        for (const auto& change : localChanges) {
            FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(change);
            if (!record)
                continue;
            if (record->getIsDeleted() == 1) {
                ++removed;
                removals.push_back(change);
            } else if (record->getUpdatedVersion() == record->getCreatedVersion()) {
                // New since the last sync: never a loss.
            } else if (record->getType() == FSTypeFile && record->getSize() == 0) {
                log.warning("Warning: Existing file became a zero size: " + record->getFullPath());
                ++removed;
                removals.push_back(change);
            } else if (record->getType() == FSTypeFile) {
                ++updated;
            }
        }
        log.trace("Removing " + decimal(removed) + " files and Updated " + decimal(updated) + " checking for approval");
        // The gate holds back the removals only; the rest is sent.
        ApprovalHold heldBack(localChanges);
        if (!requestForChangesApproved(removed, updated)) {
            heldBack.take(removals);
            log.trace("#### Need Delete Approval, holding back " + decimal(static_cast<Poco::Int64>(heldBack.size())) +
                      " changes");
            if (localChanges.empty()) {
                // Nothing else to send: no pool, no logins for nothing.
                lastSendOutcome = SendOutcome::HeldForApproval;
                return false;
            }
        }

        std::sort(localChanges.begin(), localChanges.end(), sortDirsByShallowFirst);
        if (heldBack.empty())
            doDeleteFiles();

        const std::size_t total = localChanges.size();
        const int slots = static_cast<int>(
            std::max<std::size_t>(1, std::min<std::size_t>(static_cast<std::size_t>(std::max(maxThreads, 1)), total)));
        pool.reset(new FSSimulWorker(this, slots, settings));
        pool->init();
        postEvent(10, "Uploading Changes", static_cast<int>(total));

        if (stop.load()) {
            lastSendOutcome = SendOutcome::Stopped;
            return false;
        }
        // A folder the server does not make holds back what lies below it,
        // nothing else.
        std::set<std::string> refusedFolders;
        pool->keepGoingAfterFailures();
        createRemoteFolders(total, refusedFolders);

        bool anyMissing = false;
        for (std::size_t k = 1; k <= total; ++k) {
            if (stop.load()) {
                pool->waitForAllJobs();
                lastSendOutcome = SendOutcome::Stopped;
                return false;
            }
            FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(localChanges[k - 1]);
            if (!record || record->getIsDeleted() == 1 || record->getType() == FSTypeFolder)
                continue;
            if (liesBelow(record->getLocalFullPath(), refusedFolders))
                continue;
            const UploadQueued queued = queueUpload(*pool, record, k, total);
            if (queued == UploadQueued::Refused) {
                pool->waitForAllJobs();
                curInterval = 20 * syncFrequency.load();
                flags.loggedIn = false;
                return false;
            }
            anyMissing = anyMissing || queued == UploadQueued::Missing;
        }

        if (!pool->waitForAllJobs()) {
            if (stop.load()) {
                // The stop ended the uploads in flight; nothing failed.
                lastSendOutcome = SendOutcome::Stopped;
                return false;
            }
            flags.loggedIn = false;
            return false;
        }
        if (anyMissing || !refusedFolders.empty()) {
            // The list is older than the folder, or a folder could not be
            // made: a new scan tells what is still to send. The rest went.
            requestScanAfterUploadFailure();
            if (!refusedFolders.empty())
                flags.loggedIn = false;
            return false;
        }
        stepActivities.flush(db.get());
        if (!heldBack.empty()) {
            // The rest went; the removals wait for approval, and the entry
            // that says so stays.
            lastSendOutcome = SendOutcome::HeldForApproval;
            return false;
        }
        db->activityDeleteAllErrors(FSActivity::TypeUploadFailure);
        postEvent(16, "", 0);
        lastSendOutcome = SendOutcome::Sent;
        return true;
    } catch (...) {
        log.error(exceptionLine("doSendFiles", ""));
        flags.loggedIn = false;
    }
    // Whatever ended the step, no job of it may outlive it.
    try {
        if (pool)
            pool->waitForAllJobs();
    } catch (...) {
    }
    pool.reset();
    return false;
}

void FSWorker::createRemoteFolders(std::size_t total, std::set<std::string>& refused) {
    Poco::Logger& log = syncLog();
    boost::shared_ptr<NuvaroConnector> server = connector;
    for (std::size_t k = 1; k <= total; ++k) {
        FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(localChanges[k - 1]);
        if (!record || record->getIsDeleted() == 1 || record->getType() != FSTypeFolder)
            continue;
        if (stop.load())
            return;  // the file loop sees it too
        // Shallow first: a refused parent comes before its subfolders.
        if (!server || liesBelow(record->getLocalFullPath(), refused)) {
            refused.insert(record->getLocalFullPath());
            continue;
        }
        putSyncStatus("Uploading: " + position(k, total) + record->getName());
        postEvent(11, "", static_cast<int>(k));
        const std::string fullPath = FSSyncDB::convertToLinuxPath(record->getFullPath());
        const std::string parent = FSSyncDB::convertToLinuxPath(record->getParent());
        if (parent.empty()) {
            log.debug("Ignoring top level folder creation for " + record->getFullPath());
            continue;
        }
        if (server->createRemoteFolder(record->getName(), parent)) {
            log.debug("FS Create Folder OK: " + record->getFullPath());
            uploadedThisPass.insert(fullPath);
            continue;
        }
        const std::string error = server->getLastError();
        if (server->remoteFileExists(fullPath))
            continue;
        log.error("FS Create Folder FAILED: " + record->getFullPath() + " Trying to create " + record->getName() +
                  " on path " + record->getParent());
        reportError("Error: Failed to create new server folder " + record->getFullPath() + " " + error +
                        " .verify that you are able to create a folder using a webbrowser",
                    record->getLocalFullPath(), record->getFriendlyName(), FSActivity::TypeUploadFailure);
        postEvent(4, "Failed to create remote folder: " + record->getLocalFullPath(), 0);
        refused.insert(record->getLocalFullPath());
    }
}

FSWorker::UploadQueued FSWorker::queueUpload(FSSimulWorker& pool, const FSSyncRecordPtr& record, std::size_t k,
                                              std::size_t total) {
    putSyncStatus("Uploading: " + position(k, total) + record->getName());
    postEvent(11, "", static_cast<int>(k));
    std::string localFile;
    Poco::Int64 size = -1;
    if (localPathOf(*record, localFile)) {
        Poco::File file(localFile);
        if (file.exists() && file.isFile())
            size = static_cast<Poco::Int64>(file.getSize());
    }
    if (size < 0) {
        syncLog().error(std::string("doSendFiles") + " File marked for upload is missing:  " + localFile);
        logActivity(FSActivity::TypeUploadFailure, "File marked for upload is missing", record->getFullPath(),
                         record->getFriendlyName());
        return UploadQueued::Missing;
    }
    ActiveThreadContext job;
    job.mode = ActiveThreadContext::MODE_UPLOAD;
    job.remotePath = FSSyncDB::convertToLinuxPath(record->getParent());
    job.localFile = localFile;
    job.chunked = size > CHUNKED_ABOVE;
    job.record = *record;
    return pool.addJob(job) ? UploadQueued::Queued : UploadQueued::Refused;
}

void FSWorker::requestScanAfterUploadFailure() {
    if (!queue.empty())
        return;
    syncLog().trace("===> Starting Manual FS Scan because Upload Failed and there might be more files left===>");
    queue.enqueueNotification(new DirChangeNotification());
}

} // namespace Sync
} // namespace Nuvaro
