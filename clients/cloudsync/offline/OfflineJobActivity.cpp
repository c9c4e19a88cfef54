// OfflineJobActivity: construction, kill, the run with its settings and its
// end, the server checks, the base folders, remote folder creation and case
// twins, the backup record and the local properties of an entry.

#include "OfflineJobActivity.h"

#include "AttributeManager.h"
#include "FOLocalFiles.h"
#include "FOPathHelpers.h"
#include "LoginFailure.h"
#include "OfflineJobCommon.h"
#include "RequestText.h"
#include "UIEvent.h"

#include "LimitedInputStream.h"
#include "NuvaroException.h"
#include "NuvaroUtil.h"
#include "nuvarocbfs_Defs.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/DirectoryIterator.h>
#include <Poco/Path.h>
#include <Poco/Process.h>
#include <Poco/String.h>
#include <Poco/StringTokenizer.h>
#include <Poco/Timestamp.h>

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace Nuvaro {
namespace Sync {

namespace {

const int SESSION_TIMEOUT_SECONDS = 300;

std::string prefixFor(int syncType) {
    if (syncType == FOOfflineJobData::TYPE_NETWORK_FOLDER)
        return "Network Folder: ";
    if (syncType == FOOfflineJobData::TYPE_BACKUP)
        return "Backup: ";
    return std::string();
}

// The non-empty "|" tokens of text.
std::vector<std::string> tokens(const std::string& text) {
    std::vector<std::string> out;
    Poco::StringTokenizer split(text, "|", Poco::StringTokenizer::TOK_IGNORE_EMPTY);
    for (const std::string& token : split)
        out.push_back(token);
    return out;
}

// The last component of a local folder path ("/home/u/Net/" -> "Net").
std::string lastComponent(const std::string& path) {
    const std::string trimmed = FORemoveEndingSlash(path);
    const std::string::size_type slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

} // namespace

// ---- Object ----

OfflineJobActivity::OfflineJobActivity(const Nuvaro::RecordList& settings_, const FOOfflineJobData& job_,
                                       const boost::shared_ptr<FOOfflineDB>& db_, bool userInitiated_)
    : settings(copySettingsList(settings_)), job(job_), db(db_), userInitiated(userInitiated_),
      eventPrefix(prefixFor(job_.syncType)) {}

OfflineJobActivity::~OfflineJobActivity() {
    jobActivity.stop();
    killRequested = true;
    canceller.cancel();
    jobActivity.wait();
    waitForAllTransferJobs();
}

void OfflineJobActivity::killJob() {
    killRequested = true;
    canceller.cancel();
    jobActivity.stop();
}

OfflineJobActivity::Counts OfflineJobActivity::counts() const {
    Counts now;
    now.downloaded = downloaded;
    now.uploaded = uploaded;
    now.conflicts = conflicts;
    now.deleted = deleted;
    return now;
}

bool OfflineJobActivity::reconnect() {
    if (!connector || !connector->Authenticate(true))
        return false;
    if (connector->isAuthenticated())
        return true;
    reportLoginRefusal();
    return false;
}

bool OfflineJobActivity::reportLoginRefusal() {
    const LoginFailure::Kind failure = classifyLoginFailure(*connector).kind;
    if (failure == LoginFailure::Kind::Refused) {
        Poco::Logger::root().error("Authentication Failed or Bad 2FA code or Bad Device Auth Code");
        postJobEvent(7, "", 0);
        return true;
    }
    if (failure == LoginFailure::Kind::SessionTimedOut) {
        Poco::Logger::root().error("Device Auth Code Session Timeout");
        postJobEvent(8, "", 0);
        return true;
    }
    return false;
}

// ---- The run ----

void OfflineJobActivity::run() {
    bool completed = false;
    try {
        completed = runSteps();
    } catch (const Poco::Exception& e) {
        jobLog().error(std::string("run") + "Exception caught : " + e.displayText());
    } catch (const Nuvaro::Exception& e) {
        jobLog().error(std::string("run") + "Exception caught : " + e.message());
    } catch (const std::exception& e) {
        jobLog().error(std::string("run") + "Exception caught : " + e.what());
    } catch (...) {
        jobLog().error(std::string("run") + "Unknown Exception caught : ");
    }
    if (completed)
        postJobEvent(16, "", 0);
    // Nothing of this run may still work when the manager sees it done.
    waitForAllTransferJobs();
    done = true;
}

bool OfflineJobActivity::runSteps() {
    readSettings();
    if (!logIn())
        return false;
    if (!checkServerStatus())
        return false;
    if (!createRemoteBaseFolder()) {
        if (!isStopped())
            postJobEvent(16, "", 0);
        return false;
    }
    if (job.syncType != FOOfflineJobData::TYPE_BACKUP)
        removeStaleTemporaryFiles(job.localLinkPath);
    if (scanRemote) {
        postJobEvent(0, eventPrefix + "Checking..", 100);
        getRemoteFileList(job.remotePath);
        postJobEvent(3, "Checking..", 100);
    }
    if (job.syncType != FOOfflineJobData::TYPE_BACKUP) {
        if (isStopped())
            return false;
        if (deletionsWouldEmptyTheJob()) {
            refuseLocalFolder("none of the items of the last run is there while this run would delete on the "
                              "server");
            postJobEvent(16, "", 0);
            return false;
        }
        downloadFiles();
        postJobEvent(16, "", 0);
    }
    if (isStopped())
        return false;
    if (job.syncType != 2) {
        uploadFiles();
        postJobEvent(16, "", 0);
    }
    if (isStopped())
        return false;
    finishRun();
    return true;
}

std::string OfflineJobActivity::setting(const std::string& key) const {
    return RequestText::recordValue(settings[0], key);
}

void OfflineJobActivity::readSettings() {
    auto value = [this](const std::string& key) { return setting(key); };
    uploadRestrictionsText = Poco::toLower(value("uploadrestrictions"));
    uploadRestrictions = tokens(uploadRestrictionsText);
    skipRegex = value("skipregex");
    disableDotDot = value("disabledotdot");
    maxThreads = static_cast<int>(std::strtol(value("maxthreads").c_str(), nullptr, 10));
    checkModTime = value("checkmodtime") == "1";
    checkCrc = value("checkcrc") == "1";
    if (job.syncType == FOOfflineJobData::TYPE_BACKUP) {
        scanRemote = value("scanremotebeforebackup") == "1";
        for (const std::string& path : tokens(value("excludepaths")))
            excludePaths.insert(path);
    } else {
        scanRemote = true;
    }
}

bool OfflineJobActivity::logIn() {
    connector.reset(new NuvaroConnector(settings, true, "Cloud Connector"));
    connector->setCancelHook(&canceller);
    if (connector->Authenticate(true))
        return true;
    if (!reportLoginRefusal())
        Poco::Logger::root().error("Failed Connection");
    return false;
}

void OfflineJobActivity::finishRun() {
    boost::shared_ptr<FOOfflineJobData> stored = db->getFOJobRecord(job.localLinkPath);
    if (!stored) {
        jobLog().warning("Can't Find Offline Job Entry, cleaning up existing records ");
        db->FODeleteRecordsForJobRecord(job.localLinkPath);
    } else {
        stored->lastRun = Poco::DateTimeFormatter::format(Poco::Timestamp(), Poco::DateTimeFormat::SORTABLE_FORMAT);
        if (db->FOUpdateJobRecord(stored.get()) && !localDevice.empty())
            db->FOSetJobDevice(job.localLinkPath, localDevice);
    }
    jobLog().trace("Ending OfflineJobActivity ");
    const Counts totals = counts();
    if (job.syncType == FOOfflineJobData::TYPE_BACKUP && totals.uploaded > 0)
        addBackupRecord(totals.uploaded);
    if (totals.downloaded > 0 || totals.uploaded > 0 || totals.conflicts > 0 || totals.deleted > 0 ||
        userInitiated) {
        std::string summary = "Completed Folder: " + lastComponent(job.localLinkPath);
        if (totals.downloaded > 0)
            summary += " " + std::to_string(totals.downloaded) + " files downloaded";
        if (totals.uploaded > 0)
            summary += " " + std::to_string(totals.uploaded) + " files uploaded";
        if (totals.conflicts > 0)
            summary += " " + std::to_string(totals.conflicts) + " conflicts";
        if (totals.deleted > 0)
            summary += " " + std::to_string(totals.deleted) + " deleted";
        postJobEvent(4, summary, 0);
    }
}

void OfflineJobActivity::removeStaleTemporaryFiles(const std::string& folder) {
    std::vector<std::string> children;
    try {
        for (Poco::DirectoryIterator it(folder), end; it != end; ++it)
            children.push_back(it.name());
    } catch (const Poco::Exception& e) {
        jobLog().error("Failed listing " + folder + " for leftover temporary files: " + e.displayText());
        return;
    }
    for (const std::string& name : children) {
        if (isStopped())
            return;
        const std::string path = FORemoveEndingSlash(folder) + "/" + name;
        const FOLocalKind kind = FOLocalKindOf(path);
        if (kind == FOLocalKind::Folder) {
            if (job.recurse)
                removeStaleTemporaryFiles(path);
            continue;
        }
        const long owner = NuvaroConnector::temporaryNameProcess(name);
        if (kind != FOLocalKind::File || owner <= 0 || owner == static_cast<long>(Poco::Process::id()))
            continue;
        // Another process's download in progress keeps its file; only a
        // process that is gone (killed, crashed) left it for good.
        if (::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH)
            continue;
        try {
            Poco::File(path).remove();
            jobLog().information("Removed leftover temporary download file: " + path);
        } catch (const Poco::Exception& e) {
            jobLog().error("Failed removing leftover temporary download file " + path + ": " + e.displayText());
        }
    }
}

// ---- Server checks and base folders ----

bool OfflineJobActivity::checkServerStatus() {
    if (!connector->getServerStatus(serverStatus, true)) {
        jobLog().error("Failed to Get System Status, Skipping ");
        return false;
    }
    const Nuvaro::Record first = serverStatus.empty() ? Nuvaro::Record() : serverStatus[0];
    const bool networkAllowed = RequestText::recordValue(first, "allownetworkfoldersync") == "1";
    if (job.remotePath.find("EXTERNAL") != std::string::npos && !networkAllowed) {
        jobLog().error("Network Sync Disabled, Skipping");
        postJobEvent(4, "Network Folder Sync has been disabled by Admin", 0);
        return false;
    }
    const bool backupAllowed = RequestText::recordValue(first, "allowbackup") == "1";
    if (job.syncType == FOOfflineJobData::TYPE_BACKUP && !backupAllowed) {
        jobLog().error("Backup Disabled, Skipping");
        postJobEvent(4, "Backup has been disabled by Admin", 0);
        return false;
    }
    return true;
}

bool OfflineJobActivity::createRemoteBaseFolder() {
    jobLog().trace("createRemoteBaseFolder");
    try {
        if (!connector->remoteFileExists(job.remotePath)) {
            const std::string error = connector->getLastError();
            if (!error.empty()) {
                // The server could not say: not the same as "absent".
                const std::string message = "ERROR: Could not check Remote Path " + job.remotePath + " " + error;
                jobLog().error(message);
                addActivity(FSActivity::TypeError, message, job.remotePath);
                postJobEvent(4, message, 0);
                return false;
            }
            if (job.syncType != FOOfflineJobData::TYPE_BACKUP) {
                jobLog().error("Remote Path " + job.remotePath + " doesn't exist, bailing");
                const std::string message = "ERROR: Remote Path doesn't exist " + job.remotePath;
                addActivity(FSActivity::TypeError, message, job.remotePath);
                postJobEvent(4, message, 0);
                postJobEvent(16, "", 0);
                return false;
            }
            if (!createFolderRecursive(job.remotePath))
                return false;
        }
        return prepareLocalBaseFolder();
    } catch (const Poco::Exception& e) {
        jobLog().error(std::string("createRemoteBaseFolder") + " : Caught Exception " + e.displayText());
    } catch (...) {
        jobLog().error("FO Failed creating local base directory " + job.localLinkPath);
    }
    return false;
}

bool OfflineJobActivity::prepareLocalBaseFolder() {
    Poco::File base(job.localLinkPath);
    if (base.exists()) {
        if (base.isDirectory() && !FOFolderListable(job.localLinkPath)) {
            // Unreadable (permissions, a failed mount): every item would look
            // missing, and missing items are deleted on the server.
            const std::string message = "ERROR: Local folder cannot be read " + job.localLinkPath;
            jobLog().error("FO Local base directory cannot be listed, skipping job " + job.localLinkPath);
            addActivity(FSActivity::TypeError, message, job.localLinkPath);
            return false;
        }
        if (base.isDirectory())
            return sameFileSystemAsLastRun();
        jobLog().error("FO Local base is not a directory " + job.localLinkPath);
        addActivity(FSActivity::TypeError, "ERROR: Local folder is not a folder " + job.localLinkPath,
                    job.localLinkPath);
        return false;
    }
    int files = 0;
    int folders = 0;
    Poco::Int64 bytes = 0;
    db->getFOJobRecordStats(job.localLinkPath, files, folders, bytes);
    if (!job.lastRun.empty() || files + folders > 0) {
        // It was there before: an unplugged disk or an unmounted share. An
        // empty folder made here would read as "the user deleted everything".
        const std::string message = "ERROR: Local folder doesn't exist " + job.localLinkPath;
        jobLog().error("FO Local base directory missing, skipping job " + job.localLinkPath);
        addActivity(FSActivity::TypeError, message, job.localLinkPath);
        postJobEvent(4, message, 0);
        return false;
    }
    if (Poco::Path(job.localLinkPath).depth() >= 1)
        base.createDirectories();
    if (!base.exists() || !base.isDirectory()) {
        jobLog().error("FO Failed creating local base directory " + job.localLinkPath);
        return false;
    }
    return sameFileSystemAsLastRun();
}

bool OfflineJobActivity::sameFileSystemAsLastRun() {
    if (job.syncType == FOOfflineJobData::TYPE_BACKUP)
        return true;
    localDevice = FOLocalDeviceOf(job.localLinkPath);
    const std::string recorded = db->getFOJobDevice(job.localLinkPath);
    if (recorded.empty() || localDevice.empty() || recorded == localDevice)
        return true;
    refuseLocalFolder("it lies on another file system than at the last run: " + localDevice + " now, " + recorded +
                      " then");
    return false;
}

void OfflineJobActivity::refuseLocalFolder(const std::string& reason) {
    const std::string message = "ERROR: Local folder is empty or not the one of the last run " + job.localLinkPath;
    jobLog().error("FO Local folder is empty or not the one of the last run (" + reason +
                   "), deleting nothing on the server, skipping job " + job.localLinkPath);
    addActivity(FSActivity::TypeError, message, job.localLinkPath);
    postJobEvent(4, message, 0);
}

bool OfflineJobActivity::createFolderRecursive(const std::string& path) {
    Poco::StringTokenizer parts(path, "/", Poco::StringTokenizer::TOK_IGNORE_EMPTY);
    std::string current;
    std::string parent;
    for (std::size_t i = 0; i < parts.count(); ++i) {
        parent = current;
        current += "/" + parts[i];
        syncLog().trace("Checking Remote Path Exists: " + current);
        if (connector->remoteFileExists(current)) {
            syncLog().trace("Remote Path " + current + " OK");
            continue;
        }
        if (i == 0)
            continue; // the user's root is never created
        if (connector->createRemoteFolder(parts[i], parent)) {
            syncLog().trace("Creating Remote Path " + current + " OK");
        } else if (renameIfExists(parent, parts[i])) {
            syncLog().trace(" Renamed existing remote item " + parent + parts[i]);
        } else {
            syncLog().error("Creating Remote Path " + current + " failed, bailing");
            addActivity(FSActivity::TypeError, "Failed to Create Remote Path " + current, current);
            postJobEvent(16, "", 0);
            return false;
        }
    }
    return true;
}

bool OfflineJobActivity::renameIfExists(const std::string& parentPath, const std::string& name) {
    Nuvaro::RecordList entries;
    Nuvaro::RecordList meta;
    std::string error;
    if (!connector->getFileList(parentPath, entries, meta, error, 0, false))
        return false;
    const std::string wanted = Poco::toLower(name);
    for (const Nuvaro::Record& entry : entries) {
        const std::string found = RequestText::recordValue(entry, "name");
        if (Poco::toLower(found) != wanted)
            continue;
        const bool renamed = connector->renameRemoteFile(parentPath, found, name);
        if (renamed && job.syncType == FOOfflineJobData::TYPE_BACKUP)
            clearDifferentCaseItemsDB(parentPath, name);
        return renamed;
    }
    return false;
}

// ---- The backup record ----

void OfflineJobActivity::setupHTTPProps(Poco::Net::HTTPClientSession& session) {
    session.setTimeout(Poco::Timespan(SESSION_TIMEOUT_SECONDS, 0));
    std::string error;
    if (!applyProxySettings(settings[0], session, error))
        throw Poco::InvalidArgumentException(error);
}

// Sent through the connector's request procedure with the head the record
// always had: HTTP/1.1, the bare Device-Info, the client id as stored (not
// encoded). A reply that announces more than MAX_REPLY_BYTES is not read, one
// without a length is read no further than that.
void OfflineJobActivity::addBackupRecord(int uploadedCount) {
    const std::string name = "addBackupRecord";
    try {
        if (!connector->isAuthenticated()) {
            syncLog().error(name + " ERROR Preparing HTTP");
            return;
        }
        const std::string local = FORemoveEndingSlash(job.localLinkPath);
        std::string setName = lastComponent(job.localLinkPath);
        if (Poco::Path(job.localLinkPath).depth() < 1)
            setName = Poco::replace(local, ":", "_Drive");
        Nuvaro::RequestSpec spec(name, Poco::Net::HTTPRequest::HTTP_POST, "/app/backup/addbackuprecord");
        spec.setupSession = [this](Poco::Net::HTTPClientSession& session) { setupHTTPProps(session); };
        spec.traceRequest = false;
        spec.traceStatus = false;
        spec.postLineFeed = false;
        spec.field("remote_client_id", setting("RMC_CLIENT_ID")).fields.back().encoded = true;
        spec.field("device_name", setting("friendlyname"))
            .field("backup_set_name", setName)
            .field("backup_set_local_folder", local)
            .field("backup_set_filestats", std::to_string(uploadedCount))
            .field("send_email", job.sendEmail ? "1" : "0");
        bool tooLarge = false;
        Nuvaro::RecordList records;
        spec.readBody = [&](Poco::Net::HTTPClientSession&, std::istream& in, const Poco::Net::HTTPResponse& head) {
            if (head.getStatus() != Poco::Net::HTTPResponse::HTTP_OK)
                return;
            if (head.hasContentLength() && head.getContentLength64() > MAX_REPLY_BYTES) {
                tooLarge = true;
                return;
            }
            LimitedInputStream limited(in, MAX_REPLY_BYTES);
            records = NuvaroXmlParser::parseNuvaroXML("command", limited);
        };
        Nuvaro::Reply reply;
        connector->exchange(spec, reply);
        if (reply.response.getStatus() != Poco::Net::HTTPResponse::HTTP_OK) {
            syncLog().error(name + " Bad HTTP Status, Timeout? ");
            return;
        }
        if (tooLarge) {
            syncLog().error(name + " Bad response Get Content Length ");
            return;
        }
        if (!records.empty()) {
            const std::string result = RequestText::recordValue(records[0], "result");
            if (result != "true" && result != "1")
                syncLog().error("OfflineJobActivity:: AddBackup Record Remote Call Failed ");
        }
    } catch (...) {
        syncLog().error(RequestText::exceptionLine(name, "", ""));
    }
}

// ---- Local properties ----

void OfflineJobActivity::updateObjectProps(const std::string& path, FOOfflineEntry& entry, bool withCrc) {
    if (FOLocalKindOf(path) != FOLocalKind::File)
        return;
    try {
        Poco::File file(path);
        const Poco::Timestamp modified = file.getLastModified();
        const Poco::Int64 size = static_cast<Poco::Int64>(file.getSize());
        entry.fileMod = Poco::DateTimeFormatter::format(modified, Poco::DateTimeFormat::SORTABLE_FORMAT);
        entry.size = size;
    } catch (const Poco::Exception&) {
        return;
    }
    std::string crc;
    if (withCrc && Nuvaro::Util::getFileCRC(path, crc, 0, static_cast<long>(entry.size)))
        entry.fileCrc = crc;
}

void OfflineJobActivity::recordVersionSent(FOOfflineEntry& entry, const LocalFileVersion& sent) {
    entry.size = sent.size;
    entry.modified = sent.modified().utcTime();
    entry.fileMod = Poco::DateTimeFormatter::format(sent.modified(), Poco::DateTimeFormat::SORTABLE_FORMAT);
    if (checkCrc) {
        std::string crc;
        entry.fileCrc = AttributeManager::checksumOfVersion(entry.fullPath, sent, sent.size, crc) ? crc : "";
    }
}

// ---- Shared small steps ----

std::string OfflineJobActivity::localPathOf(const std::string& remotePath) const {
    return FOTranslateToNativePath(remotePath, job.remotePath, job.localLinkPath);
}

std::string OfflineJobActivity::writableLocalPathOf(const std::string& remotePath) const {
    const std::string local = localPathOf(remotePath);
    if (local.empty() || FONoLinkBelow(job.localLinkPath, local))
        return local;
    if (FOLocalKindOf(local) == FOLocalKind::Unknown)
        jobLog().error("FO Local item cannot be examined, leaving it: " + local);
    else
        jobLog().error("FO Refusing item behind a link in the job folder: " + local);
    return std::string();
}

bool OfflineJobActivity::localUnchangedSinceRow(const std::string& path, const FOOfflineEntry& row) {
    if (FOLocalKindOf(path) != FOLocalKind::File)
        return false;
    try {
        Poco::File file(path);
        if (static_cast<Poco::Int64>(file.getSize()) != row.size)
            return false;
        if (checkCrc && !row.fileCrc.empty()) {
            std::string crc;
            return Nuvaro::Util::getFileCRC(path, crc, 0, static_cast<long>(row.size)) && crc == row.fileCrc;
        }
        return FOWholeSecond(file.getLastModified().utcTime()) == FOWholeSecond(row.modified);
    } catch (const Poco::Exception&) {
        return false;
    }
}

bool OfflineJobActivity::remoteUnchangedSinceRow(const Nuvaro::Record& item, const FOOfflineEntry& row) const {
    return remoteSize(item) == row.size && FOWholeSecond(remoteTime(item)) == FOWholeSecond(row.modified);
}

void OfflineJobActivity::addActivity(FSActivity::Type type, const std::string& message, const std::string& path) {
    if (type == FSActivity::TypeError && killRequested) {
        // Once the run is stopped its requests are refused or cut short:
        // what fails then is the stop, not the server or the files.
        jobLog().debug("Not recorded, the run was stopped: " + message);
        return;
    }
    boost::shared_ptr<FSActivity> entry(new FSActivity(FSActivity::LevelNormal, type, message, path, "Cloud Sync"));
    db->activityAdd(entry);
}

} // namespace Sync
} // namespace Nuvaro
