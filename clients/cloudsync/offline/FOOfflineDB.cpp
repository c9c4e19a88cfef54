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

} // namespace

FOOfflineDB::FOOfflineDB() = default;

FOOfflineDB::~FOOfflineDB() = default;

bool FOOfflineDB::refuseNull(const std::string& logPrefix) {
    Poco::Logger::get("Sync").error(logPrefix + "no record given");
    return false;
}

// ---- Schema and version ----

bool FOOfflineDB::initDB() {
    return createMissingTables(kTables, 1) && doVersionUpdates() == CURRENT_VERSION && addConflictCopyColumn();
}

bool FOOfflineDB::addConflictCopyColumn() {
    return runLocked(false, "", [](wxSQLite3Database& db) {
        if (!SqliteSchema::hasColumn(db, "OBJECT", "CONFLICTCOPY"))
            db.ExecuteUpdate("Alter table OBJECT ADD CONFLICTCOPY TEXT DEFAULT '';");
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
