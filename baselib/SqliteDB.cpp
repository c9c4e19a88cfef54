#include "SqliteDB.h"

#include "NuvaroException.h"
#include "SqlTransaction.h"
#include "wxSQLite3Exception.h"
#include "wxSQLite3StatementBuffer.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/NumberFormatter.h>

#include <exception>

namespace Nuvaro {
namespace Misc {

namespace {

// Reads every page of the file (SQLite's quick check): a file whose pages
// are damaged fails here, when it is opened, not in the middle of a pass.
void checkPages(wxSQLite3Database& db) {
    wxSQLite3ResultSet rows = db.ExecuteQuery("PRAGMA quick_check(1);");
    const std::string verdict = rows.NextRow() ? rows.GetStdString(0) : std::string("no answer");
    rows.Finalize();
    if (verdict != "ok") throw wxSQLite3Exception(WXSQLITE_ERROR, "database disk image is malformed: " + verdict);
}

} // namespace

SqliteDB::SqliteDB() = default;

SqliteDB::~SqliteDB() { closeDB(); }

bool SqliteDB::openDB(const std::string& path, const std::string& key) {
    Poco::Mutex::ScopedLock lock(m_mutex);
    closeDB();
    m_openError.clear();
    std::string reason;
    try {
        auto db = std::make_unique<wxSQLite3Database>();
        db->Open(path, key);
        checkPages(*db);
        m_db = std::move(db);
        if (initDB()) return true;
        reason = "its tables or version are not ones this program can use";
    } catch (const wxSQLite3Exception& e) {
        reason = e.GetMessage();
    } catch (const Poco::Exception& e) {
        reason = e.displayText();
    } catch (const Nuvaro::Exception& e) {
        reason = e.message();
    } catch (const std::exception& e) {
        reason = e.what();
    }
    // Nothing may go on with a file that did not open cleanly: every member
    // of the subclass finds no database and returns its failure value.
    closeDB();
    m_openError = "Cannot use the database " + path + ": " + reason;
    Poco::Logger::get("Sync").error(m_openError);
    return false;
}

void SqliteDB::closeDB() {
    Poco::Mutex::ScopedLock lock(m_mutex);
    if (m_db) {
        m_db->Close();
        m_db.reset();
    }
}

bool SqliteDB::isOpen() const {
    Poco::Mutex::ScopedLock lock(m_mutex);
    return m_db != nullptr;
}

std::string SqliteDB::getOpenError() const {
    Poco::Mutex::ScopedLock lock(m_mutex);
    return m_openError;
}

bool SqliteDB::initDB() { return true; }

// ---- The version row ----

int SqliteDB::getVersionInfo(std::string& status, std::string& notes) {
    return runLocked(-1, "", [&](wxSQLite3Database& db) {
        wxSQLite3ResultSet rows = db.ExecuteQuery("select * from VERSION;");
        if (!rows.NextRow()) {
            rows.Finalize();
            return -1;
        }
        int version = rows.GetInt("VERSIONID", 0);
        std::string rowStatus = rows.GetStdString("STATUS");
        std::string rowNotes = rows.GetStdString("NOTES");
        rows.Finalize();
        status = rowStatus;
        notes = rowNotes;
        return version;
    });
}

bool SqliteDB::setVersionInfo(int version, const std::string& status, const std::string& notes) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        SqlTransaction group(db);
        db.ExecuteUpdate("DELETE FROM VERSION;");
        wxSQLite3StatementBuffer sql;
        db.ExecuteUpdate(sql.Format("INSERT INTO VERSION (VERSIONID, STATUS, NOTES) VALUES (%d, '%q', '%q');",
                                    version, status.c_str(), notes.c_str()));
        group.commit();
        return true;
    });
}

// ---- Schema steps ----

bool SqliteDB::createMissingTables(const std::vector<SqliteSchema::Table>& tables, int firstVersion) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        SqlTransaction group(db);
        for (const auto& table : tables) {
            if (db.TableExists(table.name, ""))
                continue;
            db.ExecuteUpdate(table.create);
            if (std::string(table.name) == SqliteSchema::VERSION_TABLE.name &&
                !setVersionInfo(firstVersion, "OK", ""))
                return false;
        }
        group.commit();
        return true;
    });
}

int SqliteDB::runUpgrades(const std::vector<SqliteSchema::UpgradeStep>& steps, const std::string& versionLogPrefix,
                          const std::string& failureLogPrefix) {
    std::string status;
    std::string notes;
    int version = getVersionInfo(status, notes);
    Poco::Logger::get("Sync").information(versionLogPrefix + Poco::NumberFormatter::format(version));

    for (const SqliteSchema::UpgradeStep& step : steps) {
        if (version != step.from)
            continue;
        bool upgraded = runLocked(false, "", [&](wxSQLite3Database& db) {
            SqlTransaction group(db);
            if (!SqliteSchema::addColumns(db, step) || !setVersionInfo(step.from + 1, "OK", "Updated"))
                return false;
            group.commit();
            return true;
        });
        if (!upgraded) {
            Poco::Logger::get("Sync").error(failureLogPrefix + Poco::NumberFormatter::format(step.from + 1) + "...");
            break;
        }
        version = getVersionInfo(status, notes);
    }
    return getVersionInfo(status, notes);
}

// ---- Running SQL ----

bool SqliteDB::runStatement(const char* sql, const std::string& logPrefix) {
    return runLocked(false, logPrefix, [sql](wxSQLite3Database& db) {
        db.ExecuteUpdate(sql);
        return true;
    });
}

bool SqliteDB::wroteRows(int changed, const std::string& logPrefix, const std::string& key) {
    if (changed > 0)
        return true;
    Poco::Logger::get("Sync").error(logPrefix + "no row written for " + key);
    return false;
}

void SqliteDB::logDBError(const wxSQLite3Exception& e, const std::string& logPrefix) {
    Poco::Logger::get("Sync").error(logPrefix + e.GetMessage());
}

} // namespace Misc
} // namespace Nuvaro
