// FSWorker: deletions in both directions and the gate before mass deletions.
//
// Server to local (doEndSyncDeleteFiles, processRecordDelete,
// canDeleteDirectory): a server deletion never takes anything of value with
// it, so a local edit, a file never synced here or a folder holding more
// than clutter stays. Local to server (requestForChangesApproved,
// doDeleteFiles): the gate exists for a drive not mounted or a folder
// emptied by accident, which would otherwise delete the user's files on the
// server and on every other device.

#include "FSWorker.h"

#include "AttributeManager.h"
#include "ConsoleNotice.h"
#include "FSEntry.h"
#include "FSUtil.h"
#include "NameRules.h"
#include "NuvaroUtil.h"
#include "WorkerHelpers.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Nuvaro {
namespace Sync {

using Nuvaro::DataSync::DataSyncRecordPtr;

namespace {

// Files that system tools leave in folders, none of them user data: they
// never keep a folder the server deleted.
bool isClutterName(const std::string& name) {
    static const char* const kClutter[] = {".DS_Store",   ".directory",  "Thumbs.db", "thumbs.db",
                                           "desktop.ini", "Desktop.ini", "nuvaro.db", "sync.ico"};
    for (const char* clutter : kClutter)
        if (name == clutter)
            return true;
    // "._" resource forks, "~" editor backups and lock files, our own
    // temporary files, and conflict copies of the whole form.
    return name.compare(0, 2, "._") == 0 || name.compare(0, 1, "~") == 0 ||
           Nuvaro::Util::isReplacementTemporaryName(name) || NameRules::isConflictCopyName(name);
}

// Closes a directory stream on every way out.
struct DirCloser {
    DIR* dir;
    ~DirCloser() {
        if (dir)
            ::closedir(dir);
    }
};

} // namespace

// ---- Server deletions applied locally ----

void FSWorker::doEndSyncDeleteFiles(int& removed) {
    Poco::Logger& log = syncLog();
    log.trace("doEndSyncDeleteFiles");
    try {
        for (const DataSyncRecordPtr& change : pass.serverChanges) {
            if (stop.load())
                return;
            FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(change);
            if (!record || record->getIsDeleted() != 1 || record->getFlags() == "SKIP")
                continue;
            std::string localPath;
            if (!localPathOf(*record, localPath))
                continue;
            if (processRecordDelete(record, localPath))
                ++removed;
        }
    } catch (...) {
        log.error(exceptionLine("doEndSyncDeleteFiles", ""));
        flags.loggedIn = false;
    }
}

bool FSWorker::processRecordDelete(FSSyncRecordPtr& record, const std::string& localPath) {
    Poco::Logger& log = syncLog();
    const std::string& relative = record->getLocalFullPath();
    try {
        std::string expected;
        if (!localPathOf(*record, expected) || expected != localPath) {
            log.error("FS Refusing to remove outside the record's place: " + localPath);
            return false;
        }
        if (!noLinkOnTheWay(localPath, false))
            return false;
        struct stat entry;
        if (::lstat(localPath.c_str(), &entry) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                // Nothing to remove: mostly the server's echo of a removal
                // made here.
                log.trace("FS Delete Local: already gone " + relative);
                return false;
            }
            log.error("Failed deleting file/dir " + relative);
            return false;
        }
        const bool isLink = S_ISLNK(entry.st_mode);
        struct stat info;
        const bool reached = ::stat(localPath.c_str(), &info) == 0;
        // A folder where a file was deleted, or a file where a folder was, is
        // another item (the user replaced the one by the other here): the
        // deletion is not about it.
        if (!isLink && reached && (S_ISDIR(info.st_mode) || S_ISREG(info.st_mode)) &&
            S_ISDIR(info.st_mode) != (record->getType() == FSTypeFolder)) {
            log.debug("FS Delete Local: keeping " + relative + ", a " +
                      (S_ISDIR(info.st_mode) ? "folder" : "file") + " took the deleted item's place");
            return false;
        }

        if (reached && S_ISDIR(info.st_mode)) {
            if (inSendList(relative, true))
                return false;
            // A link to a folder goes as a link: what it points to stays.
            std::string kept;
            if (!isLink && !junkOnlyFolder(localPath, kept)) {
                if (kept.empty())
                    kept = "entries that could not be read";
                log.debug("FS Cannot Delete Folder: " + localPath + " Found file : " + kept);
                log.warning("FS Keeping Folder deleted on the server: " + relative + " holds " + kept);
                logActivity(FSActivity::TypeSkippedLocal,
                                 "Folder deleted on the server kept: it holds " + kept, relative, "Local File");
                return false;
            }
        } else if (reached && S_ISREG(info.st_mode)) {
            if (inSendList(relative, false))
                return false;
            const Poco::Int64 size = static_cast<Poco::Int64>(info.st_size);
            FSSyncRecordPtr stored = db->getFSSyncRecord(record->getFullPath());
            // Placed by this client in a step killed before it saved its
            // records: unchanged since then, so it goes.
            const bool placedHere = placedByUnsavedStep(record->getFullPath(), size, utcModified(info));
            if ((!stored || stored->getIsDeleted() == 1) && !placedHere) {
                log.warning("FS Delete Local File, SKIPPING DELETE..never synced here, Ignoring: " + relative);
                return false;
            }
            Nuvaro::RecordList checks = changeCheckSettings();
            const std::string sizes = "Actual " + decimal(size) + " Expected: " + decimal(record->getSize()) +
                                      " Original: " + decimal(stored ? stored->getSize() : -1);
            if (!placedHere &&
                !AttributeManager::sameFileAsRecord(checks, *stored, localPath, size, utcModified(info))) {
                log.error("FS Delete Local File, SKIPPING DELETE..Size Mismatch, Ignoring: " + sizes);
                return false;
            }
            log.debug("FS Delete Local File unmodified from original DB record size DELETING " + sizes);
        } else if (!isLink) {
            // A special file (a pipe, a socket) is nothing this client made.
            log.error("Failed deleting file/dir " + relative);
            return false;
        }

        if (caseSensitiveFileExists(localPath)) {
            const bool gone = isLink || !S_ISDIR(entry.st_mode) ? ::unlink(localPath.c_str()) == 0
                                                                 : greedyRecursiveWipe(localPath);
            if (!gone) {
                log.error("Failed deleting file/dir " + relative);
                return false;
            }
        }
        log.debug("FS Delete Local Directory OK: " + relative);
        logActivity(FSActivity::TypeDelete, record->getName(), relative, record->getFriendlyName());
        return true;
    } catch (...) {
        log.error("Failed deleting file/dir " + relative);
        return false;
    }
}

bool FSWorker::canDeleteDirectory(const std::string& path) {
    std::string kept;
    if (junkOnlyFolder(path, kept))
        return true;
    if (!kept.empty())
        syncLog().debug("FS Cannot Delete Folder: " + path + " Found file : " + kept);
    return false;
}

bool FSWorker::junkOnlyFolder(const std::string& path, std::string& kept) {
    kept.clear();
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    DirCloser folder{::opendir(path.c_str())};
    if (!folder.dir)
        return false;
    for (;;) {
        errno = 0;
        struct dirent* entry = ::readdir(folder.dir);
        if (!entry)
            // The end, or a listing that broke off: then nothing is judged.
            return errno == 0;
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string child = path + "/" + name;
        struct stat childInfo;
        std::string inner;
        // A folder is judged by what it holds, never through a link.
        const bool junk = ::lstat(child.c_str(), &childInfo) == 0 &&
                          (S_ISDIR(childInfo.st_mode) ? junkOnlyFolder(child, inner) : isClutterName(name));
        if (!junk) {
            kept = name;
            return false;
        }
    }
}

// ---- Local removals sent to the server ----

bool FSWorker::requestForChangesApproved(unsigned removed, unsigned updated) {
    Poco::Logger& log = syncLog();
    if (skipDeleteApproval)
        return true;
    // Edits are not what the gate is for: only removals and emptied files.
    (void)updated;
    const Poco::Int64 count = removed;
    const Poco::Int64 total = db->getTotalFSFiles();
    if (count <= 0 || total < 1) {
        heldBackCount = 0;
        return true;
    }
    const int percent =
        static_cast<int>(static_cast<double>(static_cast<float>(count) / static_cast<float>(total)) * 100.0);
    log.trace("requestForChangesApproved Percent Deleted: " + decimal(percent) +
              " Delete Approval Percent: " + decimal(deleteApprovalPct));
    if (percent < deleteApprovalPct) {
        heldBackCount = 0;
        return true;
    }

    const Poco::Timestamp now = approvalClock ? approvalClock() : Poco::Timestamp();
    const bool approved = approval.consumeIf([&](int approvedCount, const Poco::Timestamp& approvedAt) {
        return approvedCount >= 1 && std::llabs(approvedCount - count) <= 9 &&
               (now - approvedAt) / Poco::Timestamp::resolution() <= 599;
    });
    if (approved) {
        heldBackCount = 0;
        return true;
    }

    postEvent(6, "", static_cast<int>(count));
    if (heldBackCount != count) {
        // Told once when the hold starts and again when its count changes:
        // in the log, the activity log and, whatever the log level, on the
        // console, where nobody is asked to approve.
        heldBackCount = count;
        const std::string text = "Local deletions held back: " + decimal(count) + " of " + decimal(total) +
                                 " synced files (" + decimal(percent) + "%) were removed or emptied here, at or "
                                 "above the delete approval limit of " + decimal(deleteApprovalPct) +
                                 "%. They are not deleted on the server; new and changed files are still uploaded. "
                                 "If the deletions are intended, set the option skipdeleteapproval to 1 in "
                                 "syncclientconfig.xml and restart the client; otherwise restore the files.";
        log.warning(text);
        logActivity(FSActivity::TypeUploadFailure, text, syncPath, "");
        consoleNotice(text);
    }
    return false;
}

bool FSWorker::doDeleteFiles() {
    Poco::Logger& log = syncLog();
    log.trace("doDeleteFiles");
    try {
        boost::shared_ptr<NuvaroConnector> server = connector;
        std::vector<std::string> removedFolders;
        if (!localChanges.empty()) {
            if (stop.load() || !server)
                return false;
            const std::string total = decimal(static_cast<Poco::Int64>(localChanges.size()));
            Poco::Int64 position = 0;
            for (const DataSyncRecordPtr& change : localChanges) {
                ++position;
                if (stop.load())
                    return false;
                FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(change);
                if (!record || record->getIsDeleted() != 1)
                    continue;
                const std::string parent = FSSyncDB::convertToLinuxPath(record->getParent());
                const std::string fullPath = FSSyncDB::convertToLinuxPath(record->getFullPath());
                // Under a removed folder: its path itself, or its path and "/"
                // ("/a/foo" does not hold "/a/foobar").
                bool underRemoved = false;
                for (const std::string& folder : removedFolders) {
                    if (parent == folder || parent.compare(0, folder.size() + 1, folder + "/") == 0) {
                        log.debug("FS Parent Folder Deleted for Item " + parent + " because parent was removed: " +
                                  folder + " skipping");
                        underRemoved = true;
                        break;
                    }
                }
                if (underRemoved)
                    continue;
                putSyncStatus("DEL: (" + decimal(position) + "/" + total + ") " + record->getName());
                if (server->deleteRemoteFile(parent, record->getName())) {
                    if (record->getType() == FSTypeFolder && !server->remoteFileExists(fullPath))
                        removedFolders.push_back(fullPath);
                    log.debug("FS Delete OK: " + syncPath + "/" + record->getLocalFullPath());
                } else if (server->remoteFileExists(fullPath)) {
                    log.error("FS Remote Delete FAILED: " + syncPath + "/" + record->getLocalFullPath());
                    log.error("Issued Recheck Record: " + parent);
                    doRecheckRecord(parent);
                }
            }
        }
        stepActivities.flush(db.get());
        db->activityDeleteAllErrors(FSActivity::TypeUploadFailure);
        postEvent(16, "", 0);
        return true;
    } catch (...) {
        log.error(exceptionLine("doDeleteFiles", ""));
        flags.loggedIn = false;
        return false;
    }
}

} // namespace Sync
} // namespace Nuvaro
