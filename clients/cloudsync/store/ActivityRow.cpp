#include "ActivityRow.h"

#include "CloudPath.h"
#include "wxSQLite3Database.h"
#include "wxSQLite3ResultSet.h"
#include "wxSQLite3StatementBuffer.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <string>

namespace Nuvaro {
namespace Sync {

boost::shared_ptr<FSActivity> ActivityRow::read(const wxSQLite3ResultSet& rows) {
    const int itemId = rows.GetInt("ITEMID", 0);
    const std::string date = rows.GetStdString("DATE");
    try {
        return boost::shared_ptr<FSActivity>(new FSActivity(
            itemId, static_cast<FSActivity::Level>(rows.GetInt("LEVEL", 0)),
            static_cast<FSActivity::Type>(rows.GetInt("TYPE", 0)), rows.GetStdString("MESSAGE"),
            CloudPath::convertToNativePath(rows.GetStdString("FULLPATH")), date, rows.GetStdString("FRIENDLY")));
    } catch (const Poco::Exception& e) {
        Poco::Logger::get("Sync").error("Skipping activity entry " + std::to_string(itemId) +
                                        " with unreadable date \"" + date + "\": " + e.displayText());
        return boost::shared_ptr<FSActivity>();
    }
}

int ActivityRow::insert(wxSQLite3Database& db, FSActivity& entry) {
    wxSQLite3StatementBuffer sql;
    sql.Format("insert into ACTIVITY                                 (DATE, LEVEL, TYPE, MESSAGE, FULLPATH, "
               "FRIENDLY) values                                 ('%q', %d, %d, '%q', '%q', '%q');",
               entry.dateText().c_str(), static_cast<int>(entry.level), static_cast<int>(entry.type),
               entry.message.c_str(), CloudPath::convertToStdPath(entry.fullPath).c_str(),
               entry.friendlyName.c_str());
    const int inserted = db.ExecuteUpdate(sql);
    entry.itemId = static_cast<int>(db.GetLastRowId());
    return inserted;
}

} // namespace Sync
} // namespace Nuvaro
