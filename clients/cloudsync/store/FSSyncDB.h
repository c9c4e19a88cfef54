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
//   FSSyncDB_Records.cpp   sync records, status sets and the data store
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
// only through wxSQLite3StatementBuffer::Format with '%q' (quotes doubled).
//
// Life cycle: construct (closed) -> openDB(path, "") from the base, which runs
// initDB -> any member from any thread -> closeDB() by the owner.

#include "SqliteDB.h"
#include "wxSQLite3Exception.h"

#include <Poco/Logger.h>
#include <Poco/Types.h>

#include <atomic>
#include <string>
#include <utility>

namespace Nuvaro {
namespace Sync {

class FSSyncDB : public Nuvaro::Misc::SqliteDB {
public:
    // The schema version this program writes and understands.
    static const int CURRENT_VERSION = 2;

    FSSyncDB();
    ~FSSyncDB() override;

    // ---- Schema and version (FSSyncDB.cpp) ----

    // Creates the missing tables (a new database starts at version 2, "OK",
    // ""), upgrades a version-1 database, and computes the totals. True only
    // when the schema ends at version 2; any other version (an empty VERSION
    // table, a version from another program) gives false and the database
    // must not be used for syncing.
    bool initDB() override;

    // Brings a version-1 database to version 2 by adding the OBJECT columns
    // FILECRC and FILEMOD (each only when absent, filled with "") and stamping
    // (2, "OK", "Updated"), all in one transaction; when anything fails,
    // nothing changes and the version stays 1. Returns the version found
    // afterwards (-1 when the VERSION table has no row or cannot be read).
    int doVersionUpdates();

    // The version row: returns VERSIONID and sets the two texts; -1 with the
    // texts untouched when there is no row or on a database error.
    int getVersionInfo(std::string& status, std::string& notes);

    // Replaces the version row in one transaction; on failure the old row
    // stays and the result is false.
    bool setVersionInfo(int version, const std::string& status, const std::string& notes);

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

    // ---- Path conversion (no lock, no database) ----

    // The stored form of a path; on this platform an unchanged copy.
    static std::string convertToStdPath(const std::string& path);
    // The local form of a stored path; on this platform an unchanged copy.
    static std::string convertToNativePath(const std::string& path);
    // Every backslash replaced by "/".
    static std::string convertToLinuxPath(const std::string& path);
    // Every "/" replaced by a backslash.
    static std::string convertToWin32Path(const std::string& path);

    // ---- Records, status sets and the data store (FSSyncDB_Records.cpp) ----

    // ---- Sync-folder list, limit paths and external paths (FSSyncDB_Folders.cpp) ----

    // ---- Children queries (FSSyncDB_Children.cpp) ----

protected:
    // The frame of every member that runs SQL: takes m_mutex for the whole
    // call, returns `failure` when no database is open, and turns a
    // wxSQLite3Exception into `failure` after logging logPrefix + its message
    // at error level on "Sync". Other exceptions pass to the caller with the
    // lock released. `body` receives the open database and returns the
    // member's result; statements that belong together go in one
    // SqlTransaction inside it. For example:
    //
    //     return runLocked(false, "", [&](wxSQLite3Database& db) {
    //         SqlTransaction group(db);
    //         db.ExecuteUpdate("delete from A;");
    //         db.ExecuteUpdate("delete from B;");
    //         group.commit();
    //         return true;
    //     });
    template <typename T, typename Body>
    T runLocked(T failure, const std::string& logPrefix, Body&& body);

    // Logs logPrefix + the error's message at error level on "Sync".
    static void logDBError(const wxSQLite3Exception& e, const std::string& logPrefix = "");

private:
    // Cached by updateStats; read by any thread without the lock.
    std::atomic<Poco::Int64> m_totalFSSize;
    std::atomic<Poco::Int64> m_totalFSFiles;
};

template <typename T, typename Body>
T FSSyncDB::runLocked(T failure, const std::string& logPrefix, Body&& body) {
    Poco::Mutex::ScopedLock lock(m_mutex);
    if (!m_db || !m_db->IsOpen())
        return failure;
    try {
        return std::forward<Body>(body)(*m_db);
    } catch (const wxSQLite3Exception& e) {
        logDBError(e, logPrefix);
        return failure;
    }
}

} // namespace Sync
} // namespace Nuvaro
