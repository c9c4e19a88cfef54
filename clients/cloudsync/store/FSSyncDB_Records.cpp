// FSSyncDB: single sync records in table OBJECT (add, rewrite, soft delete,
// existence, lookups by server path and by local path).

#include "FSSyncDB.h"

#include "NuvaroException.h"
#include "ObjectRow.h"
#include "wxSQLite3Database.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {

namespace {

const char* const kAddPrefix = "Exception in FSSyncRecordAdd ";
const char* const kUpdatePrefix = "Exception in WS::WSObjectUpdate ";
const char* const kDeletePrefix = "Exception in WS::WSObjectDelete ";

// How a record is named in the line of an add or a rewrite that changed no
// row (see wroteRows).
std::string recordKey(const FSSyncRecord& record) {
    return record.getId().toString() + " " + record.getFullPath();
}

// A lookup by path: the live row of that path when there is one, else a
// deleted row (an item deleted and created again under the same path has
// both).
boost::shared_ptr<FSSyncRecord> lookUp(wxSQLite3Database& db, const char* column, const std::string& path,
                                       const char* operation) {
    try {
        return firstObjectRecord(db, FSSyncDB::recordByPathQuery(column, path));
    } catch (const Nuvaro::Exception& e) {
        Poco::Logger::get("Sync").error(std::string(operation) + " Exception caught : " + e.message());
        return boost::shared_ptr<FSSyncRecord>();
    }
}

} // namespace

// Runs on the index of the column (FULLPATH_INDEX, LOCALFULLPATH_INDEX).
std::string FSSyncDB::recordByPathQuery(const std::string& column, const std::string& path) {
    wxSQLite3StatementBuffer sql;
    return sql.Format("select * FROM OBJECT WHERE %s='%q' ORDER BY ISDELETED LIMIT 1;", column.c_str(),
                      convertToStdPath(path).c_str());
}

bool FSSyncDB::FSSyncRecordAdd(FSSyncRecord* record) {
    if (record == nullptr)
        return false;
    return runLocked(false, kAddPrefix, [&](wxSQLite3Database& db) {
        return wroteRows(ObjectRowWriter(db).insert(*record), kAddPrefix, recordKey(*record));
    });
}

bool FSSyncDB::FSSyncRecordUpdate(FSSyncRecord* record) {
    if (record == nullptr)
        return false;
    return runLocked(false, kUpdatePrefix, [&](wxSQLite3Database& db) {
        return wroteRows(ObjectRowWriter(db).rewrite(*record), kUpdatePrefix, recordKey(*record));
    });
}

bool FSSyncDB::FSSyncRecordDelete(FSSyncRecord* record, bool skip) {
    if (skip)
        return true;
    if (record == nullptr)
        return false;
    return runLocked(false, kDeletePrefix, [&](wxSQLite3Database& db) {
        ObjectRowWriter(db).rewrite(*record);
        return true;
    });
}

bool FSSyncDB::doesObjectExist(const Poco::UUID& id) {
    return runLocked(false, "", [&](wxSQLite3Database& db) { return ObjectRowWriter(db).exists(id); });
}

boost::shared_ptr<FSSyncRecord> FSSyncDB::getFSSyncRecord(const std::string& fullPath) {
    return runLocked(boost::shared_ptr<FSSyncRecord>(), "", [&](wxSQLite3Database& db) {
        return lookUp(db, "FULLPATH", fullPath, "getFSSyncRecord");
    });
}

boost::shared_ptr<FSSyncRecord> FSSyncDB::getFSSyncRecordFromLocalFullPath(const std::string& localFullPath) {
    return runLocked(boost::shared_ptr<FSSyncRecord>(), "", [&](wxSQLite3Database& db) {
        return lookUp(db, "LOCALFULLPATH", localFullPath, "getFSSyncRecordFromLocalFullPath");
    });
}

} // namespace Sync
} // namespace Nuvaro
