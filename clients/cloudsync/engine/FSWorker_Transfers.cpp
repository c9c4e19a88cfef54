// FSWorker: the transfer jobs of the passes. startJob runs simulImpl, the
// worker's transfer body, on a pool thread with the job's own connector; the
// body reports through the callbacks uploadOK, uploadFailed, downloadOK and
// downloadFailed, which run on that pool thread too (several at once: they
// touch only the database, which locks itself, uploadedThisPass, which has
// its own lock, the atomic flags, the queue and the UI event hook). Also the
// two small free functions containsNetworkException and myround.

#include "FSWorker.h"

#include "AttributeManager.h"
#include "DirChangeNotification.h"
#include "NuvaroException.h"
#include "NuvaroUtil.h"
#include "UIEvent.h"
#include "WorkerHelpers.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Logger.h>

#include <climits>
#include <exception>
#include <fcntl.h>
#include <unistd.h>

namespace Nuvaro {
namespace Sync {

namespace {

const Poco::Int64 CHUNK_SIZE = 10485760;
const char* const APP_NAME = "sync";

} // namespace

// ---- Free helpers ----

bool containsNetworkException(const std::string& text) {
    return text.find("HostNotFoundException") != std::string::npos ||
           text.find("NoAddressFoundException") != std::string::npos ||
           text.find("InterfaceNotFoundException") != std::string::npos;
}

int myround(double v) {
    // Values beyond an int (and NaN, which compares false) are clamped, so
    // the conversion is always defined.
    if (v >= 0.0)
        return v <= 1.0 ? 1 : v + 0.5 >= INT_MAX ? INT_MAX : static_cast<int>(v + 0.5);
    if (v - 0.5 <= INT_MIN)
        return INT_MIN;
    return v < 0.0 ? static_cast<int>(v - 0.5) : 0;
}

// ---- The job ----

Poco::ActiveResult<ActiveThreadContext> FSWorker::startJob(const ActiveThreadContext& ctx) {
    return (*simulMethod)(ctx);
}

ActiveThreadContext FSWorker::simulImpl(const ActiveThreadContext& ctx) {
    ActiveThreadContext result(ctx);
    const std::string& name = ctx.record.getName();
    bool bodyStarted = false;
    try {
        if (!ctx.prepareResult(result))
            return result;
        const bool upload = ctx.mode == ActiveThreadContext::MODE_UPLOAD;
        postEvent(14, name, upload ? 1 : 0);
        bodyStarted = true;
        std::string error;
        if (upload) {
            bool sent = ctx.chunked ? ctx.connector->chunkedUploadFile(ctx.remotePath, ctx.localFile, error, stop,
                                                                       APP_NAME, CHUNK_SIZE, "", &result.sent)
                                    : ctx.connector->uploadFile(ctx.remotePath, ctx.localFile, error, APP_NAME, -1,
                                                                &result.sent);
            result.error = sent ? "" : error;
            postEvent(15, name, 1);
            if (!sent && stop.load()) {
                // Stopped, not failed: no entry, no error line; the next
                // start finds the file still to send.
                syncLog().debug("Upload stopped: " + name);
                return result;
            }
            if (sent) {
                uploadOK(result);
                result.ok = true;
            } else {
                uploadFailed(result);
            }
            return result;
        }

        // The connector refuses a body of another size before it replaces
        // the staged file; the size is checked here once more all the same.
        // The worker's stop ends the body's copy at once (shutdown does not
        // wait for a large file); the staged file is then as it was.
        const Poco::Int64 expected = ctx.record.getSize();
        if (!ctx.connector->downloadFile(ctx.remotePath, name, ctx.localFile, error, APP_NAME, -1, -1, expected,
                                         &stop)) {
            result.error = error;
            postEvent(15, name, 0);
            if (stop.load()) {
                // Not a failure of the server's file: no recheck request, no
                // error entry; the next start downloads it again.
                syncLog().debug("Download stopped: " + name);
                return result;
            }
            downloadFailed(result);
            return result;
        }
        Poco::File file(ctx.localFile);
        const Poco::Int64 actual = static_cast<Poco::Int64>(file.getSize());
        if (actual != expected) {
            syncLog().error("Download FAILED: " + name + " Bad File Size: Actual: " + std::to_string(actual) +
                            " Expected: " + std::to_string(expected));
            result.error = "Size Mismatch";
            postEvent(15, name, 0);
            downloadFailed(result);
            return result;
        }
        AttributeManager::setAttributes(ctx.record.getAttribs(), file);
        AttributeManager::setLastModified(AttributeManager::getUTCTimestamp(ctx.record.getModified()), ctx.localFile);
        // On disk now, while the other jobs run: the apply step renames the
        // staged file into place, and its own flush is then quick.
        const int staged = ::open(ctx.localFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (staged >= 0) {
            ::fsync(staged);
            ::close(staged);
        }
        syncLog().debug("Download OK: " + name +
                        "| UTC Mod: " + AttributeManager::getUTCTimeStrFromUTCTimestamp(ctx.record.getModified()) +
                        "| Local Mod: " + AttributeManager::getLocalTimeStrFromUTCTimestamp(ctx.record.getModified()));
        result.error = "";
        postEvent(15, name, 0);
        downloadOK(result);
        result.ok = true;
    } catch (...) {
        // The job's own boundary: the failure is reported like any other
        // failed transfer, and the pool sees ok false.
        result.ok = false;
        result.error = exceptionText();
        if (result.error.empty())
            result.error = "Unknown Exception";
        syncLog().error(std::string("simulImpl") + " Exception caught : " + result.error + " for " + ctx.localFile);
        if (bodyStarted) {
            try {
                if (ctx.mode == ActiveThreadContext::MODE_UPLOAD)
                    uploadFailed(result);
                else
                    downloadFailed(result);
            } catch (...) {
            }
        }
    }
    return result;
}

// ---- Callbacks (pool threads) ----

void FSWorker::uploadOK(ActiveThreadContext& ctx) {
    syncLog().debug("FS Upload OK: " + ctx.localFile);
    boost::shared_ptr<FSActivity> entry(new FSActivity(
        FSActivity::LevelNormal, FSActivity::TypeUpload,
        ctx.record.getName() + " (" + Nuvaro::Util::readableFileSize(ctx.record.getSize(), 2) + ")",
        ctx.record.getLocalFullPath(), ctx.record.getFriendlyName()));
    stepActivities.add(entry, db.get());
    // With the version that went up: the apply step records that one when
    // the server's echo comes back, not the file as it is by then.
    uploadedThisPass.insert(FSSyncDB::convertToLinuxPath(ctx.record.getFullPath()), ctx.sent);
}

void FSWorker::uploadFailed(ActiveThreadContext& ctx) {
    const std::string text = "File Upload Failed: " + ctx.error;
    boost::shared_ptr<FSActivity> entry(new FSActivity(
        FSActivity::LevelNormal, FSActivity::TypeUploadFailure,
        text + " verify there is enough available storage and user has upload permissions. Also, verify if file "
               "upload works via a web browser. Please contact your administrator for assistance.",
        ctx.localFile, ctx.record.getFriendlyName()));
    stepActivities.add(entry, db.get());
    postEvent(16, "", 0);
    syncLog().error("FS Upload FAILED: " + ctx.localFile + " " + ctx.error);
    if (ctx.error.find("quota") != std::string::npos)
        postEvent(4, "Failed to upload file, Disk Quota Exceeded", 0);
    else
        postEvent(4, ctx.error + " error for " + ctx.localFile, 0);
    flags.loggedIn = false;
    if (queue.empty()) {
        syncLog().trace("===> Starting Manual FS Scan because Upload Failed and there might be more files left===>");
        queue.enqueueNotification(new DirChangeNotification());
    }
}

void FSWorker::downloadOK(ActiveThreadContext&) {
    // The apply step places the staged files once the whole batch is in.
}

void FSWorker::downloadFailed(ActiveThreadContext& ctx) {
    syncLog().error("Issued Recheck Record: " + ctx.remotePath);
    // Only on the job's own connector: the worker thread uses the worker's
    // meanwhile.
    if (ctx.connector)
        doRecheckRecord(ctx.remotePath, ctx.connector);
    reportError("Failed Download: " + ctx.error +
                    " verify whether file download works via a web browser. Please contact your administrator for "
                    "assistance.",
                ctx.record.getFullPath(), ctx.record.getFriendlyName(), FSActivity::TypeError);
}

} // namespace Sync
} // namespace Nuvaro
