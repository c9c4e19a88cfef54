// FSWorker: cleaning of the local copies of folders that are no longer
// shared, of the temporary files of interrupted replacements, and the
// restart of the folder scan.

#include "FSWorker.h"

#include "CloudPath.h"
#include "FSUtil.h"
#include "NameRules.h"
#include "NuvaroUtil.h"
#include "SyncLog.h"

#include <Poco/Logger.h>
#include <Poco/ThreadPool.h>

#include <dirent.h>
#include <sys/stat.h>

namespace Nuvaro {
namespace Sync {

namespace {

using NameRules::nfc;

// `inner` is `outer` or lies below it, by whole path components.
bool within(const std::string& inner, const std::string& outer) {
    return inner == outer ||
           (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 && inner[outer.size()] == '/');
}

// A folder of its own: links are never followed.
bool isRealFolder(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The entry names of a real folder in listing order; empty when it is not
// one or cannot be listed.
std::vector<std::string> listFolder(const std::string& path) {
    std::vector<std::string> names;
    if (!isRealFolder(path))
        return names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return names;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

} // namespace

void FSWorker::removeLeftoverReplacements() {
    Poco::Logger& log = syncLog();
    // Folders relative to the sync folder; "" is the sync folder itself,
    // listed through "/." since it may be a link the user made.
    std::vector<std::string> pending{""};
    while (!pending.empty() && !stop.load()) {
        const std::string folder = pending.back();
        pending.pop_back();
        for (const std::string& name : listFolder(syncPath + (folder.empty() ? "/." : "/" + folder))) {
            const std::string relative = folder.empty() ? name : folder + "/" + name;
            const std::string path = syncPath + "/" + relative;
            struct stat status;
            if (::lstat(path.c_str(), &status) != 0)
                continue;
            if (S_ISDIR(status.st_mode)) {
                pending.push_back(relative);
                continue;
            }
            if (!S_ISREG(status.st_mode) || !Nuvaro::Util::isReplacementTemporaryName(name) ||
                !db || db->getFSSyncRecordFromLocalFullPath(relative))
                continue;
            if (::unlink(path.c_str()) == 0)
                log.information("Removed the temporary file of an interrupted replacement: " + path);
        }
    }
}

void FSWorker::cleanOldSyncFolders() {
    cleanShared("Shared with Me");
    cleanShared("Team Folders");
}

// A worked example: the server still lists "/SHARED/teamacct/plans", whose
// local path is "<sync>/Team Folders/plans". Under "<sync>/Team Folders",
// "plans" equals it and is kept; so is "plans/q1", which lies inside it,
// while "old" and "plans-2017" are wiped. Under a still-shared
// "<sync>/Shared with Me/bob/proj", "bob" lies above it and is kept, and
// below "bob" only "proj" is.
void FSWorker::cleanShared(const std::string& rootName) {
    Poco::Logger& log = Poco::Logger::get("Sync");
    std::vector<std::string> folders;
    db->getSyncFolders(folders);
    const std::string root = monitorPath + "/" + rootName;

    std::vector<std::string> protectedPaths;
    for (const std::string& folder : folders) {
        if (folder.compare(0, 8, "/SHARED/") != 0)
            continue;
        std::string local = CloudPath::translateToLocalPath(setting("profile"), folder, setting("networkfoldername"),
                                                            setting("teamfoldername"),
                                                            setting("teamfolderaccount"), true);
        if (!local.empty())
            protectedPaths.push_back(nfc(monitorPath + "/" + local));
    }
    auto isProtected = [&protectedPaths](const std::string& candidate) {
        std::string name = nfc(candidate);
        for (const std::string& kept : protectedPaths)
            if (within(name, kept) || within(kept, name))
                return true;
        return false;
    };
    // Wipes an unprotected folder; files and links stay.
    auto clean = [&log](const std::string& candidate) {
        struct stat status;
        if (::lstat(candidate.c_str(), &status) != 0)
            return;
        if (S_ISREG(status.st_mode)) {
            log.trace("Skipping Clean of single file for remove unshared option: " + candidate);
        } else if (S_ISDIR(status.st_mode)) {
            log.trace("Cleaning unwanted Folder for remove unshared option: " + candidate);
            greedyRecursiveWipe(candidate);
        } else {
            log.trace("Skipping Clean of link for remove unshared option: " + candidate);
        }
    };

    std::vector<std::string> keptFolders;
    for (const std::string& name : listFolder(root)) {
        std::string candidate = root + "/" + name;
        if (isProtected(candidate))
            keptFolders.push_back(candidate);
        else
            clean(candidate);
    }
    for (const std::string& kept : keptFolders) {
        if (!isRealFolder(kept))
            return;
        for (const std::string& name : listFolder(kept)) {
            std::string candidate = kept + "/" + name;
            if (!isProtected(candidate))
                clean(candidate);
        }
    }
}

void FSWorker::restartFolderCheckActivity() {
    if (!flags.serverOk.load())
        return;
    discardFolderCheck();
    putSyncStatus("Checking changes in Sync Folder...");
    folderCheck.reset(new FolderCacheActivity(syncPath, db, hostname, friendlyName, setting("os"),
                                              setting("profile"), setting("networkfoldername"),
                                              setting("teamfoldername"), setting("teamfolderaccount"),
                                              checkModTime, settings, stop));
    folderCheck->setStartDelay(intervals.scanStartDelayMs);
    folderCheck->activity().start(Poco::ThreadPool::defaultPool());
    flags.rescanRequested = false;
    lastScan.update();
}

} // namespace Sync
} // namespace Nuvaro
