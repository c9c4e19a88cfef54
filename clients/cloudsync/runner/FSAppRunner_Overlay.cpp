// FSAppRunner: the overlay state of a local path (the desktop's file-browser
// badges): "ok", "none", "unknown", "conflict" or "modified".

#include "FSAppRunner.h"

#include "AttributeManager.h"
#include "ConflictChecks.h"
#include "WipeGuard.h"

#include <Poco/String.h>
#include <Poco/Timestamp.h>

#include <sys/stat.h>

namespace Nuvaro {
namespace Sync {

namespace {

const char* const kSharedWithMe = "Shared with Me";

// The file's size and modification time (a UTC time value); false when it
// cannot be examined or is not a file.
bool fileState(const std::string& path, Poco::Int64& size, Poco::Int64& modified) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    size = static_cast<Poco::Int64>(info.st_size);
    const Poco::Timestamp when(static_cast<Poco::Timestamp::TimeVal>(info.st_mtim.tv_sec) * 1000000 +
                               info.st_mtim.tv_nsec / 1000);
    modified = when.utcTime();
    return true;
}

// Whole seconds of a UTC time value (floor, for times before 1970 too).
Poco::Int64 wholeSeconds(Poco::Int64 utcTime) {
    const Poco::Int64 ticks = 10000000;
    return utcTime >= 0 ? utcTime / ticks : -((-utcTime + ticks - 1) / ticks);
}

} // namespace

std::string FSAppRunner::getOverlayForPath(const std::string& path) {
    const std::string sync = normalizedAbsolutePath(getSyncFolder());
    const std::string target = normalizedAbsolutePath(path);
    if (sync.empty() || target.empty() || target == sync || !isSameOrInside(target, sync))
        return "none";
    const std::string prefix = sync == "/" ? sync : sync + "/";
    // The top folders, by their lower-cased names (as the desktop side asks).
    for (const std::string& name : {std::string("My Files"), getNetworkFolderName(), getTeamFolderName(),
                                    std::string(kSharedWithMe)}) {
        if (target == prefix + Poco::toLower(name))
            return "ok";
    }

    const std::string relative = target.substr(prefix.size());
    boost::shared_ptr<FSSyncRecord> record = syncDB->getFSSyncRecordFromLocalFullPath(relative);
    // A deleted record no longer describes the item at the path.
    if (!record || record->getIsDeleted() == 1)
        return overlayWithoutRecord(target, relative);
    if (record->getType() == 0)
        return "ok";
    try {
        Poco::Int64 size = 0, modified = 0;
        if (!fileState(target, size, modified))
            return "unknown";
        if (checkForConflictFast(target))
            return "conflict";
        Nuvaro::Record checks(new std::map<std::string, std::string>{{"checkmodtime", options.checkModTime},
                                                                      {"checkcrc", options.checkCRC}});
        Nuvaro::RecordList settings{checks};
        return AttributeManager::sameFileAsRecord(settings, *record, target, size, modified) ? "ok" : "modified";
    } catch (...) {
        return "unknown";
    }
}

// Without a sync record: a conflict copy, a job's folder or file, or an item
// shared with the user that the sync database knows below it.
std::string FSAppRunner::overlayWithoutRecord(const std::string& path, const std::string& relative) {
    if (checkForConflictFast(path))
        return "conflict";
    if (isSameOrInside("/" + relative, std::string("/") + kSharedWithMe)) {
        std::vector<boost::shared_ptr<FSSyncRecord>> records;
        syncDB->getFSAllChildren(relative, records);
        return records.empty() ? "unknown" : "ok";
    }

    boost::shared_ptr<FOOfflineEntry> row = offlineDB->getFORecord(path);
    if (!row) {
        std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
        offlineDB->getAllFOJobRecord(jobs);
        for (const boost::shared_ptr<FOOfflineJobData>& job : jobs) {
            if (normalizedAbsolutePath(job->localLinkPath) == path)
                return "ok";
        }
        return "unknown";
    }
    if (row->type == FOOfflineEntry::TYPE_FOLDER)
        return "ok";
    Poco::Int64 size = 0, modified = 0;
    if (!fileState(path, size, modified))
        return "unknown";
    // A row without a time (0) is compared by its size alone.
    const bool sameTime = row->modified == 0 || wholeSeconds(row->modified) == wholeSeconds(modified);
    return size == row->size && sameTime ? "ok" : "modified";
}

} // namespace Sync
} // namespace Nuvaro
