#pragma once

// Base class of the program's SQLite databases (the sync database and the job
// database): one connection, one recursive mutex, a schema hook, and what the
// databases share on top of them: the frame of a member that runs SQL
// (runLocked), the version row, and the creation and upgrade of a schema
// described as tables and steps (SqliteSchema).
//
// Life cycle: construct (closed, m_db null) -> openDB(path, "") opens or creates
// the file and runs the subclass's initDB(), and stays closed when any of that
// fails -> members of the subclass run SQL through m_db while holding m_mutex
// -> closeDB() (m_db null again). The destructor closes a database that is
// still open.
//
// Ownership and threads: m_db and m_mutex are the subclass's to use. Every
// member of a subclass that runs SQL takes m_mutex for its whole body, through
// runLocked (Poco::Mutex is recursive, so members may call one another).
// openDB and closeDB take it too; initDB runs inside openDB with the mutex
// held.
//
// Errors: a database error (wxSQLite3Exception) never leaves a member that
// runs inside runLocked: its message is logged at error level on the logger
// "Sync" and the member returns its failure value; so does a member called
// while no database is open.

#include "SqliteSchema.h"
#include "wxSQLite3Database.h"
#include "wxSQLite3Exception.h"

#include <Poco/Mutex.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Nuvaro {
namespace Misc {

class SqliteDB {
public:
    SqliteDB();
    virtual ~SqliteDB();
    SqliteDB(const SqliteDB&) = delete;
    SqliteDB& operator=(const SqliteDB&) = delete;

    // Opens `path` (creating a missing file), reads every page once, then
    // calls initDB(). True only when all of that succeeded. Otherwise the
    // object is left closed, so every member of the subclass returns its
    // failure value, and getOpenError() says why (also logged at error level
    // on "Sync"): a file that cannot be opened, is not an SQLite database or
    // has damaged pages, or whose initDB returned false or threw. Nothing is
    // thrown. `key` must be empty (no encryption).
    bool openDB(const std::string& path, const std::string& key);
    // Closes the database; harmless when it is closed.
    void closeDB();
    bool isOpen() const;
    // Why the last openDB failed ("Cannot use the database <path>: <reason>"),
    // or "" after a successful one.
    std::string getOpenError() const;

    // Creates or upgrades the subclass's schema; true when the database is
    // usable. Runs with m_db open and m_mutex held; false (or an exception)
    // makes openDB close the database again. The base has no schema.
    virtual bool initDB();

    // ---- The version row ----
    //
    // Every database of this program records its schema version in a table
    // VERSION (VERSIONID INTEGER PRIMARY KEY, STATUS TEXT, NOTES TEXT) that
    // holds one row.

    // The version row: returns VERSIONID and sets the two texts; -1 with the
    // texts untouched when there is no row or on a database error.
    int getVersionInfo(std::string& status, std::string& notes);
    // Replaces the version row in one transaction; on failure the old row
    // stays and the result is false.
    bool setVersionInfo(int version, const std::string& status, const std::string& notes);

protected:
    // ---- Schema steps for a subclass's initDB ----

    // Creates the tables that do not exist yet, in the order given, and
    // right after creating SqliteSchema::VERSION_TABLE writes its row
    // (firstVersion, "OK", ""), all in one transaction: a file whose creation
    // broke off holds no VERSION table without its row. False, with nothing created,
    // on a database error (logged) or when no database is open.
    bool createMissingTables(const std::vector<SqliteSchema::Table>& tables, int firstVersion);

    // Upgrades the schema one step at a time. Logs versionLogPrefix + the
    // version found at information level on "Sync", then runs every step
    // whose `from` is the version reached so far, in the order given. A step
    // adds its missing columns (SqliteSchema::addColumns) and records its
    // version as (from + 1, "OK", "Updated") in one transaction, and only
    // when all its columns exist afterwards. A step that fails changes
    // nothing, logs failureLogPrefix + (from + 1) + "..." at error level and
    // ends the upgrade at the version before it. Returns the version
    // afterwards (-1 when VERSION has no row or cannot be read).
    int runUpgrades(const std::vector<SqliteSchema::UpgradeStep>& steps, const std::string& versionLogPrefix,
                    const std::string& failureLogPrefix);

    // ---- Running SQL ----

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

    // Runs one statement (or several separated by ";") inside runLocked: true
    // when it ran, even when it changed nothing; false, logged as logPrefix +
    // message, on a database error or when no database is open.
    bool runStatement(const char* sql, const std::string& logPrefix = "");

    // The check of a write that must change a row, given the rows its
    // statement changed: true when that is above 0; otherwise logs logPrefix
    // + "no row written for " + key at error level on "Sync" and gives false
    // (nothing was stored).
    static bool wroteRows(int changed, const std::string& logPrefix, const std::string& key);

    // Logs logPrefix + the error's message at error level on "Sync".
    static void logDBError(const wxSQLite3Exception& e, const std::string& logPrefix = "");

    // Null while no database is open.
    std::unique_ptr<wxSQLite3Database> m_db;
    // Recursive; guards m_db and every statement run through it.
    mutable Poco::Mutex m_mutex;

private:
    // Guarded by m_mutex.
    std::string m_openError;
};

template <typename T, typename Body>
T SqliteDB::runLocked(T failure, const std::string& logPrefix, Body&& body) {
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

} // namespace Misc
} // namespace Nuvaro
