#pragma once

// The two forms of a sync record in the sync database: an OBJECT row and an
// FSSyncRecord. Used by the FSSyncDB members that read and write records
// (FSSyncDB_Records.cpp, FSSyncDB_DataStore.cpp, FSSyncDB_Children.cpp); not
// part of the store's public interface.
//
// Row to record: OBJID becomes the identity; UPDATEDVERSION, CREATEDVERSION,
// SIZE and MODIFIED are 64-bit numbers (NULL reads as 0); ISDELETED is read as
// a boolean (non-zero is deleted); TYPE is read as text and converted as a
// decimal number (text that is no number gives 0); PARENT, FULLPATH,
// LOCALPARENT and LOCALFULLPATH pass through FSSyncDB::convertToNativePath.
//
// Record to row: all twenty columns from the record's getters, bound as
// values (numbers as integers, texts as text), the four paths through
// FSSyncDB::convertToStdPath, ISDELETED 1 only when the record's deleted
// value is 1.
//
// Every function runs on a connection whose lock the caller holds and throws
// wxSQLite3Exception on a database error. A row whose OBJID is not a UUID (or
// is the nil one) is damaged: the reader throws Nuvaro::Exception for it.

#include "FSSyncRecord.h"

#include "wxSQLite3Statement.h"

#include <boost/shared_ptr.hpp>

#include <Poco/UUID.h>

#include <string>
#include <vector>

class wxSQLite3Database;
class wxSQLite3ResultSet;

namespace Nuvaro {
namespace Sync {

// Turns the rows of one "select * FROM OBJECT ..." result set into records.
// The column positions are looked up once, when the reader is built, so that
// loading a large store does not search column names row after row.
class ObjectRowReader {
public:
    // Throws wxSQLite3Exception when the result set lacks an OBJECT column.
    explicit ObjectRowReader(const wxSQLite3ResultSet& rows);

    // A new record of the current row; Nuvaro::Exception for a damaged row.
    boost::shared_ptr<FSSyncRecord> read(const wxSQLite3ResultSet& rows) const;

private:
    enum Column {
        OBJID, TYPE, NAME, PARENT, FULLPATH, SIZE, MODIFIED, ATTRIBS, FLAGS, FRIENDLY,
        UPDATEDVERSION, UPDATEDPEER, CREATEDVERSION, CREATEDPEER, ISDELETED,
        SYNCFOLDER, LOCALPARENT, LOCALFULLPATH, FILECRC, FILEMOD, COLUMN_COUNT
    };
    int m_index[COLUMN_COUNT];
};

// Writes OBJECT rows and tests for them. Its statements are compiled once,
// at first use, and then run with the values bound to them, so one writer
// that serves a whole save costs little more per record than the write
// itself. Values are bound, never spliced into the SQL text.
// Holds prepared statements on `db`: keep it no longer than the lock.
class ObjectRowWriter {
public:
    explicit ObjectRowWriter(wxSQLite3Database& db);

    // Inserts a new row with all twenty columns; returns the rows changed (1).
    int insert(const FSSyncRecord& record);
    // Rewrites every column but OBJID of the row with the record's identity;
    // returns the rows changed (0 when no row has that identity).
    int rewrite(const FSSyncRecord& record);
    // True when OBJECT holds a row with that identity.
    bool exists(const Poco::UUID& id);

private:
    // Binds the twenty columns as parameters 1 (OBJID) to 20 (FILEMOD).
    static void bindColumns(wxSQLite3Statement& statement, const FSSyncRecord& record);
    wxSQLite3Statement& prepared(wxSQLite3Statement& statement, const char* sql);

    wxSQLite3Database& m_db;
    wxSQLite3Statement m_insert;
    wxSQLite3Statement m_rewrite;
    wxSQLite3Statement m_exists;
};

// Runs a query on OBJECT and appends a record for each row, in the order the
// rows come. A damaged row is skipped with an error line on "Sync"; returns
// how many were skipped. Records appended before a database error stay in
// `records`.
int appendObjectRecords(wxSQLite3Database& db, const std::string& query,
                        std::vector<boost::shared_ptr<FSSyncRecord>>& records);

// The record of the first row of a query on OBJECT, or an empty pointer;
// Nuvaro::Exception when that row is damaged.
boost::shared_ptr<FSSyncRecord> firstObjectRecord(wxSQLite3Database& db, const std::string& query);

// Forgets a sync folder: its SYNCFOLDERS row and every OBJECT row it owns
// (deleted or not). Run it inside a transaction together with whatever else
// belongs to the same change.
void deleteSyncFolderRows(wxSQLite3Database& db, const std::string& folder);

} // namespace Sync
} // namespace Nuvaro
