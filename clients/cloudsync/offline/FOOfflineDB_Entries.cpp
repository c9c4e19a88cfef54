// FOOfflineDB: entry records (table OBJECT), one row per file or folder that a
// job has transferred.

#include "FOOfflineDB.h"

#include "FOPathHelpers.h"
#include "wxSQLite3Database.h"

#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {

namespace {

const char* const kAddPrefix = "Exception in FOAddRecord ";
const char* const kUpdatePrefix = "Exception in FOUpdateRecord ";
const char* const kDeletePrefix = "Exception in WS::FODeleteRecord ";
const char* const kDeleteChildrenPrefix = "Exception in FODeleteChildren ";

typedef boost::shared_ptr<FOOfflineEntry> EntryPtr;

// The entry of the current row, every column read by name.
EntryPtr readEntryRow(wxSQLite3ResultSet& rows) {
    return EntryPtr(new FOOfflineEntry(rows.GetStdString("FULLPATH"), rows.GetInt("TYPE", 0),
                                       rows.GetStdString("NAME"), rows.GetStdString("PARENT"),
                                       rows.GetInt64("SIZE", 0), rows.GetInt64("MODIFIED", 0),
                                       rows.GetStdString("LOCALLINKPATH"), rows.GetStdString("FILECRC"),
                                       rows.GetStdString("FILEMOD")));
}

// Runs a query on OBJECT and hands each row's entry to `take`.
template <typename Take>
void forEachEntry(wxSQLite3Database& db, const char* query, Take&& take) {
    wxSQLite3ResultSet rows = db.ExecuteQuery(query);
    while (rows.NextRow())
        take(readEntryRow(rows));
    rows.Finalize();
}

// The statement that deletes the rows below a folder F. The PARENT values
// below F are F itself and the texts that begin with P = F + "/", which are
// exactly those from P up to, but not including, F + "0" ("0" is the
// character right after "/"), compared byte by byte as SQLite compares TEXT.
// As a range the test needs no pattern characters: a "%" or "_" in a name
// stands for itself. For F = "/data/a": "/data/a" and "/data/a/b/c" match;
// "/data/ab" ("b" > "0") and "/x/data/a/y" ("x" > "d") do not. For the root
// "/" every absolute PARENT matches.
std::string deleteBelowStatement(const std::string& folderPath) {
    const std::string prefix = FOFolderPrefix(folderPath);
    const std::string withoutSlash = prefix.substr(0, prefix.size() - 1);
    const std::string folder = prefix == "/" ? prefix : withoutSlash;
    const std::string end = withoutSlash + "0";
    wxSQLite3StatementBuffer sql;
    return sql.Format("DELETE FROM OBJECT WHERE PARENT = '%q' OR (PARENT >= '%q' AND PARENT < '%q');",
                      folder.c_str(), prefix.c_str(), end.c_str());
}

} // namespace

bool FOOfflineDB::FOAddRecord(FOOfflineEntry* entry) {
    if (entry == nullptr)
        return refuseNull(kAddPrefix);
    return runLocked(false, kAddPrefix, [entry](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        sql.Format("insert into OBJECT                       (FULLPATH, TYPE, NAME, PARENT, SIZE, MODIFIED, "
                   "LOCALLINKPATH, FILECRC, FILEMOD) values                       ('%q', '%d', '%q', '%q',   "
                   "'%lld', '%lld', '%q', '%q', '%q');",
                   entry->fullPath.c_str(), entry->type, entry->name.c_str(), entry->parent.c_str(),
                   static_cast<long long>(entry->size), static_cast<long long>(entry->modified),
                   entry->localLinkPath.c_str(), entry->fileCrc.c_str(), entry->fileMod.c_str());
        return wroteRows(db.ExecuteUpdate(sql), kAddPrefix, entry->fullPath);
    });
}

bool FOOfflineDB::FOUpdateRecord(FOOfflineEntry* entry) {
    if (entry == nullptr)
        return refuseNull(kUpdatePrefix);
    return runLocked(false, kUpdatePrefix, [entry](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        sql.Format("UPDATE OBJECT                       SET TYPE = '%d', NAME = '%q', PARENT = '%q', SIZE = "
                   "'%lld', MODIFIED = '%lld', LOCALLINKPATH='%q', FILECRC='%q', FILEMOD='%q' WHERE FULLPATH = '%q';",
                   entry->type, entry->name.c_str(), entry->parent.c_str(), static_cast<long long>(entry->size),
                   static_cast<long long>(entry->modified), entry->localLinkPath.c_str(), entry->fileCrc.c_str(),
                   entry->fileMod.c_str(), entry->fullPath.c_str());
        return wroteRows(db.ExecuteUpdate(sql), kUpdatePrefix, entry->fullPath);
    });
}

bool FOOfflineDB::FODeleteRecord(FOOfflineEntry* entry) {
    if (entry == nullptr)
        return refuseNull(kDeletePrefix);
    wxSQLite3StatementBuffer sql;
    return runStatement(
        sql.Format("DELETE FROM OBJECT                             WHERE FULLPATH = '%q';", entry->fullPath.c_str()),
        kDeletePrefix);
}

bool FOOfflineDB::FODeleteChildren(const std::string& folderPath) {
    if (folderPath.empty()) {
        // Below "" would be every absolute path: refuse rather than forget
        // every job's entries.
        Poco::Logger::get("Sync").error(std::string(kDeleteChildrenPrefix) + "refused for an empty folder path");
        return false;
    }
    Poco::Mutex::ScopedLock lock(m_mutex);
    bool deleted = runStatement(deleteBelowStatement(folderPath).c_str(), kDeleteChildrenPrefix);
    vacuumAll();
    return deleted;
}

boost::shared_ptr<FOOfflineEntry> FOOfflineDB::getFORecord(const std::string& fullPath) {
    return runLocked(EntryPtr(), "", [&fullPath](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        EntryPtr found;
        forEachEntry(db, sql.Format("select * FROM OBJECT WHERE FULLPATH='%q';", fullPath.c_str()),
                     [&found](const EntryPtr& entry) {
                         if (!found)
                             found = entry;
                     });
        return found;
    });
}

bool FOOfflineDB::getFOChildren(const std::string& parent, std::vector<boost::shared_ptr<FOOfflineEntry>>& children) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        forEachEntry(db, sql.Format("select * FROM OBJECT WHERE PARENT='%q';", parent.c_str()),
                     [&children](const EntryPtr& entry) { children.push_back(entry); });
        return true;
    });
}

bool FOOfflineDB::getFOCachedFullPathList(std::map<std::string, boost::shared_ptr<FOOfflineEntry>>& byPath,
                                          std::multimap<std::string, std::string>& namesByParent) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        forEachEntry(db, "select * FROM OBJECT;", [&](const EntryPtr& entry) {
            byPath.insert(std::make_pair(entry->fullPath, entry));
            namesByParent.insert(std::make_pair(entry->parent, entry->name));
        });
        return true;
    });
}

bool FOOfflineDB::FOSetConflictCopy(const std::string& fullPath, const std::string& conflictPath) {
    return runLocked(false, "Exception in FOSetConflictCopy ", [&](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        return db.ExecuteUpdate(sql.Format("UPDATE OBJECT SET CONFLICTCOPY = '%q' WHERE FULLPATH = '%q';",
                                           conflictPath.c_str(), fullPath.c_str())) > 0;
    });
}

bool FOOfflineDB::getFOConflictCopies(const std::string& localLinkPath, std::map<std::string, std::string>& copies) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rows = db.ExecuteQuery(
            sql.Format("select FULLPATH, CONFLICTCOPY FROM OBJECT WHERE LOCALLINKPATH='%q' AND CONFLICTCOPY != '';",
                       localLinkPath.c_str()));
        while (rows.NextRow())
            copies[rows.GetStdString("FULLPATH")] = rows.GetStdString("CONFLICTCOPY");
        rows.Finalize();
        return true;
    });
}

} // namespace Sync
} // namespace Nuvaro
