#include "ObjectRow.h"

#include "FSSyncDB.h"
#include "wxSQLite3Database.h"

#include <cstdlib>

namespace Nuvaro {
namespace Sync {

namespace {

// In the order of ObjectRowReader::Column, which is the schema's column order.
const char* const kColumnNames[] = {
    "OBJID", "TYPE", "NAME", "PARENT", "FULLPATH", "SIZE", "MODIFIED", "ATTRIBS", "FLAGS", "FRIENDLY",
    "UPDATEDVERSION", "UPDATEDPEER", "CREATEDVERSION", "CREATEDPEER", "ISDELETED",
    "SYNCFOLDER", "LOCALPARENT", "LOCALFULLPATH", "FILECRC", "FILEMOD"};

const char* const kInsert =
    "insert into OBJECT (OBJID, TYPE, NAME, PARENT, FULLPATH, SIZE, MODIFIED, ATTRIBS, FLAGS, FRIENDLY, "
    "UPDATEDVERSION, UPDATEDPEER, CREATEDVERSION, CREATEDPEER, ISDELETED, SYNCFOLDER, LOCALPARENT, LOCALFULLPATH, "
    "FILECRC, FILEMOD) values ('%q', '%d', '%q', '%q', '%q', '%lld', '%lld', '%q', '%q', '%q', '%lld', '%q', "
    "'%lld', '%q', '%d', '%q', '%q', '%q', '%q', '%q');";

const char* const kRewrite =
    "update OBJECT set TYPE='%d', NAME='%q', PARENT='%q', FULLPATH='%q', SIZE='%lld', MODIFIED='%lld', "
    "ATTRIBS='%q', FLAGS='%q', FRIENDLY='%q', UPDATEDVERSION='%lld', UPDATEDPEER='%q', CREATEDVERSION='%lld', "
    "CREATEDPEER='%q', ISDELETED='%d', SYNCFOLDER='%q', LOCALPARENT='%q', LOCALFULLPATH='%q', FILECRC='%q', "
    "FILEMOD='%q' WHERE OBJID = '%q';";

} // namespace

ObjectRowReader::ObjectRowReader(const wxSQLite3ResultSet& rows) {
    for (int column = 0; column < COLUMN_COUNT; ++column)
        m_index[column] = rows.FindColumnIndex(kColumnNames[column]);
}

boost::shared_ptr<FSSyncRecord> ObjectRowReader::read(const wxSQLite3ResultSet& rows) const {
    auto text = [&](Column column) { return rows.GetStdString(m_index[column]); };
    auto path = [&](Column column) { return FSSyncDB::convertToNativePath(rows.GetStdString(m_index[column])); };
    auto number = [&](Column column) { return rows.GetInt64(m_index[column], 0); };

    Nuvaro::DataSync::DataSyncRecord base(Poco::UUID(text(OBJID)), number(UPDATEDVERSION), text(UPDATEDPEER),
                                          number(CREATEDVERSION), text(CREATEDPEER),
                                          rows.GetBool(m_index[ISDELETED]) ? 1 : 0);
    int type = static_cast<int>(std::strtol(text(TYPE).c_str(), nullptr, 10));
    return boost::shared_ptr<FSSyncRecord>(new FSSyncRecord(
        base, type, text(NAME), path(PARENT), path(FULLPATH), number(SIZE), number(MODIFIED), text(ATTRIBS),
        text(FLAGS), text(FRIENDLY), text(SYNCFOLDER), path(LOCALPARENT), path(LOCALFULLPATH), text(FILECRC),
        text(FILEMOD)));
}

int writeObjectRow(wxSQLite3Database& db, const FSSyncRecord& record, ObjectWrite how) {
    const std::string id = record.getId().toString();
    const std::string parent = FSSyncDB::convertToStdPath(record.getParent());
    const std::string fullPath = FSSyncDB::convertToStdPath(record.getFullPath());
    const std::string localParent = FSSyncDB::convertToStdPath(record.getLocalParent());
    const std::string localFullPath = FSSyncDB::convertToStdPath(record.getLocalFullPath());
    const long long size = record.getSize();
    const long long modified = record.getModified();
    const long long updatedVersion = record.getUpdatedVersion();
    const long long createdVersion = record.getCreatedVersion();
    const int deleted = record.getIsDeleted() == 1 ? 1 : 0;

    wxSQLite3StatementBuffer sql;
    if (how == ObjectWrite::Insert)
        sql.Format(kInsert, id.c_str(), record.getType(), record.getName().c_str(), parent.c_str(), fullPath.c_str(),
                   size, modified, record.getAttribs().c_str(), record.getFlags().c_str(),
                   record.getFriendlyName().c_str(), updatedVersion, record.getUpdatedPeer().c_str(), createdVersion,
                   record.getCreatedPeer().c_str(), deleted, record.getSyncFolderPath().c_str(), localParent.c_str(),
                   localFullPath.c_str(), record.getFileCRC().c_str(), record.getFileModTime().c_str());
    else
        sql.Format(kRewrite, record.getType(), record.getName().c_str(), parent.c_str(), fullPath.c_str(), size,
                   modified, record.getAttribs().c_str(), record.getFlags().c_str(),
                   record.getFriendlyName().c_str(), updatedVersion, record.getUpdatedPeer().c_str(), createdVersion,
                   record.getCreatedPeer().c_str(), deleted, record.getSyncFolderPath().c_str(), localParent.c_str(),
                   localFullPath.c_str(), record.getFileCRC().c_str(), record.getFileModTime().c_str(), id.c_str());
    return db.ExecuteUpdate(sql);
}

bool objectRowExists(wxSQLite3Database& db, const Poco::UUID& id) {
    wxSQLite3StatementBuffer sql;
    wxSQLite3ResultSet rows = db.ExecuteQuery(sql.Format("select * FROM OBJECT where OBJID = '%q'",
                                                         id.toString().c_str()));
    bool exists = rows.NextRow();
    rows.Finalize();
    return exists;
}

void appendObjectRecords(wxSQLite3Database& db, const std::string& query,
                         std::vector<boost::shared_ptr<FSSyncRecord>>& records) {
    wxSQLite3ResultSet rows = db.ExecuteQuery(query);
    ObjectRowReader reader(rows);
    while (rows.NextRow())
        records.push_back(reader.read(rows));
    rows.Finalize();
}

boost::shared_ptr<FSSyncRecord> firstObjectRecord(wxSQLite3Database& db, const std::string& query) {
    wxSQLite3ResultSet rows = db.ExecuteQuery(query);
    ObjectRowReader reader(rows);
    boost::shared_ptr<FSSyncRecord> record;
    if (rows.NextRow())
        record = reader.read(rows);
    rows.Finalize();
    return record;
}

void deleteSyncFolderRows(wxSQLite3Database& db, const std::string& folder) {
    wxSQLite3StatementBuffer sql;
    db.ExecuteUpdate(sql.Format("delete FROM SYNCFOLDERS WHERE NAME='%q';", folder.c_str()));
    db.ExecuteUpdate(sql.Format("delete FROM OBJECT WHERE SYNCFOLDER='%q';", folder.c_str()));
}

} // namespace Sync
} // namespace Nuvaro
