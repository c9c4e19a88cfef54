#include "FSSyncDB.h"

#include "ActivityRow.h"
#include "CloudPath.h"
#include "SqlTransaction.h"
#include "wxSQLite3Database.h"

#include <Poco/NumberFormatter.h>
#include <Poco/String.h>

#include <map>
#include <set>
#include <vector>

namespace Nuvaro {
namespace Sync {

namespace {

using Nuvaro::Misc::SqliteSchema;

// Creation order and column types are those of every existing syncclient.db;
// they must not change.
const std::vector<SqliteSchema::Table> kTables = {
    {"OBJECT",
     "CREATE TABLE OBJECT (OBJID TEXT PRIMARY KEY, TYPE INTEGER, NAME TEXT, PARENT TEXT, FULLPATH TEXT, "
     "SIZE INTEGER, MODIFIED INTEGER, ATTRIBS TEXT, FLAGS TEXT, FRIENDLY TEXT, UPDATEDVERSION integer, "
     "UPDATEDPEER TEXT, CREATEDVERSION integer, CREATEDPEER TEXT, ISDELETED integer, SYNCFOLDER TEXT, "
     "LOCALPARENT TEXT, LOCALFULLPATH TEXT, FILECRC TEXT, FILEMOD TEXT);"},
    ActivityRow::ACTIVITY_TABLE,
    {"SYNCFOLDERS", "CREATE TABLE SYNCFOLDERS (NAME TEXT PRIMARY KEY, STATUSSET TEXT);"},
    {"CONFIG", "CREATE TABLE CONFIG (KEY TEXT, NAME TEXT, VALUE TEXT, PRIMARY KEY(KEY, NAME));"},
    SqliteSchema::VERSION_TABLE,
    {"LIMITPATHS", "CREATE TABLE LIMITPATHS (PATH TEXT PRIMARY KEY);"},
    {"EXTERNALPATHS", "CREATE TABLE EXTERNALPATHS (PATH TEXT PRIMARY KEY);"},
};

// The upgrade from version 1: OBJECT gains FILECRC and FILEMOD (existing
// rows: "").
const SqliteSchema::UpgradeStep kVersion2Step = {1, "OBJECT", {"FILECRC", "FILEMOD"}, ""};

// Whether version 1 lacked this column of this table (the upgrade adds it).
bool addedByVersion2(const std::string& table, const std::string& column) {
    if (table != kVersion2Step.table)
        return false;
    for (const char* added : kVersion2Step.columns)
        if (column == added)
            return true;
    return false;
}

// The columns each table has when this program creates it, read from a
// database in memory built with the statements above.
const std::map<std::string, std::set<std::string>>& expectedColumns() {
    static const std::map<std::string, std::set<std::string>> columns = [] {
        std::map<std::string, std::set<std::string>> result;
        wxSQLite3Database memory;
        memory.Open(":memory:");
        for (const auto& table : kTables) {
            memory.ExecuteUpdate(table.create);
            result[table.name] = SqliteSchema::columnsOf(memory, table.name);
        }
        memory.Close();
        return result;
    }();
    return columns;
}

// Whether an existing file holds a schema this program understands, checked
// before anything is written to it: a version row of 1 or 2 when there is a
// VERSION table, and every column this program reads in every table that
// exists (a version-1 OBJECT may lack the two columns the upgrade adds).
// Logs on "Sync" why not.
bool schemaUnderstood(wxSQLite3Database& db) {
    Poco::Logger& log = Poco::Logger::get("Sync");
    int version = FSSyncDB::CURRENT_VERSION;
    if (db.TableExists("VERSION", "")) {
        wxSQLite3ResultSet rows = db.ExecuteQuery("select VERSIONID from VERSION;");
        version = rows.NextRow() ? rows.GetInt(0, 0) : -1;
        rows.Finalize();
        if (version != 1 && version != FSSyncDB::CURRENT_VERSION) {
            log.error("FSSyncDB: the database is at version " + Poco::NumberFormatter::format(version) +
                      ", which this program does not understand; the file is left as it is");
            return false;
        }
    }
    for (const auto& table : kTables) {
        if (!db.TableExists(table.name, ""))
            continue;
        const std::set<std::string> present = SqliteSchema::columnsOf(db, table.name);
        std::string missing;
        for (const std::string& column : expectedColumns().at(table.name)) {
            const bool addedByUpgrade = version == 1 && addedByVersion2(table.name, column);
            if (present.count(column) == 0 && !addedByUpgrade)
                missing += (missing.empty() ? "" : ", ") + column;
        }
        if (!missing.empty()) {
            log.error(std::string("FSSyncDB: table ") + table.name + " lacks the columns " + missing +
                      "; the file is left as it is");
            return false;
        }
    }
    return true;
}

} // namespace

FSSyncDB::FSSyncDB() : m_totalFSSize(0), m_totalFSFiles(0) {}

FSSyncDB::~FSSyncDB() = default;

// ---- Schema and version ----

bool FSSyncDB::initDB() {
    // Nothing is written to a file whose schema this program does not know.
    bool created = runLocked(false, "", [](wxSQLite3Database& db) { return schemaUnderstood(db); }) &&
                   createMissingTables(kTables, CURRENT_VERSION);
    if (!created || doVersionUpdates() != CURRENT_VERSION)
        return false;
    createObjectIndexes();  // speed only: a failure is logged and the file still works
    updateStats();
    return true;
}

int FSSyncDB::doVersionUpdates() {
    return runUpgrades({kVersion2Step}, "FSSyncDB::DB Version is at ", "Config DB Exception updating to version ");
}

// ---- Indexes ----

bool FSSyncDB::createObjectIndexes() {
    static const std::pair<const char*, const char*> kIndexes[] = {
        {LOCALFULLPATH_INDEX, "LOCALFULLPATH"},
        {LOCALPARENT_INDEX, "LOCALPARENT"},
        {FULLPATH_INDEX, "FULLPATH"},
        {SYNCFOLDER_INDEX, "SYNCFOLDER"},
    };
    return runLocked(false, "", [](wxSQLite3Database& db) {
        SqlTransaction group(db);
        for (const auto& index : kIndexes)
            db.ExecuteUpdate(std::string("CREATE INDEX IF NOT EXISTS ") + index.first + " ON OBJECT (" +
                             index.second + ");");
        group.commit();
        return true;
    });
}

// ---- Totals ----

void FSSyncDB::updateStats() {
    Poco::Mutex::ScopedLock lock(m_mutex);
    if (!m_db || !m_db->IsOpen())
        return;
    try {
        wxSQLite3ResultSet size = m_db->ExecuteQuery(
            "SELECT SUM(size) AS SIZEDATA FROM OBJECT WHERE ISDELETED = 0 AND TYPE=1 AND FLAGS != 'SKIP';");
        if (size.NextRow())
            m_totalFSSize = size.GetInt64("SIZEDATA", 0);
        size.Finalize();
        wxSQLite3ResultSet count = m_db->ExecuteQuery(
            "SELECT COUNT(*) AS NUMFILES FROM OBJECT WHERE ISDELETED = 0 AND TYPE=1 AND FLAGS != 'SKIP';");
        if (count.NextRow())
            m_totalFSFiles = count.GetInt64("NUMFILES", 0);
        count.Finalize();
    } catch (const wxSQLite3Exception&) {
        // The totals only steer the delete approval; the last values serve.
    }
}

// ---- Configuration values ----

bool FSSyncDB::doesConfigExist(const std::string& key, const std::string& name) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rows =
            db.ExecuteQuery(sql.Format("select * from CONFIG where KEY='%q' and NAME='%q';", key.c_str(), name.c_str()));
        bool exists = rows.NextRow();
        rows.Finalize();
        return exists;
    });
}

bool FSSyncDB::setConfigValue(const std::string& key, const std::string& name, const std::string& value) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        SqlTransaction group(db);
        wxSQLite3StatementBuffer sql;
        if (doesConfigExist(key, name))
            sql.Format("update CONFIG set VALUE='%q' where KEY='%q' and NAME='%q';", value.c_str(), key.c_str(),
                       name.c_str());
        else
            sql.Format("insert into CONFIG (KEY, NAME, VALUE) values ('%q', '%q', '%q');", key.c_str(), name.c_str(),
                       value.c_str());
        db.ExecuteUpdate(sql);
        group.commit();
        return true;
    });
}

std::string FSSyncDB::getConfigValue(const std::string& key, const std::string& name,
                                     const std::string& defaultValue) {
    return runLocked(defaultValue, "", [&](wxSQLite3Database& db) {
        std::string value = defaultValue;
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rows =
            db.ExecuteQuery(sql.Format("select * from CONFIG where KEY='%q' and NAME='%q';", key.c_str(), name.c_str()));
        if (rows.NextRow())
            value = rows.GetStdString("VALUE");
        rows.Finalize();
        return value;
    });
}

// ---- Resets ----

bool FSSyncDB::resetConfigData() {
    return runLocked(false, "", [](wxSQLite3Database& db) {
        db.ExecuteUpdate("delete from CONFIG;");
        return true;
    });
}

bool FSSyncDB::resetSyncData(bool keepConfig) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        SqlTransaction group(db);
        db.ExecuteUpdate("delete from ACTIVITY;");
        db.ExecuteUpdate("delete from OBJECT;");
        db.ExecuteUpdate("delete from SYNCFOLDERS;");
        db.ExecuteUpdate("delete from EXTERNALPATHS;");
        if (!keepConfig)
            db.ExecuteUpdate("delete from CONFIG;");
        group.commit();
        m_totalFSSize = 0;
        m_totalFSFiles = 0;
        return true;
    });
}

// ---- Path conversion ----

std::string FSSyncDB::convertToStdPath(const std::string& path) {
    return CloudPath::convertToStdPath(path);
}

std::string FSSyncDB::convertToNativePath(const std::string& path) {
    return CloudPath::convertToNativePath(path);
}

std::string FSSyncDB::convertToLinuxPath(const std::string& path) {
    return Poco::replace(path, "\\", "/");
}

std::string FSSyncDB::convertToWin32Path(const std::string& path) {
    return Poco::replace(path, "/", "\\");
}

} // namespace Sync
} // namespace Nuvaro
