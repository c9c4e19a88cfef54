// OfflineJobActivity: the remote listing (getRemoteFileList) into the listing
// cache, its look-up for uploads (remoteExists), and the local removals of
// items the server no longer has (removeMissingRemoteFiles, deleteEntry).
//
// Removals for a server deletion, per row of the folder whose name the
// listing lacks:
//
//     local item                                     outcome
//     file unchanged since the row was written       removed, row dropped
//     file changed since (or not a regular file)     kept, row dropped: the
//                                                    upload phase sends it again
//     folder                                         its unchanged files with
//                                                    rows removed, then every
//                                                    folder left empty; the rest
//                                                    kept; rows dropped
//     nothing there                                  row dropped
//     only an NFC twin of the name                   row kept (logged)
//
// A listing that failed removes nothing (the folder is not in the cache). An
// empty listing of the job's own server folder removes nothing; an empty
// listing of a subfolder that has rows removes only once the server has
// confirmed, item by item, that those items are gone.

#include "OfflineJobActivity.h"

#include "FOLocalFiles.h"
#include "FOPathHelpers.h"
#include "FSUtil.h"
#include "OfflineJobCommon.h"
#include "RequestText.h"

#include <Poco/DirectoryIterator.h>
#include <Poco/Exception.h>
#include <Poco/File.h>

#include <set>

namespace Nuvaro {
namespace Sync {

void OfflineJobActivity::getRemoteFileList(const std::string& folder) {
    if (isStopped())
        return;
    Nuvaro::RecordList entries;
    Nuvaro::RecordList meta;
    std::string error;
    if (!connector->getFileList(folder, entries, meta, error, 0, false)) {
        if (killRequested) {
            // Stopped by the owner, not refused: the next run lists it.
            jobLog().debug("getRemoteFileList : stopped " + folder);
            return;
        }
        jobLog().error("getRemoteFileList : FAILED " + folder);
        addActivity(FSActivity::TypeError, "Failed: " + error, folder);
        postJobEvent(16, "", 0);
        return;
    }
    listedCount += static_cast<int>(entries.size());
    listingCache.insert(std::make_pair(folder, entries));
    if (job.syncType != FOOfflineJobData::TYPE_BACKUP)
        removeMissingRemoteFiles(folder, entries);
    const std::string trimmed = FORemoveEndingSlash(folder);
    postJobEvent(2, FOTrimName(trimmed.substr(trimmed.rfind('/') + 1), 40), 0);
    if (!job.recurse)
        return;
    for (const Nuvaro::Record& entry : entries) {
        if (!isRemoteFolder(entry))
            continue;
        getRemoteFileList(itemValue(entry, "path"));
        if (isStopped())
            return;
    }
}

void OfflineJobActivity::removeMissingRemoteFiles(const std::string& folder, const Nuvaro::RecordList& listing) {
    if (FORemoveEndingSlash(folder) == FORemoveEndingSlash(job.remotePath) && listing.empty()) {
        jobLog().error("Top level remote path file listing is empty, skipping local deletion of files: " + folder);
        addActivity(FSActivity::TypeError,
                    "Failed: Top level remote path file listing is empty, skipping local deletion of files: " +
                        folder,
                    folder);
        postJobEvent(16, "", 0);
        return;
    }
    const std::string local = localPathOf(folder);
    if (local.empty())
        return;
    std::vector<EntryPtr> rows;
    db->getFOChildren(local, rows);
    std::set<std::string> listed;
    for (const Nuvaro::Record& entry : listing)
        listed.insert(itemValue(entry, "name"));
    std::vector<EntryPtr> missing;
    for (const EntryPtr& row : rows)
        if (listed.count(row->name) == 0)
            missing.push_back(row);
    if (missing.empty())
        return;
    if (listing.empty() && !serverConfirmsGone(folder, missing)) {
        const std::string message =
            "Failed: Remote folder listing is empty but its items still exist, skipping local deletion of files: " +
            folder;
        jobLog().error(message);
        addActivity(FSActivity::TypeError, message, folder);
        postJobEvent(16, "", 0);
        return;
    }
    for (const EntryPtr& row : missing) {
        if (isStopped())
            return;
        deleteEntry(row);
    }
}

bool OfflineJobActivity::serverConfirmsGone(const std::string& folder, const std::vector<EntryPtr>& rows) {
    const std::string base = FORemoveEndingSlash(folder);
    for (const EntryPtr& row : rows) {
        if (connector->remoteFileExists(base + "/" + row->name))
            return false;
        // An unanswered question is no confirmation.
        if (!connector->getLastError().empty())
            return false;
    }
    return true;
}

bool OfflineJobActivity::remoteExists(const std::string& parentPath, const std::string& name, Poco::Int64 size,
                                      Poco::Int64 modified) {
    auto listing = listingCache.find(parentPath);
    if (listing == listingCache.end() || listing->second.empty())
        return false;
    for (const Nuvaro::Record& entry : listing->second) {
        if (itemValue(entry, "name") != name)
            continue;
        if (isRemoteFolder(entry))
            return true;
        if (remoteSize(entry) != size)
            continue;
        if (modified == -1)
            return true;
        // Same size is not enough: a same-size edit is no copy of this file.
        const Poco::Int64 remote = remoteTime(entry);
        if (FOWholeSecond(remote) == FOWholeSecond(modified))
            return true;
        jobLog().trace("Remote File Doesn't Match Timestamp: " + std::to_string(remote) +
                       " Local DB Value: " + std::to_string(modified));
        return false;
    }
    return false;
}

void OfflineJobActivity::deleteEntry(const EntryPtr& row) {
    const std::string& path = row->fullPath;
    try {
        if (!FONoLinkBelow(job.localLinkPath, path.substr(0, path.rfind('/')))) {
            jobLog().error("Failed Removing File missing in Server List, ignoring: " + path +
                           " (a link on the way out of the job folder)");
            return;
        }
        const FOLocalKind kind = FOLocalKindOf(path);
        if (kind == FOLocalKind::Unknown) {
            jobLog().error("Failed Removing File missing in Server List, ignoring: " + path +
                           " (it cannot be examined)");
            return;
        }
        if (kind == FOLocalKind::Missing) {
            if (caseSensitiveFileExists(path)) {
                jobLog().error("Failed finding item for delete.. maybe case changed.. " + path);
                return;
            }
            // Gone on both sides.
            db->FODeleteRecord(row.get());
            if (row->type == FOOfflineEntry::TYPE_FOLDER)
                db->FODeleteChildren(path);
            return;
        }
        bool removed = false;
        if (kind == FOLocalKind::Folder && row->type == FOOfflineEntry::TYPE_FOLDER) {
            removed = removeUnchangedTree(path);
        } else if (kind == FOLocalKind::File && localUnchangedSinceRow(path, *row)) {
            Poco::File(path).remove();
            removed = true;
        }
        if (removed) {
            jobLog().trace("Removed File missing in Server List: " + path);
            deleted += 1;
        } else {
            jobLog().information("Keeping local item changed since the last run, deleted on the server: " + path);
        }
        db->FODeleteRecord(row.get());
        if (row->type == FOOfflineEntry::TYPE_FOLDER)
            db->FODeleteChildren(path);
    } catch (...) {
        jobLog().error("Failed Removing File missing in Server List, ignoring: " + path);
    }
}

bool OfflineJobActivity::removeUnchangedTree(const std::string& folder) {
    std::vector<std::string> children;
    for (Poco::DirectoryIterator it(folder), end; it != end; ++it)
        children.push_back(it.path().toString());
    for (const std::string& child : children) {
        switch (FOLocalKindOf(child)) {
        case FOLocalKind::Folder:
            removeUnchangedTree(child);
            break;
        case FOLocalKind::File: {
            EntryPtr row = db->getFORecord(child);
            if (row && row->type == FOOfflineEntry::TYPE_FILE && localUnchangedSinceRow(child, *row))
                Poco::File(child).remove();
            break;
        }
        default:
            break; // links and special files are not the job's: kept
        }
    }
    if (Poco::DirectoryIterator(folder) != Poco::DirectoryIterator())
        return false;
    Poco::File(folder).remove();
    return true;
}

} // namespace Sync
} // namespace Nuvaro
