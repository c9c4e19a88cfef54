#pragma once

// How the program's databases describe their schema (the tables they create,
// the columns each upgrade adds) and the connection-level steps that read and
// change it. SqliteDB creates and upgrades a schema with these; a subclass
// that checks an existing file before it writes to it reads the columns with
// them too.
//
// Every function runs on a connection whose lock the caller holds (inside
// SqliteDB::runLocked) and throws wxSQLite3Exception on a database error.
// Table and column names are the program's own constants, never user text.

#include <set>
#include <string>
#include <vector>

class wxSQLite3Database;

namespace Nuvaro {
namespace Misc {

class SqliteSchema {
public:
    // One table: its name and the statement that creates it.
    struct Table {
        const char* name;
        const char* create;
    };

    // The table of the one version row that SqliteDB::getVersionInfo and
    // setVersionInfo read and write. Every database lists it among its
    // tables, at the place its files have always created it.
    static constexpr Table VERSION_TABLE = {
        "VERSION", "CREATE TABLE VERSION (VERSIONID INTEGER PRIMARY KEY, STATUS TEXT, NOTES TEXT);"};

    // One step of an upgrade: version from + 1 adds `columns` (each TEXT) to
    // `table`, and the rows that exist then get `initialValue` in each added
    // column.
    struct UpgradeStep {
        int from;
        const char* table;
        std::vector<const char*> columns;
        const char* initialValue;
    };

    // The column names of a table, in upper case; none for a table that does
    // not exist.
    static std::set<std::string> columnsOf(wxSQLite3Database& db, const std::string& table);

    // True when the table has that column (letter case aside).
    static bool hasColumn(wxSQLite3Database& db, const std::string& table, const std::string& column);

    // Adds the columns of the step that the table lacks, each with "Alter
    // table T ADD C TEXT;" and then "update T SET C = 'initialValue';". A
    // column already there (an upgrade that broke off in an older program)
    // keeps its values. True when every column of the step exists afterwards.
    // Runs no transaction of its own: the caller groups it with the version
    // row that the step records.
    static bool addColumns(wxSQLite3Database& db, const UpgradeStep& step);
};

} // namespace Misc
} // namespace Nuvaro
