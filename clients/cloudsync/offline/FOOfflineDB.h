#pragma once

// The job database, offline.db in the data folder: the network-folder and
// backup jobs, every file or folder a job has transferred, the jobs' activity
// log and the schema version.
//
// Tables (created by initDB; their form is that of every existing offline.db):
//   OBJECT          one FOOfflineEntry per row, keyed by FULLPATH; LOCALLINKPATH
//                   names the owning job; CONFLICTCOPY (added by this program
//                   where missing, default "", read and written only by the
//                   conflict-copy members) the conflict copy a network-folder
//                   job made beside the row's file
//   OFFLINEFOLDERS  one FOOfflineJobData per row, keyed by LOCALLINKPATH;
//                   LOCALDEVICE (added by this program where missing,
//                   default "", read and written only by the device members)
//                   the file system that held a network folder's local
//                   folder at its last completed run, "" when not known
//   ACTIVITY        the jobs' activity log (FSActivity rows)
//   VERSION         one row: the schema version (currently 4)
// Numbers and booleans are written as quoted decimal text; the INTEGER
// columns turn them into integers, RECURSE, REMOTEDELETE and SENDEMAIL keep
// the texts "0" and "1". Reading, NULL gives 0 or false.
//
// The members are split by concern:
//   FOOfflineDB.cpp           opening, schema, upgrade, version, vacuum
//   FOOfflineDB_Jobs.cpp      job records (OFFLINEFOLDERS) and the statistics
//   FOOfflineDB_Entries.cpp   entry records (OBJECT)
//   FOOfflineDB_Activity.cpp  the activity log
//
// Threads: one object is shared (through a shared pointer) by the runner, the
// job manager, the running job and the transfer threads of its pool. Every
// member that runs SQL holds the base class's recursive m_mutex for its whole
// body (runLocked), so a multi-statement member (a job with its entries, an
// activity insert with its pruning, the statistics) is one step that no other
// call interleaves with, and members may call one another. A database error
// (wxSQLite3Exception) never leaves a member: its message is logged at error
// level on the logger "Sync" and the member returns its failure value; so does
// a member called while no database is open. Statements that belong together
// run in one SqlTransaction. Values reach SQL only through
// wxSQLite3StatementBuffer::Format with '%q' (quotes doubled) or as integers.
//
// Life cycle: construct (closed) -> openDB(path, "") from the base, which runs
// initDB and stays closed when the file cannot be used (getOpenError tells
// why) -> any member from any thread -> closeDB() by the owner.

#include "FOOfflineEntry.h"
#include "FOOfflineJobData.h"
#include "FSActivity.h"
#include "SqlTransaction.h"
#include "SqliteDB.h"
#include "wxSQLite3Exception.h"

#include <Poco/Types.h>

#include <boost/shared_ptr.hpp>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Nuvaro {
namespace Sync {

// Statements that belong together run in one group of the base layer's
// SqlTransaction.
using Nuvaro::Misc::SqlTransaction;

class FOOfflineDB : public Nuvaro::Misc::SqliteDB {
public:
    // The schema version this program writes and understands.
    static constexpr int CURRENT_VERSION = 4;
    // The activity log keeps at most this many rows before an add prunes the
    // oldest ones (see activityAdd).
    static constexpr int MAX_ACTIVITY_ROWS = 2000;

    FOOfflineDB();
    ~FOOfflineDB() override;

    // ---- Schema, version and maintenance (FOOfflineDB.cpp) ----

    // Creates the missing tables (a new file starts at version 1 with the
    // version-4 OBJECT columns already in place, in one transaction with its
    // version row), then upgrades to version 4. True only when the schema
    // ends at version 4; any other version (an empty VERSION table, a failed
    // upgrade, a version from another program) gives false, and openDB then
    // closes the database again: every member returns its failure value.
    bool initDB() override;
    // Adds OBJECT's CONFLICTCOPY and OFFLINEFOLDERS' LOCALDEVICE columns
    // (TEXT, default "", so existing rows read "") where they are missing,
    // without a version step: older programs read and write every other
    // column as before and leave them alone. True when they are there.
    bool addUnversionedColumns();

    // Brings a database at version 1, 2 or 3 to version 4, one step at a time:
    //   1 -> 2  OFFLINEFOLDERS gains REMOTEDELETE (existing jobs: "0")
    //   2 -> 3  OFFLINEFOLDERS gains SENDEMAIL    (existing jobs: "0")
    //   3 -> 4  OBJECT gains FILECRC and FILEMOD  (existing rows: "")
    // A column already present is kept with its values. Each step adds its
    // missing columns and records its version in one transaction, and only
    // when all its columns exist afterwards; a step that fails changes
    // nothing, logs "OfflineDB Exception updating to version N..." and ends
    // the upgrade at the version before it. Logs "FOOfflineDB::DB Version is
    // at " + the version found first. Returns the version afterwards (-1
    // when VERSION has no row or cannot be read).
    int doVersionUpdates();

    // The version row is read and replaced with the base's getVersionInfo
    // and setVersionInfo.

    // Runs "VACUUM;" (gives the space of deleted rows back to the file
    // system). False, logged as "vacuumAll : " + message, on a database error;
    // a failed vacuum loses nothing.
    bool vacuumAll();

    // ---- Job records, table OFFLINEFOLDERS (FOOfflineDB_Jobs.cpp) ----
    //
    // The writers return false when the job is null (logged with "no record
    // given"), on a database error
    // (logged as "Exception in " + the member's name + " " + message) and
    // when the statement changed no row (logged the same way with "no row
    // written for " + the key): nothing was stored then.

    // Inserts the job; a job whose local folder is stored already is refused.
    bool FOAddJobRecord(FOOfflineJobData* job);
    // Rewrites every column of the job's row (found by localLinkPath) but
    // LOCALDEVICE; false when the job is not stored (it may have been deleted
    // meanwhile).
    bool FOUpdateJobRecord(FOOfflineJobData* job);
    // Forgets the job and every entry it owns, in one transaction, then
    // vacuums. True also when nothing was stored; false (nothing deleted) on
    // a database error.
    bool FODeleteJobRecord(FOOfflineJobData* job);
    // Forgets every entry the job of that local folder owns; the job row
    // stays. True also when there was none.
    bool FODeleteRecordsForJobRecord(const std::string& localLinkPath);
    // The stored job of that local folder, or an empty pointer when none is
    // stored or on a database error (never a half-read job).
    boost::shared_ptr<FOOfflineJobData> getFOJobRecord(const std::string& localLinkPath);
    // Appends (without clearing `jobs`) every stored job, in the order SQLite
    // returns them. On failure, false; the jobs appended before it stay.
    bool getAllFOJobRecord(std::vector<boost::shared_ptr<FOOfflineJobData>>& jobs);
    // The file system that held the job's local folder at its last
    // completed run (FOLocalDeviceOf's text): recorded by the job at the end
    // of a completed run. The job writers keep it (an update rewrites the
    // other columns only); a job added anew starts with "" ("not known").
    // Setting: false when the job is not stored. Reading: "" when not known,
    // when the job is not stored and on a database error.
    bool FOSetJobDevice(const std::string& localLinkPath, const std::string& device);
    std::string getFOJobDevice(const std::string& localLinkPath);
    // Empties OBJECT, OFFLINEFOLDERS and ACTIVITY, each on its own (a failing
    // table does not keep the others), then vacuums. False when any of the
    // three failed.
    bool deleteAllJobRecords();

    // ---- Statistics (FOOfflineDB_Jobs.cpp) ----
    //
    // Count the entries of jobs: an entry of TYPE 1 is a file (its SIZE adds
    // to `bytes`), any other TYPE (a folder, or -1) counts as a folder. The
    // outputs are zeroed first. On a database error the result is false and
    // the outputs hold what was counted before it.

    // The entries of the job of that local folder.
    bool getFOJobRecordStats(const std::string& localLinkPath, int& files, int& folders, Poco::Int64& bytes);
    // Summed over every backup job (syncType 1).
    bool getAllBackupFOJobRecordStats(int& files, int& folders, Poco::Int64& bytes);
    // Summed over every network-folder job (syncType 0) whose schedule is not
    // "realtime" (those are synchronised by the main sync, not as jobs).
    bool getAllOfflineFOJobRecordStats(int& files, int& folders, Poco::Int64& bytes);

    // ---- Entry records, table OBJECT (FOOfflineDB_Entries.cpp) ----
    //
    // The writers behave as the job writers above ("Exception in FOAddRecord ",
    // "Exception in FOUpdateRecord ", "Exception in WS::FODeleteRecord ").

    // Inserts the entry; an entry whose fullPath is stored already is refused.
    bool FOAddRecord(FOOfflineEntry* entry);
    // Rewrites every column of the row with the entry's fullPath; false when
    // there is no such row.
    bool FOUpdateRecord(FOOfflineEntry* entry);
    // Deletes the row with the entry's fullPath; true also when there was none.
    bool FODeleteRecord(FOOfflineEntry* entry);
    // Forgets everything below a folder: every row whose PARENT is the folder
    // or lies below it ("path" or "path/..."), compared literally ("%" and
    // "_" are ordinary characters, letter case counts), then vacuums. The
    // folder's own row and its siblings stay: for "/data/a", rows under
    // "/data/ab" or "/x/data/a/y" are untouched. One ending "/" of
    // folderPath is ignored. True also when nothing matched; false for an
    // empty folderPath (nothing is deleted) or on a database error.
    bool FODeleteChildren(const std::string& folderPath);
    // The row with that fullPath, or an empty pointer (none, or an error).
    boost::shared_ptr<FOOfflineEntry> getFORecord(const std::string& fullPath);
    // Appends the rows whose PARENT is exactly `parent` (direct children).
    bool getFOChildren(const std::string& parent, std::vector<boost::shared_ptr<FOOfflineEntry>>& children);
    // Reads every row of every job once: `byPath` gains FULLPATH -> entry (a
    // key already in the map keeps its entry), `namesByParent` gains (PARENT,
    // NAME). On failure, false; what was added before it stays.
    bool getFOCachedFullPathList(std::map<std::string, boost::shared_ptr<FOOfflineEntry>>& byPath,
                                 std::multimap<std::string, std::string>& namesByParent);

    // The conflict copy that a job made for the file of the row with that
    // fullPath: recorded when the job makes it, "" to forget it. The other
    // writers keep it (an update rewrites the other columns only); the row's
    // delete forgets it. False when there is no such row.
    bool FOSetConflictCopy(const std::string& fullPath, const std::string& conflictPath);
    // Appends file path -> conflict copy path for every row of the job of
    // that local folder that records one.
    bool getFOConflictCopies(const std::string& localLinkPath, std::map<std::string, std::string>& copies);

    // ---- Activity log, table ACTIVITY (FOOfflineDB_Activity.cpp) ----
    //
    // Every member returns false when no database is open or a statement
    // fails (logged on "Sync").

    // Stores the entry (its path in the stored form) and sets its item id.
    // Once the log holds more than MAX_ACTIVITY_ROWS rows, removes those
    // strictly older than the 201st oldest: 200 rows when all dates differ,
    // fewer when several share the date of the 201st; every type alike.
    // False when ACTIVITY does not exist or the row was not stored (item id
    // unchanged); a failure while pruning also gives false but leaves the
    // new row stored.
    bool activityAdd(boost::shared_ptr<FSActivity>& entry);
    // Appends (without clearing `out`) at most the 500 newest entries, newest
    // first, chosen by filter: -1 all but errors and upload failures (types 5
    // and 6), -2 conflicts and errors (3 and 5), -3 all but skipped local
    // files (7), any other value that one type. Each path is given relative
    // to basePath (see relativePath). A row whose date cannot be read is
    // logged and skipped. On failure the entries appended before it stay.
    bool activityCollectionGet(std::vector<boost::shared_ptr<FSActivity>>& out, const std::string& basePath,
                               int filter);
    // The deletes: every row of one type; every row; the rows of one type
    // holding one path; one row by id. True when the statement ran, even when
    // it matched nothing.
    bool activityDeleteAllErrors(FSActivity::Type type);
    bool activityDeleteAll();
    bool activityDeleteForPaths(const std::string& path, FSActivity::Type type);
    bool activityDelete(int itemId);

protected:
    // The statistics of every job that `selected` accepts, summed (see the
    // statistics above).
    bool sumJobStats(const std::function<bool(const FOOfflineJobData&)>& selected, int& files, int& folders,
                     Poco::Int64& bytes);

    // A writer called with a null record: logs logPrefix + "no record given"
    // at error level on "Sync" and gives false.
    static bool refuseNull(const std::string& logPrefix);
};

} // namespace Sync
} // namespace Nuvaro
