// FSWorker: the staged downloads of a server half, between the delta and the
// apply step. doDownloadFiles brings the content of every changed server
// file of serverChanges into the staging folder dataPath/.cache (mirroring
// the sync folder's layout, one subtree per sync folder), never straight
// into the sync folder; the apply step then moves the staged files into
// place. Per record it decides whether a transfer is needed at all, creates
// the staging folders, checks the access rights of items under the server's
// external area, and queues the downloads on a transfer pool. The staging
// folders are private (0700) and so are the files the connector writes in
// them (0600), whatever the umask: the apply step gives a placed file its
// mode.
//
// What spares a download (first rule that holds, per record):
//
//     record                                    outcome
//     through a link, or unplaceable here       flagged "SKIP" (refuseUnplaceable;
//       (deleted ones: only a link counts)        the apply step passes over it)
//     deleted                                   nothing (the apply step deletes)
//     flags exactly "SKIP"                      nothing
//     uploaded by this client in this pass      nothing
//     folder, local folder exists               nothing
//     file, local file unchanged (see below)    nothing
//     folder                                    its staging folder only
//     file, staged file of an earlier attempt
//       with the record's size and time         reused (time and attributes set again)
//     under "/EXTERNAL/", folder denied         flagged "SKIP" (one request per folder)
//     otherwise                                 downloaded into the staged file
//
// "Unchanged" is localCopyUnchanged. Worked example: the record says
// 5 bytes, 2024-03-01 10:00:00; a local file of 5 bytes from 10:00:00.7 is
// unchanged, one of 5 bytes from 09:58:12 is not.
//
// Worker thread only; the downloads run on pool threads with their slots'
// connectors, the access requests on the worker's own.

#include "FSWorker.h"

#include "CloudPath.h"

#include "AttributeManager.h"
#include "FSSimulWorker.h"
#include "FSEntry.h"
#include "FSUtil.h"
#include "LocalPlaces.h"
#include "NuvaroException.h"
#include "NuvaroUtil.h"
#include "UIEvent.h"
#include "WorkerHelpers.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Logger.h>

#include <algorithm>
#include <memory>

namespace Nuvaro {
namespace Sync {

namespace {

const std::string EXTERNAL_PREFIX = "/EXTERNAL/";

// Seconds since 1970, rounded down (also before 1970).
Poco::Int64 wholeSeconds(const Poco::Timestamp& time) {
    const Poco::Int64 micros = time.epochMicroseconds();
    return micros >= 0 ? micros / 1000000 : -((-micros + 999999) / 1000000);
}

// The file has the record's size and, to the whole second, its time.
bool sameSizeAndSecond(Poco::File& file, const FSSyncRecord& record) {
    return static_cast<Poco::Int64>(file.getSize()) == record.getSize() &&
           wholeSeconds(file.getLastModified()) ==
               wholeSeconds(AttributeManager::getUTCTimestamp(record.getModified()));
}

// The staging folder and every folder made in it are their owner's only
// (0700), whatever the umask and the data folder's mode: a download lies
// there, readable, before the apply step places it. An existing staging
// folder is made private too (an older version left it as the umask made
// it); one that is a link is refused, since nothing is written through one.
bool stagingFolderReady(const std::string& path) {
    return createPrivateFolders(path) && makeFolderPrivate(path);
}

} // namespace

// ---- The rules ----

// Both rules answer false for anything they cannot read (a dangling link, a
// file that vanished meanwhile): the download then decides.

bool FSWorker::localCopyUnchanged(const FSSyncRecordPtr& record, const std::string& localPath) {
    try {
        Poco::File local(localPath);
        if (!local.isFile() || static_cast<Poco::Int64>(local.getSize()) != record->getSize())
            return false;
        if (setting("checkcrc") != "1")
            return sameSizeAndSecond(local, *record);
    } catch (const Poco::Exception&) {
        return false;
    }
    std::string localSum;
    std::string serverSum;
    return Nuvaro::Util::getFileCRC(localPath, localSum, 0, static_cast<long>(record->getSize())) &&
           getCheckSum(record, record->getSize(), serverSum, true) && !serverSum.empty() && localSum == serverSum;
}

bool FSWorker::reuseStagedFile(const FSSyncRecordPtr& record, const std::string& stagedPath) {
    try {
        Poco::File staged(stagedPath);
        if (setting("checkcrc") == "1" || !staged.isFile() || !sameSizeAndSecond(staged, *record))
            return false;
        AttributeManager::setAttributes(record->getAttribs(), staged);
    } catch (const Poco::Exception&) {
        return false;
    }
    return AttributeManager::setLastModified(AttributeManager::getUTCTimestamp(record->getModified()), stagedPath);
}

bool FSWorker::refuseUnplaceable(const FSSyncRecordPtr& record) {
    const std::string& relative = record->getLocalFullPath();
    if (record->getFlags() == "SKIP" || !CloudPath::isSoundRelativePath(relative))
        return false;
    const bool deleted = record->getIsDeleted() == 1;
    std::string log;
    std::string entry;
    const std::string link =
        LocalPlaces::linkOnTheWay(syncPath, relative, !deleted && record->getType() == FSTypeFolder);
    if (!link.empty()) {
        log = "Download SKIPPED: Local path passes through the link " + link + ": " + record->getFullPath();
        entry = "Server change refused: its local path passes through the link " + link;
    } else if (!deleted) {
        std::string reason = LocalPlaces::unplaceableReason(syncPath, relative);
        if (reason.empty())
            reason = LocalPlaces::unplaceableReason(dataPath + "/.cache", relative);
        if (reason.empty())
            return false;
        log = "Download SKIPPED: Cannot be created on this system (" + reason + "): " + record->getFullPath();
        entry = "Server item skipped: it cannot be created on this system (" + reason + ")";
    } else {
        return false;
    }
    record->setFlags("SKIP");
    syncLog().error(log);
    logActivity(FSActivity::TypeSkippedLocal, entry, relative, record->getFriendlyName());
    return true;
}

FSWorker::AccessCheck FSWorker::checkExternalAccess(const FSSyncRecordPtr& record, const std::string& remotePath) {
    const std::string key = FSSyncDB::convertToLinuxPath(record->getType() == 0 ? record->getFullPath()
                                                                                 : record->getParent());
    auto deny = [&]() {
        record->setFlags("SKIP");
        syncLog().error("Download SKIPPED: No Access to Path " + record->getFullPath());
        return AccessCheck::Denied;
    };
    if (pass.noAccessPaths.count(key) != 0)
        return deny();
    Nuvaro::RecordList rights;
    if (!connector || !connector->getAccessDetailsForPath(remotePath, rights)) {
        reportError("Access Details Check FAILED from server: " + record->getName(), record->getFullPath(),
                    record->getFriendlyName(), FSActivity::TypeError);
        return AccessCheck::Failed;
    }
    auto right = [&](const char* name) {
        if (rights.empty() || !rights.front())
            return false;
        auto found = rights.front()->find(name);
        return found != rights.front()->end() && found->second == "1";
    };
    if (!right("read") || !right("write")) {
        pass.noAccessPaths.insert(key);
        return deny();
    }
    syncLog().trace("Access Permissions for Path OK: Continuing..." + record->getFullPath());
    return AccessCheck::Granted;
}

// ---- The step ----

bool FSWorker::doDownloadFiles(const std::string& folder, bool /*skipdetect*/) {
    const std::string name = "doDownloadFiles";
    syncLog().trace(">>>> STEP 3. Downloading Changes " + folder);
    std::unique_ptr<FSSimulWorker> pool;
    // Every way out after the first job: the jobs are awaited (the pool's
    // destructor would wait too) and the result says whether all succeeded.
    auto giveUp = [&pool]() {
        pool->waitForAllJobs();
        return false;
    };
    try {
        const std::string cache = dataPath + "/.cache";
        if (!stagingFolderReady(cache)) {
            syncLog().error("Failed creating sync cache directory!");
            return false;
        }
        const std::size_t n = pass.serverChanges.size();
        const int slots = static_cast<int>(std::max<std::size_t>(1, std::min<std::size_t>(
                                                  static_cast<std::size_t>(std::max(maxThreads, 1)), n)));
        pool.reset(new FSSimulWorker(this, slots, settings));
        pool->init();
        postEvent(10, "Downloading Changes", static_cast<int>(n));

        for (std::size_t i = 1; i <= n; ++i) {
            if (stop.load())
                return giveUp();
            FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(pass.serverChanges[i - 1]);
            if (!record)
                continue;
            const std::string position = "(" + std::to_string(i) + "/" + std::to_string(n) + ") ";
            if (refuseUnplaceable(record))
                continue;
            if (record->getIsDeleted() == 1) {
                syncLog().trace("Skipping: Object Deleted: " + position + record->getName());
                continue;
            }
            postEvent(11, "", static_cast<int>(i));
            const std::string statusText = "Downloading: " + position + record->getName();
            const std::string& localFullPath = record->getLocalFullPath();
            if (record->getFlags() == "SKIP") {
                syncLog().trace("Skipping File marked as SKIP: " + localFullPath);
                continue;
            }
            const std::string remotePath = FSSyncDB::convertToLinuxPath(record->getFullPath());
            if (uploadedThisPass.contains(remotePath)) {
                syncLog().trace("Skipping File Just Uploaded. Skipping Download: " + localFullPath);
                continue;
            }
            if (!CloudPath::isSoundRelativePath(localFullPath)) {
                syncLog().error("Download SKIPPED: Path outside the sync folder " + record->getFullPath());
                continue;
            }
            const bool isFolder = record->getType() == 0;
            const std::string target = syncPath + "/" + localFullPath;
            if (caseSensitiveFileExists(target) && (isFolder || localCopyUnchanged(record, target))) {
                syncLog().trace("Download Exists in Sync Folder: Skipping " + localFullPath);
                continue;
            }

            const std::string staged = cache + "/" + localFullPath;
            if (!createPrivateFolders(isFolder ? staged : staged.substr(0, staged.rfind('/')))) {
                syncLog().error("Failed creating download local directory!");
                return giveUp();
            }
            if (isFolder)
                continue;
            if (Poco::File(staged).exists()) {
                if (reuseStagedFile(record, staged)) {
                    syncLog().trace("Download Exists in cache: " + localFullPath);
                    continue;
                }
                try {
                    Poco::File(staged).remove();
                } catch (const Poco::Exception&) {
                    // The download then fails on it, and says so.
                }
            }

            if (remotePath.compare(0, EXTERNAL_PREFIX.size(), EXTERNAL_PREFIX) == 0) {
                AccessCheck access = checkExternalAccess(record, remotePath);
                if (access == AccessCheck::Failed)
                    return giveUp();
                if (access == AccessCheck::Denied)
                    continue;
            }

            ActiveThreadContext job;
            job.mode = ActiveThreadContext::MODE_DOWNLOAD;
            job.remotePath = remotePath;
            job.localFile = staged;
            job.chunked = true;
            job.record = *record;
            const bool queued = pool->addJob(job);
            putSyncStatus(statusText);
            if (!queued) {
                pool->waitForAllJobs();
                flags.loggedIn = false;
                curInterval = 20 * syncFrequency.load();
                return false;
            }
        }

        if (pool->waitForAllJobs())
            return true;
        flags.loggedIn = false;
        return false;
    } catch (const Poco::Exception& e) {
        syncLog().error(name + " Poco Exception caught : " + e.displayText() + " " + e.message());
        reportError("Exception caught : " + e.displayText() + " " + e.message(), "", "", FSActivity::TypeError);
    } catch (const Nuvaro::Exception& e) {
        syncLog().error(name + " Exception caught : " + e.message());
        reportError("Exception caught : " + e.message(), "", "", FSActivity::TypeError);
    } catch (...) {
        syncLog().error(name + " Unknown Exception caught : ");
    }
    flags.loggedIn = false;
    return false;
}

} // namespace Sync
} // namespace Nuvaro
