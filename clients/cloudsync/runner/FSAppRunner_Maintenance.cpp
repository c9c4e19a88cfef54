// FSAppRunner: maintenance services for a hosting application: moving the
// sync folder, forgetting synchronised folders, the duplicate-record repair,
// the account's pictures and the advanced options of syncclientconfig.xml.

#include "FSAppRunner.h"

#include "ConsoleConfig.h"
#include "CopyWithTimeStamps.h"
#include "DataSyncStore.h"
#include "Image.h"
#include "NuvaroException.h"
#include "VariantRow.h"
#include "WipeGuard.h"
#include "nuvarocbfs_Network.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/UUIDGenerator.h>

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <set>

namespace Nuvaro {
namespace Sync {

namespace {

Poco::Logger& rootLog() {
    return Poco::Logger::root();
}

Poco::Logger& syncLog() {
    return Poco::Logger::get("Sync");
}

bool isFolder(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string valueOf(const Nuvaro::RecordList& settings, const std::string& key) {
    if (settings.empty() || !settings[0])
        return std::string();
    auto found = settings[0]->find(key);
    return found == settings[0]->end() ? std::string() : found->second;
}

} // namespace

// ---- Moving the sync folder ----

bool FSAppRunner::changeSyncFolder(const std::string& newPath) {
    std::unique_lock<std::mutex> lock = lockLifecycle(false);
    shutdownLocked(true);
    const std::string oldPath = getSyncFolder();
    bool moved = false;
    try {
        moved = moveSyncFolder(oldPath, newPath);
    } catch (const Poco::Exception& e) {
        rootLog().error("changeSyncFolder Poco Exception caught : " + e.displayText());
    } catch (const std::exception& e) {
        rootLog().error(std::string("changeSyncFolder Exception caught : ") + e.what());
    } catch (...) {
        rootLog().error("changeSyncFolder Unknown Exception caught : ");
    }
    startupLocked();
    return moved;
}

// Example: the sync folder "/home/u/Vaultpine" moved to "/data/Sync": the
// old folder's "My Files/a.txt" is copied to "/data/Sync/My Files/a.txt"
// (its time kept), syncfolderlocation becomes "/data/Sync", and a network
// folder job at "/home/u/Vaultpine/Projects" moves to "/data/Sync/Projects".
// "/home/u/Vaultpine/Sync" or "/home" as the new folder is refused before
// anything is created.
bool FSAppRunner::moveSyncFolder(const std::string& oldPath, const std::string& newPath) {
    Poco::Logger& log = rootLog();
    const std::string target = normalizedAbsolutePath(newPath);
    if (target.empty()) {
        log.error("changeSyncFolder: not an absolute path: " + newPath);
        return false;
    }
    if (isSameOrInsideEitherWay(target, oldPath) || isSameOrInsideEitherWay(oldPath, target)) {
        log.error("changeSyncFolder: " + target + " and the sync folder " + oldPath + " lie inside one another");
        return false;
    }
    if (!isFolder(oldPath)) {
        log.error("changeSyncFolder: the sync folder is missing: " + oldPath);
        return false;
    }
    if (!setupSyncDir(target, resourcePath, true) || !isFolder(target)) {
        log.error("changeSyncFolder: Unable to setup sync folder: " + target);
        return false;
    }
    if (!copyFolderContents(oldPath, target, false)) {
        log.error("changeSyncFolder: Failed copying " + oldPath + " to " + target);
        return false;
    }
    if (!storeSyncFolderLocation(target))
        return false;
    {
        std::lock_guard<std::mutex> path(syncPathMutex);
        syncPath = target;
    }
    log.information("Sync folder moved from " + oldPath + " to " + target);
    return moveJobFolders(oldPath, target);
}

bool FSAppRunner::storeSyncFolderLocation(const std::string& newPath) {
    return updateConfigFile("changeSyncFolder", [&](Nuvaro::Data::VariantRow& row) {
        row["syncfolderlocation"] = newPath;
    });
}

// A missing file is created; one that exists but cannot be read may hold
// the user's folder locations and is never replaced.
bool FSAppRunner::updateConfigFile(const std::string& caller,
                                   const std::function<void(Nuvaro::Data::VariantRow&)>& change) {
    std::lock_guard<std::mutex> lock(configFileMutex);
    Nuvaro::Data::VariantRow row;
    std::string error;
    switch (readConfigFile(getConfigFilePath(), row, error)) {
    case ConfigFileState::Read:
        break;
    case ConfigFileState::Missing:
        syncLog().debug("Unable to read syncclientconfig.xml, creating one");
        break;
    case ConfigFileState::Unreadable:
        rootLog().error(caller + ": Unable to read syncclientconfig.xml, left as it is: " + error);
        return false;
    }
    change(row);
    if (!row.write(getConfigFilePath())) {
        rootLog().error(caller + ": Unable to write syncclientconfig.xml: " + row.getLastError());
        return false;
    }
    return true;
}

// A job is stored under its new folder before its old row goes, so that a
// failure never loses it.
bool FSAppRunner::moveJobFolders(const std::string& oldPath, const std::string& newPath) {
    std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
    if (!offlineDB->getAllFOJobRecord(jobs)) {
        rootLog().error("changeSyncFolder: Unable to read the jobs");
        return false;
    }
    const std::string oldFolder = normalizedAbsolutePath(oldPath);
    bool allMoved = true;
    for (const boost::shared_ptr<FOOfflineJobData>& job : jobs) {
        const std::string local = normalizedAbsolutePath(job->localLinkPath);
        if (job->syncType == FOOfflineJobData::TYPE_BACKUP || !isSameOrInside(local, oldFolder))
            continue;
        FOOfflineJobData moved(*job);
        moved.localLinkPath = newPath + local.substr(oldFolder == "/" ? 0 : oldFolder.size());
        if (!offlineDB->FOAddJobRecord(&moved) || !offlineDB->FODeleteJobRecord(job.get())) {
            rootLog().error("changeSyncFolder: Unable to move the job of " + job->localLinkPath + " to " +
                            moved.localLinkPath);
            allMoved = false;
        }
    }
    return allMoved;
}

// ---- Forgetting synchronised folders ----

bool FSAppRunner::forgetSyncFolder(const std::string& folder) {
    Nuvaro::DataSync::DataSyncStore store;
    return syncDB && syncDB->deleteDataStore(folder, store);
}

bool FSAppRunner::removeLimitFolder(const std::string& folder) {
    std::unique_lock<std::mutex> lock = lockLifecycle(false);
    shutdownLocked(true);
    const bool removed = forgetSyncFolder(folder);
    startupLocked();
    return removed;
}

bool FSAppRunner::removeAllSyncedData() {
    std::unique_lock<std::mutex> lock = lockLifecycle(false);
    shutdownLocked(true);
    std::vector<std::string> folders;
    bool removed = syncDB && syncDB->getSyncFolders(folders);
    for (const std::string& folder : folders)
        removed = forgetSyncFolder(folder) && removed;
    removed = removed && syncDB->activityDeleteAll();
    startupLocked();
    return removed;
}

// ---- Duplicate records ----

void FSAppRunner::repairDB() {
    repairDB(std::cout);
}

void FSAppRunner::repairDB(std::ostream& out) {
    if (!syncDB)
        return;
    std::vector<std::string> folders;
    syncDB->getSyncFolders(folders);
    for (const std::string& folder : folders) {
        std::vector<boost::shared_ptr<FSSyncRecord>> records;
        if (!syncDB->getFolderRecords(folder, records)) {
            out << "Unable to read the records of " << folder << std::endl;
            continue;
        }
        // The first record seen for each server path, and the live records
        // to mark deleted (each once).
        std::map<std::string, boost::shared_ptr<FSSyncRecord>> firstByPath;
        std::vector<boost::shared_ptr<FSSyncRecord>> fixes;
        std::set<Poco::UUID> fixing;
        std::size_t processed = 0;
        for (const boost::shared_ptr<FSSyncRecord>& record : records) {
            if (++processed % 10000 == 0)
                out << "Processed : " << processed << " records" << std::endl;
            // Records flagged "SKIP" share a placeholder path: no duplicates.
            if (record->getFlags() == "SKIP")
                continue;
            auto first = firstByPath.emplace(record->getFullPath(), record);
            if (first.second)
                continue;
            const boost::shared_ptr<FSSyncRecord>& original = first.first->second;
            const bool deleted = record->getIsDeleted() == 1;
            const bool originalDeleted = original->getIsDeleted() == 1;
            out << "Found Dups: " << record->getFullPath() << " deleted: " << (deleted ? 1 : 0)
                << " original: " << (originalDeleted ? 1 : 0) << std::endl;
            if (deleted != originalDeleted) {
                const boost::shared_ptr<FSSyncRecord>& live = deleted ? original : record;
                if (fixing.insert(live->getId()).second)
                    fixes.push_back(live);
            }
        }
        for (const boost::shared_ptr<FSSyncRecord>& record : fixes) {
            out << "Fixing : " << record->getFullPath() << " Is Deleted: " << record->getIsDeleted() << std::endl;
            record->setIsDeleted(true);
            if (!syncDB->FSSyncRecordUpdate(record.get()))
                out << "Failed Fixing : " << record->getFullPath() << std::endl;
        }
    }
}

// ---- The account's pictures ----

void FSAppRunner::downloadLoginImage() {
    Poco::Logger& log = rootLog();
    try {
        Nuvaro::RecordList settings = getSettings();
        if (valueOf(settings, "url").empty() || valueOf(settings, "profile").empty() ||
            (valueOf(settings, "password").empty() && valueOf(settings, "devauthcode").empty()))
            return;
        NuvaroConnector connector(settings, true, "Cloud Connector");
        if (!connector.Authenticate(true))
            return;

        // The picture from the server is decoded only from a file of its
        // own (one per call): profile.png is replaced by the shrunk picture
        // or not at all.
        const std::string profile = basePath + "/profile.png";
        const std::string download =
            basePath + "/.profile.png." + Poco::UUIDGenerator::defaultGenerator().createRandom().toString() +
            ".download";
        std::string error;
        if (!connector.downloadToFile(getServerURL() + "/core/getprofileimage", download, error)) {
            log.error("downloadLoginImage: Unable to download to file  " + profile + " " + error);
            ::unlink(download.c_str());
            return;
        }
        Nuvaro::Data::Image image(download, 0);
        const bool resized = image.resizeImage(64, 64) && image.saveToFile(profile);
        ::unlink(download.c_str());
        if (!resized) {
            log.error("downloadLoginImage: Failed to resize image  " + profile + " " + image.getLastError());
            return;
        }

        const std::string login = basePath + "/login.png";
        if (!connector.downloadToFile(getServerURL() + "/core/getcustomimage?type=login", login, error))
            log.error("downloadLoginImage: Unable to download to file  " + login + " " + error);
    } catch (const Nuvaro::Exception& e) {
        log.error("downloadLoginImage Exception " + e.message());
    } catch (const Poco::Exception& e) {
        log.error("downloadLoginImage Exception " + e.displayText());
    } catch (const std::exception& e) {
        log.error(std::string("downloadLoginImagestd::exception ") + e.what());
    }
}

// ---- Advanced options ----

void FSAppRunner::getAdvancedData(std::string& proxyHost, std::string& proxyPort, std::string& proxyUser,
                                  std::string& proxyPassword, int& syncFrequency, bool& disableNotifications,
                                  bool& useWhiteProgressIcon) {
    proxyHost.clear();
    proxyPort.clear();
    proxyUser.clear();
    proxyPassword.clear();
    syncFrequency = 120;
    Nuvaro::Data::VariantRow row;
    std::string error;
    {
        std::lock_guard<std::mutex> lock(configFileMutex);
        if (readConfigFile(getConfigFilePath(), row, error) != ConfigFileState::Read)
            return;
    }
    auto text = [&row](const char* name, std::string& field) {
        if (row.hasField(name))
            field = row.getField(name).getString();
    };
    text("httpproxyhost", proxyHost);
    text("httpproxyport", proxyPort);
    text("httpproxyuser", proxyUser);
    text("httpproxypassword", proxyPassword);
    if (row.hasField("syncfrequency"))
        syncFrequency = row.getField("syncfrequency").getInt();
    if (row.hasField("disablenotifications"))
        disableNotifications = row.getField("disablenotifications").getBool();
    if (row.hasField("usewhiteprogressicon"))
        useWhiteProgressIcon = row.getField("usewhiteprogressicon").getBool();
}

void FSAppRunner::setAdvancedData(const std::string& proxyHost, const std::string& proxyPort,
                                  const std::string& proxyUser, const std::string& proxyPassword, int syncFrequency,
                                  bool disableNotifications, bool useWhiteProgressIcon) {
    notificationsDisabled = disableNotifications;
    updateConfigFile("setAdvancedData", [&](Nuvaro::Data::VariantRow& row) {
        row["httpproxyhost"] = proxyHost;
        row["httpproxyport"] = proxyPort;
        row["httpproxyuser"] = proxyUser;
        row["httpproxypassword"] = proxyPassword;
        row["syncfrequency"] = syncFrequency;
        row["disablenotifications"] = disableNotifications;
        row["usewhiteprogressicon"] = useWhiteProgressIcon;
    });
}

} // namespace Sync
} // namespace Nuvaro
