// FOOfflineDB: job records (table OFFLINEFOLDERS) and the entry statistics of
// jobs.

#include "FOOfflineDB.h"

#include "SqlTransaction.h"
#include "wxSQLite3Database.h"

#include <Poco/Logger.h>

namespace Nuvaro {
namespace Sync {

namespace {

const char* const kAddPrefix = "Exception in FOAddJobRecord ";
const char* const kUpdatePrefix = "Exception in FOUpdateJobRecord ";
const char* const kDeletePrefix = "Exception in FODeleteJobRecord ";
const char* const kDeleteEntriesPrefix = "Exception in FODeleteRecordsForJobRecord ";
const char* const kDeleteAllPrefix = "Exception in deleteAllJobRecords ";

// The job of the current row; every column is read before the record is
// built, so a row that cannot be read (a column missing) throws and yields no
// record at all.
boost::shared_ptr<FOOfflineJobData> readJobRow(wxSQLite3ResultSet& rows) {
    return boost::shared_ptr<FOOfflineJobData>(new FOOfflineJobData(
        rows.GetStdString("REMOTEPATH"), rows.GetStdString("LOCALLINKPATH"), rows.GetInt("SYNCTYPE", 0),
        rows.GetInt("RECURSE", 0) != 0, rows.GetStdString("SCHEDULE"), rows.GetStdString("LASTRUN"),
        rows.GetInt("REMOTEDELETE", 0) != 0, rows.GetInt("SENDEMAIL", 0) != 0));
}

// Adds the counts of one job's entries to the three totals.
void countJobEntries(wxSQLite3Database& db, const std::string& localLinkPath, int& files, int& folders,
                     Poco::Int64& bytes) {
    wxSQLite3StatementBuffer sql;
    wxSQLite3ResultSet rows =
        db.ExecuteQuery(sql.Format("select TYPE, SIZE FROM OBJECT WHERE LOCALLINKPATH='%q';", localLinkPath.c_str()));
    while (rows.NextRow()) {
        if (rows.GetInt("TYPE", 0) == FOOfflineEntry::TYPE_FILE) {
            ++files;
            bytes += rows.GetInt64("SIZE", 0);
        } else {
            ++folders;
        }
    }
    rows.Finalize();
}

} // namespace

bool FOOfflineDB::FOAddJobRecord(FOOfflineJobData* job) {
    if (job == nullptr)
        return refuseNull(kAddPrefix);
    return runLocked(false, kAddPrefix, [job](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        sql.Format("insert into OFFLINEFOLDERS                       (LOCALLINKPATH, REMOTEPATH, SYNCTYPE, "
                   "SCHEDULE, RECURSE, LASTRUN, REMOTEDELETE, SENDEMAIL) values                       ('%q', '%q', "
                   "'%d', '%q', '%d', '%q', '%d', '%d');",
                   job->localLinkPath.c_str(), job->remotePath.c_str(), job->syncType, job->schedule.c_str(),
                   job->recurse ? 1 : 0, job->lastRun.c_str(), job->remoteDelete ? 1 : 0, job->sendEmail ? 1 : 0);
        return wroteRows(db.ExecuteUpdate(sql), kAddPrefix, job->localLinkPath);
    });
}

bool FOOfflineDB::FOUpdateJobRecord(FOOfflineJobData* job) {
    if (job == nullptr)
        return refuseNull(kUpdatePrefix);
    return runLocked(false, kUpdatePrefix, [job](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        sql.Format("UPDATE OFFLINEFOLDERS                       SET REMOTEPATH = '%q', SYNCTYPE = '%d', SCHEDULE = "
                   "'%q', RECURSE = '%d', LASTRUN = '%q', REMOTEDELETE = '%d', SENDEMAIL='%d' WHERE LOCALLINKPATH = "
                   "'%q';",
                   job->remotePath.c_str(), job->syncType, job->schedule.c_str(), job->recurse ? 1 : 0,
                   job->lastRun.c_str(), job->remoteDelete ? 1 : 0, job->sendEmail ? 1 : 0,
                   job->localLinkPath.c_str());
        return wroteRows(db.ExecuteUpdate(sql), kUpdatePrefix, job->localLinkPath);
    });
}

bool FOOfflineDB::FODeleteJobRecord(FOOfflineJobData* job) {
    if (job == nullptr)
        return refuseNull(kDeletePrefix);
    bool deleted = runLocked(false, kDeletePrefix, [job](wxSQLite3Database& db) {
        SqlTransaction group(db);
        wxSQLite3StatementBuffer sql;
        db.ExecuteUpdate(sql.Format("DELETE FROM OFFLINEFOLDERS                             WHERE LOCALLINKPATH = '%q';",
                                    job->localLinkPath.c_str()));
        db.ExecuteUpdate(sql.Format("DELETE FROM OBJECT                             WHERE LOCALLINKPATH = '%q';",
                                    job->localLinkPath.c_str()));
        group.commit();
        return true;
    });
    if (deleted)
        vacuumAll();
    return deleted;
}

bool FOOfflineDB::FODeleteRecordsForJobRecord(const std::string& localLinkPath) {
    wxSQLite3StatementBuffer sql;
    return runStatement(sql.Format("DELETE FROM OBJECT                             WHERE LOCALLINKPATH = '%q';",
                                   localLinkPath.c_str()),
                        kDeleteEntriesPrefix);
}

boost::shared_ptr<FOOfflineJobData> FOOfflineDB::getFOJobRecord(const std::string& localLinkPath) {
    typedef boost::shared_ptr<FOOfflineJobData> JobPtr;
    return runLocked(JobPtr(), "", [&localLinkPath](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rows = db.ExecuteQuery(
            sql.Format("select * FROM OFFLINEFOLDERS WHERE LOCALLINKPATH='%q';", localLinkPath.c_str()));
        JobPtr job;
        if (rows.NextRow())
            job = readJobRow(rows);
        rows.Finalize();
        return job;
    });
}

bool FOOfflineDB::getAllFOJobRecord(std::vector<boost::shared_ptr<FOOfflineJobData>>& jobs) {
    return runLocked(false, "", [&jobs](wxSQLite3Database& db) {
        wxSQLite3ResultSet rows = db.ExecuteQuery("select * FROM OFFLINEFOLDERS;");
        while (rows.NextRow())
            jobs.push_back(readJobRow(rows));
        rows.Finalize();
        return true;
    });
}

bool FOOfflineDB::FOSetJobDevice(const std::string& localLinkPath, const std::string& device) {
    return runLocked(false, "Exception in FOSetJobDevice ", [&](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        return db.ExecuteUpdate(sql.Format("UPDATE OFFLINEFOLDERS SET LOCALDEVICE = '%q' WHERE LOCALLINKPATH = '%q';",
                                           device.c_str(), localLinkPath.c_str())) > 0;
    });
}

std::string FOOfflineDB::getFOJobDevice(const std::string& localLinkPath) {
    return runLocked(std::string(), "", [&](wxSQLite3Database& db) {
        wxSQLite3StatementBuffer sql;
        wxSQLite3ResultSet rows = db.ExecuteQuery(
            sql.Format("select LOCALDEVICE FROM OFFLINEFOLDERS WHERE LOCALLINKPATH='%q';", localLinkPath.c_str()));
        std::string device;
        if (rows.NextRow())
            device = rows.GetStdString("LOCALDEVICE");
        rows.Finalize();
        return device;
    });
}

bool FOOfflineDB::deleteAllJobRecords() {
    Poco::Mutex::ScopedLock lock(m_mutex);
    bool allDeleted = true;
    for (const char* statement : {"DELETE FROM OBJECT;", "DELETE FROM OFFLINEFOLDERS;", "DELETE FROM ACTIVITY;"})
        allDeleted = runStatement(statement, kDeleteAllPrefix) && allDeleted;
    vacuumAll();
    return allDeleted;
}

// ---- Statistics ----

bool FOOfflineDB::getFOJobRecordStats(const std::string& localLinkPath, int& files, int& folders,
                                      Poco::Int64& bytes) {
    files = 0;
    folders = 0;
    bytes = 0;
    return runLocked(false, "", [&](wxSQLite3Database& db) {
        countJobEntries(db, localLinkPath, files, folders, bytes);
        return true;
    });
}

bool FOOfflineDB::getAllBackupFOJobRecordStats(int& files, int& folders, Poco::Int64& bytes) {
    return sumJobStats([](const FOOfflineJobData& job) { return job.syncType == FOOfflineJobData::TYPE_BACKUP; },
                       files, folders, bytes);
}

bool FOOfflineDB::getAllOfflineFOJobRecordStats(int& files, int& folders, Poco::Int64& bytes) {
    return sumJobStats(
        [](const FOOfflineJobData& job) {
            return job.syncType == FOOfflineJobData::TYPE_NETWORK_FOLDER && job.schedule != "realtime";
        },
        files, folders, bytes);
}

bool FOOfflineDB::sumJobStats(const std::function<bool(const FOOfflineJobData&)>& selected, int& files,
                              int& folders, Poco::Int64& bytes) {
    Poco::Mutex::ScopedLock lock(m_mutex);
    std::vector<boost::shared_ptr<FOOfflineJobData>> jobs;
    bool complete = getAllFOJobRecord(jobs);
    files = 0;
    folders = 0;
    bytes = 0;
    for (const auto& job : jobs) {
        if (!selected(*job))
            continue;
        // A job whose entries cannot be read is left out; the others count.
        complete = runLocked(false, "", [&](wxSQLite3Database& db) {
                       countJobEntries(db, job->localLinkPath, files, folders, bytes);
                       return true;
                   }) &&
                   complete;
    }
    return complete;
}

} // namespace Sync
} // namespace Nuvaro
