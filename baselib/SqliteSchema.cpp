#include "SqliteSchema.h"

#include "wxSQLite3Database.h"
#include "wxSQLite3StatementBuffer.h"

#include <Poco/String.h>

namespace Nuvaro {
namespace Misc {

std::set<std::string> SqliteSchema::columnsOf(wxSQLite3Database& db, const std::string& table) {
    wxSQLite3StatementBuffer sql;
    wxSQLite3ResultSet rows = db.ExecuteQuery(sql.Format("PRAGMA table_info(\"%w\");", table.c_str()));
    std::set<std::string> names;
    while (rows.NextRow())
        names.insert(Poco::toUpper(rows.GetStdString("name")));
    rows.Finalize();
    return names;
}

bool SqliteSchema::hasColumn(wxSQLite3Database& db, const std::string& table, const std::string& column) {
    return columnsOf(db, table).count(Poco::toUpper(column)) != 0;
}

bool SqliteSchema::addColumns(wxSQLite3Database& db, const UpgradeStep& step) {
    for (const char* column : step.columns) {
        if (hasColumn(db, step.table, column))
            continue;
        wxSQLite3StatementBuffer sql;
        db.ExecuteUpdate(sql.Format("Alter table %s ADD %s TEXT;", step.table, column));
        db.ExecuteUpdate(sql.Format("update %s SET %s = '%q';", step.table, column, step.initialValue));
    }
    for (const char* column : step.columns)
        if (!hasColumn(db, step.table, column))
            return false;
    return true;
}

} // namespace Misc
} // namespace Nuvaro
