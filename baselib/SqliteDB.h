#pragma once

// Base class of the program's SQLite databases (the sync database and the job
// database): one connection, one recursive mutex, and a schema hook.
//
// Life cycle: construct (closed, m_db null) -> openDB(path, "") opens or creates
// the file and runs the subclass's initDB() -> members of the subclass run SQL
// through m_db while holding m_mutex -> closeDB() (m_db null again). The
// destructor closes a database that is still open.
//
// Ownership and threads: m_db and m_mutex are the subclass's to use. Every
// member of a subclass that runs SQL takes m_mutex for its whole body
// (Poco::Mutex is recursive, so members may call one another). openDB and
// closeDB take it too; initDB runs inside openDB with the mutex held.

#include "wxSQLite3Database.h"

#include <Poco/Mutex.h>

#include <memory>
#include <string>

namespace Nuvaro {
namespace Misc {

class SqliteDB {
public:
    SqliteDB();
    virtual ~SqliteDB();
    SqliteDB(const SqliteDB&) = delete;
    SqliteDB& operator=(const SqliteDB&) = delete;

    // Opens `path` (creating a missing file) and then calls initDB(); returns
    // initDB's result. A file that cannot be opened, or is not an SQLite
    // database, throws wxSQLite3Exception and leaves the object closed. When
    // initDB returns false (or throws) the database stays open: the owner
    // decides whether to go on with it. `key` must be empty (no encryption).
    bool openDB(const std::string& path, const std::string& key);
    // Closes the database; harmless when it is closed.
    void closeDB();
    bool isOpen() const;

    // Creates or upgrades the subclass's schema; true when the database is
    // usable. Runs with m_db open and m_mutex held. The base has no schema.
    virtual bool initDB();

protected:
    // Null while no database is open.
    std::unique_ptr<wxSQLite3Database> m_db;
    // Recursive; guards m_db and every statement run through it.
    mutable Poco::Mutex m_mutex;
};

} // namespace Misc
} // namespace Nuvaro
