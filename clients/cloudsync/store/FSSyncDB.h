#pragma once

// The client's sync database, syncclient.db in the data folder.
//
// Tables (created by initDB, never changed in form, so that existing files
// keep working):
//   OBJECT        one row per synchronised file or folder (sync records)
//   ACTIVITY      the user-visible activity log
//   SYNCFOLDERS   per sync folder, the text form of its status set
//   CONFIG        settings and account values, keyed by (KEY, NAME)
//   VERSION       one row: the schema version (currently 2)
//   LIMITPATHS    the selective-sync folder list
//   EXTERNALPATHS the external folders handed to the sync engine
//
// The members are split by concern:
//   FSSyncDB.cpp           opening, schema, versions, totals, configuration
//                          values, resets, path conversions
//   FSSyncDB_Records.cpp   single sync records and lookups by path
//   FSSyncDB_DataStore.cpp status sets and the data store of a sync folder
//   FSSyncDB_Folders.cpp   sync-folder list, limit paths, external paths
//   FSSyncDB_Children.cpp  children queries
//   FSSyncDB_Activity.cpp  the activity log
//
// Threads: one object is shared (through a shared pointer) by the runner, the
// sync worker and the folder scan. Every member that runs SQL holds the base
// class's recursive m_mutex for its whole body (runLocked), so members may call
// one another. A database error (wxSQLite3Exception) never leaves a member: its
// message is logged at error level on the logger "Sync" and the member returns
// its failure value. Statements that belong together run in one SqlTransaction,
// so a failure leaves the tables as they were. Values are placed in statements
// only through wxSQLite3StatementBuffer::Format with '%q' (quotes doubled), or
// bound to a prepared statement (the OBJECT row writes, see ObjectRow.h).
//
// Life cycle: construct (closed) -> openDB(path, "") from the base, which runs
// initDB and stays closed when the file is not a sound sync database of a
// version this program understands (getOpenError tells why) -> any member
// from any thread -> closeDB() by the owner.

#include "FSActivity.h"
#include "DataSyncStore.h"
#include "FSSyncRecord.h"
#include "SqlTransaction.h"
#include "SqliteDB.h"
#include "nuvarocbfs_XmlParser.h"
#include "wxSQLite3Exception.h"

#include <boost/shared_ptr.hpp>

#include <Poco/Logger.h>
#include <Poco/Types.h>

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace Nuvaro {
namespace Sync {

// Statements that belong together run in one group of the base layer's
// SqlTransaction.
using Nuvaro::Misc::SqlTransaction;

class FSSyncDB : public Nuvaro::Misc::SqliteDB {
public:
    // The schema version this program writes and understands.
    static const int CURRENT_VERSION = 2;

    FSSyncDB();
    ~FSSyncDB() override;

    // ---- Schema and version (FSSyncDB.cpp) ----

    // Creates the missing tables (a new database starts at version 2, "OK",
    // ""), upgrades a version-1 database, adds missing indexes and computes
    // the totals. True only when the schema ends at version 2. A file this
    // program does not understand (an empty VERSION table, a version other
    // than 1 or 2 such as one written by a newer program, a table that lacks
    // a column this program reads) gives false before anything is written to
    // it, and openDB then closes the database: every member returns its
    // failure value, and nothing reads or writes a schema it does not know.
    bool initDB() override;

    // Brings a version-1 database to version 2 by adding the OBJECT columns
    // FILECRC and FILEMOD (each only when absent, filled with "") and stamping
    // (2, "OK", "Updated"), all in one transaction; when anything fails,
    // nothing changes and the version stays 1. Returns the version found
    // afterwards (-1 when the VERSION table has no row or cannot be read).
    int doVersionUpdates();

    // The version row is read and replaced with the base's getVersionInfo
    // and setVersionInfo.

    // ---- Totals (FSSyncDB.cpp) ----

    // Recomputes the size and the number of live file records (TYPE 1, not
    // deleted, not flagged "SKIP"). Errors are silent: the totals keep their
    // last values.
    void updateStats();
    // The totals as last computed; any thread, no database access.
    Poco::Int64 getTotalFSSize() const { return m_totalFSSize.load(); }
    Poco::Int64 getTotalFSFiles() const { return m_totalFSFiles.load(); }

    // ---- Configuration values, table CONFIG (FSSyncDB.cpp) ----

    // True when a row (key, name) exists.
    bool doesConfigExist(const std::string& key, const std::string& name);
    // Stores value under (key, name), replacing an existing value. False on a
    // database error (nothing changed).
    bool setConfigValue(const std::string& key, const std::string& name, const std::string& value);
    // The stored value (even when empty), else defaultValue; the default is
    // never stored.
    std::string getConfigValue(const std::string& key, const std::string& name,
                               const std::string& defaultValue);

    // ---- Resets (FSSyncDB.cpp) ----

    // Empties CONFIG. False when no database is open or on a database error.
    bool resetConfigData();
    // Forgets everything synchronised: ACTIVITY, OBJECT, SYNCFOLDERS and
    // EXTERNALPATHS, and CONFIG too unless keepConfig. LIMITPATHS and VERSION
    // stay. All or nothing; the totals become 0 once the rows are gone.
    // False when no database is open or on a database error.
    bool resetSyncData(bool keepConfig);

    // ---- Activity log (FSSyncDB_Activity.cpp) ----
    //
    // Entries are kept newest-first by DATE (sortable UTC text). Conflicts,
    // errors, upload failures and skipped local files (FSActivity::isLasting)
    // stay until a caller clears their type; once more than 2000 ordinary
    // entries exist, each add removes those strictly older than the 201st
    // oldest one (at most 200 rows). Every member returns false (the
    // renderings "<activities></activities>") when no database is open or a
    // statement fails; the failure is logged on "Sync".

    // Stores the entry and sets its item id. A lasting entry identical (type,
    // level, message, path, friendly name) to a stored one is not added again:
    // the newest such row takes the entry's date and the entry takes its id.
    // False when the ACTIVITY table is missing (nothing logged), or when the
    // row could not be stored (item id unchanged); a failure while pruning
    // also gives false but leaves the new row stored.
    bool activityAdd(boost::shared_ptr<FSActivity>& entry);
    // Stores the entries in this order, each exactly as activityAdd would
    // (the twin check and the pruning per entry), in one transaction: one
    // commit for a whole step's entries. A database error undoes them all
    // (logged, false); an entry that is only refused (a twin row that could
    // not take the date) gives false while the others stay. Null entries are
    // skipped; an empty list is true without touching the database.
    bool activityAddAll(std::vector<boost::shared_ptr<FSActivity>>& entries);
    // The deletes: one row by id; the rows of one type holding one path; every
    // row of one type (whatever the type: the name is historical); every row.
    // Item ids are never reused after a delete. True when the statement ran,
    // even when it matched nothing.
    bool activityDelete(int itemId);
    bool activityDeleteForPaths(const std::string& fullPath, FSActivity::Type type);
    bool activityDeleteAllErrors(FSActivity::Type type);
    bool activityDeleteAll();
    // Appends (without clearing `out`) at most 500 entries, newest first:
    // filter -1 ordinary entries, -2 conflicts, errors and upload failures,
    // -3 everything but skipped local files, any other value that one type.
    // A row whose date cannot be read is logged and skipped. On failure the
    // entries appended before it stay.
    bool activityCollectionGet(std::vector<boost::shared_ptr<FSActivity>>& out, int filter);
    // The log as XML for the front end, newest first, skipping `start` rows
    // and listing `count` (all when below 1): "<activities><meta> <total>N
    // </total></meta>" then one "<activity>" per entry with when (local time),
    // type name, level, id, message, path and who; every text escaped. N counts
    // every row. Rows carry no source, so every `source` lists the whole log.
    std::string activityCollectionGetXML(int source, int start, int count);
    // As above for the rows of one level (-1: all), with elapsed time, type
    // number, level, id and message; the list stops at the first entry more
    // than 7 whole days old, while N still counts every matching row.
    std::string activityCollectionGetXMLByLevel(int level, int start, int count);

    // ---- Path conversion (no lock, no database) ----

    // The stored form of a path; on this platform an unchanged copy.
    static std::string convertToStdPath(const std::string& path);
    // The local form of a stored path; on this platform an unchanged copy.
    static std::string convertToNativePath(const std::string& path);
    // Every backslash replaced by "/".
    static std::string convertToLinuxPath(const std::string& path);
    // Every "/" replaced by a backslash.
    static std::string convertToWin32Path(const std::string& path);

    // ==== Records, status sets, the data store, the sync-folder and path
    // ==== lists, and the children queries (FSSyncDB_Records.cpp,
    // ==== FSSyncDB_DataStore.cpp, FSSyncDB_Folders.cpp, FSSyncDB_Children.cpp)
    //
    // Records live in OBJECT, one row per identity (OBJID). A deleted item
    // keeps its row with ISDELETED 1 until its sync folder is forgotten, so
    // a path may have a deleted row and a live row at once; every lookup by
    // path prefers the live one.

    // ---- Single records (FSSyncDB_Records.cpp) ----

    // Inserts the record's row. False (logged with "Exception in
    // FSSyncRecordAdd ") on a database error, such as an identity already
    // stored, or when no row was written.
    bool FSSyncRecordAdd(FSSyncRecord* record);
    // Rewrites every column of the row with the record's identity. False
    // (logged with "Exception in WS::WSObjectUpdate ") on a database error or
    // when no row has that identity.
    bool FSSyncRecordUpdate(FSSyncRecord* record);
    // Soft delete: the same rewrite, so the row carries the record's deleted
    // value; nothing at all when skip is true. True unless a database error
    // ("Exception in WS::WSObjectDelete "); a missing row is not an error.
    bool FSSyncRecordDelete(FSSyncRecord* record, bool skip);
    // True when a row has that identity; false also on a database error.
    bool doesObjectExist(const Poco::UUID& id);
    // The record of the row whose server path (FULLPATH) or local path
    // (LOCALFULLPATH) is the given one: the live row when there is one, else
    // a deleted row. An empty pointer when none matches or on an error.
    boost::shared_ptr<FSSyncRecord> getFSSyncRecord(const std::string& fullPath);
    boost::shared_ptr<FSSyncRecord> getFSSyncRecordFromLocalFullPath(const std::string& localFullPath);

    // ---- Status sets, table SYNCFOLDERS (FSSyncDB_DataStore.cpp) ----

    // Stores the folder's status-set text, adding its row when missing.
    bool setStatusSet(const std::string& folder, const std::string& statusSetText);
    // Sets statusSetText to the folder's stored text, or to "" when the
    // folder has no row yet (a folder that was never saved). True in both
    // cases; false only on a database error.
    bool getStatusSet(const std::string& folder, std::string& statusSetText);
    // Removes the folder's row; true also when it had none.
    bool dropStatusSet(const std::string& folder);

    // ---- The data store of a sync folder (FSSyncDB_DataStore.cpp) ----

    // Loads the folder's records (every record when folder is "") into a
    // freshly built store, and sets the store's name "FSDATASTORE", its peer
    // hostName and its status set (empty for "" and for a folder that has no
    // row yet). Deleted records are loaded too, except one whose identity,
    // local path or server path a live record holds. abort is read before
    // each row; when set, the load stops and the result is false. False also
    // when no database is open, on a database error (a lock held past the
    // busy time-out) and for a damaged row (an OBJID that is not a UUID,
    // logged on "Sync"). After false the store holds no record at all, so
    // nobody works from part of a folder.
    bool getDataStore(const std::string& folder, const std::string& hostName,
                      Nuvaro::DataSync::DataSyncStore& store, const std::atomic<bool>& abort);
    // Writes the store's dirty records (a new row for an identity not stored
    // yet, else a rewrite, which carries a deletion) and its status set as
    // the folder's, all in one transaction, then refreshes the totals.
    // True: everything was committed, count holds the number of records
    // written and the store has no dirty record. False: nothing was saved
    // (any failed or ineffective write, or a failed commit, rolls the whole
    // transaction back), count is unchanged and the store keeps its dirty
    // records, so a later call can save them.
    bool saveDataStore(const std::string& folder, Nuvaro::DataSync::DataSyncStore& store, int& count);
    // Appends (without clearing `records`) every row of the folder as it is
    // stored, in row order: deleted rows included, also those getDataStore
    // leaves out because a live record holds their identity or path. For
    // maintenance, which must see exactly what is stored. A damaged row is
    // skipped with an error line. False when no database is open or on a
    // database error (the records appended before it stay).
    bool getFolderRecords(const std::string& folder, std::vector<boost::shared_ptr<FSSyncRecord>>& records);
    // Forgets a sync folder: every OBJECT row of it (deleted or not) and its
    // SYNCFOLDERS row, in one transaction, then refreshes the totals. Other
    // folders and the store are left alone.
    bool deleteDataStore(const std::string& folder, Nuvaro::DataSync::DataSyncStore& store);

    // ---- Sync-folder list, limit paths, external paths (FSSyncDB_Folders.cpp) ----

    // Appends the name of every stored sync folder (not emptied first).
    bool getSyncFolders(std::vector<std::string>& names);
    // Compares the server's sync folders (records with the keys "name",
    // "statusset", "skipdetect" (default "0"), "teamfolder" (default "0")
    // and "teamfolderaccount") with the stored ones and appends, in server
    // order, (name, skipdetect is "1") for each folder that needs a sync: its
    // status-set text differs from the stored one, or it has no row yet. A
    // team folder ("teamfolder" "1") of an account other than
    // configuredTeamFolderAccount is neither compared nor listed, but counts
    // as listed by the server. Stored folders the server no longer lists are
    // forgotten (rows and records) in one transaction and the totals are
    // refreshed. Writes no row for the listed folders (saveDataStore does).
    // False when no database is open or on a database error.
    bool updateSyncFolderList(const Nuvaro::RecordList& serverFolders,
                              std::vector<std::pair<std::string, bool>>& foldersToSync,
                              const std::string& configuredTeamFolderAccount);

    // The selective-sync list: empty it; store each path in list order,
    // skipping a path already stored (in one transaction); append every
    // stored path in the order it was stored.
    void clearAllLimitPaths();
    void addLimitPaths(std::vector<std::string>& paths);
    void getLimitPaths(std::vector<std::string>& paths);

    // The external paths: whether one is stored; empty the list; append
    // every stored path in the order it was stored; make the stored list
    // equal to `paths` (missing ones added, others removed, in one
    // transaction; an empty list empties it).
    bool doesExternalPathExist(const std::string& path);
    void clearAllExternalPaths();
    void getExternalPaths(std::vector<std::string>& paths);
    void updateExternalPaths(std::vector<std::string>& paths);

    // ---- Children queries (FSSyncDB_Children.cpp) ----

    // Both queries tell a failure from "no children": true when the query
    // ran (possibly finding nothing), false when no database is open or a
    // statement failed (a locked database, a broken table; logged on "Sync"),
    // and the caller must then not take the records for the whole answer.
    // A damaged row (an OBJID that is not a UUID) is skipped with an error
    // line and the rest are still returned. Records appended before a
    // failure stay in `records`; nothing is thrown.

    // Appends the live record at localPath, then the live records beneath it
    // (local path beginning with localPath + "/", compared literally: "%"
    // and "_" are ordinary characters, and "A/BC/x" is not beneath "A/B").
    // Beneath-records come in no defined order.
    bool getFSAllChildren(const std::string& localPath, std::vector<boost::shared_ptr<FSSyncRecord>>& records);
    // Appends the live records whose local parent is localPath.
    bool getFSChildren(const std::string& localPath, std::vector<boost::shared_ptr<FSSyncRecord>>& records);

    // ---- Indexes of OBJECT and the statements they serve ----
    //
    // Created by initDB when missing (no other schema change): by local path
    // and by local parent (children queries, lookups by local path), by
    // server path (lookups by server path, one per file of a pass) and by
    // sync folder (the load and the forgetting of one folder).
    static constexpr const char* LOCALFULLPATH_INDEX = "OBJECT_LOCALFULLPATH_IDX";
    static constexpr const char* LOCALPARENT_INDEX = "OBJECT_LOCALPARENT_IDX";
    static constexpr const char* FULLPATH_INDEX = "OBJECT_FULLPATH_IDX";
    static constexpr const char* SYNCFOLDER_INDEX = "OBJECT_SYNCFOLDER_IDX";
    bool createObjectIndexes();
    // The statement getFSAllChildren runs for the records beneath localPath.
    static std::string descendantsQuery(const std::string& localPath);
    // The statement of a lookup by path: column "FULLPATH" (getFSSyncRecord)
    // or "LOCALFULLPATH" (getFSSyncRecordFromLocalFullPath).
    static std::string recordByPathQuery(const std::string& column, const std::string& path);
    // The statement getDataStore runs for a folder ("" for every row).
    static std::string folderRecordsQuery(const std::string& folder);

    // ==== End of records, data store, lists and children queries ====

private:
    // The body of one activityAdd (the twin check, the insert, the pruning),
    // run under the lock by activityAdd and activityAddAll.
    static bool addActivityRow(wxSQLite3Database& db, FSActivity& entry);

    // Cached by updateStats; read by any thread without the lock.
    std::atomic<Poco::Int64> m_totalFSSize;
    std::atomic<Poco::Int64> m_totalFSFiles;
};

} // namespace Sync
} // namespace Nuvaro
