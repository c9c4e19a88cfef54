// FSAppRunner: the administrator's remote commands (message, block, block and
// wipe), the remote wipe and the two resets.

#include "FSAppRunner.h"

#include "FSUtil.h"
#include "NuvaroUtil.h"
#include "UIEvent.h"
#include "WipeGuard.h"
#include "nuvarocbfs_Defs.h"

#include <Poco/File.h>
#include <Poco/Logger.h>

#include <sys/stat.h>
#include <unistd.h>

namespace Nuvaro {
namespace Sync {

namespace {

Poco::Logger& rootLog() {
    return Poco::Logger::root();
}

Poco::Logger& syncLog() {
    return Poco::Logger::get("Sync");
}

void postEvent(int type, const std::string& text, int value) {
    uiPostEvent(static_cast<uiEventType>(type), text, value);
}

std::string recordValue(const Nuvaro::Record& record, const std::string& key) {
    if (!record)
        return std::string();
    auto found = record->find(key);
    return found == record->end() ? std::string() : found->second;
}

// Removes a file of the data folder when it exists; false when it is there
// and cannot be removed.
bool removeFileIfPresent(const std::string& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0)
        return true;
    return ::unlink(path.c_str()) == 0;
}

} // namespace

// ---- The commands ----

bool FSAppRunner::processRMC(Nuvaro::RecordList& commands, std::string& message, Nuvaro::RecordList* carriedOut) {
    for (const Nuvaro::Record& command : commands) {
        const std::string code = recordValue(command, RMC_COMMAND_ID_KEY);
        if (code == RMC_DISPLAY_MESSAGE_KEY) {
            postEvent(4, recordValue(command, MESSAGE_KEY), 0);
        } else if (code == RMC_WIPE_AND_ABORT_LOGIN_KEY || code == RMC_LOGIN_BLOCKED_KEY) {
            const bool wipe = code == RMC_WIPE_AND_ABORT_LOGIN_KEY;
            const bool done = wipe ? processLoginBlockedAndWipe() : processLoginBlocked();
            if (done && carriedOut)
                carriedOut->push_back(command);
            message = wipe ? "Admin has blocked and issued remote wipe of this client. Login disallowed"
                           : "Admin has blocked this client from logging in. Login disallowed";
            postEvent(7, "", 0);
            return false;
        } else if (code == RMC_MOBILE_HIDEOPENWITH_KEY) {
            syncLog().trace("Ignoring RMC Command Received.." + code);
        } else {
            syncLog().error("Unknown RMC Command Received.." + code);
        }
        if (carriedOut)
            carriedOut->push_back(command);
    }
    return true;
}

bool FSAppRunner::processLoginBlocked() {
    syncLog().debug("++++++++++++ Process LOGIN BLOCK");
    return carryOutBlock(false, "LOGIN BLOCK", "Admin has blocked this client. Login disallowed");
}

bool FSAppRunner::processLoginBlockedAndWipe() {
    syncLog().debug("++++++++++++ Process LOGIN BLOCK and WIPE");
    return carryOutBlock(true, "LOGIN BLOCK and WIPE",
                         "Admin has blocked and issued remote wipe of this client. Login disallowed");
}

// The sync worker and the job manager are stopped and released whether or
// not the worker runs: the resets below do nothing while a worker exists.
bool FSAppRunner::carryOutBlock(bool wipe, const std::string& name, const std::string& notice) {
    std::unique_lock<std::mutex> lock = lockLifecycle(true);
    if (!lock.owns_lock()) {
        syncLog().error(name + " not carried out: the remote-management worker is stopping");
        return false;
    }
    shutdownLocked(false);
    if (wipe) {
        doRemoteWipe();
        resetSyncData();
    } else {
        resetConfigData();
    }
    postEvent(4, notice, 0);
    return true;
}

// ---- The wipe ----

// Only folders of this program: four fixed places in the sync folder (two of
// them named by the server, so their names must be plain names) and the
// local folders of the network-folder jobs configured here, each checked by
// wipeRefusal. Backup sources are the user's own folders and stay.
std::vector<std::string> FSAppRunner::remoteWipeTargets() {
    std::vector<std::string> targets;
    const std::string syncPath = getSyncFolder();
    auto inSyncFolder = [&](const std::string& name) {
        if (isSingleFolderName(name))
            targets.push_back(syncPath + "/" + name);
        else
            rootLog().error("Remote Wipe refused for the folder name \"" + name + "\": not a plain folder name");
    };
    inSyncFolder("My Files");
    inSyncFolder("Shared with Me");

    std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
    offlineDB->getAllFOJobRecord(jobs);
    const std::vector<std::string> ownFolders{syncPath, basePath};
    for (const boost::shared_ptr<FOOfflineJobData>& job : jobs) {
        if (job->syncType == FOOfflineJobData::TYPE_BACKUP)
            continue;
        const std::string refusal = wipeRefusal(job->localLinkPath, ownFolders, Nuvaro::Util::getUserHomePath());
        if (refusal.empty())
            targets.push_back(job->localLinkPath);
        else
            rootLog().error("Remote Wipe refused for the job folder " + job->localLinkPath + ": " + refusal);
    }

    inSyncFolder(config("networkfoldername", "Network Folders"));
    inSyncFolder(config("teamfoldername", "Team Folders"));
    return targets;
}

void FSAppRunner::doRemoteWipe() {
    if (currentWorker() || currentOfflineManager())
        return;
    rootLog().debug("############# Begin Remote Wipe Operation Requested by Remote Admin");
    for (const std::string& target : remoteWipeTargets())
        wipeFolder(target);
}

// A link in place of the folder is removed itself; what it points to stays.
// Errors are ignored: the next folder follows.
void FSAppRunner::wipeFolder(const std::string& path) {
    rootLog().debug("############# Begin Remote Wipe Operation Requested by Remote Admin: " + path);
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0)
        return;
    if (S_ISDIR(info.st_mode))
        greedyRecursiveWipe(path);
    else
        ::unlink(path.c_str());
}

// ---- The resets ----
//
// Both keep the client id the server knows this installation by. One that
// was never made is not written back empty: an empty id would be kept for
// good, as getSettings makes a new one only where none is stored.

void FSAppRunner::resetSyncData() {
    rootLog().debug("############ Begin Reset Sync Data");
    if (currentWorker() || currentOfflineManager() || !syncDB)
        return;
    const bool hadClientId = syncDB->doesConfigExist("config", RMC_CLIENT_ID);
    const std::string clientId = config(RMC_CLIENT_ID);
    if (!syncDB->resetSyncData(false))
        return;
    syncDB->clearAllLimitPaths();
    if (hadClientId && !syncDB->setConfigValue("config", RMC_CLIENT_ID, clientId))
        return;
    if (!offlineDB->deleteAllJobRecords())
        return;
    if (!removeFileIfPresent(basePath + "/profile.png") || !removeFileIfPresent(basePath + "/login.png"))
        return;
    const std::string staging = basePath + "/.cache";
    if (Poco::File(staging).exists() && !greedyRecursiveWipe(staging))
        return;
    postEvent(18, "", 0);
}

void FSAppRunner::resetConfigData() {
    rootLog().debug("############## Begin Reset Config Data");
    if (currentWorker() || !syncDB)
        return;
    const bool hadClientId = syncDB->doesConfigExist("config", RMC_CLIENT_ID);
    const std::string clientId = config(RMC_CLIENT_ID);
    if (syncDB->resetConfigData() && hadClientId)
        syncDB->setConfigValue("config", RMC_CLIENT_ID, clientId);
}

} // namespace Sync
} // namespace Nuvaro
