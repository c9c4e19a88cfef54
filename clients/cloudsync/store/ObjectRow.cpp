#include "ObjectRow.h"

#include "FSSyncDB.h"
#include "NuvaroException.h"
#include "wxSQLite3Database.h"

#include <Poco/Logger.h>

#include <cstdlib>

namespace Nuvaro {
namespace Sync {

namespace {

// In the order of ObjectRowReader::Column, which is the schema's column order.
const char* const kColumnNames[] = {
    "OBJID", "TYPE", "NAME", "PARENT", "FULLPATH", "SIZE", "MODIFIED", "ATTRIBS", "FLAGS", "FRIENDLY",
    "UPDATEDVERSION", "UPDATEDPEER", "CREATEDVERSION", "CREATEDPEER", "ISDELETED",
    "SYNCFOLDER", "LOCALPARENT", "LOCALFULLPATH", "FILECRC", "FILEMOD"};

// Parameters are numbered by column: ?1 is OBJID ... ?20 is FILEMOD.
const char* const kInsert =
    "insert into OBJECT (OBJID, TYPE, NAME, PARENT, FULLPATH, SIZE, MODIFIED, ATTRIBS, FLAGS, FRIENDLY, "
    "UPDATEDVERSION, UPDATEDPEER, CREATEDVERSION, CREATEDPEER, ISDELETED, SYNCFOLDER, LOCALPARENT, LOCALFULLPATH, "
    "FILECRC, FILEMOD) values (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, "
    "?19, ?20);";

const char* const kRewrite =
    "update OBJECT set TYPE=?2, NAME=?3, PARENT=?4, FULLPATH=?5, SIZE=?6, MODIFIED=?7, ATTRIBS=?8, FLAGS=?9, "
    "FRIENDLY=?10, UPDATEDVERSION=?11, UPDATEDPEER=?12, CREATEDVERSION=?13, CREATEDPEER=?14, ISDELETED=?15, "
    "SYNCFOLDER=?16, LOCALPARENT=?17, LOCALFULLPATH=?18, FILECRC=?19, FILEMOD=?20 WHERE OBJID = ?1;";

const char* const kExists = "select count(*) FROM OBJECT where OBJID = ?1;";

} // namespace

ObjectRowReader::ObjectRowReader(const wxSQLite3ResultSet& rows) {
    for (int column = 0; column < COLUMN_COUNT; ++column)
        m_index[column] = rows.FindColumnIndex(kColumnNames[column]);
}

boost::shared_ptr<FSSyncRecord> ObjectRowReader::read(const wxSQLite3ResultSet& rows) const {
    auto text = [&](Column column) { return rows.GetStdString(m_index[column]); };
    auto path = [&](Column column) { return FSSyncDB::convertToNativePath(rows.GetStdString(m_index[column])); };
    auto number = [&](Column column) { return rows.GetInt64(m_index[column], 0); };

    Poco::UUID id;
    const std::string idText = text(OBJID);
    if (!id.tryParse(idText) || id.isNull())
        throw Nuvaro::Exception("OBJECT row with a malformed identity '" + idText + "' (" + text(LOCALFULLPATH) + ")");
    Nuvaro::DataSync::DataSyncRecord base(id, number(UPDATEDVERSION), text(UPDATEDPEER),
                                          number(CREATEDVERSION), text(CREATEDPEER),
                                          rows.GetBool(m_index[ISDELETED]) ? 1 : 0);
    int type = static_cast<int>(std::strtol(text(TYPE).c_str(), nullptr, 10));
    return boost::shared_ptr<FSSyncRecord>(new FSSyncRecord(
        base, type, text(NAME), path(PARENT), path(FULLPATH), number(SIZE), number(MODIFIED), text(ATTRIBS),
        text(FLAGS), text(FRIENDLY), text(SYNCFOLDER), path(LOCALPARENT), path(LOCALFULLPATH), text(FILECRC),
        text(FILEMOD)));
}

ObjectRowWriter::ObjectRowWriter(wxSQLite3Database& db) : m_db(db) {}

wxSQLite3Statement& ObjectRowWriter::prepared(wxSQLite3Statement& statement, const char* sql) {
    if (!statement.IsOk())
        statement = m_db.PrepareStatement(sql);
    return statement;
}

void ObjectRowWriter::bindColumns(wxSQLite3Statement& statement, const FSSyncRecord& record) {
    statement.Bind(1, record.getId().toString());
    statement.Bind(2, record.getType());
    statement.Bind(3, record.getName());
    statement.Bind(4, FSSyncDB::convertToStdPath(record.getParent()));
    statement.Bind(5, FSSyncDB::convertToStdPath(record.getFullPath()));
    statement.Bind(6, static_cast<Poco::Int64>(record.getSize()));
    statement.Bind(7, static_cast<Poco::Int64>(record.getModified()));
    statement.Bind(8, record.getAttribs());
    statement.Bind(9, record.getFlags());
    statement.Bind(10, record.getFriendlyName());
    statement.Bind(11, static_cast<Poco::Int64>(record.getUpdatedVersion()));
    statement.Bind(12, record.getUpdatedPeer());
    statement.Bind(13, static_cast<Poco::Int64>(record.getCreatedVersion()));
    statement.Bind(14, record.getCreatedPeer());
    statement.Bind(15, record.getIsDeleted() == 1 ? 1 : 0);
    statement.Bind(16, record.getSyncFolderPath());
    statement.Bind(17, FSSyncDB::convertToStdPath(record.getLocalParent()));
    statement.Bind(18, FSSyncDB::convertToStdPath(record.getLocalFullPath()));
    statement.Bind(19, record.getFileCRC());
    statement.Bind(20, record.getFileModTime());
}

int ObjectRowWriter::insert(const FSSyncRecord& record) {
    wxSQLite3Statement& statement = prepared(m_insert, kInsert);
    bindColumns(statement, record);
    return statement.ExecuteUpdate();
}

int ObjectRowWriter::rewrite(const FSSyncRecord& record) {
    wxSQLite3Statement& statement = prepared(m_rewrite, kRewrite);
    bindColumns(statement, record);
    return statement.ExecuteUpdate();
}

bool ObjectRowWriter::exists(const Poco::UUID& id) {
    wxSQLite3Statement& statement = prepared(m_exists, kExists);
    statement.Bind(1, id.toString());
    return statement.ExecuteScalar() > 0;
}

int appendObjectRecords(wxSQLite3Database& db, const std::string& query,
                        std::vector<boost::shared_ptr<FSSyncRecord>>& records) {
    wxSQLite3ResultSet rows = db.ExecuteQuery(query);
    ObjectRowReader reader(rows);
    int skipped = 0;
    while (rows.NextRow()) {
        try {
            records.push_back(reader.read(rows));
        } catch (const Nuvaro::Exception& e) {
            Poco::Logger::get("Sync").error("Skipping a damaged sync record: " + e.message());
            ++skipped;
        }
    }
    rows.Finalize();
    return skipped;
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
