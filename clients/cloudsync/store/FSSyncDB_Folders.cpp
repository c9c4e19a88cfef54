// FSSyncDB: the sync-folder list (SYNCFOLDERS against the server's folder
// list), the limit paths (LIMITPATHS) and the external paths (EXTERNALPATHS).

#include "FSSyncDB.h"

#include "ObjectRow.h"
#include "SqlTransaction.h"
#include "wxSQLite3Database.h"

#include <Poco/Logger.h>

#include <algorithm>
#include <set>

namespace Nuvaro {
namespace Sync {

namespace {

const char* const kLimitPaths = "LIMITPATHS";
const char* const kExternalPaths = "EXTERNALPATHS";

// The value of `key` in a server record, or `missing` when the key is absent.
std::string valueOf(const std::map<std::string, std::string>& record, const std::string& key,
                    const std::string& missing = "") {
    auto found = record.find(key);
    return found != record.end() ? found->second : missing;
}

std::vector<std::string> storedSyncFolders(wxSQLite3Database& db) {
    std::vector<std::string> names;
    wxSQLite3ResultSet rows = db.ExecuteQuery("select * FROM SYNCFOLDERS;");
    while (rows.NextRow())
        names.push_back(rows.GetStdString("NAME"));
    rows.Finalize();
    return names;
}

// Compares one server folder with its stored status set and lists it in
// foldersToSync when it needs a sync (see updateSyncFolderList).
void compareSyncFolder(wxSQLite3Database& db, const std::map<std::string, std::string>& folder,
                       const std::string& configuredTeamFolderAccount,
                       std::vector<std::pair<std::string, bool>>& foldersToSync) {
    Poco::Logger& log = Poco::Logger::get("Sync");
    const std::string name = valueOf(folder, "name");
    const std::string statusSet = valueOf(folder, "statusset");
    const std::string skipDetect = valueOf(folder, "skipdetect", "0");
    const std::string teamAccount = valueOf(folder, "teamfolderaccount");
    const std::string teamFolder = valueOf(folder, "teamfolder", "0");
    if (teamFolder == "1" && teamAccount != configuredTeamFolderAccount) {
        log.trace("Check SyncStatus: " + name + " : " +
                  " is not matching team folder account configured, sync might need restart. Configured: " +
                  configuredTeamFolderAccount + " Server configured: " + teamAccount);
        return;
    }

    wxSQLite3StatementBuffer sql;
    wxSQLite3ResultSet rows = db.ExecuteQuery(sql.Format("select * FROM SYNCFOLDERS WHERE NAME='%q';", name.c_str()));
    bool stored = rows.NextRow();
    std::string storedStatusSet = stored ? rows.GetStdString("STATUSSET") : "";
    rows.Finalize();
    if (stored) {
        bool upToDate = storedStatusSet == statusSet;
        log.trace("Check SyncStatus: " + name + " : " + statusSet + " with remote: " + storedStatusSet +
                  (upToDate ? " is OK. SKIP DETECT " : " is NOT UP TO DATE. SKIP DETECT: ") + skipDetect +
                  " TEAM FOLDER: " + teamFolder + " TEAM FOLDER ACCT: " + teamAccount);
        if (upToDate)
            return;
    }
    foldersToSync.emplace_back(name, skipDetect == "1");
}

// Appends every PATH of a path table in the order the paths were stored.
void readPathList(wxSQLite3Database& db, const char* table, std::vector<std::string>& paths) {
    if (!db.TableExists(table, ""))
        return;
    wxSQLite3StatementBuffer sql;
    // PATH is the key, so without the ORDER BY SQLite may read the key's
    // index and hand the paths back sorted instead of in stored order.
    wxSQLite3ResultSet rows = db.ExecuteQuery(sql.Format("select * FROM %s ORDER BY rowid;", table));
    while (rows.NextRow())
        paths.push_back(rows.GetStdString("PATH"));
    rows.Finalize();
}

// Stores a path unless the table holds it already; true when it was added.
bool insertPathIfMissing(wxSQLite3Database& db, const char* table, const std::string& path) {
    wxSQLite3StatementBuffer sql;
    return db.ExecuteUpdate(sql.Format("INSERT OR IGNORE INTO %s (PATH) VALUES ('%q');", table, path.c_str())) > 0;
}

} // namespace

// ---- Sync folders ----

bool FSSyncDB::getSyncFolders(std::vector<std::string>& names) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        std::vector<std::string> stored = storedSyncFolders(db);
        names.insert(names.end(), stored.begin(), stored.end());
        return true;
    });
}

bool FSSyncDB::updateSyncFolderList(const Nuvaro::RecordList& serverFolders,
                                    std::vector<std::pair<std::string, bool>>& foldersToSync,
                                    const std::string& configuredTeamFolderAccount) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        std::set<std::string> listed;
        for (const Nuvaro::Record& folder : serverFolders) {
            if (!folder)
                continue;
            listed.insert(valueOf(*folder, "name"));
            compareSyncFolder(db, *folder, configuredTeamFolderAccount, foldersToSync);
        }

        // Folders the server no longer lists are forgotten, all of them or
        // none: a failure leaves every stored folder as it was.
        SqlTransaction group(db);
        bool forgotten = false;
        for (const std::string& name : storedSyncFolders(db)) {
            if (listed.count(name) != 0)
                continue;
            Poco::Logger::get("Sync").information("Forgetting sync folder no longer listed by the server: " + name);
            deleteSyncFolderRows(db, name);
            forgotten = true;
        }
        group.commit();
        if (forgotten)
            updateStats();
        return true;
    });
}

// ---- Limit paths ----

void FSSyncDB::clearAllLimitPaths() {
    runLocked(false, "", [](wxSQLite3Database& db) {
        db.ExecuteUpdate("DELETE FROM LIMITPATHS;");
        return true;
    });
}

void FSSyncDB::addLimitPaths(std::vector<std::string>& paths) {
    runLocked(false, "", [&](wxSQLite3Database& db) {
        if (paths.empty() || !db.TableExists(kLimitPaths, ""))
            return false;
        SqlTransaction group(db);
        for (const std::string& path : paths)
            if (!insertPathIfMissing(db, kLimitPaths, path))
                Poco::Logger::get("Sync").trace("Limit path already stored, skipped: " + path);
        group.commit();
        return true;
    });
}

void FSSyncDB::getLimitPaths(std::vector<std::string>& paths) {
    runLocked(false, "", [&](wxSQLite3Database& db) {
        readPathList(db, kLimitPaths, paths);
        return true;
    });
}

// ---- External paths ----

bool FSSyncDB::doesExternalPathExist(const std::string& path) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        if (!db.TableExists(kExternalPaths, ""))
            return false;
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rows =
            db.ExecuteQuery(sql.Format("select * FROM EXTERNALPATHS WHERE PATH='%q';", path.c_str()));
        bool exists = rows.NextRow();
        rows.Finalize();
        return exists;
    });
}

void FSSyncDB::clearAllExternalPaths() {
    runLocked(false, "", [](wxSQLite3Database& db) {
        db.ExecuteUpdate("DELETE FROM EXTERNALPATHS;");
        return true;
    });
}

void FSSyncDB::getExternalPaths(std::vector<std::string>& paths) {
    runLocked(false, "", [&](wxSQLite3Database& db) {
        readPathList(db, kExternalPaths, paths);
        return true;
    });
}

void FSSyncDB::updateExternalPaths(std::vector<std::string>& paths) {
    runLocked(false, "", [&](wxSQLite3Database& db) {
        if (!db.TableExists(kExternalPaths, ""))
            return false;
        SqlTransaction group(db);
        for (const std::string& path : paths)
            insertPathIfMissing(db, kExternalPaths, path);
        std::vector<std::string> stored;
        readPathList(db, kExternalPaths, stored);
        wxSQLite3StatementBuffer sql;
        for (const std::string& path : stored)
            if (std::find(paths.begin(), paths.end(), path) == paths.end())
                db.ExecuteUpdate(sql.Format("DELETE FROM EXTERNALPATHS WHERE PATH='%q';", path.c_str()));
        group.commit();
        return true;
    });
}

} // namespace Sync
} // namespace Nuvaro
