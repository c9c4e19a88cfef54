// OfflineJobActivity: the transfer body the pool runs for both directions
// (simulImpl, on pool threads through startJob) and its four callbacks,
// which count, write the job's rows and activity entries and raise events.
// Several run at once: the counters are atomics, the database locks itself,
// and everything else they read is constant while transfers run.
//
// A download's target (ctx.tempPath) is the local file itself, or its
// conflict copy FOConflictPath(NAME). The body goes to a unique temporary
// file beside the target, named by the connector (NAME.<pid>-<n>.tmp.part:
// no user's file, within the 255 bytes of a name for any valid NAME; 0600
// while it fills, whatever the umask), and is renamed onto the target, with
// the target's mode or a new file's usual one (0666 narrowed by the umask),
// once it arrived complete and of the listed size, and only when the target
// is still as it was when the download was queued (nobody wrote, replaced,
// made or removed it meanwhile). A target changed
// meanwhile keeps the change; the download counts as failed and the next run
// decides again. An ordinary download then gets the server's modification
// time; a conflict copy stays beside the user's file. Only a target that is
// exactly the conflict name of its file counts as a conflict copy, so files
// in a server folder called "Conflict_..." are downloaded like any other.

#include "OfflineJobActivity.h"

#include "AttributeManager.h"
#include "FOLocalFiles.h"
#include "FOPathHelpers.h"
#include "FSUtil.h"
#include "OfflineJobCommon.h"
#include "RequestText.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

#include <sys/stat.h>

namespace Nuvaro {
namespace Sync {

namespace {

const char* const APP_NAME = "sync";

bool isConflictDownload(const ActiveThreadContext& ctx) {
    return ctx.tempPath == FOConflictPath(ctx.localFile);
}

// Removes a download's temporary file on every path unless it was renamed.
class TemporaryDownload {
public:
    explicit TemporaryDownload(const std::string& target) : path(NuvaroConnector::temporaryNameFor(target)) {}
    ~TemporaryDownload() {
        if (renamed)
            return;
        try {
            Poco::File file(path);
            if (file.exists())
                file.remove();
        } catch (...) {
            // Left over: the job's next run removes it once this process is gone.
        }
    }
    TemporaryDownload(const TemporaryDownload&) = delete;
    TemporaryDownload& operator=(const TemporaryDownload&) = delete;

    const std::string path;
    bool renamed = false;
};

} // namespace

Poco::ActiveResult<ActiveThreadContext> OfflineJobActivity::startJob(const ActiveThreadContext& ctx) {
    return simulMethod(ctx);
}

ActiveThreadContext OfflineJobActivity::simulImpl(const ActiveThreadContext& ctx) {
    ActiveThreadContext result(ctx);
    try {
        if (!ctx.prepareResult(result))
            return result;
        std::string error;
        if (ctx.mode == ActiveThreadContext::MODE_UPLOAD) {
            const bool sent =
                ctx.chunked ? ctx.connector->chunkedUploadFile(ctx.remotePath, ctx.localFile, error, killRequested,
                                                               APP_NAME, CHUNK_SIZE, "", &result.sent)
                            : ctx.connector->uploadFile(ctx.remotePath, ctx.localFile, error, APP_NAME, -1,
                                                        &result.sent);
            result.ok = true;
            if (!sent && killRequested) {
                // Stopped by its owner, not failed: the next run sends it.
                syncLog().information("Upload of " + ctx.localFile + " stopped: " + error);
                return result;
            }
            if (sent) {
                uploadOK(result);
            } else {
                result.error = error;
                uploadFailed(result);
            }
            return result;
        }

        TemporaryDownload temporary(ctx.tempPath);
        if (!ctx.connector->downloadFile(ctx.remotePath, ctx.fileName, temporary.path, error, APP_NAME, -1, -1,
                                         ctx.entry.size, &killRequested)) {
            result.ok = true;
            result.error = error;
            if (killRequested) {
                // Stopped by its owner: no failure to report, the next run
                // downloads it again.
                syncLog().information("Download of " + ctx.tempPath + " stopped: " + error);
                return result;
            }
            downloadFailed(result);
            return result;
        }
        Poco::Int64 actual = 0;
        try {
            actual = static_cast<Poco::Int64>(Poco::File(temporary.path).getSize());
        } catch (...) {
            syncLog().error("Caught Unhandled Exception " + ctx.localFile + " FAILED");
            return result;
        }
        if (actual != ctx.entry.size) {
            syncLog().error("Download FAILED: " + ctx.tempPath + " Bad File Size: Actual: " + std::to_string(actual) +
                            " Expected: " + std::to_string(ctx.entry.size));
            result.ok = true;
            result.error = "Size Mismatch";
            downloadFailed(result);
            return result;
        }
        const FOLocalState before = queuedTargetState(ctx.tempPath);
        if (FOLocalStateOf(ctx.tempPath) != before) {
            syncLog().error("Download of " + ctx.tempPath + " not moved into place: the local file changed meanwhile");
            result.ok = true;
            result.error = "Local file changed during download";
            downloadFailed(result);
            return result;
        }
        try {
            // The temporary file is private while it fills; what it replaces
            // gives it its mode, and a new file gets the usual one.
            mode_t mode = usualNewFileMode();
            if (before.kind == FOLocalKind::File) {
                struct stat replaced {};
                if (::stat(ctx.tempPath.c_str(), &replaced) == 0)
                    mode = replaced.st_mode & 07777;
            }
            ::chmod(temporary.path.c_str(), mode);
            Poco::File(temporary.path).renameTo(ctx.tempPath);
            temporary.renamed = true;
            syncLog().debug("Download Remote File to " + ctx.tempPath + " OK");
            if (!isConflictDownload(ctx))
                AttributeManager::setLastModified(AttributeManager::getUTCTimestamp(ctx.entry.modified),
                                                  ctx.localFile);
        } catch (const Poco::Exception& e) {
            syncLog().error(std::string("simulImpl") + e.displayText());
            syncLog().error("Moving Download Part File to " + ctx.tempPath + " FAILED");
            result.ok = true;
            result.error = "Failed Moving Part file";
            downloadFailed(result);
            return result;
        }
        result.ok = true;
        downloadOK(result);
    } catch (...) {
        // Anything else is the job's own fault: the pool stops (ok false).
        result.ok = false;
        syncLog().error(RequestText::exceptionLine("simulImpl", " ", " ") + " for " + ctx.localFile);
    }
    return result;
}

// ---- Callbacks (pool threads) ----

void OfflineJobActivity::uploadOK(ActiveThreadContext& ctx) {
    uploaded += 1;
    FOOfflineEntry& entry = ctx.entry;
    // The row tells the version the server stored, not the file as it is
    // by now: a change after the last byte went up is found by the next run
    // as a local change (the server's copy then matches the row).
    if (ctx.sent.known)
        recordVersionSent(entry, ctx.sent);
    if (job.syncType == FOOfflineJobData::TYPE_BACKUP)
        clearDifferentCaseItemsDB(ctx.remotePath, entry.name);
    storeRow(entry);
    addActivity(FSActivity::TypeUpload, entry.name, entry.fullPath);
    syncLog().trace("FS Upload OK: " + entry.fullPath + " Size: " + std::to_string(entry.size));
}

void OfflineJobActivity::uploadFailed(ActiveThreadContext& ctx) {
    const std::string remote = ctx.remotePath + "/" + ctx.entry.name;
    const std::string message = "Failed to Upload File  " + remote + " " + ctx.error +
                                " verify whether file upload works via a web browser.Please contact your "
                                "administrator for assistance.";
    addActivity(FSActivity::TypeError, message, remote);
    syncLog().error("FS Upload FAILED: " + ctx.error + " " + ctx.remotePath);
    postJobEvent(4, message, 0);
    postJobEvent(16, "", 0);
}

void OfflineJobActivity::downloadOK(ActiveThreadContext& ctx) {
    downloaded += 1;
    updateObjectProps(ctx.tempPath, ctx.entry, checkCrc);
    storeRow(ctx.entry);
    if (isConflictDownload(ctx))
        db->FOSetConflictCopy(ctx.localFile, ctx.tempPath);
    addActivity(FSActivity::TypeDownload, ctx.localFile, ctx.localFile);
}

void OfflineJobActivity::downloadFailed(ActiveThreadContext& ctx) {
    const std::string message = "Failed Download : " + ctx.error +
                                " verify whether file download works via a web browser.Please contact your "
                                "administrator for assistance.";
    addActivity(FSActivity::TypeError, message, ctx.localFile);
    syncLog().error("Download Remote File to " + ctx.entry.name + " FAILED");
    postJobEvent(4, message, 0);
    postJobEvent(16, "", 0);
}

void OfflineJobActivity::rememberTargetState(const std::string& target) {
    const FOLocalState state = FOLocalStateOf(target);
    std::lock_guard<std::mutex> lock(targetStatesLock);
    targetStates[target] = state;
}

FOLocalState OfflineJobActivity::queuedTargetState(const std::string& target) {
    std::lock_guard<std::mutex> lock(targetStatesLock);
    auto found = targetStates.find(target);
    if (found != targetStates.end())
        return found->second;
    FOLocalState unknown;
    unknown.kind = FOLocalKind::Unknown; // never equal to what lstat shows
    return unknown;
}

void OfflineJobActivity::storeRow(FOOfflineEntry& entry) {
    if (db->getFORecord(entry.fullPath))
        db->FOUpdateRecord(&entry);
    else
        db->FOAddRecord(&entry);
}

} // namespace Sync
} // namespace Nuvaro
