// FSSyncDB: the activity log (table ACTIVITY). Every member runs inside
// runLocked: the database mutex is held for the whole body, so the duplicate
// check, the insert and the pruning of one activityAdd form one step that no
// other database call interleaves with; SQL errors are logged on "Sync" and
// turned into the member's failure value.

#include "FSSyncDB.h"

#include "ActivityRow.h"
#include "NuvaroUtil.h"
#include "XmlText.h"

#include <Poco/Timespan.h>

#include <functional>

namespace Nuvaro {
namespace Sync {

namespace {

// Ordinary entries are every type but the four lasting ones; the log keeps at
// most this many of them before it prunes the oldest.
const char kOrdinaryClause[] = "(TYPE != '3' AND TYPE != '5' AND TYPE != '6' AND TYPE != '7')";
const int kMaxOrdinaryEntries = 2000;
// activityCollectionGet returns at most this many entries, newest first.
const char kListLimit[] = " ORDER BY DATE DESC LIMIT 0,500;";
// activityCollectionGetXMLByLevel leaves out entries older than this many
// whole days.
const int kMaxAgeDays = 7;
const char kEmptyDocument[] = "<activities></activities>";

// Id of the newest row holding the same type, level, message, path and
// friendly name as the entry about to be added, or 0.
int newestIdenticalActivity(wxSQLite3Database& db, const FSActivity& entry, const std::string& storedPath) {
    wxSQLite3StatementBuffer sql;
    sql.Format("select ITEMID from ACTIVITY where (TYPE=%d AND LEVEL=%d AND MESSAGE='%q' AND FULLPATH='%q' "
               "AND FRIENDLY='%q') ORDER BY DATE DESC, ITEMID DESC LIMIT 1;",
               static_cast<int>(entry.type), static_cast<int>(entry.level), entry.message.c_str(),
               storedPath.c_str(), entry.friendlyName.c_str());
    wxSQLite3ResultSet rows = db.ExecuteQuery(sql);
    const int itemId = rows.NextRow() ? rows.GetInt("ITEMID", 0) : 0;
    rows.Finalize();
    return itemId;
}

// Once more than kMaxOrdinaryEntries ordinary entries exist, removes those
// strictly older than the 201st oldest: at most 200 rows, and none that share
// the cut date. Example: with 2001 entries whose oldest 250 all carry one
// date, nothing goes until newer dates reach the 201st place.
void pruneOrdinaryActivities(wxSQLite3Database& db) {
    const int ordinary = db.ExecuteScalar(std::string("select COUNT(*) FROM ACTIVITY WHERE ") + kOrdinaryClause + ";");
    if (ordinary <= kMaxOrdinaryEntries) return;

    wxSQLite3ResultSet rows = db.ExecuteQuery(std::string("select * from ACTIVITY WHERE ") + kOrdinaryClause +
                                              " ORDER BY DATE ASC LIMIT 200,1;");
    const std::string cutDate = rows.NextRow() ? rows.GetStdString("DATE") : std::string();
    rows.Finalize();

    wxSQLite3StatementBuffer sql;
    sql.Format("delete from ACTIVITY WHERE (TYPE != '3' AND TYPE != '5' AND TYPE != '6' AND TYPE != '7' AND "
               "DATE < '%q')",
               cutDate.c_str());
    db.ExecuteUpdate(sql);
}

// Runs the count and the paged, newest-first query of one XML rendering and
// writes the document. `where` is empty or a clause built from integers only.
// writeRow writes one entry and returns false to end the list early (the rest
// is left out; the total still counts every matching row).
std::string renderActivities(wxSQLite3Database& db, const std::string& where, int start, int count,
                             const std::function<bool(const FSActivity&, std::string&)>& writeRow) {
    const int total = db.ExecuteScalar("select COUNT(*) FROM ACTIVITY " + where + ";");
    if (count < 1) count = -1; // no upper bound
    const std::string paging = "LIMIT " + std::to_string(start) + ", " + std::to_string(count);

    std::string xml = "<activities><meta> <total>" + std::to_string(total) + "</total></meta>";
    wxSQLite3ResultSet rows =
        db.ExecuteQuery("select * FROM ACTIVITY " + where + " ORDER BY DATE DESC " + paging + ";");
    while (rows.NextRow()) {
        boost::shared_ptr<FSActivity> entry = ActivityRow::read(rows);
        if (entry && !writeRow(*entry, xml)) break;
    }
    rows.Finalize();
    return xml + "</activities>";
}

void appendElement(std::string& xml, const char* name, const std::string& escapedText) {
    xml += '<';
    xml += name;
    xml += '>';
    xml += escapedText;
    xml += "</";
    xml += name;
    xml += '>';
}

// The type names the front end shows; it reads 1, 7 and anything unknown as a
// download.
const char* activityTypeName(FSActivity::Type type) {
    switch (type) {
    case FSActivity::TypeUpload: return "Upload";
    case FSActivity::TypeConflict: return "Conflict";
    case FSActivity::TypeDelete: return "Delete";
    case FSActivity::TypeError:
    case FSActivity::TypeUploadFailure: return "Error";
    default: return "Download";
    }
}

} // namespace

bool FSSyncDB::activityAdd(boost::shared_ptr<FSActivity>& entry) {
    if (!entry) return false;
    return runLocked(false, "", [&entry](wxSQLite3Database& db) {
        if (!db.TableExists("ACTIVITY", "")) return false;
        return addActivityRow(db, *entry);
    });
}

bool FSSyncDB::activityAddAll(std::vector<boost::shared_ptr<FSActivity>>& entries) {
    if (entries.empty()) return true;
    return runLocked(false, "", [&entries](wxSQLite3Database& db) {
        if (!db.TableExists("ACTIVITY", "")) return false;
        SqlTransaction group(db);
        bool all = true;
        for (boost::shared_ptr<FSActivity>& entry : entries)
            if (entry && !addActivityRow(db, *entry)) all = false;
        group.commit();
        return all;
    });
}

bool FSSyncDB::addActivityRow(wxSQLite3Database& db, FSActivity& entry) {
    // A lasting entry is never pruned, so the same error reported on every
    // pass would pile up: refresh the date of its newest twin instead.
    if (FSActivity::isLasting(entry.type)) {
        const int twin = newestIdenticalActivity(db, entry, convertToStdPath(entry.fullPath));
        if (twin != 0) {
            wxSQLite3StatementBuffer sql;
            sql.Format("update ACTIVITY set DATE='%q' where ITEMID=%d;", entry.dateText().c_str(), twin);
            const int changed = db.ExecuteUpdate(sql);
            entry.itemId = twin;
            return changed == 1;
        }
    }

    const int inserted = ActivityRow::insert(db, entry);

    // A failure from here on leaves the new row stored and its id set.
    pruneOrdinaryActivities(db);
    return inserted == 1;
}

bool FSSyncDB::activityDelete(int itemId) {
    wxSQLite3StatementBuffer sql;
    sql.Format("delete from ACTIVITY where ITEMID=%d;", itemId);
    return runStatement(sql);
}

bool FSSyncDB::activityDeleteForPaths(const std::string& fullPath, FSActivity::Type type) {
    wxSQLite3StatementBuffer sql;
    sql.Format("delete from ACTIVITY where (TYPE=%d AND FULLPATH='%q');", static_cast<int>(type),
               convertToStdPath(fullPath).c_str());
    return runStatement(sql);
}

bool FSSyncDB::activityDeleteAllErrors(FSActivity::Type type) {
    wxSQLite3StatementBuffer sql;
    sql.Format("delete from ACTIVITY where TYPE = '%d';", static_cast<int>(type));
    return runStatement(sql);
}

bool FSSyncDB::activityDeleteAll() { return runStatement("delete from ACTIVITY;"); }

bool FSSyncDB::activityCollectionGet(std::vector<boost::shared_ptr<FSActivity>>& out, int filter) {
    std::string query;
    switch (filter) {
    case -1: query = std::string("select * from ACTIVITY WHERE ") + kOrdinaryClause; break;
    case -2: query = "select * from ACTIVITY WHERE (TYPE = '3' OR TYPE = '5' OR TYPE = '6')"; break;
    case -3: query = "select * from ACTIVITY WHERE TYPE != '7'"; break;
    default: query = "select * from ACTIVITY WHERE TYPE = '" + std::to_string(filter) + "'"; break;
    }
    query += kListLimit;
    return runLocked(false, "", [&query, &out](wxSQLite3Database& db) {
        wxSQLite3ResultSet rows = db.ExecuteQuery(query);
        while (rows.NextRow()) {
            boost::shared_ptr<FSActivity> entry = ActivityRow::read(rows);
            if (entry) out.push_back(entry);
        }
        rows.Finalize();
        return true;
    });
}

std::string FSSyncDB::activityCollectionGetXML(int source, int start, int count) {
    // Rows carry no source, so every source value lists the whole log.
    (void)source;
    return runLocked(std::string(kEmptyDocument), "", [start, count](wxSQLite3Database& db) {
        return renderActivities(db, "", start, count, [](const FSActivity& entry, std::string& xml) {
            xml += "<activity>";
            appendElement(xml, "when", xmlEscapeText(Nuvaro::Util::localTimeStrFromUTCTime(entry.date)));
            appendElement(xml, "type", activityTypeName(entry.type));
            appendElement(xml, "level", std::to_string(entry.level));
            appendElement(xml, "id", std::to_string(entry.itemId));
            appendElement(xml, "message", xmlEscapeText(entry.message));
            appendElement(xml, "path", xmlEscapeText(entry.fullPath));
            appendElement(xml, "who", xmlEscapeText(entry.friendlyName));
            xml += "</activity>";
            return true;
        });
    });
}

std::string FSSyncDB::activityCollectionGetXMLByLevel(int level, int start, int count) {
    const std::string where = level == -1 ? std::string() : " WHERE LEVEL=" + std::to_string(level);
    const Poco::DateTime now;
    return runLocked(std::string(kEmptyDocument), "", [&](wxSQLite3Database& db) {
        return renderActivities(db, where, start, count, [&now](const FSActivity& entry, std::string& xml) {
            const Poco::Timespan age = now - entry.date;
            // Rows come newest first: the first one past the cut ends the list.
            if (age.days() > kMaxAgeDays) return false;
            xml += "<activity>";
            appendElement(xml, "elapsed", xmlEscapeText(Nuvaro::Util::readableTimeSpan(age)));
            appendElement(xml, "type", std::to_string(entry.type));
            appendElement(xml, "level", std::to_string(entry.level));
            appendElement(xml, "id", std::to_string(entry.itemId));
            appendElement(xml, "message", xmlEscapeText(entry.message));
            xml += "</activity>";
            return true;
        });
    });
}

} // namespace Sync
} // namespace Nuvaro
