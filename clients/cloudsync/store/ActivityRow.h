#pragma once

// The two forms of an activity entry in a database: an ACTIVITY row and an
// FSActivity. The sync database and the job database keep their logs in
// tables of the same form (ITEMID INTEGER PRIMARY KEY AUTOINCREMENT, DATE
// TEXT, LEVEL INTEGER, TYPE INTEGER, MESSAGE TEXT, FULLPATH TEXT, FRIENDLY
// TEXT) and read and write rows with these; not part of the store's public
// interface.
//
// Entry to row: DATE is the entry's dateText() (sortable UTC), LEVEL and TYPE
// its numbers, FULLPATH its path through CloudPath::convertToStdPath. Row to
// entry: the same columns back, FULLPATH through CloudPath::convertToNativePath.
//
// Every function runs on a connection whose lock the caller holds and throws
// wxSQLite3Exception on a database error.

#include "FSActivity.h"
#include "SqliteSchema.h"

#include <boost/shared_ptr.hpp>

class wxSQLite3Database;
class wxSQLite3ResultSet;

namespace Nuvaro {
namespace Sync {

class ActivityRow {
public:
    // The table as both databases create it.
    static constexpr Misc::SqliteSchema::Table ACTIVITY_TABLE = {
        "ACTIVITY",
        "CREATE TABLE ACTIVITY (ITEMID INTEGER PRIMARY KEY AUTOINCREMENT, DATE TEXT, LEVEL INTEGER, "
        "TYPE INTEGER, MESSAGE TEXT, FULLPATH TEXT, FRIENDLY TEXT);"};

    // The entry of the current row of a "select * from ACTIVITY ..." result.
    // A row whose DATE is not sortable UTC text is logged on "Sync" and
    // yields a null pointer, so one damaged row never spoils a whole listing.
    static boost::shared_ptr<FSActivity> read(const wxSQLite3ResultSet& rows);

    // Stores the entry as a new row and sets its item id to the row's id.
    // Returns the rows changed (1).
    static int insert(wxSQLite3Database& db, FSActivity& entry);
};

} // namespace Sync
} // namespace Nuvaro
