// FOOfflineDB: the jobs' activity log (table ACTIVITY). Every member runs
// inside runLocked, so the insert and the pruning of one activityAdd form one
// step that no other database call interleaves with.

#include "FOOfflineDB.h"

#include "CloudPath.h"
#include "FOPathHelpers.h"
#include "wxSQLite3Database.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {

namespace {

// The entry of the current row, its path relative to basePath. A row whose
// DATE is not sortable UTC text is logged and yields a null pointer, so one
// damaged row never spoils a whole listing.
boost::shared_ptr<FSActivity> readActivityRow(wxSQLite3ResultSet& rows, const std::string& basePath) {
    const int itemId = rows.GetInt("ITEMID", 0);
    const std::string date = rows.GetStdString("DATE");
    try {
        return boost::shared_ptr<FSActivity>(new FSActivity(
            itemId, static_cast<FSActivity::Level>(rows.GetInt("LEVEL", 0)),
            static_cast<FSActivity::Type>(rows.GetInt("TYPE", 0)), rows.GetStdString("MESSAGE"),
            relativePath(basePath, CloudPath::convertToNativePath(rows.GetStdString("FULLPATH"))), date,
            rows.GetStdString("FRIENDLY")));
    } catch (const Poco::Exception& e) {
        Poco::Logger::get("Sync").error("Skipping activity entry " + std::to_string(itemId) +
                                        " with unreadable date \"" + date + "\": " + e.displayText());
        return boost::shared_ptr<FSActivity>();
    }
}

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
        wxSQLite3StatementBuffer sql;
        sql.Format("insert into ACTIVITY                                 (DATE, LEVEL, TYPE, MESSAGE, FULLPATH, "
                   "FRIENDLY) values                                 ('%q', %d, %d, '%q', '%q', '%q');",
                   entry->dateText().c_str(), static_cast<int>(entry->level), static_cast<int>(entry->type),
                   entry->message.c_str(), CloudPath::convertToStdPath(entry->fullPath).c_str(),
                   entry->friendlyName.c_str());
        const int inserted = db.ExecuteUpdate(sql);
        entry->itemId = static_cast<int>(db.GetLastRowId());

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
            boost::shared_ptr<FSActivity> entry = readActivityRow(rows, basePath);
            if (entry)
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
