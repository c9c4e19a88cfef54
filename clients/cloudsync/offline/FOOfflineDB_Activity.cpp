// FOOfflineDB: the jobs' activity log (table ACTIVITY). Every member runs
// inside runLocked, so the insert and the pruning of one activityAdd form one
// step that no other database call interleaves with.

#include "FOOfflineDB.h"

#include "ActivityRow.h"
#include "CloudPath.h"
#include "FOPathHelpers.h"
#include "wxSQLite3Database.h"

namespace Nuvaro {
namespace Sync {

namespace {

// Once the log holds more than MAX_ACTIVITY_ROWS rows, removes those strictly
// older than the 201st oldest: 200 rows when all dates differ, fewer when
// several rows share the cut date.
void pruneActivities(wxSQLite3Database& db) {
    if (db.ExecuteScalar("select COUNT(*) FROM ACTIVITY;") <= FOOfflineDB::MAX_ACTIVITY_ROWS)
        return;
    wxSQLite3ResultSet rows = db.ExecuteQuery("select * from ACTIVITY ORDER BY DATE ASC LIMIT 200,1;");
    const std::string cutDate = rows.NextRow() ? rows.GetStdString("DATE") : std::string();
    rows.Finalize();
    wxSQLite3StatementBuffer sql;
    db.ExecuteUpdate(sql.Format("delete from ACTIVITY where DATE < '%q'", cutDate.c_str()));
}

// The query of activityCollectionGet for one filter value.
std::string listQuery(int filter) {
    switch (filter) {
    case -1: return "select * from ACTIVITY WHERE (TYPE != '5' AND TYPE!='6') ORDER BY DATE DESC LIMIT 0,500;";
    case -2: return "select * from ACTIVITY WHERE (TYPE = '3' OR TYPE = '5') ORDER BY DATE DESC LIMIT 0,500;";
    case -3: return "select * from ACTIVITY WHERE TYPE != '7' ORDER BY DATE DESC LIMIT 0,500;";
    default: {
        wxSQLite3StatementBuffer sql;
        return sql.Format("select * from ACTIVITY WHERE TYPE = '%d' ORDER BY DATE DESC LIMIT 0,500;", filter);
    }
    }
}

} // namespace

bool FOOfflineDB::activityAdd(boost::shared_ptr<FSActivity>& entry) {
    if (!entry)
        return false;
    return runLocked(false, "", [&entry](wxSQLite3Database& db) {
        if (!db.TableExists("ACTIVITY", ""))
            return false;
        const int inserted = ActivityRow::insert(db, *entry);

        // A failure from here on leaves the new row stored and its id set.
        pruneActivities(db);
        return inserted == 1;
    });
}

bool FOOfflineDB::activityCollectionGet(std::vector<boost::shared_ptr<FSActivity>>& out,
                                        const std::string& basePath, int filter) {
    const std::string query = listQuery(filter);
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        wxSQLite3ResultSet rows = db.ExecuteQuery(query);
        while (rows.NextRow()) {
            boost::shared_ptr<FSActivity> entry = ActivityRow::read(rows);
            if (!entry)
                continue;
            entry->fullPath = relativePath(basePath, entry->fullPath);
            out.push_back(entry);
        }
        rows.Finalize();
        return true;
    });
}

bool FOOfflineDB::activityDeleteAllErrors(FSActivity::Type type) {
    wxSQLite3StatementBuffer sql;
    return runStatement(sql.Format("delete from ACTIVITY where TYPE = '%d';", static_cast<int>(type)));
}

bool FOOfflineDB::activityDeleteAll() { return runStatement("delete from ACTIVITY;"); }

bool FOOfflineDB::activityDeleteForPaths(const std::string& path, FSActivity::Type type) {
    wxSQLite3StatementBuffer sql;
    return runStatement(sql.Format("delete from ACTIVITY where (TYPE=%d AND FULLPATH='%q');",
                                        static_cast<int>(type), CloudPath::convertToStdPath(path).c_str()));
}

bool FOOfflineDB::activityDelete(int itemId) {
    wxSQLite3StatementBuffer sql;
    return runStatement(sql.Format("delete from ACTIVITY where ITEMID=%d;", itemId));
}

} // namespace Sync
} // namespace Nuvaro
