// FOOfflineDB: the schema, the upgrade to version 4 and the vacuum.

#include "FOOfflineDB.h"

#include "ActivityRow.h"
#include "wxSQLite3Database.h"

#include <Poco/Logger.h>

#include <vector>

namespace Nuvaro {
namespace Sync {

namespace {

using Nuvaro::Misc::SqliteSchema;

// Creation order and column types are those of every existing offline.db.
// OFFLINEFOLDERS is created in its version-1 form: the upgrade adds its last
// two columns, as it does in older files. VERSION comes last, with its row.
const std::vector<SqliteSchema::Table> kTables = {
    {"OBJECT",
     "CREATE TABLE OBJECT (FULLPATH TEXT primary key, TYPE INTEGER, NAME TEXT, PARENT TEXT, SIZE INTEGER, "
     "MODIFIED INTEGER, LOCALLINKPATH TEXT, FILECRC TEXT, FILEMOD TEXT);"},
    {"OFFLINEFOLDERS",
     "CREATE TABLE OFFLINEFOLDERS (LOCALLINKPATH TEXT PRIMARY KEY, REMOTEPATH TEXT, SYNCTYPE INTEGER, "
     "SCHEDULE TEXT, RECURSE TEXT, LASTRUN TEXT);"},
    ActivityRow::ACTIVITY_TABLE,
    SqliteSchema::VERSION_TABLE,
};

// The upgrade, one step per version (see doVersionUpdates).
const std::vector<SqliteSchema::UpgradeStep> kUpgradeSteps = {
    {1, "OFFLINEFOLDERS", {"REMOTEDELETE"}, "0"},
    {2, "OFFLINEFOLDERS", {"SENDEMAIL"}, "0"},
    {3, "OBJECT", {"FILECRC", "FILEMOD"}, ""},
};

// Columns this program adds where they are missing, without a version step
// (see addUnversionedColumns).
struct UnversionedColumn {
    const char* table;
    const char* name;
};
const std::vector<UnversionedColumn> kUnversionedColumns = {
    {"OBJECT", "CONFLICTCOPY"},
    {"OFFLINEFOLDERS", "LOCALDEVICE"},
};

} // namespace

FOOfflineDB::FOOfflineDB() = default;

FOOfflineDB::~FOOfflineDB() = default;

bool FOOfflineDB::refuseNull(const std::string& logPrefix) {
    Poco::Logger::get("Sync").error(logPrefix + "no record given");
    return false;
}

// ---- Schema and version ----

bool FOOfflineDB::initDB() {
    return createMissingTables(kTables, 1) && doVersionUpdates() == CURRENT_VERSION && addUnversionedColumns();
}

bool FOOfflineDB::addUnversionedColumns() {
    return runLocked(false, "", [](wxSQLite3Database& db) {
        for (const UnversionedColumn& column : kUnversionedColumns)
            if (!SqliteSchema::hasColumn(db, column.table, column.name))
                db.ExecuteUpdate(std::string("Alter table ") + column.table + " ADD " + column.name +
                                 " TEXT DEFAULT '';");
        return true;
    });
}

int FOOfflineDB::doVersionUpdates() {
    // A new file's OBJECT has the version-4 columns already: the last step
    // finds them and only records its version.
    return runUpgrades(kUpgradeSteps, "FOOfflineDB::DB Version is at ", "OfflineDB Exception updating to version ");
}

// ---- Maintenance ----

bool FOOfflineDB::vacuumAll() { return runStatement("VACUUM;", "vacuumAll : "); }

} // namespace Sync
} // namespace Nuvaro
