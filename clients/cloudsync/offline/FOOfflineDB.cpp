// FOOfflineDB: opening, schema, the upgrade to version 4, the version row and
// the vacuum.

#include "FOOfflineDB.h"

#include "SqlTransaction.h"
#include "wxSQLite3Database.h"

#include <Poco/Logger.h>
#include <Poco/NumberFormatter.h>
#include <Poco/String.h>

namespace Nuvaro {
namespace Sync {

namespace {

struct TableDefinition {
    const char* name;
    const char* create;
};

// Creation order and column types are those of every existing offline.db.
// OFFLINEFOLDERS is created in its version-1 form: the upgrade adds its last
// two columns, as it does in older files. VERSION comes last, with its row.
const TableDefinition kTables[] = {
    {"OBJECT",
     "CREATE TABLE OBJECT (FULLPATH TEXT primary key, TYPE INTEGER, NAME TEXT, PARENT TEXT, SIZE INTEGER, "
     "MODIFIED INTEGER, LOCALLINKPATH TEXT, FILECRC TEXT, FILEMOD TEXT);"},
    {"OFFLINEFOLDERS",
     "CREATE TABLE OFFLINEFOLDERS (LOCALLINKPATH TEXT PRIMARY KEY, REMOTEPATH TEXT, SYNCTYPE INTEGER, "
     "SCHEDULE TEXT, RECURSE TEXT, LASTRUN TEXT);"},
    {"ACTIVITY",
     "CREATE TABLE ACTIVITY (ITEMID INTEGER PRIMARY KEY AUTOINCREMENT, DATE TEXT, LEVEL INTEGER, TYPE INTEGER, "
     "MESSAGE TEXT, FULLPATH TEXT, FRIENDLY TEXT);"},
    {"VERSION", "CREATE TABLE VERSION (VERSIONID INTEGER PRIMARY KEY, STATUS TEXT, NOTES TEXT);"},
};

// One step of the upgrade: the columns (all TEXT) that version from + 1 adds
// to `table`, and the value the existing rows get in each added column.
struct UpgradeStep {
    int from;
    const char* table;
    std::vector<const char*> columns;
    const char* initialValue;
};

const UpgradeStep kUpgradeSteps[] = {
    {1, "OFFLINEFOLDERS", {"REMOTEDELETE"}, "0"},
    {2, "OFFLINEFOLDERS", {"SENDEMAIL"}, "0"},
    {3, "OBJECT", {"FILECRC", "FILEMOD"}, ""},
};

// `table` and `column` are names from the tables above, never user text.
bool tableHasColumn(wxSQLite3Database& db, const char* table, const char* column) {
    wxSQLite3StatementBuffer sql;
    wxSQLite3ResultSet columns = db.ExecuteQuery(sql.Format("PRAGMA table_info(%s);", table));
    bool found = false;
    while (columns.NextRow())
        if (Poco::icompare(columns.GetStdString("name"), std::string(column)) == 0)
            found = true;
    columns.Finalize();
    return found;
}

} // namespace

FOOfflineDB::FOOfflineDB() = default;

FOOfflineDB::~FOOfflineDB() = default;

bool FOOfflineDB::writeOneRow(wxSQLite3Database& db, const char* sql, const std::string& logPrefix,
                              const std::string& key) {
    if (db.ExecuteUpdate(sql) > 0)
        return true;
    Poco::Logger::get("Sync").error(logPrefix + "no row written for " + key);
    return false;
}

bool FOOfflineDB::refuseNull(const std::string& logPrefix) {
    Poco::Logger::get("Sync").error(logPrefix + "no record given");
    return false;
}

// ---- Schema and version ----

bool FOOfflineDB::initDB() {
    // The tables and the first version row are created together: a file whose
    // creation broke off holds no VERSION table without its row.
    bool created = runLocked(false, "", [this](wxSQLite3Database& db) {
        SqlTransaction group(db);
        for (const auto& table : kTables) {
            if (db.TableExists(table.name, ""))
                continue;
            db.ExecuteUpdate(table.create);
            if (std::string(table.name) == "VERSION" && !setVersionInfo(1, "OK", ""))
                return false;
        }
        group.commit();
        return true;
    });
    return created && doVersionUpdates() == CURRENT_VERSION;
}

int FOOfflineDB::doVersionUpdates() {
    std::string status;
    std::string notes;
    int version = getVersionInfo(status, notes);
    Poco::Logger::get("Sync").information("FOOfflineDB::DB Version is at " + Poco::NumberFormatter::format(version));

    for (const UpgradeStep& step : kUpgradeSteps) {
        if (version != step.from)
            continue;
        // A column may be there already (an older program's upgrade that
        // broke off, or a new file whose OBJECT has the version-4 columns):
        // add only what is missing, and record the version only once every
        // column of the step exists.
        bool upgraded = runLocked(false, "", [&](wxSQLite3Database& db) {
            SqlTransaction group(db);
            for (const char* column : step.columns) {
                if (tableHasColumn(db, step.table, column))
                    continue;
                wxSQLite3StatementBuffer sql;
                db.ExecuteUpdate(sql.Format("Alter table %s ADD %s TEXT;", step.table, column));
                db.ExecuteUpdate(sql.Format("update %s SET %s = '%q';", step.table, column, step.initialValue));
            }
            for (const char* column : step.columns)
                if (!tableHasColumn(db, step.table, column))
                    return false;
            if (!setVersionInfo(step.from + 1, "OK", "Updated"))
                return false;
            group.commit();
            return true;
        });
        if (!upgraded) {
            Poco::Logger::get("Sync").error("OfflineDB Exception updating to version " +
                                            Poco::NumberFormatter::format(step.from + 1) + "...");
            break;
        }
        version = getVersionInfo(status, notes);
    }
    return getVersionInfo(status, notes);
}

int FOOfflineDB::getVersionInfo(std::string& status, std::string& notes) {
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

bool FOOfflineDB::setVersionInfo(int version, const std::string& status, const std::string& notes) {
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

// ---- Maintenance ----

bool FOOfflineDB::vacuumAll() { return runStatement("VACUUM;", "vacuumAll : "); }

} // namespace Sync
} // namespace Nuvaro
