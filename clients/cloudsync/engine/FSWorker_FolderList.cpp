// FSWorker: the first step of a server half, the sync folders that need
// work. One request in two forms: the folder list (normally; it names the
// device and sends the external automatic-sync paths) and the status sets
// (selective sync on; it sends the selected paths unless My Files are
// disabled, then the external paths). Both post the paths as a numbered form
// ("count=2&path1=%2Fa%20b&path2=%2Fc"), read a "syncfolder" reply and let the
// sync database compare each folder's status set with the stored one.

#include "FSWorker.h"

#include "RequestText.h"
#include "SyncLog.h"

namespace Nuvaro {
namespace Sync {

namespace {

// The most of a reply body that goes into the log line of an empty list.
const std::string::size_type LOGGED_BODY_BYTES = 65536;

} // namespace

std::string FSWorker::pathsBody(const std::vector<std::string>& paths) {
    std::string body = "count=" + std::to_string(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i)
        body += "&path" + std::to_string(i + 1) + "=" + RequestText::formValue(paths[i]);
    return body;
}

bool FSWorker::ReplyStep::apply(bool& flag) const {
    if (gotReply != Flag::Kept)
        flag = gotReply == Flag::Set;
    return ok;
}

bool FSWorker::doGetSyncFolderList(bool& gotReply) {
    const std::string name = "doGetSyncFolderList";
    syncLog().trace(">>>> STEP 1. Getting List of Folders to Sync from Server");
    try {
        std::vector<std::string> paths;
        db->getExternalPaths(paths);
        if (myFilesDisabled && paths.empty()) {
            syncLog().debug(name + " My Files Disabled and no External Automatic Sync Paths Found, Nothing to Sync");
            return true;
        }
        SyncRequest request = postRequest(
            name, "/app/sync/getsyncfolderlist?v=1&friendly=" + RequestText::formValue(friendlyName), pathsBody(paths));
        syncLog().debug("Req : " + request.uri);
        return askForSyncFolders(request, true).apply(gotReply);
    } catch (...) {
        syncLog().error(RequestText::exceptionLine(name, "", " "));
        flags.loggedIn = false;
        return false;
    }
}

bool FSWorker::doGetSyncFolderStatusSet(bool& gotReply) {
    const std::string name = "doGetSyncFolderStatusSet";
    syncLog().trace(">>>> STEP 1. Getting Sync Folder Status Set because Limit Paths Set");
    try {
        std::vector<std::string> paths;
        if (!myFilesDisabled)
            db->getLimitPaths(paths);
        db->getExternalPaths(paths);
        if (paths.empty()) {
            syncLog().debug(name + " Limit folders enabled, but no Limited Paths Found, Nothing to Sync");
            return true;
        }
        syncLog().debug(name + " Limit folders enabled, Found " + std::to_string(paths.size()) +
                        " Limited Paths Found.. Getting Sync Folder Status Set...");
        return askForSyncFolders(postRequest(name, "/app/sync/getsyncfolderstatusset", "v=1&" + pathsBody(paths)),
                                 false)
            .apply(gotReply);
    } catch (...) {
        syncLog().error(RequestText::exceptionLine(name, "", " "));
        flags.loggedIn = false;
        return false;
    }
}

FSWorker::ReplyStep FSWorker::askForSyncFolders(const SyncRequest& given, bool folderList) {
    SyncRequest request = given;
    request.notPreparedText = " ERROR Preparing HTTP";
    request.maxContentLength = replyLimits.folderList;
    const std::string& name = request.operation;
    SyncReply reply;
    sendSyncRequest(request, reply);
    if (reply.outcome == SyncReply::NotPrepared || !replyAccepted(name, reply))
        return {};

    // A reply that is not well-formed (logged by parseReply) counts as one
    // without records: the folders read before the error are not a list the
    // database may compare with, it would forget the stored folders missing
    // from it.
    ParseResult parsed = parseReply("syncfolder", reply.body);
    if (!parsed.ok) {
        parsed.records.clear();
        parsed.metaRecords.clear();
    }
    // A server that says no is asked again after the back-off interval (not
    // at every cycle), and the user is told once, not at every pass.
    if (!parsed.metaRecords.empty() && RequestText::recordValue(parsed.metaRecords.front(), "allowsync") == "0") {
        syncLog().error(name + " Sync Disabled, Skipping.. ");
        reportRefusal("The server does not allow this device to sync now; it is asked again later");
        curInterval = 4 * syncFrequency.load();
        return {false, ReplyStep::Flag::Cleared};
    }
    if (parsed.records.empty()) {
        if (reply.body.find("Authentication Failed") != std::string::npos ||
            reply.body.find("AuthenticationFailed") != std::string::npos) {
            syncLog().error(name + "Authentication Failed : Logging back in");
            flags.loggedIn = false;
            return {};
        }
        if (folderList) {
            syncLog().error(name + "GetSyncDelta Returned : " + reply.body.substr(0, LOGGED_BODY_BYTES));
            reportRefusal("Sync Folder List is empty from Server ");
        } else {
            reportRefusal("Warning: No Folders marked for syncing");
        }
        curInterval = 4 * syncFrequency.load();
        return {true, ReplyStep::Flag::Kept};
    }
    db->updateSyncFolderList(parsed.records, pass.syncFolders, teamFolderAccount);
    flags.serverOk = true;
    return {true, ReplyStep::Flag::Set};
}

} // namespace Sync
} // namespace Nuvaro
