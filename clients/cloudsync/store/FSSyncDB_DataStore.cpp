// FSSyncDB: the status sets of table SYNCFOLDERS and the data store of a sync
// folder (load, save in one transaction, forget).

#include "FSSyncDB.h"

#include "NuvaroException.h"
#include "ObjectRow.h"
#include "SqlTransaction.h"
#include "wxSQLite3Database.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/NumberFormatter.h>

#include <set>
#include <utility>

namespace Nuvaro {
namespace Sync {

using Nuvaro::DataSync::DataSyncStatusSet;
using Nuvaro::DataSync::DataSyncStore;

namespace {

Poco::Logger& syncLog() { return Poco::Logger::get("Sync"); }

// Stores the folder's status-set text, adding its row when missing.
void storeStatusSet(wxSQLite3Database& db, const std::string& folder, const std::string& text) {
    wxSQLite3StatementBuffer sql;
    wxSQLite3ResultSet rows = db.ExecuteQuery(sql.Format("select * FROM SYNCFOLDERS WHERE NAME='%q'", folder.c_str()));
    bool exists = rows.NextRow();
    rows.Finalize();
    if (exists)
        sql.Format("update SYNCFOLDERS set STATUSSET='%q' WHERE NAME='%q';", text.c_str(), folder.c_str());
    else
        sql.Format("insert into SYNCFOLDERS (NAME, STATUSSET) values ('%q', '%q');", folder.c_str(), text.c_str());
    db.ExecuteUpdate(sql);
}

// Writes the dirty records of a store: a new row for each identity not stored
// yet, else a rewrite of its row, which carries a deletion as ISDELETED 1.
// Logs each record at trace level and the progress every 1000 records.
// Returns the number written, or -1 (logged) when a record is not a sync
// record or a write stored nothing.
int writeDirtyRecords(wxSQLite3Database& db, const DataSyncStore& store) {
    Poco::Logger& log = syncLog();
    ObjectRowWriter rows(db);
    int written = 0;
    for (const auto& entry : store.getDirtyRecords()) {
        auto record = boost::dynamic_pointer_cast<FSSyncRecord>(entry.second);
        if (!record) {
            log.error("Exception in DataStoreSave not a sync record: " + entry.first.toString());
            return -1;
        }
        const bool isNew = !rows.exists(record->getId());
        if (log.trace())
            log.trace((isNew ? "FSSyncDB Add: " : record->getIsDeleted() == 1 ? "FSSyncDB Delete: " : "FSSyncDB Update: ") +
                      record->getFullPath());
        int changed = isNew ? rows.insert(*record) : rows.rewrite(*record);
        if (changed != 1) {  // a trigger or a vanished row can make a write store nothing
            log.error("Exception in DataStoreSave no row written for " + record->getId().toString() + " " +
                      record->getFullPath());
            return -1;
        }
        if (written % 1000 == 0)
            log.trace("FSSyncDB Completed Processing: " + Poco::NumberFormatter::format(written));
        ++written;
    }
    return written;
}

// The paths by which a deleted row can shadow a live record: its local path
// and its server path, told apart by a prefix. Records flagged "SKIP" share
// the path text "SKIP" without naming the same item, so they have none.
std::vector<std::string> pathKeys(const FSSyncRecord& record) {
    std::vector<std::string> keys;
    if (record.getFlags() == "SKIP")
        return keys;
    if (!record.getLocalFullPath().empty())
        keys.push_back("L" + record.getLocalFullPath());
    if (!record.getFullPath().empty())
        keys.push_back("S" + record.getFullPath());
    return keys;
}

// Adds the deleted rows of a load to the store, leaving out each one whose
// identity, local path or server path a live record of the store holds: a
// lookup by path (the folder scan's path index) must find the item that
// exists, not its deleted predecessor.
//
// Example: "My Files/a.txt" was deleted (row R1, ISDELETED 1) and a new file
// of the same name was created (row R2, live). The store gets R2 only.
void insertUnshadowed(DataSyncStore& store, const std::vector<boost::shared_ptr<FSSyncRecord>>& deleted) {
    if (deleted.empty())
        return;
    std::set<std::string> deletedKeys;
    for (const auto& record : deleted)
        for (auto& key : pathKeys(*record))
            deletedKeys.insert(std::move(key));
    std::set<std::string> liveKeys;
    for (const auto& entry : store.getRecords()) {
        auto live = boost::dynamic_pointer_cast<FSSyncRecord>(entry.second);
        if (!live || live->getIsDeleted() == 1)
            continue;
        for (auto& key : pathKeys(*live))
            if (deletedKeys.count(key) != 0)
                liveKeys.insert(std::move(key));
    }
    Poco::Logger& log = syncLog();
    for (const auto& record : deleted) {
        auto held = store.getRecord(record->getId());
        bool shadowed = held && held->getIsDeleted() != 1;
        for (const auto& key : pathKeys(*record))
            shadowed = shadowed || liveKeys.count(key) != 0;
        if (!shadowed)
            store.insert(record);
        else if (log.trace())
            log.trace("FSSyncDB Load: keeping the live record of " + record->getLocalFullPath() + ", leaving out " +
                      record->getId().toString());
    }
}

// Loads the rows of one folder (every row when folder is empty) into the
// store; false when abort was set while the rows were read.
bool loadRecords(wxSQLite3Database& db, const std::string& folder, DataSyncStore& store, const std::atomic<bool>& abort) {
    wxSQLite3ResultSet rows = db.ExecuteQuery(FSSyncDB::folderRecordsQuery(folder));
    ObjectRowReader reader(rows);
    std::vector<boost::shared_ptr<FSSyncRecord>> deleted;
    while (rows.NextRow()) {
        if (abort) {
            rows.Finalize();
            return false;
        }
        boost::shared_ptr<FSSyncRecord> record = reader.read(rows);
        if (record->getIsDeleted() == 1)
            deleted.push_back(record);
        else
            store.insert(record);
    }
    rows.Finalize();
    insertUnshadowed(store, deleted);
    return true;
}

} // namespace

// Runs on SYNCFOLDER_INDEX for one folder.
std::string FSSyncDB::folderRecordsQuery(const std::string& folder) {
    if (folder.empty())
        return "select * FROM OBJECT;";
    wxSQLite3StatementBuffer sql;
    return sql.Format("select * FROM OBJECT where SYNCFOLDER='%q';", folder.c_str());
}

// ---- Status sets ----

bool FSSyncDB::setStatusSet(const std::string& folder, const std::string& statusSetText) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        storeStatusSet(db, folder, statusSetText);
        return true;
    });
}

bool FSSyncDB::getStatusSet(const std::string& folder, std::string& statusSetText) {
    statusSetText.clear();
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rows =
            db.ExecuteQuery(sql.Format("select * FROM SYNCFOLDERS WHERE NAME='%q'", folder.c_str()));
        if (rows.NextRow())
            statusSetText = rows.GetStdString("STATUSSET");
        rows.Finalize();
        return true;
    });
}

bool FSSyncDB::dropStatusSet(const std::string& folder) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        db.ExecuteUpdate(sql.Format("DELETE FROM SYNCFOLDERS WHERE NAME='%q';", folder.c_str()));
        return true;
    });
}

// ---- The data store ----

bool FSSyncDB::getDataStore(const std::string& folder, const std::string& hostName, DataSyncStore& store,
                            const std::atomic<bool>& abort) {
    Poco::Mutex::ScopedLock lock(m_mutex);
    bool loaded = false;
    std::string statusText;
    if (m_db && m_db->IsOpen() && (folder.empty() || getStatusSet(folder, statusText))) {
        store.setName("FSDATASTORE");
        store.setSyncStatusSet(DataSyncStatusSet(statusText));
        store.setPeer(hostName);
        try {
            loaded = runLocked(false, "", [&](wxSQLite3Database& db) { return loadRecords(db, folder, store, abort); });
        } catch (const Nuvaro::Exception& e) {
            syncLog().error("getDataStore Exception caught : " + e.message());
        } catch (const Poco::Exception& e) {
            syncLog().error("getDataStore Poco Exception caught : " + e.displayText());
        } catch (const std::exception& e) {
            syncLog().error(std::string("getDataStore Exception caught : ") + e.what());
        }
    }
    // No caller may work from half a folder: a load that failed part-way
    // (a locked database, a damaged row, an abort) leaves no record behind.
    if (!loaded)
        store.clear();
    return loaded;
}

bool FSSyncDB::getFolderRecords(const std::string& folder, std::vector<boost::shared_ptr<FSSyncRecord>>& records) {
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        appendObjectRecords(db, folderRecordsQuery(folder), records);
        return true;
    });
}

bool FSSyncDB::saveDataStore(const std::string& folder, DataSyncStore& store, int& count) {
    Poco::Mutex::ScopedLock lock(m_mutex);
    Poco::Logger& log = syncLog();
    log.trace("SyncServerDB saveDataStore start");
    if (!m_db || !m_db->IsOpen())
        return false;
    try {
        // Everything below is one transaction: it is rolled back by the
        // group's destructor when anything fails or throws, and the store
        // stays dirty, so "false" always means that nothing was saved.
        SqlTransaction group(*m_db);
        int written = writeDirtyRecords(*m_db, store);
        if (written < 0)
            return false;
        storeStatusSet(*m_db, folder, store.getSyncStatusSet().toString());
        log.trace("FSSyncDB Begin DB Commit ");
        group.commit();
        store.clearDirtyRecords();
        count = written;
        updateStats();
        log.trace("FSSyncDB saveDataStore DONE OK with " + Poco::NumberFormatter::format(written));
        return true;
    } catch (const wxSQLite3Exception& e) {
        log.error("Exception in DataStoreSave " + e.GetMessage());
    } catch (const Poco::Exception& e) {
        log.error("saveDataStore Poco Exception caught : " + e.displayText());
    } catch (const std::exception& e) {
        log.error(std::string("saveDataStore Exception caught : ") + e.what());
    } catch (...) {
        log.error("saveDataStore Unknown Exception caught : ");
    }
    return false;
}

bool FSSyncDB::deleteDataStore(const std::string& folder, DataSyncStore& /*store*/) {
    bool deleted = runLocked(false, "", [&](wxSQLite3Database& db) {
        SqlTransaction group(db);
        deleteSyncFolderRows(db, folder);
        group.commit();
        updateStats();
        return true;
    });
    return deleted;
}

} // namespace Sync
} // namespace Nuvaro
