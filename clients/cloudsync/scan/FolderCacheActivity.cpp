// FolderCacheActivity: construction, results, the two record indexes and the
// scan itself (run). The checks of one folder's items are in
// FolderCacheActivity_Items.cpp.

#include "FolderCacheActivity.h"

#include "CloudPath.h"
#include "FSActivity.h"
#include "FSUtil.h"
#include "NameRules.h"
#include "NuvaroException.h"
#include "NuvaroUtil.h"
#include "ScanLog.h"
#include "UIEvent.h"
#include "nuvarocbfs_Defs.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/NumberFormatter.h>
#include <Poco/String.h>
#include <Poco/StringTokenizer.h>
#include <Poco/Thread.h>
#include <Poco/Timespan.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <dirent.h>
#include <malloc.h>

namespace Nuvaro {
namespace Sync {

namespace {

uiEventType uiEvent(int number) {
    return static_cast<uiEventType>(number);
}

std::string number(Poco::Int64 value) {
    return Poco::NumberFormatter::format(value);
}

// Whole seconds since `since`, for the timing lines.
std::string secondsSince(const Poco::Timestamp& since) {
    return number(since.elapsed() / Poco::Timespan::SECONDS);
}

// Runs the scan at the lowest priority and gives the pool thread its old
// priority back afterwards, as later jobs on the same thread expect.
class LowestPriority {
public:
    LowestPriority() : m_thread(Poco::Thread::current()), m_previous(Poco::Thread::PRIO_NORMAL) {
        if (!m_thread)
            return;
        m_previous = m_thread->getPriority();
        try {
            m_thread->setPriority(Poco::Thread::PRIO_LOWEST);
        } catch (...) {
            // Reported below: the scan runs at the priority it has.
        }
        if (m_thread->getPriority() != Poco::Thread::PRIO_LOWEST)
            scanLog().trace("FCA: failed to change thread priority ");
    }
    ~LowestPriority() {
        try {
            if (m_thread)
                m_thread->setPriority(m_previous);
        } catch (...) {
        }
    }

private:
    Poco::Thread* m_thread;
    Poco::Thread::Priority m_previous;
};

// The NFC names a folder holds now, for the vanished-item test; false when
// the folder cannot be listed.
bool listNFCNames(const std::string& folder, std::unordered_set<std::string>& names) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return false;
    while (struct dirent* found = ::readdir(dir)) {
        std::string name;
        if (Nuvaro::Util::toNFC(found->d_name, name))
            names.insert(name);
    }
    ::closedir(dir);
    return true;
}

} // namespace

bool checkIfPathIsEmpty(const std::string& path) {
    try {
        Poco::File folder(path);
        if (!folder.exists())
            return true;
        std::vector<std::string> names;
        folder.list(names);
        return names.empty();
    } catch (...) {
        return true;
    }
}

FolderCacheActivity::FolderCacheActivity(const std::string& syncFolderPath, boost::shared_ptr<FSSyncDB>& db,
                                         const std::string& hostName, const std::string& friendlyName,
                                         const std::string& osName, const std::string& profile,
                                         const std::string& networkFolderName, const std::string& teamFolderName,
                                         const std::string& teamFolderAccount, bool checkModTime,
                                         Settings& settings, const std::atomic<bool>& quit)
    : m_activity(this, &FolderCacheActivity::run),
      m_dirCount(0),
      m_syncFolderPath(syncFolderPath),
      m_db(db),
      m_hostName(hostName),
      m_friendlyName(friendlyName),
      m_changesLimited(false),
      m_osName(osName),
      m_profile(profile),
      m_networkFolderName(networkFolderName),
      m_teamFolderName(teamFolderName),
      m_teamFolderAccount(teamFolderAccount),
      m_checkModTime(checkModTime),
      m_conflictCount(0),
      m_settings(settings),
      m_quit(quit),
      m_startDelayMs(DEFAULT_START_DELAY_MS) {}

FolderCacheActivity::~FolderCacheActivity() {
    try {
        if (m_activity.isRunning()) {
            m_activity.stop();
            m_activity.wait();
        }
    } catch (...) {
    }
}

void FolderCacheActivity::getChangeList(ChangeList& out) const {
    out.insert(out.end(), m_changeList.begin(), m_changeList.end());
}

bool FolderCacheActivity::stopRequested() const {
    return m_activity.isStopped() || m_quit.load(std::memory_order_acquire);
}

// ---- Settings and indexes ----

void FolderCacheActivity::readSettings() {
    const std::map<std::string, std::string>* values = m_settings.empty() ? nullptr : m_settings[0].get();
    auto setting = [values](const std::string& key) {
        if (!values)
            return std::string();
        auto found = values->find(key);
        return found == values->end() ? std::string() : found->second;
    };

    m_uploadRestrictions = Poco::toLower(setting("uploadrestrictions"));
    m_uploadRestrictionExtensions.clear();
    if (!m_uploadRestrictions.empty()) {
        Poco::StringTokenizer tokens(m_uploadRestrictions, "|");
        for (const std::string& token : tokens)
            if (!token.empty())
                m_uploadRestrictionExtensions.push_back(token);
    }
    m_skipPattern = setting("skipregex");
    m_skipInUseCheck = setting("skipinusecheck");
    m_disableDotDot = setting(Nuvaro::DISABLEDOTDOT);

    m_skipRegex.reset();
    if (!m_skipPattern.empty()) {
        try {
            m_skipRegex.reset(new Poco::RegularExpression(
                m_skipPattern, Poco::RegularExpression::RE_CASELESS | Poco::RegularExpression::RE_UTF8, true));
        } catch (const Poco::Exception& e) {
            scanLog().error("FCA: Invalid skip pattern, scanning without it: " + m_skipPattern + " : " +
                            e.displayText());
        }
    }

    std::map<std::string, std::string> checks{{"checkmodtime", setting("checkmodtime")},
                                              {"checkcrc", setting("checkcrc")}};
    m_checkSettings.assign(1, Nuvaro::Record(new std::map<std::string, std::string>(checks)));
    m_checksumsOn = setting("checkcrc") == "1";
    m_recordModText = setting("checkmodtime") == "1";
}

void FolderCacheActivity::loadCache(const StorePtr& store) {
    m_pathIndex.clear();
    m_parentIndex.clear();
    m_nfcNamesByParent.clear();
    m_pathIndex.reserve(store->size());
    for (const auto& entry : store->getRecords()) {
        FSSyncRecordPtr record = boost::dynamic_pointer_cast<FSSyncRecord>(entry.second);
        if (!record || record->getFlags() == "SKIP")
            continue;
        m_pathIndex.emplace(std::string_view(record->getLocalFullPath()), record);
        if (record->getIsDeleted() != 1)
            m_parentIndex[record->getLocalParent()].push_back(record);
    }
}

FSSyncRecordPtr FolderCacheActivity::getRecordforFullPath(const StorePtr& /*store*/, const std::string& path) {
    auto found = m_pathIndex.find(path);
    if (found == m_pathIndex.end())
        return FSSyncRecordPtr();
    // The indexed object is the store's record of its identity (see the
    // indexes in the header).
    const FSSyncRecordPtr& record = found->second;
    if (record->getLocalFullPath() != path)
        return FSSyncRecordPtr();
    return record;
}

void FolderCacheActivity::getChildrenRecordsforParent(const StorePtr& /*store*/, const std::string& parent,
                                                      std::vector<FSSyncRecordPtr>& out) {
    auto found = m_parentIndex.find(parent);
    if (found == m_parentIndex.end())
        return;
    for (const FSSyncRecordPtr& record : found->second)
        if (record->getIsDeleted() != 1 && record->getLocalParent() == parent)
            out.push_back(record);
}

void FolderCacheActivity::indexNewRecord(const FSSyncRecordPtr& record) {
    m_parentIndex[record->getLocalParent()].push_back(record);
    // A key is a view of its own value's path, so a replaced value takes
    // its key with it.
    m_pathIndex.erase(record->getLocalFullPath());
    m_pathIndex.emplace(std::string_view(record->getLocalFullPath()), record);
    auto names = m_nfcNamesByParent.find(record->getLocalParent());
    std::string name;
    if (names != m_nfcNamesByParent.end() && Nuvaro::Util::toNFC(record->getName(), name))
        names->second.insert(name);
}

std::string FolderCacheActivity::remotePath(const std::string& localPath) const {
    return CloudPath::translateToRemotePath(m_profile, FSSyncDB::convertToStdPath(localPath), m_networkFolderName,
                                            m_teamFolderName, m_teamFolderAccount, false);
}

// ---- The scan ----

void FolderCacheActivity::run() {
    Poco::Logger& log = scanLog();
    struct ReleaseOnExit {
        FolderCacheActivity* scan;
        ~ReleaseOnExit() { scan->releaseWorkingState(); }
    } release{this};
    try {
        readSettings();
        LowestPriority priority;
        m_db->activityDeleteAllErrors(FSActivity::TypeSkippedLocal);

        std::vector<std::string> syncFolders;
        if (!m_db->getSyncFolders(syncFolders)) {
            log.error("FCA: Cannot read the sync folder list, Quitting Activity ");
            return;
        }
        if (!checkTopLevelFolders(syncFolders)) {
            log.trace("FC: Top Level Path doesn't exist: Quitting Activity ");
            return;
        }
        if (!pauseBeforeScan()) {
            log.trace("FC: Quitting Activity ");
            return;
        }

        Poco::Timestamp clock;
        uiPostEvent(uiEvent(10), "Scanning Directories", 100);
        m_tree.setStopCheck([this] { return stopRequested(); });
        m_tree.initFromPath(m_syncFolderPath, m_disableDotDot == "1");
        uiPostEvent(uiEvent(13), "Scanning Directories", 100);
        if (stopRequested()) {
            log.trace("FC: Quitting Activity ");
            return;
        }
        log.trace("FCA: Scan complete   ... " + number(static_cast<Poco::Int64>(m_tree.folders.size())) +
                  " folders " + number(m_tree.fileCount) + " files. Took " + secondsSince(clock) + " secs");
        clock.update();
        log.trace("FCA: Starting to load from DB");

        StorePtr store(new Nuvaro::DataSync::DataSyncStore());
        bool loaded = m_db->getDataStore("", m_hostName, *store, m_quit);
        if (stopRequested()) {
            log.trace("FC: Quitting Activity ");
            return;
        }
        if (!loaded) {
            // A partial store would make every missing record look like a
            // new item: scan again later instead.
            log.error("FCA: DB Store Load failed, Quitting Activity ");
            return;
        }
        log.trace("FCA: DB Store Load complete. Took " + secondsSince(clock) + " secs");
        clock.update();
        loadCache(store);
        log.trace("FCA: LoadCache complete. Took " + secondsSince(clock) + " secs");

        walkFolders(store, syncFolders);
        collectResults(store);
        return;
    } catch (const Poco::Exception& e) {
        log.error("runException caught : " + e.displayText());
    } catch (const Nuvaro::Exception& e) {
        log.error("runException caught : " + e.message());
    } catch (const std::exception& e) {
        log.error(std::string("runException caught : ") + e.what());
    } catch (...) {
        log.error("runUnknown Exception caught : ");
    }
    log.trace("FCA: Ending Activity ");
}

bool FolderCacheActivity::checkTopLevelFolders(const std::vector<std::string>& syncFolders) {
    bool anyMissing = false;
    for (const std::string& folder : syncFolders) {
        const std::string local = CloudPath::convertToNativePath(CloudPath::translateToLocalPath(
            m_profile, folder, m_networkFolderName, m_teamFolderName, m_teamFolderAccount, true));
        const std::string top = m_syncFolderPath + "/" + local;
        bool exists = true;
        try {
            exists = Poco::File(top).exists();
        } catch (...) {
            // An error is no proof that the folder is gone.
        }
        if (exists)
            continue;
        scanLog().trace("FC: Top Level Path doesn't exist: " + top + " Cleaning Database Entries");
        try {
            // The folder's records go; the next pass fetches it from the
            // server again as a new sync folder.
            Nuvaro::DataSync::DataSyncStore unused;
            m_db->deleteDataStore(folder, unused);
        } catch (...) {
        }
        anyMissing = true;
    }
    return !anyMissing;
}

bool FolderCacheActivity::pauseBeforeScan() {
    const Poco::Timestamp start;
    const Poco::Timestamp::TimeDiff delay = static_cast<Poco::Timestamp::TimeDiff>(m_startDelayMs) * 1000;
    while (!stopRequested()) {
        Poco::Timestamp::TimeDiff left = delay - start.elapsed();
        if (left <= 0)
            return true;
        Poco::Thread::sleep(static_cast<long>(std::min<Poco::Timestamp::TimeDiff>(left / 1000 + 1, 50)));
    }
    return false;
}

void FolderCacheActivity::walkFolders(const StorePtr& store, const std::vector<std::string>& syncFolders) {
    Poco::Logger& log = scanLog();
    const int folderCount = static_cast<int>(m_tree.folders.size());
    uiPostEvent(uiEvent(10), "Checking for Changes", folderCount);
    int counter = 0;
    for (auto& item : m_tree.folders) {
        if (stopRequested()) {
            log.trace("FC: Quitting Activity ");
            break;
        }
        ++counter;
        boost::shared_ptr<FSChildren>& children = item.second;
        FolderData& folder = children->folder;
        if (!folderTakesPart(folder))
            continue;
        if (counter % 100 == 0)
            log.trace("FCA: Processing children for " + number(counter) + " folder(s)");
        if (counter % 10 == 0)
            uiPostEvent(uiEvent(11), "", counter);

        if (!folder.name.empty() && !getRecordforFullPath(store, folder.relativePath) &&
            !addNewFolderRecord(store, folder, syncFolders))
            continue;
        if (folder.relativePath.empty())
            continue;  // items directly in the sync root are never synchronised
        ++m_dirCount;
        processChildren(store, children, folder);
        if (m_tree.unlistedFolders.count(folder.fullPath) == 0)
            markVanishedItems(store, *children, folder);
    }
}

bool FolderCacheActivity::folderTakesPart(const FolderData& folder) {
    if (!folder.relativePath.empty() && (m_excludedFolders.count(folder.relativePath) != 0 ||
                                         m_excludedFolders.count(folder.parentPath) != 0)) {
        scanLog().trace("FCA: Skipping folder inside a skipped folder: " + folder.relativePath);
        m_excludedFolders.insert(folder.relativePath);
        return false;
    }
    if (m_skipRegex && NameRules::matchesAnywhere(*m_skipRegex, folder.name)) {
        scanLog().trace("FCA: Skipping Matched SKIP Regex for Directory: " + folder.relativePath);
        // Below the top level the whole subtree stays out; the top-level
        // folders are fixed roots, so only their own items are left out.
        if (!folder.parentPath.empty())
            m_excludedFolders.insert(folder.relativePath);
        return false;
    }
    return true;
}

bool FolderCacheActivity::addNewFolderRecord(const StorePtr& store, const FolderData& folder,
                                             const std::vector<std::string>& syncFolders) {
    Poco::Logger& log = scanLog();
    const std::string remote = remotePath(folder.relativePath);
    if (remote.empty()) {
        log.trace("FCA: Ignoring not realtime sync path: " + folder.relativePath);
        return false;
    }
    // The folder must be a configured sync folder or lie inside one: a whole
    // path component must match ("/SHARED/o/projX" is not in "/SHARED/o/proj").
    auto inside = [&remote](const std::string& syncFolder) {
        if (syncFolder.empty() || remote.compare(0, syncFolder.size(), syncFolder) != 0)
            return false;
        return remote.size() == syncFolder.size() || remote[syncFolder.size()] == '/' || syncFolder.back() == '/';
    };
    if (std::none_of(syncFolders.begin(), syncFolders.end(), inside)) {
        log.trace("FCA: Ignore Path not in sync folder list: " + folder.relativePath);
        return false;
    }
    if (checkIfUTF8PathExists(store, folder.parentPath, folder.name)) {
        m_excludedFolders.insert(folder.relativePath);
        return false;
    }
    FSSyncRecordPtr record(new FSSyncRecord(newRecordId(store, folder.relativePath, FSTypeFolder), FSTypeFolder,
                                            folder.name, remotePath(folder.parentPath), remote, 0, 0, "", "",
                                            m_friendlyName, "", folder.parentPath, folder.relativePath));
    store->addNewRecord(record);
    indexNewRecord(record);
    return true;
}

void FolderCacheActivity::markVanishedItems(const StorePtr& store, FSChildren& children, const FolderData& folder) {
    std::vector<FSSyncRecordPtr> records;
    getChildrenRecordsforParent(store, folder.relativePath, records);

    // The folder is listed again (once) to see names the tree picture holds
    // in another form or left out; a folder that cannot be listed now keeps
    // every record.
    bool listed = false;
    bool listable = false;
    std::unordered_set<std::string> onDisk;
    auto existsOnDisk = [&](const FSSyncRecord& record) {
        const std::string& path = record.getLocalFullPath();
        std::string::size_type slash = path.rfind('/');
        if (slash == std::string::npos || path.compare(0, slash, folder.relativePath) != 0 ||
            slash != folder.relativePath.size())
            return caseSensitiveFileExists(m_syncFolderPath + "/" + path);
        if (!listed) {
            listed = true;
            listable = listNFCNames(folder.fullPath, onDisk);
        }
        std::string name;
        return !listable || !Nuvaro::Util::toNFC(path.substr(slash + 1), name) || onDisk.count(name) != 0;
    };

    for (const FSSyncRecordPtr& record : records) {
        if (record->getFlags() == "SKIP" || children.children.count(record->getName()) != 0)
            continue;
        bool exists = true;
        try {
            exists = existsOnDisk(*record);
        } catch (...) {
        }
        if (exists) {
            scanLog().trace("FCA: Record Not Found, but Actual File Exists, ignoring : " + record->getLocalFullPath());
            continue;
        }
        if (record->getType() == FSTypeFile || record->getType() == FSTypeFolder)
            markDeletedWithContent(store, record);
    }
}

void FolderCacheActivity::markDeletedWithContent(const StorePtr& store, const FSSyncRecordPtr& record) {
    if (record->getType() != FSTypeFolder) {
        markDeleted(store, record);
        return;
    }
    // The stored records: the folder's own and every one below it.
    std::vector<FSSyncRecordPtr> all;
    if (!m_db->getFSAllChildren(record->getLocalFullPath(), all) || all.empty())
        throw Nuvaro::Exception("no stored record for the vanished folder " + record->getLocalFullPath());
    for (const FSSyncRecordPtr& below : all)
        markDeleted(store, below);
}

void FolderCacheActivity::replaceRecord(const StorePtr& store, const FSSyncRecordPtr& record) {
    markDeletedWithContent(store, record);
    m_pathIndex.erase(record->getLocalFullPath());
}

Poco::UUID FolderCacheActivity::newRecordId(const StorePtr& store, const std::string& path, FSType type) const {
    const std::string stdPath = FSSyncDB::convertToStdPath(path);
    const Poco::UUID id = Nuvaro::Util::createUUIDFromString(stdPath);
    if (!store->getRecord(id))
        return id;
    return Nuvaro::Util::createUUIDFromString(stdPath + (type == FSTypeFolder ? "\nfolder" : "\nfile"));
}

void FolderCacheActivity::markDeleted(const StorePtr& store, const FSSyncRecordPtr& record) {
    Nuvaro::DataSync::DataSyncRecordPtr stored = store->getRecord(record->getId());
    if (stored && stored->getIsDeleted() == 1)
        return;
    store->deleteRecord(record);
    m_nfcNamesByParent.clear();
    scanLog().trace("FCA: Marking as Deleted : " + record->getLocalFullPath());
}

void FolderCacheActivity::collectResults(const StorePtr& store) {
    uiPostEvent(uiEvent(13), "Checking for Changes", static_cast<int>(m_tree.folders.size()));
    for (const auto& dirty : store->getDirtyRecords())
        m_changeList.push_back(dirty.second);
    for (const std::string& path : m_tree.skippedPaths)
        addSkippedActivity("Skipping file/folder with bad characters", path);
    for (const std::string& path : m_tree.unsupportedPaths)
        addSkippedActivity("Skipping item that is neither a file nor a folder", path);
    for (const std::string& path : m_tree.repeatedFolders)
        addSkippedActivity("Skipping folder already scanned under another path", path);
    const std::size_t ignored =
        m_tree.skippedPaths.size() + m_tree.unsupportedPaths.size() + m_tree.repeatedFolders.size();
    scanLog().trace("FCA: Dirs: " + number(m_dirCount) + " Ignored: " + number(static_cast<Poco::Int64>(ignored)) +
                    " items" + " Changes: " + number(static_cast<Poco::Int64>(m_changeList.size())) + " items");
    uiPostEvent(uiEvent(16), "", 0);
    scanLog().trace("FCA: Ending Activity ");
}

void FolderCacheActivity::releaseWorkingState() {
    m_tree.folders.clear();
    m_tree.skippedPaths.clear();
    m_tree.unsupportedPaths.clear();
    m_tree.repeatedFolders.clear();
    m_tree.unlistedFolders.clear();
    m_pathIndex = decltype(m_pathIndex)();
    m_parentIndex = decltype(m_parentIndex)();
    m_nfcNamesByParent = decltype(m_nfcNamesByParent)();
    m_excludedFolders = decltype(m_excludedFolders)();
    // The store, the indexes and the folder list of a whole scan were freed
    // just now: their memory goes back to the system rather than staying
    // resident in this thread's arena until the next scan.
    malloc_trim(0);
}

void FolderCacheActivity::addSkippedActivity(const std::string& message, const std::string& path) {
    boost::shared_ptr<FSActivity> entry(
        new FSActivity(FSActivity::LevelNormal, FSActivity::TypeSkippedLocal, message, path, "Local File"));
    m_db->activityAdd(entry);
}

} // namespace Sync
} // namespace Nuvaro
