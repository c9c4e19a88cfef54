#pragma once

// The folder scan: the local half of change detection. One instance scans
// the local sync folder once, on a pool thread, and brings a data store of
// every sync record in line with the disk: new folders and files become new
// records, changed files update their records, records of vanished items are
// marked deleted, and deleted records of items that came back are revived.
// The store's dirty records form the change list that the sync worker sends
// in its next pass. The scan never talks to the server and never writes a
// change of a record to the database itself (it only writes activity entries,
// drops the records of a sync folder whose local top folder is gone, and
// gives a record the new time of a file whose content it found unchanged).
//
// The pass, in run() (FolderCacheActivity.cpp):
//   1. read the scan's settings; drop the skipped-item entries (type 7) of
//      earlier scans;
//   2. top-level check: when the local top folder of any sync folder is gone,
//      forget that folder's records and end without a change list;
//   3. pause (5000 ms; setStartDelay), then build the tree picture
//      (FSMemoryFSCache::initFromPath);
//   4. load every record into one store and index it by local path and by
//      local parent (loadCache);
//   5. walk the tree's folders in path order (parents before their content):
//      a new folder gets a record, then its items are checked
//      (processChildren, FolderCacheActivity_Items.cpp) and the records of
//      its items that vanished are marked deleted;
//   6. the store's dirty records become the change list; set-aside items are
//      reported as skipped-item activity entries.
// Items directly in the sync root never get records.
//
// A file counts as unchanged only when its size and its modification time,
// to the whole second, equal its record's, and the checks that the settings
// "checkmodtime" and "checkcrc" switch on also find it unchanged (see
// unchangedSinceRecord). Whole seconds, because the server keeps whole
// seconds and a downloaded file takes the server's time. With checksums on
// ("checkcrc" "1") and a checksum recorded, the content decides instead,
// whatever the time: a file of the record's size whose checksum is the
// recorded one is unchanged (touched, restored from a backup, copied without
// its times), and its record takes the file's time, so that later scans find
// the time equal and read nothing.
//
// A folder refused for its name (bad characters, "..", the skip pattern,
// invalid characters, a path too long for the server) or for a Unicode
// normalisation clash is left out together with everything below it.
//
// Nothing is reported deleted on weak evidence: a record counts as vanished
// only when its folder was listed in full and a fresh listing of that folder
// (compared in NFC) does not hold the name either; a folder that cannot be
// listed, an entry that cannot be examined and a folder reached a second
// time (a bind mount) keep every record. A link is never entered nor
// uploaded; records at and below a link to a folder are dropped quietly
// (dropRecordsBelowLink), never reported deleted. When the records cannot be
// loaded the scan ends without a change list rather than take every item for
// new.
//
// Threads: the worker creates the object, starts activity() on a pool thread,
// may stop it (activity().stop() or its quit flag), and reads the results
// (changesDetected, getChangeList, changesLimited, numConflictsDetected) only
// once activity().isRunning() is false, and deletes the object only after
// activity().wait() returned (the pool thread is then done with it).
// Everything else belongs to the scan thread while it runs: the store, both
// indexes, the tree picture and the counters. The settings maps are shared
// with the worker and only read here (with find). The database serialises its own calls. The quit flag is the
// worker's atomic stop flag, written by the worker thread and read here (and
// by FSSyncDB::getDataStore while the records load). The destructor stops
// the activity and waits for it, so the object is never destroyed under
// run().

#include "DataSyncRecord.h"
#include "DataSyncStore.h"
#include "FSChildren.h"
#include "FSMemoryFSCache.h"
#include "FSSyncDB.h"
#include "FSSyncRecord.h"
#include "FolderData.h"
#include "PoolActivity.h"
#include "nuvarocbfs_LocalFileVersion.h"

#include <Poco/RegularExpression.h>
#include <Poco/UUID.h>

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace Nuvaro {
namespace Sync {

// True when `path` does not exist, holds no entry, or cannot be examined;
// false when it lists at least one entry.
bool checkIfPathIsEmpty(const std::string& path);

class FolderCacheActivity {
public:
    typedef std::vector<boost::shared_ptr<std::map<std::string, std::string>>> Settings;
    typedef boost::shared_ptr<Nuvaro::DataSync::DataSyncStore> StorePtr;
    typedef std::vector<Nuvaro::DataSync::DataSyncRecordPtr> ChangeList;

    // The real pause before the tree is read, so that a burst of changes
    // settles first.
    static const long DEFAULT_START_DELAY_MS = 5000;

    // No I/O. `settings` is copied (the copy shares the maps); `quit` is held
    // as a reference and must outlive the object.
    FolderCacheActivity(const std::string& syncFolderPath, boost::shared_ptr<FSSyncDB>& db,
                        const std::string& hostName, const std::string& friendlyName, const std::string& osName,
                        const std::string& profile, const std::string& networkFolderName,
                        const std::string& teamFolderName, const std::string& teamFolderAccount, bool checkModTime,
                        Settings& settings, const std::atomic<bool>& quit);
    virtual ~FolderCacheActivity();

    FolderCacheActivity(const FolderCacheActivity&) = delete;
    FolderCacheActivity& operator=(const FolderCacheActivity&) = delete;

    // The pause before the tree is read (default DEFAULT_START_DELAY_MS);
    // set before the activity starts. The pause ends early on a stop.
    void setStartDelay(long milliseconds) { m_startDelayMs = milliseconds; }

    // ---- Results: read once the activity no longer runs ----

    PoolActivity<FolderCacheActivity>& activity() { return m_activity; }
    bool changesDetected() const { return !m_changeList.empty(); }
    // Always false: the scan reports every change it finds.
    bool changesLimited() const { return m_changesLimited; }
    // Conflict copies met beside changed files (their changes were not
    // recorded).
    int numConflictsDetected() const { return m_conflictCount; }
    // Files whose checksum this scan read (see unchangedSinceRecord).
    int checksumsRead() const { return m_checksumsRead; }
    // Appends the change list, in order, to `out`.
    void getChangeList(ChangeList& out) const;

    // ---- The scan (FolderCacheActivity.cpp); scan thread ----

    void run();

    // Reads the scan's own settings from settings[0]: upload restrictions,
    // skip pattern (compiled once; an invalid pattern is logged once as an
    // error and the scan goes on without it), in-use switch, dot-dot switch
    // and the change checks. run() calls it first; tests that drive
    // processChildren directly call it themselves.
    void readSettings();
    // Rebuilds both indexes from the store: the path index (every record
    // not flagged "SKIP", deleted ones included; the first record of a path
    // wins) and the parent index (those not deleted).
    void loadCache(const StorePtr& store);
    // The record whose local full path is `path` (deleted or not), or null.
    FSSyncRecordPtr getRecordforFullPath(const StorePtr& store, const std::string& path);
    // Appends every live record whose local parent is `parent`, in the order
    // the records were indexed.
    void getChildrenRecordsforParent(const StorePtr& store, const std::string& parent,
                                     std::vector<FSSyncRecordPtr>& out);

    // ---- Item checks (FolderCacheActivity_Items.cpp); scan thread ----

    // Checks every entry of one folder in name order and brings its record
    // up to date in the store (new file, changed file, revived item); an
    // entry that does not take part in sync is logged (and, for most
    // reasons, reported as a skipped-item activity) and left alone.
    void processChildren(StorePtr store, boost::shared_ptr<FSChildren>& children, FolderData& folder);
    // True when the file must be left alone for now: another program holds
    // a write lock on it, or it can be neither written nor read (an activity
    // "Skipping File in Use " is added). A file that can be read but not
    // written is not in use (an upload only reads it). Never changes the
    // file or its permissions; never blocks.
    bool inUse(const std::string& path);
    // True when a conflict copy of the file (a name beginning with its base
    // name + "(Conflict_", with the same extension) lies in the folder, or
    // when the test fails; counts the conflict.
    bool checkForConflict(const std::string& path, boost::shared_ptr<FSChildren>& children);
    // True when a live record under `parent` has a name whose NFC form equals
    // `name` (a sibling stored in another Unicode form).
    bool checkIfUTF8PathExists(StorePtr store, const std::string& parent, const std::string& name);
    // True when the file described by `entry` (at `path`) is unchanged since
    // `record` was made. With checksums on ("checkcrc" "1") and a checksum
    // recorded: the same size and either exactly the record's time (to the
    // microsecond: the version whose content was last compared, so nothing
    // is read) or the recorded checksum, read now from the file as the walk
    // saw it; in the second case the record takes the file's time
    // (recordNewTime). Otherwise (checksums off, or none recorded): the same
    // size, the same modification time to the whole second, and, by the
    // "checkmodtime"/"checkcrc" settings, the same modification text or
    // checksum (AttributeManager::sameFileAsRecord).
    // Worked example, checksums on: report.pdf was recorded at 10:00:00 with
    // its checksum; a restore from a backup gives it 09:12:31.5 and the same
    // bytes. The scan reads its checksum (one read), finds it equal, sends
    // nothing and records 09:12:31.5; the next scan finds that time and reads
    // nothing. A same-size edit whose time is set back to 08:00 has another
    // time, so its checksum is read, differs, and the edit goes up.
    bool unchangedSinceRecord(const FSSyncRecord& record, const FSEntry& entry, const std::string& path);

private:
    bool stopRequested() const;
    // The top-level check of run(); false when a sync folder's local top
    // folder is gone (its records were dropped).
    bool checkTopLevelFolders(const std::vector<std::string>& syncFolders);
    // Sleeps the start delay in short steps; false when stopped meanwhile.
    bool pauseBeforeScan();
    void walkFolders(const StorePtr& store, const std::vector<std::string>& syncFolders);
    // Steps of the walk for one folder; each returns false when the folder's
    // items are not to be processed.
    bool folderTakesPart(const FolderData& folder);
    bool addNewFolderRecord(const StorePtr& store, const FolderData& folder,
                            const std::vector<std::string>& syncFolders);
    void markVanishedItems(const StorePtr& store, FSChildren& children, const FolderData& folder);
    void markDeleted(const StorePtr& store, const FSSyncRecordPtr& record);
    // Marks the record deleted, and for a folder every stored record below
    // it too. Throws Nuvaro::Exception when a folder's stored records cannot
    // be read (nothing is then reported deleted on weak evidence).
    void markDeletedWithContent(const StorePtr& store, const FSSyncRecordPtr& record);
    // An item replaced by one of the other kind at the same path (a file by
    // a folder, a folder by a file): the old item's records are marked
    // deleted (markDeletedWithContent) and its path leaves the path index,
    // so that the new item gets a record of its own and both the removal
    // and the creation are sent.
    void replaceRecord(const StorePtr& store, const FSSyncRecordPtr& record);
    // The identity of a new record at `path`: made from the path, or, when
    // the store already holds that identity (the record of the item this one
    // replaced), from the path and the kind, so that the old record's
    // deletion stays in the store beside the new record.
    Poco::UUID newRecordId(const StorePtr& store, const std::string& path, FSType type) const;
    void collectResults(const StorePtr& store);
    // Frees the tree picture, the indexes and the caches once the change
    // list is made: a finished scan keeps only its results.
    void releaseWorkingState();
    void addSkippedActivity(const std::string& message, const std::string& path);

    // Item steps (FolderCacheActivity_Items.cpp). entryRefusedByName runs
    // the name and length checks and logs (and reports) a refusal.
    bool entryRefusedByName(const FSEntry& entry, const std::string& logPath);
    void processFolderEntry(const StorePtr& store, const FSEntry& entry, const std::string& logPath);
    // Records at and below a link to a folder (left by passes that once
    // entered it, or by a folder the link replaced) are no local deletions:
    // they are marked deleted in the database directly, outside the scan's
    // store, so that no deletion request is sent and the server keeps its
    // items, also once the user removes the link; one log line when any
    // went.
    void dropRecordsBelowLink(const std::string& linkPath);
    void processFileEntry(const StorePtr& store, boost::shared_ptr<FSChildren>& children, const FSEntry& entry,
                          const FolderData& folder, const std::string& logPath, const std::string& absolutePath,
                          bool inUseTestApplies);
    // The content of the file at `path` is the record's, only its time
    // moved to `version`'s: the record's row takes that time (and, with
    // "checkmodtime" "1", its text), written straight to the database, not
    // through the store: it is no change to send, and it must outlast a
    // restart. Only when the row is still the one the scan compared with
    // (same identity, size, time and checksum), and only when that time lies
    // at least two seconds before the end of the read, so that a write
    // after the read always gets another time than the one recorded (file
    // times come from a coarse clock). Otherwise nothing is written and the
    // next scan reads the checksum again.
    void recordNewTime(const FSSyncRecord& record, const Nuvaro::LocalFileVersion& version, const std::string& path);
    // Enters a record that became live during the scan (new or revived)
    // into the indexes.
    void indexNewRecord(const FSSyncRecordPtr& record);
    std::string remotePath(const std::string& localPath) const;

    // ---- Constant after construction (members in the order of the
    // ---- design; the activity is destroyed last) ----
    PoolActivity<FolderCacheActivity> m_activity;

    // ---- Scan thread while running; read by the worker afterwards ----
    int m_dirCount;
    const std::string m_syncFolderPath;
    boost::shared_ptr<FSSyncDB> m_db;
    const std::string m_hostName;
    const std::string m_friendlyName;
    bool m_changesLimited;
    const std::string m_osName;
    // Parent index: local parent -> live records, in index order. Path
    // index: local full path -> record (deleted records too), keyed by a view
    // of the record's own path, which the value keeps alive. Both hold the
    // store's own record objects: the scan puts into the store only objects
    // it indexes and changes the others in place.
    std::unordered_map<std::string, std::vector<FSSyncRecordPtr>> m_parentIndex;
    ChangeList m_changeList;
    std::unordered_map<std::string_view, FSSyncRecordPtr> m_pathIndex;
    const std::string m_profile;
    const std::string m_networkFolderName;
    const std::string m_teamFolderName;
    const std::string m_teamFolderAccount;
    const bool m_checkModTime;
    int m_conflictCount;
    int m_checksumsRead = 0;
    Settings m_settings;
    std::vector<std::string> m_uploadRestrictionExtensions;
    std::string m_skipPattern;
    std::string m_skipInUseCheck;
    std::string m_disableDotDot;
    const std::atomic<bool>& m_quit;
    FSMemoryFSCache m_tree;
    std::string m_uploadRestrictions;

    // ---- Scan thread only ----
    long m_startDelayMs;
    // The skip pattern compiled once; null when empty or invalid.
    std::unique_ptr<Poco::RegularExpression> m_skipRegex;
    // Private copy of the two change-check switches for sameFileCRC, which
    // writes to the map it reads (the shared settings are never written).
    Nuvaro::RecordList m_checkSettings;
    // "checkcrc" and "checkmodtime" are "1" (unchangedSinceRecord,
    // recordNewTime).
    bool m_checksumsOn = false;
    bool m_recordModText = false;
    // Relative paths of folders left out with everything below them.
    std::unordered_set<std::string> m_excludedFolders;
    // NFC names of the live records under a parent, built on first use by
    // checkIfUTF8PathExists, kept up to date as records become live, and
    // emptied whenever a record is deleted.
    std::unordered_map<std::string, std::unordered_set<std::string>> m_nfcNamesByParent;
};

} // namespace Sync
} // namespace Nuvaro
