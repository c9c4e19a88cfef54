// OfflineJobActivity: the transfer body the pool runs for both directions
// (simulImpl, on pool threads through startJob) and its four callbacks,
// which count, write the job's rows and activity entries and raise events.
// Several run at once: the counters are atomics, the database locks itself,
// and everything else they read is constant while transfers run.
//
// A download arrives in ctx.tempPath: NAME.part beside the local file, or
// the conflict copy FOConflictPath(NAME). A complete .part file of the
// listed size is renamed over the local file (one step: the file is never
// missing) and given the server's modification time; a conflict copy stays
// where it is, beside the user's file. Only a target that is exactly the
// conflict name of its file counts as a conflict copy, so files in a server
// folder called "Conflict_..." are downloaded like any other.

#include "OfflineJobActivity.h"

#include "AttributeManager.h"
#include "FOPathHelpers.h"
#include "OfflineJobCommon.h"
#include "RequestText.h"

#include <Poco/Exception.h>
#include <Poco/File.h>

namespace Nuvaro {
namespace Sync {

namespace {

const char* const APP_NAME = "sync";

bool isConflictDownload(const ActiveThreadContext& ctx) {
    return ctx.tempPath == FOConflictPath(ctx.localFile);
}

// Where a finished download ended up.
std::string finalPathOf(const ActiveThreadContext& ctx) {
    return isConflictDownload(ctx) ? ctx.tempPath : ctx.localFile;
}

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
                                                               APP_NAME, CHUNK_SIZE, "")
                            : ctx.connector->uploadFile(ctx.remotePath, ctx.localFile, error, APP_NAME, -1);
            result.ok = true;
            if (sent) {
                uploadOK(result);
            } else {
                result.error = error;
                uploadFailed(result);
            }
            return result;
        }

        if (!ctx.connector->downloadFile(ctx.remotePath, ctx.fileName, ctx.tempPath, error, APP_NAME, -1, -1,
                                         ctx.entry.size)) {
            result.ok = true;
            result.error = error;
            downloadFailed(result);
            return result;
        }
        Poco::Int64 actual = 0;
        try {
            actual = static_cast<Poco::Int64>(Poco::File(ctx.tempPath).getSize());
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
        if (!isConflictDownload(ctx)) {
            try {
                Poco::File(ctx.tempPath).renameTo(ctx.localFile);
                syncLog().debug("Download Remote File to " + ctx.localFile + " OK");
                AttributeManager::setLastModified(AttributeManager::getUTCTimestamp(ctx.entry.modified),
                                                  ctx.localFile);
            } catch (const Poco::Exception& e) {
                syncLog().error(std::string("simulImpl") + e.displayText());
                syncLog().error("Moving Download Part File to " + ctx.localFile + " FAILED");
                result.ok = true;
                result.error = "Failed Moving Part file";
                downloadFailed(result);
                return result;
            }
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
    updateObjectProps(finalPathOf(ctx), ctx.entry, checkCrc);
    storeRow(ctx.entry);
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

void OfflineJobActivity::storeRow(FOOfflineEntry& entry) {
    if (db->getFORecord(entry.fullPath))
        db->FOUpdateRecord(&entry);
    else
        db->FOAddRecord(&entry);
}

} // namespace Sync
} // namespace Nuvaro
