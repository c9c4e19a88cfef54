// OfflineJobActivity: the download phase of a network-folder job. Walks the
// listing cache (folders in path order, items in listing order), creates
// local folders, decides each server file and queues its download on a
// transfer pool; the transfers and their callbacks are in
// OfflineJobActivity_Transfers.cpp.
//
// Decisions of processRemoteFile for one server file, with "unchanged" as in
// the class comment (size and whole second against the job's row):
//
//     local file  row     local since row  server since row  outcome
//     missing     yes, remote delete on    unchanged         deleted on the server, row dropped
//     missing     yes, remote delete on    changed           downloaded again
//     missing     no, or remote delete off                   downloaded
//     present     no      same size and second as server     nothing (the upload phase records it)
//     present     no      other size or second               conflict copy
//     present     yes     unchanged        unchanged         nothing
//     present     yes     unchanged        changed           downloaded
//     present     yes     changed          unchanged         nothing (the upload phase sends it)
//     present     yes     changed          changed           conflict copy, unless both
//                                                            sides hold the same size and
//                                                            second (the row is refreshed)
//
// "Downloaded" replaces NAME through a unique temporary file beside it (see
// OfflineJobActivity_Transfers.cpp); a conflict copy is "Conflict_NAME"
// beside the local file, which stays as it is, recorded on NAME's row. A
// "Conflict_NAME" that is not this job's copy of NAME (the user's own file,
// or a synchronised one) is never overwritten: the conflict waits, with an
// error entry, and the local change is held back meanwhile. A link, FIFO,
// socket or folder where the file would go is left alone, and so is a name
// that exists only in another Unicode form. A folder the user deleted
// locally is deleted on the server (remote delete on) only when this run
// listed it and everything in it is unchanged since the last run; otherwise
// it is made again locally and its content is decided item by item.
//
// A run whose deletions on the server would come with none of the items the
// job recorded there locally (an emptied folder, the empty mount point of a
// disk that is not mounted) is ended before this phase: the user's local
// folder is then no evidence of what the user wants deleted
// (deletionsWouldEmptyTheJob, asked by the run before any deletion is sent).

#include "OfflineJobActivity.h"

#include "AttributeManager.h"
#include "FOLocalFiles.h"
#include "FOPathHelpers.h"
#include "FSUtil.h"
#include "OfflineJobCommon.h"

#include "NuvaroUtil.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

namespace Nuvaro {
namespace Sync {

namespace {

std::string parentOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

// The folder is there (the job folder itself may be a link the user chose;
// below it, the callers have made sure no link lies on the way).
bool folderThere(const std::string& path) {
    try {
        Poco::File folder(path);
        return folder.exists() && folder.isDirectory();
    } catch (const Poco::Exception&) {
        return false;
    }
}

// The folder exists afterwards (made with its parents when missing).
bool folderReady(const std::string& path) {
    try {
        Poco::File folder(path);
        if (!folder.exists())
            folder.createDirectories();
    } catch (const Poco::Exception&) {
        // Answered below.
    }
    return folderThere(path);
}

} // namespace

void OfflineJobActivity::downloadFiles() {
    postJobEvent(0, eventPrefix + "Processing", listedCount);
    FSSimulWorker pool(this, maxThreads, settings);
    pool.init();
    int n = 0;
    for (auto& listing : listingCache) {
        for (Nuvaro::Record& item : listing.second) {
            postJobEvent(1,
                         "Check: (" + std::to_string(n) + "/" + std::to_string(listedCount) + ") " +
                             FOTrimName(itemValue(item, "name"), 80),
                         n);
            ++n;
            const std::string path = itemValue(item, "path");
            bool underDeleted = false;
            for (const std::string& folder : deletedFolders) {
                jobLog().trace("Checking Item: " + path + " against " + folder);
                if (path == folder || path.compare(0, FOFolderPrefix(folder).size(), FOFolderPrefix(folder)) == 0) {
                    jobLog().trace("Skipping Deleted Item: " + path);
                    underDeleted = true;
                    break;
                }
            }
            if (!underDeleted) {
                if (isRemoteFolder(item))
                    processRemoteFolder(item);
                else
                    processRemoteFile(item, &pool);
            }
            if (isStopped())
                break;
        }
        if (isStopped())
            break;
    }
    if (!pool.waitForAllJobs())
        jobLog().error("Found Errors with Download Remote Files List");
    postJobEvent(3, "Completed", 0);
}

void OfflineJobActivity::processRemoteFolder(Nuvaro::Record& item) {
    const std::string remotePath = itemValue(item, "path");
    const std::string name = itemValue(item, "name");
    const std::string local = writableLocalPathOf(remotePath);
    if (local.empty())
        return;
    try {
        EntryPtr row = db->getFORecord(local);
        const FOLocalKind kind = FOLocalKindOf(local);
        if (kind == FOLocalKind::Unknown) {
            jobLog().error("FO Local item cannot be examined, leaving it: " + local);
            return;
        }
        if (kind == FOLocalKind::Missing && caseSensitiveFileExists(local)) {
            jobLog().error("FO Folder exists locally under another Unicode form, leaving it: " + local);
            return;
        }
        if (kind == FOLocalKind::Missing && row) {
            if (!job.remoteDelete)
                return;
            if (serverCopyMayGo(item, local, *row)) {
                if (connector->deleteRemoteFile(itemValue(item, "dirpath"), name)) {
                    addActivity(FSActivity::TypeDelete, name, local);
                    db->FODeleteRecord(row.get());
                    db->FODeleteChildren(row->fullPath);
                    deletedFolders.push_back(remotePath);
                    deleted += 1;
                }
                return;
            }
            jobLog().information("Remote folder changed since the last run, not deleting it on the server: " +
                                 remotePath);
        }
        if (kind == FOLocalKind::Missing && !folderReady(local)) {
            jobLog().error("FO Failed creating directory " + local);
            return;
        }
        if (FOLocalKindOf(local) != FOLocalKind::Folder) {
            jobLog().error("FO Local item in the place of a remote folder is not a folder, leaving it: " + local);
            return;
        }
        if (!row) {
            FOOfflineEntry entry(local, FOOfflineEntry::TYPE_FOLDER, name, FORemoveEndingSlash(parentOf(local)), 0,
                                 remoteTime(item), job.localLinkPath, "", "");
            db->FOAddRecord(&entry);
        }
    } catch (...) {
        jobLog().error("Unhandled Exception Processing " + local);
    }
}

bool OfflineJobActivity::serverCopyMayGo(const Nuvaro::Record& item, const std::string& local,
                                         const FOOfflineEntry& row) {
    if (!FOFolderListable(parentOf(local)))
        return false; // "missing" below a folder that cannot be read is no answer
    if (isRemoteFolder(item))
        return remoteFolderUnchangedSinceRun(itemValue(item, "path"));
    return remoteUnchangedSinceRow(item, row);
}

bool OfflineJobActivity::wouldDeleteOnServer(const Nuvaro::Record& item) {
    // The conditions of processRemoteFolder and processRemoteFile, without
    // their log lines.
    const std::string local = localPathOf(itemValue(item, "path"));
    if (!job.remoteDelete || local.empty() || !FONoLinkBelow(job.localLinkPath, local))
        return false;
    EntryPtr row = db->getFORecord(local);
    if (!row || (!isRemoteFolder(item) && (row->type != FOOfflineEntry::TYPE_FILE || row->size < 0)))
        return false;
    return FOLocalKindOf(local) == FOLocalKind::Missing && !caseSensitiveFileExists(local) &&
           serverCopyMayGo(item, local, *row);
}

bool OfflineJobActivity::deletionsWouldEmptyTheJob() {
    if (!job.remoteDelete)
        return false;
    std::map<std::string, EntryPtr> rows;
    std::multimap<std::string, std::string> names;
    db->getFOCachedFullPathList(rows, names);
    bool recorded = false;
    for (const auto& row : rows) {
        if (row.second->localLinkPath != job.localLinkPath)
            continue;
        if (FOLocalKindOf(row.first) != FOLocalKind::Missing)
            return false; // something of the last run is still there
        recorded = true;
    }
    if (!recorded)
        return false;
    for (const auto& listing : listingCache)
        for (const Nuvaro::Record& item : listing.second)
            if (wouldDeleteOnServer(item))
                return true;
    return false;
}

bool OfflineJobActivity::mayWriteConflictCopy(const std::string& local, const std::string& copy) {
    if (FOLocalKindOf(copy) == FOLocalKind::Missing)
        return true;
    std::map<std::string, std::string> recorded;
    db->getFOConflictCopies(job.localLinkPath, recorded);
    auto made = recorded.find(local);
    if (made != recorded.end() && made->second == copy)
        return true; // this job's own copy, replaced by the newer server version
    const std::string message = "Conflict copy name in use, not overwriting: " + copy;
    jobLog().error(message);
    addActivity(FSActivity::TypeError, message, local);
    postJobEvent(16, "", 0);
    return false;
}

bool OfflineJobActivity::remoteFolderUnchangedSinceRun(const std::string& folderPath) {
    auto listing = listingCache.find(folderPath);
    if (listing == listingCache.end())
        return false; // not listed: what it holds is not known
    for (const Nuvaro::Record& item : listing->second) {
        const std::string local = localPathOf(itemValue(item, "path"));
        EntryPtr row = local.empty() ? EntryPtr() : db->getFORecord(local);
        if (!row)
            return false; // added since the last run
        if (isRemoteFolder(item)) {
            if (!remoteFolderUnchangedSinceRun(itemValue(item, "path")))
                return false;
        } else if (!remoteUnchangedSinceRow(item, *row)) {
            return false;
        }
    }
    return true;
}

void OfflineJobActivity::processRemoteFile(Nuvaro::Record& item, FSSimulWorker* pool) {
    const std::string remotePath = itemValue(item, "path");
    const std::string name = itemValue(item, "name");
    const std::string local = writableLocalPathOf(remotePath);
    if (local.empty())
        return;
    try {
        jobLog().trace("Checking File: " + local);
        const Poco::Int64 remote = remoteSize(item);
        EntryPtr row = db->getFORecord(local);
        if (row && (row->type != FOOfflineEntry::TYPE_FILE || row->size < 0))
            row.reset();
        const FOLocalKind kind = FOLocalKindOf(local);
        if (kind == FOLocalKind::Unknown) {
            jobLog().error("FO Local item cannot be examined, leaving it: " + local);
            return;
        }
        if (kind == FOLocalKind::Folder || kind == FOLocalKind::Other) {
            jobLog().error("FO Local item in the place of a remote file is not a regular file, leaving it: " + local);
            return;
        }
        if (kind == FOLocalKind::Missing) {
            if (caseSensitiveFileExists(local)) {
                jobLog().error("FO File exists locally under another Unicode form, leaving it: " + local);
                return;
            }
            if (row && job.remoteDelete) {
                if (serverCopyMayGo(item, local, *row)) {
                    if (!connector->deleteRemoteFile(itemValue(item, "dirpath"), name)) {
                        jobLog().error("Failed deleting Remote File " + remotePath + " at " + name);
                        addActivity(FSActivity::TypeError, "Failed to Delete " + remotePath + " " + name, local);
                        postJobEvent(16, "", 0);
                        return;
                    }
                    addActivity(FSActivity::TypeDelete, name + " (" + Nuvaro::Util::readableFileSize(remote, 2) + ")",
                                local);
                    db->FODeleteRecord(row.get());
                    deleted += 1;
                    return;
                }
                jobLog().information("Remote file changed since the last run, not deleting it on the server: " +
                                     remotePath);
            }
            queueDownload(item, local, local, row, pool);
            return;
        }

        Poco::File file(local);
        const Poco::Int64 localSize = static_cast<Poco::Int64>(file.getSize());
        const std::string conflictPath = FOConflictPath(local);
        if (!row) {
            // Identical only with the same size and second: a same-size file
            // of another time is another version, not to be overwritten.
            if (localSize == remote &&
                FOWholeSecond(file.getLastModified().utcTime()) == FOWholeSecond(remoteTime(item)))
                return;
            jobLog().error(
                "OfflineJobActivity:: No entry for Local (new?) and Remote Changed: Creating Conflict File: " +
                conflictPath + "Local File Size: " + std::to_string(localSize) +
                "Remote File Size: " + std::to_string(remote));
            addActivity(FSActivity::TypeConflict, local, local);
            conflicts += 1;
            queueDownload(item, local, conflictPath, row, pool);
            return;
        }
        const bool localSame = localUnchangedSinceRow(local, *row);
        const bool remoteSame = remoteUnchangedSinceRow(item, *row);
        if (localSame && remoteSame)
            return;
        if (localSame) {
            jobLog().trace("File Changed based on Remote Date Time:  " + std::to_string(remoteTime(item)) + " " +
                           AttributeManager::getLocalTimeStrFromUTCTimestamp(remoteTime(item)) + " DB: " +
                           std::to_string(row->modified) + " " +
                           AttributeManager::getLocalTimeStrFromUTCTimestamp(row->modified));
            queueDownload(item, local, local, row, pool);
            return;
        }
        if (remoteSame) {
            if (Poco::File(conflictPath).exists())
                jobLog().trace("OfflineJobActivity:: Skipping local file upload because conflict file exists: " +
                               conflictPath);
            return;
        }
        if (localSize == remote &&
            FOWholeSecond(file.getLastModified().utcTime()) == FOWholeSecond(remoteTime(item))) {
            // Both sides changed to the same file (a local change that
            // reached the server after its row was written).
            row->size = remote;
            row->modified = remoteTime(item);
            updateObjectProps(local, *row, checkCrc);
            db->FOUpdateRecord(row.get());
            return;
        }
        jobLog().error("OfflineJobActivity:: Local and Remote Changed: Creating Conflict File: " + conflictPath +
                       " Local File Size: " + std::to_string(localSize) + " Remote File Size: " +
                       std::to_string(remote) + " DB File Size: " + std::to_string(row->size));
        addActivity(FSActivity::TypeConflict, local, local);
        conflicts += 1;
        queueDownload(item, local, conflictPath, row, pool);
    } catch (...) {
        jobLog().error("Unhandled Exception Processing " + local);
    }
}

void OfflineJobActivity::queueDownload(Nuvaro::Record& item, const std::string& local, const std::string& target,
                                       const EntryPtr& row, FSSimulWorker* pool) {
    if (job.syncType == FOOfflineJobData::TYPE_BACKUP)
        return;
    if (target != local && !mayWriteConflictCopy(local, target))
        return;
    jobLog().debug("Downloading Remote File to " + target);
    const std::string parent = parentOf(local);
    if (!folderReady(parent)) {
        jobLog().error("FO Failed creating directory " + parent);
        addActivity(FSActivity::TypeError, "Failed to Create Folder " + parent, parent);
        postJobEvent(16, "", 0);
        return;
    }
    FOOfflineEntry entry = row ? *row
                               : FOOfflineEntry(local, FOOfflineEntry::TYPE_FILE, itemValue(item, "name"), parent, 0,
                                                0, job.localLinkPath, "", "");
    entry.size = remoteSize(item);
    entry.modified = remoteTime(item);
    ActiveThreadContext ctx;
    ctx.mode = ActiveThreadContext::MODE_DOWNLOAD;
    ctx.remotePath = itemValue(item, "path");
    ctx.localFile = local;
    ctx.chunked = true;
    ctx.entry = entry;
    ctx.fileName = itemValue(item, "name");
    ctx.tempPath = target;
    ctx.jobType = job.syncType;
    rememberTargetState(target);
    if (!pool->addJob(ctx))
        jobLog().error("Start Failed. Failed to Start Job: " + local);
}

} // namespace Sync
} // namespace Nuvaro
