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
// Record to row: all twenty columns from the record's getters, every value
// between single quotes ("%q" for texts, so apostrophes are doubled), the
// four paths through FSSyncDB::convertToStdPath, ISDELETED 1 only when the
// record's deleted value is 1.
//
// Every function runs on a connection whose lock the caller holds and throws
// wxSQLite3Exception on a database error. An OBJID that is not a UUID throws
// Poco::SyntaxException from the reader.

#include "FSSyncRecord.h"

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

    // A new record of the current row.
    boost::shared_ptr<FSSyncRecord> read(const wxSQLite3ResultSet& rows) const;

private:
    enum Column {
        OBJID, TYPE, NAME, PARENT, FULLPATH, SIZE, MODIFIED, ATTRIBS, FLAGS, FRIENDLY,
        UPDATEDVERSION, UPDATEDPEER, CREATEDVERSION, CREATEDPEER, ISDELETED,
        SYNCFOLDER, LOCALPARENT, LOCALFULLPATH, FILECRC, FILEMOD, COLUMN_COUNT
    };
    int m_index[COLUMN_COUNT];
};

// How writeObjectRow writes a record.
enum class ObjectWrite {
    Insert,  // a new row with all twenty columns
    Rewrite  // every column but OBJID of the row with the record's identity
};

// Writes the record and returns the number of rows the statement changed
// (1 when it did its work; 0 for a rewrite of an identity that has no row).
int writeObjectRow(wxSQLite3Database& db, const FSSyncRecord& record, ObjectWrite how);

// True when OBJECT holds a row with that identity.
bool objectRowExists(wxSQLite3Database& db, const Poco::UUID& id);

// Runs a query on OBJECT and appends a record for each row, in the order the
// rows come. Records appended before an error stay in `records`.
void appendObjectRecords(wxSQLite3Database& db, const std::string& query,
                         std::vector<boost::shared_ptr<FSSyncRecord>>& records);

// The record of the first row of a query on OBJECT, or an empty pointer.
boost::shared_ptr<FSSyncRecord> firstObjectRecord(wxSQLite3Database& db, const std::string& query);

// Forgets a sync folder: its SYNCFOLDERS row and every OBJECT row it owns
// (deleted or not). Run it inside a transaction together with whatever else
// belongs to the same change.
void deleteSyncFolderRows(wxSQLite3Database& db, const std::string& folder);

} // namespace Sync
} // namespace Nuvaro
