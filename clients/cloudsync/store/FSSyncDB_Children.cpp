// FSSyncDB: the children queries (a folder's live records by local path).

#include "FSSyncDB.h"

#include "ObjectRow.h"
#include "wxSQLite3Database.h"

namespace Nuvaro {
namespace Sync {

std::string FSSyncDB::descendantsQuery(const std::string& localPath) {
    // The texts that begin with P + "/" are exactly those from P + "/" up to,
    // but not including, P + "0" ("0" is the character right after "/"),
    // compared byte by byte as SQLite compares TEXT. As a range the test
    // needs no pattern characters (a "%" or "_" in a name stands for itself)
    // and runs on the LOCALFULLPATH index. For P = "A/B" the range is
    // ["A/B/", "A/B0"): "A/B/c" is inside, "A/BC/x" (C > "0") is not.
    const std::string path = convertToStdPath(localPath);
    const std::string from = path + "/";
    const std::string to = path + "0";
    wxSQLite3StatementBuffer sql;
    return sql.Format("select * FROM OBJECT WHERE ISDELETED ='0' AND LOCALFULLPATH >= '%q' AND LOCALFULLPATH < '%q';",
                      from.c_str(), to.c_str());
}

bool FSSyncDB::getFSAllChildren(const std::string& localPath, std::vector<boost::shared_ptr<FSSyncRecord>>& records) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        appendObjectRecords(db,
                            sql.Format("select * FROM OBJECT WHERE ISDELETED ='0' AND LOCALFULLPATH = '%q';",
                                       convertToStdPath(localPath).c_str()),
                            records);
        appendObjectRecords(db, descendantsQuery(localPath), records);
        return true;
    });
}

bool FSSyncDB::getFSChildren(const std::string& localPath, std::vector<boost::shared_ptr<FSSyncRecord>>& records) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        appendObjectRecords(db,
                            sql.Format("select * FROM OBJECT WHERE ISDELETED='0' AND LOCALPARENT='%q';",
                                       convertToStdPath(localPath).c_str()),
                            records);
        return true;
    });
}

} // namespace Sync
} // namespace Nuvaro
