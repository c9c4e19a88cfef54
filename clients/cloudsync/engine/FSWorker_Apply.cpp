// FSWorker: applying a server delta to the sync folder (doEndSync) and what
// it needs: placing staged downloads (copyToFile), conflict detection and
// conflict copies, local folders, the record's local properties and the two
// sort orders of records.
//
// How doEndSync keeps a stop, a failure or a kill harmless: nothing local is
// touched before the records loaded and the delta merged; deletions run
// deepest first, so a folder emptied by them can go; the placement journal is
// written before the first placement, and the status set is saved only after
// the records. A step that ends anywhere before that leaves the old status,
// and the next pass asks for the same delta: files already placed are then
// found identical, and those the server changed or deleted meanwhile are
// known from the journal as this client's placements, not local edits. A
// record that cannot be placed holds back only itself (FSWorker_HeldBack.cpp):
// the rest is placed and saved, the held change is remembered before the
// status set moves past it and tried again at the next pass.
// The activity entries of the step are collected and written in one
// transaction when it ends, whichever way it ends (StepActivities): after
// the files they tell of are in place, so a kill may lose entries but no
// entry tells of a file that is not there.
// A local path is written or removed only when it lies inside the sync
// folder (localPathOf) and no link lies on the way to it (noLinkOnTheWay):
// nothing is ever written or removed through a link.

#include "FSWorker.h"

#include "AttributeManager.h"
#include "CloudPath.h"
#include "DataSyncManager.h"
#include "FSEntry.h"
#include "FSUtil.h"
#include "LocalPlaces.h"
#include "NameRules.h"
#include "NuvaroUtil.h"
#include "WorkerHelpers.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/File.h>
#include <Poco/LocalDateTime.h>
#include <Poco/Path.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Nuvaro {
namespace Sync {

using Nuvaro::DataSync::DataSyncRecordPtr;
using Nuvaro::DataSync::DataSyncStore;

namespace {

const std::string& localFullPathOf(const DataSyncRecordPtr& record) {
    static const std::string none;
    const FSSyncRecord* fs = dynamic_cast<const FSSyncRecord*>(record.get());
    return fs ? fs->getLocalFullPath() : none;
}

// Deletes a staged copy that is no longer needed; a missing one is fine.
void dropStaged(const std::string& staged) {
    ::unlink(staged.c_str());
}

using NameRules::nfc;

// The folder that holds `path` ("/a/b/c.txt" -> "/a/b").
std::string folderOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

} // namespace

// ---- Sort orders ----

bool sortDirsByShallowFirst(const DataSyncRecordPtr& a, const DataSyncRecordPtr& b) {
    // std::string compares as unsigned bytes, a prefix before the longer path.
    return localFullPathOf(a) < localFullPathOf(b);
}

bool sortDirsByDeepestFirst(const DataSyncRecordPtr& a, const DataSyncRecordPtr& b) {
    return localFullPathOf(b) < localFullPathOf(a);
}

// ---- Paths ----

bool FSWorker::localPathOf(const FSSyncRecord& record, std::string& localPath) const {
    if (!CloudPath::isSoundRelativePath(record.getLocalFullPath())) {
        syncLog().error("FS Refusing record outside the sync folder: " + record.getFullPath() + " -> " +
                          Nuvaro::Util::displayableUtf8(record.getLocalFullPath()));
        return false;
    }
    localPath = syncPath + "/" + record.getLocalFullPath();
    return true;
}

bool FSWorker::noLinkOnTheWay(const std::string& localPath, bool withItem) const {
    if (localPath.compare(0, syncPath.size() + 1, syncPath + "/") != 0)
        return true;
    const std::string link = LocalPlaces::linkOnTheWay(syncPath, localPath.substr(syncPath.size() + 1), withItem);
    if (link.empty())
        return true;
    placementError("FS Refusing to write or remove through the link " + link + ": " + localPath);
    return false;
}

std::string FSWorker::stagedPathOf(const FSSyncRecord& record) const {
    return dataPath + "/.cache/" + record.getLocalFullPath();
}

// ---- doEndSync ----

bool FSWorker::doEndSync(const std::string& folder) {
    Poco::Logger& log = syncLog();
    log.trace(">>>> STEP 4. EndSync " + folder);
    // The step's activity entries go in one transaction when it ends.
    StepActivities::Scope activities(stepActivities, db.get());
    try {
        DataSyncStore store;
        if (!db->getDataStore(folder, hostname, store, stop)) {
            log.error("EndSync: the records of " + folder + " did not load; nothing of the delta is applied");
            return false;
        }
        ApplyCounts counts;
        counts.uploaded = uploadedThisPass.size();
        HeldBackChanges::Records held;
        if (!mergeDelta(store))
            return false;
        loadUnsavedPlacements(folder);
        if (!writePlacementJournal(folder))
            return false;

        std::sort(pass.serverChanges.begin(), pass.serverChanges.end(), sortDirsByDeepestFirst);
        doEndSyncDeleteFiles(counts.removed);

        const std::size_t count = pass.serverChanges.size();
        postEvent(10, "Processing Changes", static_cast<int>(count));
        {
            // The placements read each folder once (after the deletes, which
            // change them) and keep the names current as they go.
            stepFolderNames.reset(new StepFolderNames());
            struct Forget {
                std::unique_ptr<StepFolderNames>& names;
                ~Forget() { names.reset(); }
            } forget{stepFolderNames};
            for (std::size_t i = 0; i < count; ++i) {
                if (stop.load())
                    return false;
                // A record that cannot be placed holds back only itself.
                FailureCapture capture(*this);
                if (!applyRecord(i, count, counts))
                    holdBack(i, store, capture.report(), held);
            }
        }

        std::string summary;
        if (counts.changed > 0)
            summary += decimal(counts.changed) + " changed ";
        if (counts.conflicts > 0)
            summary += decimal(counts.conflicts) + " conflicts ";
        if (counts.removed > 0)
            summary += decimal(counts.removed) + " removed ";
        if (counts.uploaded > 0)
            summary += decimal(static_cast<Poco::Int64>(counts.uploaded)) + " uploaded ";
        if (!summary.empty())
            postEvent(4, summary, 0);
        if (stop.load())
            return false;

        removeUnclaimedPlacements();
        if (!rememberHeldBack(folder, held))
            return false;
        if (!saveApplied(folder, store))
            return false;
        settleHeldBack(folder, held);
        settlePlacementJournal(folder);
        pass.dropDelta();
        // The staged files of held-back changes stay for their next try.
        if (heldBack.of(folder).empty())
            removeStagingTree(folder);
        postEvent(16, "", 0);
        return true;
    } catch (...) {
        const std::string text = exceptionText();
        log.error(exceptionLine("doEndSync", ""));
        reportError(text.empty() ? std::string("EndSync: Unknown Exception ") : "EndSync: Exception " + text, "", "",
                    FSActivity::TypeError);
        flags.loggedIn = false;
        return false;
    }
}

bool FSWorker::mergeDelta(DataSyncStore& store) {
    Nuvaro::DataSync::DataSyncManager manager;
    Nuvaro::DataSync::RemoteWinsSyncStrategy strategy;
    Nuvaro::DataSync::DataSyncStats stats;
    if (manager.applyDeltaRecordSet(store, Nuvaro::DataSync::DataSyncStatusSet(pass.localStatus),
                                    Nuvaro::DataSync::DataSyncStatusSet(pass.remoteStatus), pass.remotePeer, strategy,
                                    pass.serverChanges, stats))
        return true;
    syncLog().error("Failed to apply DeltaRecord Set, Potential Conflict");
    logActivity(FSActivity::TypeError, "Failed to apply DeltaRecord Set, potential conflict", "", "");
    postEvent(16, "", 0);
    return false;
}

bool FSWorker::applyRecord(std::size_t index, std::size_t count, ApplyCounts& counts) {
    FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(pass.serverChanges[index]);
    if (!record)
        return true;
    syncLog().trace("ES: Processing  " + decimal(static_cast<Poco::Int64>(index)) + " " + record->getLocalFullPath());
    putSyncStatus("Processing: (" + decimal(static_cast<Poco::Int64>(index + 1)) + "/" +
                  decimal(static_cast<Poco::Int64>(count)) + ") " + record->getName());
    postEvent(11, "", static_cast<int>(index + 1));

    // Items without a local counterpart, and deletions (done before).
    if (record->getFlags() == "SKIP" || record->getIsDeleted() == 1)
        return true;
    std::string localPath;
    if (!localPathOf(*record, localPath))
        return true;

    const std::string serverPath = FSSyncDB::convertToLinuxPath(record->getFullPath());
    if (record->getType() == FSTypeFolder) {
        if (uploadedThisPass.erase(serverPath)) {
            syncLog().debug("Folder Recently Uploaded: Skip Creating local Folder " + record->getLocalFullPath());
            return true;
        }
        return processDirectoryRecord(record, localPath);
    }

    if (!createFilePathIfNeeded(folderOf(localPath)))
        return false;
    if (uploadedThisPass.contains(serverPath)) {
        // The delta only echoes what this client uploaded in this pass. The
        // record takes the version that went up: when the file changed
        // after its last byte was sent, the next scan finds the newer file
        // as a change of this device and sends it (no conflict copy).
        syncLog().debug("FS Recently Updated: Skip Creating Conflict File " + record->getLocalFullPath());
        dropStaged(stagedPathOf(*record));
        const LocalFileVersion sent = uploadedThisPass.versionSent(serverPath);
        if (sent.known)
            recordLocalVersion(localPath, record, sent);
        else
            updateObjectProps(localPath, record);
        uploadedThisPass.erase(serverPath);
        return true;
    }
    return applyFileRecord(record, localPath, count - index <= 1999, counts);
}

bool FSWorker::applyFileRecord(FSSyncRecordPtr& record, const std::string& localPath, bool addActivity,
                               ApplyCounts& counts) {
    // Taken before the check, so that a save at any moment after it is seen
    // before the replacement.
    const LocalFileState seen = LocalFileState::of(localPath);
    bool identical = false;
    const bool conflicted = isConflictedFile(record, localPath, identical);
    if (conflicted && !identical) {
        if (!copyToConflictFile(record, localPath))
            return false;
        ++counts.conflicts;
        return true;
    }
    Nuvaro::RecordList checks = changeCheckSettings();
    if (conflicted && !AttributeManager::advancedSizeChecks(checks)) {
        syncLog().trace("FS : Skipping copy from cache because file already exists in sync folder. " +
                          record->getLocalFullPath());
        dropStaged(stagedPathOf(*record));
        updateObjectProps(localPath, record);
        return true;
    }
    switch (copyToFile(record, localPath, addActivity, seen)) {
    case Placement::Failed:
        return false;
    case Placement::UserSaved:
        // The record keeps the server's version: the next scan finds the
        // user's file changed and sends it.
        ++counts.conflicts;
        return true;
    case Placement::Placed:
        break;
    }
    updateObjectProps(localPath, record);
    ++counts.changed;
    return true;
}

bool FSWorker::saveApplied(const std::string& folder, DataSyncStore& store) {
    int written = 0;
    if (!db->saveDataStore(folder, store, written)) {
        reportError("EndSync: Failed saving the sync records of " + folder + ", the changes are asked for again",
                    folder, "", FSActivity::TypeError);
        return false;
    }
    if (!db->setStatusSet(folder, pass.remoteStatus)) {
        reportError("EndSync: Failed saving the sync status of " + folder + ", the changes are asked for again",
                    folder, "", FSActivity::TypeError);
        return false;
    }
    stepActivities.flush(db.get());
    db->activityDeleteAllErrors(FSActivity::TypeError);
    return true;
}

void FSWorker::removeStagingTree(const std::string& folder) {
    const std::string relative = CloudPath::translateToLocalPath(setting("profile"), folder, setting("networkfoldername"),
                                                                 teamFolderName, teamFolderAccount, false);
    // An empty translation would name the whole staging folder.
    if (!CloudPath::isSoundRelativePath(relative))
        return;
    const std::string path = dataPath + "/.cache/" + relative;
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0)
        return;
    if (!greedyRecursiveWipe(path))
        syncLog().debug("Ignoring Failure Removing Local Cache Path after Sync: " + path);
}

// ---- Placing files ----

FSWorker::LocalFileState FSWorker::LocalFileState::of(const std::string& path) {
    LocalFileState state;
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0)
        return state;
    state.exists = true;
    state.version = LocalFileVersion::of(info);
    state.mode = info.st_mode;
    return state;
}

bool FSWorker::LocalFileState::sameAs(const LocalFileState& other) const {
    if (exists != other.exists)
        return false;
    return !exists || version.sameAs(other.version);
}

namespace {

// True when `a` and `b` lie on one file system, so that a rename moves `a`
// without copying it.
bool onOneDevice(const std::string& a, const std::string& b) {
    struct stat first, second;
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev;
}

// Makes the staged file ready to be renamed into place: the mode of the file
// it replaces (a new one gets 0666 narrowed by the umask, as any new file),
// the server's modification time, and its bytes on disk (the download job
// flushed them already, so this is quick), so that the file the rename puts
// in place is whole. False with the reason.
bool readyToPlace(const std::string& staged, mode_t mode, const Poco::Timestamp& modified, std::string& error) {
    try {
        Poco::File(staged).setLastModified(modified);
    } catch (...) {
        error = "Cannot set the modification time of " + staged + ": " + std::strerror(errno);
        return false;
    }
    const int fd = ::open(staged.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = "Cannot read " + staged + ": " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    if (::fchmod(fd, mode) != 0) {
        ok = false;
        error = "Cannot set the permissions of " + staged + ": " + std::strerror(errno);
    } else if (::fsync(fd) != 0) {
        ok = false;
        error = "Cannot write " + staged + ": " + std::strerror(errno);
    }
    ::close(fd);
    return ok;
}

} // namespace

FSWorker::Placement FSWorker::copyToFile(FSSyncRecordPtr& record, const std::string& localPath, bool addActivity,
                                         const LocalFileState& seen) {
    Poco::Logger& log = syncLog();
    const std::string& relative = record->getLocalFullPath();
    std::string expected;
    if (!localPathOf(*record, expected) || expected != localPath) {
        placementError("FS Refusing to write outside the record's place: " + localPath);
        return Placement::Failed;
    }
    if (!noLinkOnTheWay(localPath, false))
        return Placement::Failed;
    const std::string staged = stagedPathOf(*record);
    const Poco::Timestamp modified = AttributeManager::getUTCTimestamp(record->getModified());
    // The server's file is made ready before the local file is looked at
    // again, just before it is replaced: the staged file itself when it lies
    // on the sync folder's file system (it is then renamed into place, never
    // written twice), else a copy in a temporary file of its own beside the
    // local file.
    if (beforePlacementForTesting)
        beforePlacementForTesting(localPath);
    const bool moveStaged = !placeByCopyForTesting && onOneDevice(staged, folderOf(localPath));
    // The temporary file has the form of the file utilities' replacements,
    // so a crash's leftover is recognised and removed at the next start.
    const std::string source = moveStaged ? staged : Nuvaro::Util::replacementTemporaryPath(localPath);
    const mode_t mode = seen.exists && S_ISREG(seen.mode) ? seen.mode & 07777 : usualNewFileMode();
    std::string error;
    bool copied = moveStaged ? readyToPlace(staged, mode, modified, error)
                             : Nuvaro::Util::replaceFileFrom(source, staged, &modified, error);
    if (copied && !moveStaged && seen.exists && S_ISREG(seen.mode) && ::chmod(source.c_str(), mode) != 0) {
        copied = false;
        error = "Cannot set the permissions of " + source + ": " + std::strerror(errno);
    }
    if (copied && !LocalFileState::of(localPath).sameAs(seen)) {
        // The staged file stays: the conflict copy is made from it.
        if (!moveStaged)
            ::unlink(source.c_str());
        log.warning("FS File Conflict bcos the file changed while the server's copy was placed " + relative);
        return copyToConflictFile(record, localPath) ? Placement::UserSaved : Placement::Failed;
    }
    if (copied && ::rename(source.c_str(), localPath.c_str()) != 0) {
        copied = false;
        error = "Cannot replace " + localPath + ": " + std::strerror(errno);
    }
    if (copied)
        noteAdded(localPath);
    if (!copied) {
        // A staged file that could not be placed stays for the next pass;
        // a temporary copy goes.
        if (!moveStaged)
            ::unlink(source.c_str());
        placementError("FS Unknown Exception copying " + relative + " " + error);
        reportError("Error copying file : " + error, relative, "", FSActivity::TypeError);
        return Placement::Failed;
    }
    Poco::File placed(localPath);
    AttributeManager::setAttributes(record->getAttribs(), placed);
    log.trace("FS :copying To " + relative + " OK ");

    // A copy leaves the staged file behind; a rename moved it.
    if (!moveStaged && ::unlink(staged.c_str()) != 0)
        log.error("FS Unknown Exception deleting " + staged);

    if (addActivity)
        logActivity(FSActivity::TypeDownload,
                    record->getName() + " (" + Nuvaro::Util::readableFileSize(record->getSize(), 2) + ")", relative,
                    record->getFriendlyName());
    return Placement::Placed;
}

bool FSWorker::isConflictedFile(FSSyncRecordPtr& record, const std::string& localPath, bool& identical) {
    Poco::Logger& log = syncLog();
    const std::string& relative = record->getLocalFullPath();
    struct stat entry;
    if (::lstat(localPath.c_str(), &entry) != 0) {
        // Nothing under these bytes; the same name in another Unicode form
        // would be a twin the server's file must not be placed beside.
        if (nameExists(localPath)) {
            log.error("Creating Conflict file becos FS File with case conflict found : " + relative);
            return true;
        }
        return false;
    }
    if (!nameExists(localPath)) {
        log.error("Creating Conflict file becos FS File with case conflict found : " + relative);
        return true;
    }
    if (S_ISLNK(entry.st_mode)) {
        // The user's link stays a link, and what it leads to is never
        // written: the server's file goes beside it.
        log.warning("FS File Conflict bcos a link holds the name " + relative);
        return true;
    }
    struct stat info;
    if (::stat(localPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        // A folder, a dangling link or a special file holds the name: it
        // stays, the server's file goes beside it.
        log.warning("FS File Conflict bcos a local item that is no file holds the name " + relative);
        return true;
    }
    const Poco::Int64 size = static_cast<Poco::Int64>(info.st_size);
    const Poco::Int64 modified = utcModified(info);
    Nuvaro::RecordList checks = changeCheckSettings();
    if (AttributeManager::sameFileAsRecord(checks, *record, localPath, size, modified)) {
        identical = true;
        return true;
    }

    log.debug("FS Check for Conflict : " + relative);
    FSSyncRecordPtr stored = db->getFSSyncRecord(record->getFullPath());
    // A file this client placed in a step killed before it saved the records
    // counts as unchanged since that version.
    const bool placedHere = placedByUnsavedStep(record->getFullPath(), size, modified);
    if ((!stored || stored->getIsDeleted() == 1) && !placedHere) {
        log.debug("FS File Conflict bcos we couldn't find record for " + relative);
        return true;
    }
    if (!placedHere && !AttributeManager::sameFileAsRecord(checks, *stored, localPath, size, modified)) {
        log.debug("FS File Conflict bcos File is different " + relative);
        return true;
    }
    if (inSendList(relative, false)) {
        log.debug("FS File Conflict bcos File is already in our send list " + relative);
        return true;
    }
    if (::access(localPath.c_str(), W_OK) != 0)
        return true;
    // The replacement is a rename inside the folder.
    if (::access(folderOf(localPath).c_str(), W_OK) != 0) {
        log.warning("FS File Conflict bcos we cannot replace " + relative);
        return true;
    }
    log.debug("FS Update existing file for " + relative);
    return false;
}

bool FSWorker::inSendList(const std::string& path, bool byParent) {
    for (const DataSyncRecordPtr& change : localChanges) {
        const FSSyncRecord* record = dynamic_cast<const FSSyncRecord*>(change.get());
        if (record && (byParent ? record->getLocalParent() : record->getLocalFullPath()) == path) {
            syncLog().debug("FS inSendList : " + path);
            return true;
        }
    }
    return false;
}

bool FSWorker::copyToConflictFile(FSSyncRecordPtr& record, const std::string& localPath) {
    try {
        std::string expected;
        if (!localPathOf(*record, expected) || expected != localPath) {
            placementError("FS Refusing to write outside the record's place: " + localPath);
            return false;
        }
        if (!noLinkOnTheWay(localPath, false))
            return false;
        const std::string stamp = Poco::DateTimeFormatter::format(Poco::LocalDateTime(), "%Y-%m-%d-%H-%M-%S");
        const std::string folder = folderOf(localPath);
        const std::string fileName = Poco::Path(localPath).getFileName();
        const std::string device = getValidFriendlyName(record->getFriendlyName());
        const std::string copyName = NameRules::conflictCopyName(fileName, device, stamp);
        const std::string copyPath = folder + "/" + copyName;

        // The copy is made first: an older copy goes only once the new one
        // is in place.
        const Poco::Timestamp modified = AttributeManager::getUTCTimestamp(record->getModified());
        std::string error;
        if (!Nuvaro::Util::replaceFileFrom(copyPath, stagedPathOf(*record), &modified, error)) {
            placementError("FS Failed creating conflict file " + copyPath + " " + error);
            reportError("Failed Creating Conflict File: " + error, copyPath, "", FSActivity::TypeError);
            return false;
        }
        noteAdded(copyPath);
        dropStaged(stagedPathOf(*record));

        removeOlderConflictCopies(folder, fileName, device, copyName);
        logActivity(FSActivity::TypeConflict,
                    "File Conflict found " + record->getLocalFullPath() + " (" +
                        Nuvaro::Util::readableFileSize(record->getSize(), 2) + ")" + " double-click to resolve conflict",
                    record->getLocalFullPath(), record->getFriendlyName());
        return true;
    } catch (...) {
        placementError("FS Unknown Exception creating conflict file " + record->getFullPath());
        reportError("Failed Unknown Exception Creating Conflict File ", record->getFullPath(), "",
                    FSActivity::TypeError);
        return false;
    }
}

void FSWorker::removeOlderConflictCopies(const std::string& folder, const std::string& fileName,
                                         const std::string& device, const std::string& newCopy) {
    try {
        std::vector<std::string> names;
        Poco::File(folder).list(names);
        const std::string nfcFileName = nfc(fileName);
        for (const std::string& name : names) {
            if (name == newCopy || !NameRules::isConflictCopyOf(nfc(name), nfcFileName, device))
                continue;
            const std::string older = folder + "/" + name;
            struct stat info;
            if (::lstat(older.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) && ::unlink(older.c_str()) == 0) {
                noteRemoved(older);
                syncLog().debug("FS Removed Existing Conflict File: " + older);
            }
        }
    } catch (...) {
        // The new copy is in place; an older one left behind is only clutter.
    }
}

// ---- Local folders ----

bool FSWorker::createFilePathIfNeeded(const std::string& path) {
    Poco::Logger& log = syncLog();
    const bool belowSyncPath = path.compare(0, syncPath.size() + 1, syncPath + "/") == 0 &&
                               CloudPath::isSoundRelativePath(path.substr(syncPath.size() + 1));
    if (path != syncPath && !belowSyncPath) {
        placementError("FS Refusing path outside the sync folder: " + path);
        return false;
    }
    if (!noLinkOnTheWay(path, true))
        return false;
    try {
        Poco::File folder(path);
        if (folder.exists() && folder.isDirectory()) {
            // The name check reads the parent folder: once per step.
            const bool checkName = !stepFolderNames || stepFolderNames->firstCheckOf(path);
            if (checkName && !nameExists(path))
                log.error("Case Sensitive Path Check Failed " + path);
            return true;
        }
        if (!folder.exists()) {
            folder.createDirectories();
            // Each folder made is a new name in its parent.
            for (std::string made = path; made.size() > syncPath.size(); made = folderOf(made))
                noteAdded(made);
            if (folder.exists() && folder.isDirectory())
                return true;
        }
    } catch (...) {
    }
    placementError("FS Failed creating directory " + path);
    reportError("Failed Creating Directory", path, "", FSActivity::TypeError);
    return false;
}

bool FSWorker::nameExists(const std::string& path) {
    return stepFolderNames ? stepFolderNames->exists(path) : caseSensitiveFileExists(path);
}

void FSWorker::noteAdded(const std::string& path) {
    if (stepFolderNames)
        stepFolderNames->added(path);
}

void FSWorker::noteRemoved(const std::string& path) {
    if (stepFolderNames)
        stepFolderNames->removed(path);
}

bool FSWorker::processDirectoryRecord(FSSyncRecordPtr& record, const std::string& localPath) {
    if (createFilePathIfNeeded(localPath))
        return true;
    reportError("Failed Creating Local Path  : " + record->getLocalFullPath(), record->getFullPath(),
                record->getFriendlyName(), FSActivity::TypeError);
    return false;
}

// ---- Record properties ----

void FSWorker::updateObjectProps(const std::string& localPath, FSSyncRecordPtr& record) {
    const LocalFileVersion now = LocalFileVersion::of(localPath);
    // A file that vanished keeps the record as it was.
    if (now.known)
        recordLocalVersion(localPath, record, now);
}

void FSWorker::recordLocalVersion(const std::string& localPath, FSSyncRecordPtr& record,
                                  const LocalFileVersion& version) {
    if (setting("checkmodtime") == "1")
        record->setFileModTime(
            Poco::DateTimeFormatter::format(version.modified(), Poco::DateTimeFormat::SORTABLE_FORMAT));
    if (setting("checkcrc") == "1") {
        // Only the bytes of that version may give its checksum; without one
        // the record is compared by size and time.
        std::string crc;
        const bool read = AttributeManager::checksumOfVersion(localPath, version, record->getSize(), crc);
        record->setFileCRC(read ? crc : std::string());
    }
}

} // namespace Sync
} // namespace Nuvaro
