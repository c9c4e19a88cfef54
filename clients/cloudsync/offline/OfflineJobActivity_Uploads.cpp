// OfflineJobActivity: the upload phase (every job type): the change scan of
// the job's local folder (loadChangedList), then, folders first, server
// folders made directly and files queued on a transfer pool, in pieces above
// 20 MiB. The transfers and their callbacks are in
// OfflineJobActivity_Transfers.cpp.
//
// The change scan walks the local folder (subfolders only when the job
// recurses) and leaves out, by the first rule that matches:
//     1. names beginning with "~" or holding < > : / | ? * " \ CR LF (silently)
//     2. names holding ".." when "disabledotdot" is "1"            (entry, type 7)
//     3. ".cache", names with leading or trailing white space      (entry, type 7)
//     4. names matching "skipregex"
//     5. names that are not UTF-8 or hold a Unicode "Other"
//        character that is not white space                         (entry, type 7)
//     6. paths listed in "excludepaths" (backups)
//     7. hidden names, links, FIFOs, sockets and devices (silently: only
//        regular files and folders are ever opened)
//     8. files whose extension is in "uploadrestrictions"           (entry, type 7)
//     9. temporary files of downloads, named exactly as the connector names
//        them (NAME.<pid>-<n>.tmp.part); any other name, "NAME.part" too,
//        is a file like any other
// Of what is left, an item without a row is new (unless a row holds its
// name in another Unicode form), and a file with a row is changed unless
// unchanged since the row was written (size and whole second, or checksum;
// a same-size edit is a change). A name holding "Conflict_" is a name like
// any other; only the conflict copies that a network folder's job made
// itself (recorded on the row of their file) stay local. A changed file is
// held back while its recorded conflict copy exists (the user has a conflict
// to resolve; removing the copy resolves it), and, in a network folder, while
// this run's listing shows its server copy changed since the row, or, for a
// new file, shows another version (a download that did not happen, or did
// not replace the file: sending would overwrite the server's change).

#include "OfflineJobActivity.h"

#include "FOLocalFiles.h"
#include "FOPathHelpers.h"
#include "NameRules.h"
#include "OfflineJobCommon.h"

#include "NuvaroException.h"
#include "NuvaroUtil.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/DirectoryIterator.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/RegularExpression.h>
#include <Poco/String.h>

#include <algorithm>
#include <set>

namespace Nuvaro {
namespace Sync {

// What one change scan reads once and carries from folder to folder.
struct OfflineJobActivity::ChangeScan {
    std::map<std::string, EntryPtr> rowsByPath;
    std::multimap<std::string, std::string> namesByParent;
    std::unique_ptr<Poco::RegularExpression> skipPattern;
    std::vector<std::string> foldersToVisit;
    // The conflict copies this job made that still exist: file -> copy, and
    // the copies themselves.
    std::map<std::string, std::string> conflictCopyOf;
    std::set<std::string> conflictCopies;
};

namespace {

std::string sortable(const Poco::Timestamp& time) {
    return Poco::DateTimeFormatter::format(time, Poco::DateTimeFormat::SORTABLE_FORMAT);
}

std::string nameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

} // namespace

// ---- The upload phase ----

void OfflineJobActivity::uploadFiles() {
    loadChangedList(job.localLinkPath);
    if (isStopped() || uploadList.empty())
        return;
    jobLog().trace(" -------- SORTING LIST ----------");
    std::sort(uploadList.begin(), uploadList.end(), sortNFDirsByShallowFirst);
    const int total = static_cast<int>(uploadList.size());
    postJobEvent(0, eventPrefix + "Upload Changes", total);
    FSSimulWorker pool(this, std::max(1, std::min(maxThreads, total)), settings);
    pool.init();
    for (int i = 0; i < total && !isStopped(); ++i) {
        const EntryPtr& entry = uploadList[i];
        postJobEvent(1,
                     "Upload: (" + std::to_string(i) + "/" + std::to_string(total) + ") " +
                         FOTrimName(entry->name, 80),
                     i);
        if (!uploadEntry(entry, pool))
            break;
    }
    if (!pool.waitForAllJobs())
        jobLog().error("Jobs Failed at end of SimulUpload Worker");
    postJobEvent(3, "Completed", 0);
}

bool OfflineJobActivity::uploadEntry(const EntryPtr& entry, FSSimulWorker& pool) {
    const std::string& local = entry->fullPath;
    const std::string name = nameOf(local);
    const std::string remoteParent = FOTranslateToRemotePath(entry->parent, job.remotePath, job.localLinkPath);
    if (entry->type == FOOfflineEntry::TYPE_FOLDER) {
        const std::string remote = FOTranslateToRemotePath(local, job.remotePath, job.localLinkPath);
        const bool exists =
            scanRemote ? remoteExists(remoteParent, name, -1, -1) : connector->remoteFileExists(remote);
        if (exists) {
            jobLog().trace("Remote Folder : " + remote + " exists, skipping");
            storeRow(*entry);
        } else if (connector->createRemoteFolder(entry->name, remoteParent)) {
            storeRow(*entry);
        } else {
            jobLog().error("FS Folder Creation FAILED: " + local);
            if (renameIfExists(remoteParent, entry->name)) {
                jobLog().trace(" Renamed existing remote item " + local);
                storeRow(*entry);
            } else {
                addActivity(FSActivity::TypeError, "Failed to Create Remote Folder  " + local, remote);
                postJobEvent(16, "", 0);
            }
        }
        return true;
    }

    ActiveThreadContext ctx;
    ctx.mode = ActiveThreadContext::MODE_UPLOAD;
    ctx.remotePath = remoteParent;
    ctx.localFile = local;
    ctx.jobType = job.syncType;
    // Only a file new to the job may be found on the server already: a file
    // with a row is listed because it changed since the server got it.
    if (scanRemote && !db->getFORecord(local) && remoteExists(remoteParent, name, entry->size, entry->modified)) {
        jobLog().trace("Remote File : " + local + " exists, skipping");
        updateObjectProps(local, *entry, checkCrc);
        ctx.entry = *entry;
        uploadOK(ctx);
        return true;
    }
    if (job.syncType == FOOfflineJobData::TYPE_BACKUP && !connector->remoteFileExists(remoteParent) &&
        !createFolderRecursive(remoteParent)) {
        jobLog().error("Failed to create remote folder path, stopping Upload: " + remoteParent);
        return false;
    }
    // The checksum waits for the upload: it is taken of the version sent.
    updateObjectProps(local, *entry, false);
    ctx.chunked = entry->size > CHUNK_THRESHOLD;
    ctx.entry = *entry;
    if (!pool.addJob(ctx)) {
        jobLog().error("Failed to add New Job, stopping Upload");
        return false;
    }
    return true;
}

// ---- The change scan ----

void OfflineJobActivity::loadChangedList(const std::string& root) {
    if (isStopped())
        return;
    postJobEvent(0, eventPrefix + "Checking for Changes", 100);
    ChangeScan scan;
    db->getFOCachedFullPathList(scan.rowsByPath, scan.namesByParent);
    std::map<std::string, std::string> recorded;
    db->getFOConflictCopies(job.localLinkPath, recorded);
    for (const auto& made : recorded) {
        if (FOLocalKindOf(made.second) == FOLocalKind::Missing) {
            // The user resolved the conflict by removing the copy.
            db->FOSetConflictCopy(made.first, "");
            continue;
        }
        scan.conflictCopyOf.insert(made);
        scan.conflictCopies.insert(made.second);
    }
    if (!skipRegex.empty()) {
        try {
            scan.skipPattern.reset(new Poco::RegularExpression(
                skipRegex, Poco::RegularExpression::RE_CASELESS | Poco::RegularExpression::RE_UTF8));
        } catch (const Poco::Exception& e) {
            jobLog().error("FCA: Bad skip pattern, nothing skipped by it: " + e.displayText());
        }
    }
    scan.foldersToVisit.push_back(root);
    int count = 0;
    while (!scan.foldersToVisit.empty()) {
        if (isStopped()) {
            postJobEvent(3, "", 0);
            return;
        }
        const std::string folder = scan.foldersToVisit.back();
        scan.foldersToVisit.pop_back();
        ++count;
        if (count % 100 == 0)
            jobLog().trace("... FO Change Detection. Processed: " + std::to_string(count) +
                           " Added: " + std::to_string(uploadList.size()) + " folders, entering " + folder + "  done");
        postJobEvent(2, FOTrimName(folder, 40), 0);
        std::vector<std::string> children;
        try {
            if (!Poco::File(folder).isDirectory())
                throw Nuvaro::Exception("Not a directory: " + folder);
            for (Poco::DirectoryIterator it(folder), end; it != end; ++it)
                children.push_back(it.name());
        } catch (const Poco::Exception& e) {
            jobLog().error("FCA: exception processing : " + e.displayText());
            continue;
        } catch (const Nuvaro::Exception& e) {
            jobLog().error("FCA: exception processing : " + e.message());
            continue;
        } catch (...) {
            jobLog().error("FCA: unknown exception processing : " + root);
            continue;
        }
        for (const std::string& child : children) {
            if (isStopped()) {
                postJobEvent(3, "", 0);
                return;
            }
            scanChild(scan, FORemoveEndingSlash(folder), child);
        }
    }
    postJobEvent(3, "", 0);
}

bool OfflineJobActivity::skippedByName(const ChangeScan& scan, const std::string& name, const std::string& path,
                                       bool validUtf8) {
    if (NameRules::hasBadChars(name))
        return true;
    if (disableDotDot == "1" && name.find("..") != std::string::npos) {
        jobLog().trace("FCA: Ignore with Bad Chars : " + path);
        addSkipped("Skipping file/folder with invalid characters", path);
        return true;
    }
    if (name == ".cache" || Nuvaro::Util::trim(name).size() != name.size()) {
        jobLog().trace("FCA: Ignore with Bad Chars : " + path);
        addSkipped("Skipping file/folder with bad characters", path);
        return true;
    }
    if (scan.skipPattern && NameRules::matchesAnywhere(*scan.skipPattern, name)) {
        jobLog().trace("FCA: Skipping Matched SKIP Regex: " + path);
        return true;
    }
    if (!validUtf8 || NameRules::hasInvalidChars(name)) {
        jobLog().trace("FCA: Skipping files with invalid chars: " + path);
        addSkipped("Skipping files with invalid chars", path);
        return true;
    }
    if (excludePaths.count(path) != 0) {
        jobLog().trace("FCA: Skipping Excluded Path: " + path);
        return true;
    }
    return false;
}

void OfflineJobActivity::scanChild(ChangeScan& scan, const std::string& folder, const std::string& rawName) {
    std::string name = rawName;
    const bool validUtf8 = Nuvaro::Util::toNFC(rawName, name);
    // The path on disk: the name as the file system holds it.
    const std::string path = folder + "/" + rawName;
    if (skippedByName(scan, name, path, validUtf8))
        return;
    if (scan.conflictCopies.count(path) != 0) {
        jobLog().trace("FCA: Ignore conflict copy made by this job: " + path);
        return;
    }
    const FOLocalKind kind = FOLocalKindOf(path);
    if (name[0] == '.' || kind == FOLocalKind::Missing)
        return;
    if (kind == FOLocalKind::Other) {
        jobLog().trace("FCA: Skipping link or special file: " + path);
        return;
    }
    if (kind == FOLocalKind::Unknown) {
        jobLog().error("FCA: Skipping item that cannot be examined: " + path);
        return;
    }
    const bool isFile = kind == FOLocalKind::File;
    if (isFile) {
        const std::string extension = NameRules::lowerExtension(name);
        if (fileExists(uploadRestrictions, extension)) {
            jobLog().trace("FCA: Ignore File with banned extension: " + path);
            addSkipped("Skipping Banned Extension " + uploadRestrictionsText, path);
            return;
        }
        if (NuvaroConnector::temporaryNameProcess(rawName) != -1) {
            jobLog().trace("FCA: Ignore temporary download file: " + path);
            return;
        }
    }
    try {
        Poco::File file(path);
        const Poco::Int64 size = isFile ? static_cast<Poco::Int64>(file.getSize()) : 0;
        const Poco::Timestamp modified = file.getLastModified();
        auto stored = scan.rowsByPath.find(path);
        if (stored == scan.rowsByPath.end()) {
            const int type = isFile ? FOOfflineEntry::TYPE_FILE : FOOfflineEntry::TYPE_FOLDER;
            EntryPtr entry(new FOOfflineEntry(path, type, name, folder, size, modified.utcTime(), job.localLinkPath,
                                              "", ""));
            if (isFile && serverChangedSinceRow(path, *entry)) {
                // New on both sides with other content; the download phase
                // keeps the server's version beside it as a conflict copy.
                jobLog().information("Holding back new local file, the server has another version: " + path);
            } else if (!checkIfUTF8PathExists(scan.namesByParent, folder, name)) {
                describeLocalState(*entry, path, modified);
                jobLog().trace("Adding New Entry to Upload List : " + path);
                uploadList.push_back(entry);
            }
        } else if (isFile && !localUnchangedSinceRow(path, *stored->second)) {
            if (scan.conflictCopyOf.count(path) != 0) {
                jobLog().trace("Ignoring file because conflict file exists : " + path);
            } else if (serverChangedSinceRow(path, *stored->second)) {
                // Sending it would overwrite the server's change; the next
                // run's download phase brings that down beside it.
                jobLog().information("Holding back local change, the server's copy changed too: " + path);
            } else {
                const EntryPtr& row = stored->second;
                jobLog().trace("Adding Updated File to Upload List : " + path + " Current Size: " +
                               std::to_string(size) + " DB Size: " + std::to_string(row->size));
                row->size = size;
                row->modified = modified.utcTime();
                describeLocalState(*row, path, modified);
                uploadList.push_back(row);
            }
        }
    } catch (const Poco::Exception& e) {
        jobLog().error("FCA: exception processing : " + e.displayText());
        return;
    }
    if (!isFile && job.recurse)
        scan.foldersToVisit.push_back(path);
}

bool OfflineJobActivity::serverChangedSinceRow(const std::string& path, const FOOfflineEntry& row) {
    if (job.syncType == FOOfflineJobData::TYPE_BACKUP)
        return false; // a backup's server copy is only ever its own
    const std::string remote = FOTranslateToRemotePath(path, job.remotePath, job.localLinkPath);
    auto listing = listingCache.find(remote.substr(0, remote.rfind('/')));
    if (listing == listingCache.end())
        return false;
    const std::string name = nameOf(path);
    for (const Nuvaro::Record& item : listing->second)
        if (itemValue(item, "name") == name && !isRemoteFolder(item))
            return !remoteUnchangedSinceRow(item, row);
    return false;
}

void OfflineJobActivity::describeLocalState(FOOfflineEntry& entry, const std::string& path,
                                            const Poco::Timestamp& modified) {
    if (checkModTime)
        entry.fileMod = sortable(modified);
    std::string crc;
    if (checkCrc && entry.type == FOOfflineEntry::TYPE_FILE &&
        Nuvaro::Util::getFileCRC(path, crc, 0, static_cast<long>(entry.size)))
        entry.fileCrc = crc;
}

void OfflineJobActivity::addSkipped(const std::string& message, const std::string& path) {
    boost::shared_ptr<FSActivity> entry(
        new FSActivity(FSActivity::LevelNormal, FSActivity::TypeSkippedLocal, message, path, "Local File"));
    db->activityAdd(entry);
}

bool OfflineJobActivity::checkIfUTF8PathExists(const std::multimap<std::string, std::string>& names,
                                               const std::string& parent, const std::string& name) {
    auto range = names.equal_range(parent);
    for (auto stored = range.first; stored != range.second; ++stored) {
        std::string nfc;
        if (Nuvaro::Util::toNFC(stored->second, nfc) && nfc == name) {
            jobLog().trace("Skipping adding new file because of a UTF-8 normalization conflict with existing entry " +
                           parent + "/" + name);
            return true;
        }
    }
    return false;
}

void OfflineJobActivity::clearDifferentCaseItemsDB(const std::string& remoteParent, const std::string& name) {
    const std::string folder = localPathOf(remoteParent);
    if (folder.empty())
        return;
    std::vector<EntryPtr> rows;
    db->getFOChildren(folder, rows);
    const std::string lower = Poco::toLower(name);
    for (const EntryPtr& row : rows) {
        if (row->name == name || Poco::toLower(row->name) != lower)
            continue;
        // A case twin that is still there (Twin.txt beside twin.txt) keeps
        // its row: dropping it would send it again on every run.
        if (FOLocalKindOf(row->fullPath) != FOLocalKind::Missing)
            continue;
        db->FODeleteRecord(row.get());
        if (row->type == FOOfflineEntry::TYPE_FOLDER)
            db->FODeleteChildren(row->fullPath);
    }
}

} // namespace Sync
} // namespace Nuvaro
