// FolderCacheActivity: the checks of one folder's items (processChildren) and
// the tests they use: in use, conflict copy beside a file, Unicode
// normalisation clash, unchanged since the record.

#include "FolderCacheActivity.h"

#include "AttributeManager.h"
#include "FSActivity.h"
#include "NameRules.h"
#include "NuvaroUtil.h"
#include "ScanLog.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/NumberFormatter.h>
#include <Poco/Path.h>
#include <Poco/RegularExpression.h>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace Nuvaro {
namespace Sync {

namespace {

// Parts of file names that mark system, temporary or conflict files.
const char* const kJunkNameParts[] = {"nuvaro.db", "Thumbs.db", "thumbs.db",  "desktop.ini", "Desktop.ini",
                                      ".tmp",      ".lnk",      "Conflict_",  "sync.ico",    ".DS_Store"};

// Documents are recorded even while an editor holds them open.
const char* const kNoInUseTestExtensions[] = {"doc",  "docx", "dotx", "docm", "dot",  "dotm", "txt",
                                              "xls",  "xlsx", "xlsb", "xlsm", "xlt",  "ppt",  "pptx",
                                              "potm", "potx", "pps",  "ppsm", "ppsx", "pptm", "pdf"};

const Poco::Int64 kMaxServerPathBytes = 3500;

// How old a file's time must be before a record takes it without reading the
// file again (recordNewTime).
const Poco::Timestamp::TimeDiff kSettledTime = 2 * Poco::Timestamp::resolution();

bool isJunkFileName(const std::string& name) {
    for (const char* part : kJunkNameParts)
        if (name.find(part) != std::string::npos)
            return true;
    return !Nuvaro::Util::isAllowedFile(name);
}

} // namespace

void FolderCacheActivity::processChildren(StorePtr store, boost::shared_ptr<FSChildren>& children,
                                          FolderData& folder) {
    for (const FSEntry& entry : children->children) {
        const std::string& name = entry.name;
        const std::string logPath = folder.relativePath.empty() ? name : folder.relativePath + "/" + name;

        if (entry.skip) {
            scanLog().trace("FCA: Skipping File with Exception Processing: " + logPath);
            continue;
        }
        if (entry.link) {
            // A link is left where it is: neither it nor what it leads to is
            // uploaded, and the walk did not enter it.
            scanLog().trace("FCA: Ignoring link: " + logPath);
            if (entry.type == FSTypeFolder)
                dropRecordsBelowLink(logPath);
            continue;
        }
        if (entryRefusedByName(entry, logPath)) {
            if (entry.type == FSTypeFolder)
                m_excludedFolders.insert(logPath);
            continue;
        }
        try {
            // Files only: a folder's name is never checked for an extension.
            const std::string extension = entry.type == FSTypeFile ? entry.extension() : std::string();
            if (entry.type == FSTypeFile) {
                if (isJunkFileName(name))
                    continue;
                if (std::find(m_uploadRestrictionExtensions.begin(), m_uploadRestrictionExtensions.end(),
                              extension) != m_uploadRestrictionExtensions.end()) {
                    scanLog().trace("FCA: Ignore File with banned extension: " + logPath);
                    addSkippedActivity("Skipping Banned Extension " + m_uploadRestrictions, logPath);
                    continue;
                }
            }
            const bool inUseTestApplies =
                entry.type == FSTypeFile && m_skipInUseCheck != "1" &&
                std::find(std::begin(kNoInUseTestExtensions), std::end(kNoInUseTestExtensions), extension) ==
                    std::end(kNoInUseTestExtensions);
            const std::string absolutePath = folder.fullPath + "/" + name;
            if (static_cast<Poco::Int64>(absolutePath.size()) - static_cast<Poco::Int64>(m_syncFolderPath.size()) >
                kMaxServerPathBytes) {
                scanLog().trace("FCA: Ignore Path Too Long for Server: " + logPath);
                if (entry.type == FSTypeFolder)
                    m_excludedFolders.insert(logPath);
                continue;
            }
            if (entry.type == FSTypeFolder)
                processFolderEntry(store, entry, logPath);
            else
                processFileEntry(store, children, entry, folder, logPath, absolutePath, inUseTestApplies);
        } catch (...) {
            // One item that cannot be handled never stops the scan; the next
            // scan looks at it again.
        }
    }
}

void FolderCacheActivity::dropRecordsBelowLink(const std::string& linkPath) {
    std::vector<FSSyncRecordPtr> found;
    if (!m_db->getFSAllChildren(linkPath, found))
        return;
    Poco::Int64 dropped = 0;
    for (const FSSyncRecordPtr& record : found) {
        // Written straight to the database, never through the scan's store:
        // the record is no local deletion, so nothing is sent for it.
        record->setIsDeleted(true);
        if (m_db->FSSyncRecordDelete(record.get(), false))
            ++dropped;
    }
    if (dropped > 0)
        scanLog().information("FCA: " + Poco::NumberFormatter::format(dropped) + " record(s) at and below the link " +
                              linkPath + " dropped: the link is not followed, the server keeps its items");
}

bool FolderCacheActivity::entryRefusedByName(const FSEntry& entry, const std::string& logPath) {
    const std::string& name = entry.name;
    if (name == ".cache" || NameRules::hasBadChars(name) ||
        (m_disableDotDot == "1" && name.find("..") != std::string::npos)) {
        scanLog().trace("FCA: Ignore with Bad Chars: " + logPath);
        return true;
    }
    if (m_skipRegex && NameRules::matchesAnywhere(*m_skipRegex, name)) {
        scanLog().trace("FCA: Skipping Matched SKIP Regex: " + logPath);
        addSkippedActivity("Skipping Matched Regex Filter " + m_skipPattern, logPath);
        return true;
    }
    if (NameRules::hasInvalidChars(name)) {
        scanLog().trace("FCA: Skipping files with invalid chars: " + logPath);
        addSkippedActivity("Skipping files with invalid chars", logPath);
        return true;
    }
    return false;
}

void FolderCacheActivity::processFolderEntry(const StorePtr& store, const FSEntry& entry, const std::string& logPath) {
    FSSyncRecordPtr record = getRecordforFullPath(store, logPath);
    if (record && record->getIsDeleted() != 1 && record->getType() == FSTypeFile) {
        // A folder stands where a file was: the file is removed and the
        // folder is new. With the file's record out of the path index, the
        // folder walk gives the folder its own record and checks its items.
        scanLog().trace("FCA: File replaced by a folder: " + logPath);
        replaceRecord(store, record);
        return;
    }
    if (record && record->getIsDeleted() == 1) {
        // The folder came back: its record lives again. New folders get
        // their records from the folder walk.
        record->setType(FSTypeFolder);
        record->setModified(entry.modified.utcTime());
        record->setSize(static_cast<Poco::Int64>(entry.size));
        record->setAttribs("");
        record->setFriendlyName(m_friendlyName);
        store->updateRecord(record);
        indexNewRecord(record);
    }
    if (entry.hidden || entry.link)
        scanLog().trace("FCA: Ignoring invalid file: " + logPath);
}

void FolderCacheActivity::processFileEntry(const StorePtr& store, boost::shared_ptr<FSChildren>& children,
                                           const FSEntry& entry, const FolderData& folder, const std::string& logPath,
                                           const std::string& absolutePath, bool inUseTestApplies) {
    Poco::Logger& log = scanLog();
    if (entry.hidden || entry.link) {
        log.trace("FCA: Ignoring invalid file: " + logPath);
        return;
    }
    const std::string remote = remotePath(logPath);
    if (remote.empty()) {
        log.trace("FCA: Ignore Unused Path: " + logPath);
        return;
    }
    const std::string parentRemote = remotePath(folder.relativePath);
    if (parentRemote.empty()) {
        log.trace("FCA: Ignore Unused Parent Path: " + folder.relativePath + " for " + logPath);
        return;
    }

    const Poco::Int64 modified = entry.modified.utcTime();
    const Poco::Int64 size = static_cast<Poco::Int64>(entry.size);
    auto attributes = [&absolutePath] {
        Poco::File file(absolutePath);
        return AttributeManager::getAttributes(file);
    };
    FSSyncRecordPtr record = getRecordforFullPath(store, logPath);
    if (record && record->getIsDeleted() != 1 && record->getType() == FSTypeFolder) {
        // A file stands where a folder was: the folder and everything that
        // was below it are removed, and the file is new.
        if (inUseTestApplies && inUse(absolutePath))
            return;
        inUseTestApplies = false;  // done
        log.trace("FCA: Folder replaced by a file: " + logPath);
        replaceRecord(store, record);
        record.reset();
    }
    if (!record) {
        if (inUseTestApplies && inUse(absolutePath))
            return;
        if (checkIfUTF8PathExists(store, folder.relativePath, entry.name))
            return;
        FSSyncRecordPtr added(new FSSyncRecord(newRecordId(store, logPath, FSTypeFile), FSTypeFile, entry.name,
                                               parentRemote, remote, size, modified, attributes(), "",
                                               m_friendlyName, "", folder.relativePath, logPath));
        store->addNewRecord(added);
        indexNewRecord(added);
        return;
    }

    if (record->getIsDeleted() == 1) {
        // The file came back under a deleted record: revive it as it is now.
        record->setType(FSTypeFile);
        record->setModified(modified);
        record->setSize(size);
        record->setAttribs(attributes());
        record->setFriendlyName(m_friendlyName);
        store->updateRecord(record);
        indexNewRecord(record);
        return;
    }

    if (unchangedSinceRecord(*record, entry, absolutePath))
        return;
    log.trace("FCA: Changed " + logPath + " Size: " + Poco::NumberFormatter::format(record->getSize()) + " | " +
              Poco::NumberFormatter::format(size) + " Date: " + Poco::NumberFormatter::format(record->getModified()) +
              " | " + Poco::NumberFormatter::format(modified));
    if (checkForConflict(absolutePath, children))
        return;
    if (inUseTestApplies && inUse(absolutePath))
        return;
    record->setModified(modified);
    record->setSize(size);
    record->setAttribs(attributes());
    record->setFriendlyName(m_friendlyName);
    store->updateRecord(record);
}

bool FolderCacheActivity::unchangedSinceRecord(const FSSyncRecord& record, const FSEntry& entry,
                                               const std::string& path) {
    const Poco::Int64 size = static_cast<Poco::Int64>(entry.size);
    const Poco::Int64 modified = entry.modified.utcTime();
    if (!m_checksumsOn || record.getFileCRC().empty())
        return AttributeManager::sameFileAsRecord(m_checkSettings, record, path, size, modified);
    if (record.getSize() != size)
        return false;
    if (record.getModified() == modified)
        return true;
    ++m_checksumsRead;
    Nuvaro::LocalFileVersion version;
    if (!AttributeManager::sameContentAsRecorded(record.getFileCRC(), path, size, modified, version))
        return false;
    recordNewTime(record, version, path);
    return true;
}

void FolderCacheActivity::recordNewTime(const FSSyncRecord& record, const Nuvaro::LocalFileVersion& version,
                                        const std::string& path) {
    const Poco::Timestamp newTime = version.modified();
    if (Poco::Timestamp() - newTime < kSettledTime) {
        scanLog().trace("FCA: Same content, time too recent to record: " + path);
        return;
    }
    FSSyncRecordPtr stored = m_db->getFSSyncRecordFromLocalFullPath(record.getLocalFullPath());
    if (!stored || stored->getId() != record.getId() || stored->getIsDeleted() != 0 ||
        stored->getSize() != record.getSize() || stored->getModified() != record.getModified() ||
        stored->getFileCRC() != record.getFileCRC())
        return;
    stored->setModified(newTime.utcTime());
    if (m_recordModText)
        stored->setFileModTime(Poco::DateTimeFormatter::format(newTime, Poco::DateTimeFormat::SORTABLE_FORMAT));
    if (m_db->FSSyncRecordUpdate(stored.get()))
        scanLog().trace("FCA: Same content, new time recorded: " + path);
}

bool FolderCacheActivity::inUse(const std::string& path) {
    // Only a read is needed to upload the file, so only a read is tried;
    // O_NONBLOCK keeps a FIFO that replaced the file from blocking the scan.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    bool writeLocked = false;
    if (fd >= 0) {
        // Is a write lock held by another program (or another open file)?
        struct flock lock = {};
        lock.l_type = F_RDLCK;
        lock.l_whence = SEEK_SET;
        writeLocked = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
        ::close(fd);
    }
    if (fd >= 0 && !writeLocked)
        return false;
    scanLog().trace("FCA: Ignore file holding exclusive write lock: " + path);
    addSkippedActivity("Skipping File in Use ", path);
    return true;
}

bool FolderCacheActivity::checkForConflict(const std::string& path, boost::shared_ptr<FSChildren>& children) {
    try {
        Poco::Path file(path);
        const std::string prefix = file.getBaseName() + "(Conflict_";
        const std::string extension = file.getExtension();
        // Names beginning with the prefix sort together from the prefix on.
        for (auto it = children->children.lower_bound(prefix);
             it != children->children.end() && it->name.compare(0, prefix.size(), prefix) == 0; ++it) {
            if (Poco::Path(it->name).getExtension() != extension)
                continue;
            scanLog().trace("checkForConflict Conflict Found: " + path + "/" + it->name);
            ++m_conflictCount;
            return true;
        }
        return false;
    } catch (...) {
        scanLog().error("checkForConflict check failed: " + path);
        return true;
    }
}

bool FolderCacheActivity::checkIfUTF8PathExists(StorePtr store, const std::string& parent, const std::string& name) {
    auto names = m_nfcNamesByParent.find(parent);
    if (names == m_nfcNamesByParent.end()) {
        std::vector<FSSyncRecordPtr> records;
        getChildrenRecordsforParent(store, parent, records);
        std::unordered_set<std::string> normalised;
        for (const FSSyncRecordPtr& record : records) {
            std::string nfc;
            if (Nuvaro::Util::toNFC(record->getName(), nfc))
                normalised.insert(nfc);
        }
        names = m_nfcNamesByParent.emplace(parent, std::move(normalised)).first;
    }
    if (names->second.count(name) == 0)
        return false;
    scanLog().trace("Skipping adding new file because of a UTF-8 normalization conflict with existing entry " + parent +
                    "/" + name);
    return true;
}

} // namespace Sync
} // namespace Nuvaro
