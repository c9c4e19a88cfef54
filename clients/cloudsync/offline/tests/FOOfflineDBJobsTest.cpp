// FOOfflineDB: the job records (OFFLINEFOLDERS) and the statistics.

#include "OfflineDBFixture.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using Nuvaro::Sync::FOOfflineEntry;
using Nuvaro::Sync::FOOfflineJobData;
using Strings = std::vector<std::string>;

namespace {

typedef boost::shared_ptr<FOOfflineJobData> JobPtr;

class OfflineDBJobs : public OfflineTest::OfflineDBTest {
protected:
    static FOOfflineJobData job(const std::string& local, int type = FOOfflineJobData::TYPE_NETWORK_FOLDER,
                                const std::string& schedule = "1h") {
        return FOOfflineJobData("/acct" + local, local, type, true, schedule, "", false, false);
    }
    void addEntry(const std::string& local, const std::string& name, int type, Poco::Int64 size) {
        FOOfflineEntry entry(local + "/" + name, type, name, local, size, 0, local, "", "");
        ASSERT_TRUE(m_db.FOAddRecord(&entry));
    }
    static void expectSameJob(const FOOfflineJobData& a, const FOOfflineJobData& b) {
        EXPECT_EQ(a.remotePath, b.remotePath);
        EXPECT_EQ(a.localLinkPath, b.localLinkPath);
        EXPECT_EQ(a.syncType, b.syncType);
        EXPECT_EQ(a.recurse, b.recurse);
        EXPECT_EQ(a.schedule, b.schedule);
        EXPECT_EQ(a.lastRun, b.lastRun);
        EXPECT_EQ(a.remoteDelete, b.remoteDelete);
        EXPECT_EQ(a.sendEmail, b.sendEmail);
    }
};

TEST_F(OfflineDBJobs, JobsRoundTripExactly) {
    FOOfflineJobData jobs[] = {
        {"/acct/docs", "/home/u/docs", 0, true, "30m", "2020-01-31 08:05:09", true, false},
        {"/acct/it's", "/home/u/O'Brien's 100% _x_", 1, false, "manual", "", false, true},
        {"/acct/'; DROP TABLE OBJECT; --", "/mnt/%q %s %d", 0, false, "realtime", "", true, true},
        {"/acct/Ünïcødé", "/home/u/日本語", 1, true, "12h", "", false, false},
    };
    for (FOOfflineJobData& j : jobs)
        ASSERT_TRUE(m_db.FOAddJobRecord(&j)) << j.localLinkPath;

    for (const FOOfflineJobData& j : jobs) {
        JobPtr stored = m_db.getFOJobRecord(j.localLinkPath);
        ASSERT_TRUE(stored) << j.localLinkPath;
        expectSameJob(*stored, j);
    }
    std::vector<JobPtr> all{JobPtr(new FOOfflineJobData(job("/kept")))};
    ASSERT_TRUE(m_db.getAllFOJobRecord(all));
    ASSERT_EQ(all.size(), 5u);  // appended, not replaced
    EXPECT_EQ(all[0]->localLinkPath, "/kept");
    EXPECT_EQ(count("OBJECT"), 0);
    EXPECT_FALSE(m_db.getFOJobRecord("/home/u"));  // matched exactly

    // Numbers become integers, the flags stay the texts "0" and "1".
    EXPECT_EQ(rows("select typeof(SYNCTYPE), RECURSE, REMOTEDELETE, SENDEMAIL from OFFLINEFOLDERS "
                   "where LOCALLINKPATH = '/home/u/docs';"),
              Strings{"integer|1|1|0"});
}

TEST_F(OfflineDBJobs, UpdateRewritesEveryColumnOfOneJob) {
    FOOfflineJobData first = job("/a"), second = job("/b");
    ASSERT_TRUE(m_db.FOAddJobRecord(&first));
    ASSERT_TRUE(m_db.FOAddJobRecord(&second));

    FOOfflineJobData changed("/acct/new", "/a", 1, false, "24h", "2021-02-03 04:05:06", true, true);
    ASSERT_TRUE(m_db.FOUpdateJobRecord(&changed));
    expectSameJob(*m_db.getFOJobRecord("/a"), changed);
    expectSameJob(*m_db.getFOJobRecord("/b"), second);
}

// The file system of a job's local folder: kept by the job writers, "not
// known" for a job added anew and for the jobs of a file that an older
// program wrote.
TEST_F(OfflineDBJobs, TheFileSystemOfAJobsFolderIsKeptOnItsRow) {
    FOOfflineJobData first = job("/a"), second = job("/b");
    ASSERT_TRUE(m_db.FOAddJobRecord(&first));
    ASSERT_TRUE(m_db.FOAddJobRecord(&second));
    EXPECT_EQ(m_db.getFOJobDevice("/a"), "");
    ASSERT_TRUE(m_db.FOSetJobDevice("/a", "fsid:0000abcd:00001234"));
    EXPECT_FALSE(m_db.FOSetJobDevice("/none", "dev:8:1"));

    first.lastRun = "2021-02-03 04:05:06";
    ASSERT_TRUE(m_db.FOUpdateJobRecord(&first));
    EXPECT_EQ(m_db.getFOJobDevice("/a"), "fsid:0000abcd:00001234");
    EXPECT_EQ(m_db.getFOJobDevice("/b"), "");
    EXPECT_EQ(m_db.getFOJobDevice("/none"), "");

    // A job removed and added again starts unknown.
    ASSERT_TRUE(m_db.FODeleteJobRecord(&first));
    ASSERT_TRUE(m_db.FOAddJobRecord(&first));
    EXPECT_EQ(m_db.getFOJobDevice("/a"), "");

    // A file written before the column existed gets it, its jobs unknown.
    m_db.closeDB();
    sql("ALTER TABLE OFFLINEFOLDERS DROP COLUMN LOCALDEVICE;");
    ASSERT_TRUE(m_db.openDB(path(), ""));
    EXPECT_EQ(m_db.getFOJobDevice("/b"), "");
    expectSameJob(*m_db.getFOJobRecord("/b"), second);
    ASSERT_TRUE(m_db.FOSetJobDevice("/b", "dev:8:2"));
    EXPECT_EQ(m_db.getFOJobDevice("/b"), "dev:8:2");
}

TEST_F(OfflineDBJobs, NullFlagsReadAsFalse) {
    sql("INSERT INTO OFFLINEFOLDERS (LOCALLINKPATH, REMOTEPATH, SYNCTYPE, SCHEDULE) VALUES ('/n', '/acct/n', 1, "
        "'1h');");
    JobPtr stored = m_db.getFOJobRecord("/n");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->syncType, 1);
    EXPECT_FALSE(stored->recurse || stored->remoteDelete || stored->sendEmail);
    EXPECT_EQ(stored->lastRun, "");
}

// A write that stores nothing is a failure with an error line, never an abort.
TEST_F(OfflineDBJobs, WritesThatChangeNoRowFailInsteadOfAborting) {
    FOOfflineJobData stored = job("/a"), missing = job("/gone");
    ASSERT_TRUE(m_db.FOAddJobRecord(&stored));
    FOOfflineJobData duplicate("/acct/other", "/a", 1, false, "manual", "", false, false);

    struct Case {
        const char* what;
        std::function<bool()> write;
        const char* line;
    } cases[] = {
        {"update of a deleted job", [&] { return m_db.FOUpdateJobRecord(&missing); },
         "Exception in FOUpdateJobRecord no row written for /gone"},
        {"second job for one folder", [&] { return m_db.FOAddJobRecord(&duplicate); },
         "Exception in FOAddJobRecord UNIQUE constraint failed"},
        {"null job", [&] { return m_db.FOAddJobRecord(nullptr) || m_db.FOUpdateJobRecord(nullptr) ||
                                  m_db.FODeleteJobRecord(nullptr); },
         "Exception in FOAddJobRecord no record given"},
    };
    for (const Case& c : cases) {
        CloudSyncTest::LogCapture capture({"Sync"});
        EXPECT_FALSE(c.write()) << c.what;
        EXPECT_TRUE(capture.contains(c.line, "Sync")) << c.what << "\n" << capture.dump();
    }
    expectSameJob(*m_db.getFOJobRecord("/a"), stored);
    EXPECT_EQ(count("OFFLINEFOLDERS"), 1);

    // An insert that SQLite silently drops.
    sql("CREATE TRIGGER drop_insert BEFORE INSERT ON OFFLINEFOLDERS BEGIN SELECT RAISE(IGNORE); END;");
    CloudSyncTest::LogCapture capture({"Sync"});
    FOOfflineJobData dropped = job("/dropped");
    EXPECT_FALSE(m_db.FOAddJobRecord(&dropped));
    EXPECT_TRUE(capture.contains("Exception in FOAddJobRecord no row written for /dropped", "Sync"));
}

TEST_F(OfflineDBJobs, DeletingAJobForgetsItsEntriesOnly) {
    FOOfflineJobData a = job("/a"), b = job("/b");
    ASSERT_TRUE(m_db.FOAddJobRecord(&a));
    ASSERT_TRUE(m_db.FOAddJobRecord(&b));
    addEntry("/a", "x", 1, 1);
    addEntry("/a", "y", 0, 0);
    addEntry("/b", "x", 1, 1);

    ASSERT_TRUE(m_db.FODeleteJobRecord(&a));
    EXPECT_EQ(rows("select LOCALLINKPATH from OFFLINEFOLDERS;"), Strings{"/b"});
    EXPECT_EQ(rows("select FULLPATH from OBJECT;"), Strings{"/b/x"});
    // Deleting what is not stored is no error.
    EXPECT_TRUE(m_db.FODeleteJobRecord(&a));
}

TEST_F(OfflineDBJobs, FailedJobDeleteKeepsJobAndEntries) {
    FOOfflineJobData a = job("/a");
    ASSERT_TRUE(m_db.FOAddJobRecord(&a));
    addEntry("/a", "x", 1, 1);
    refuse("DELETE", "OBJECT");

    CloudSyncTest::LogCapture capture({"Sync"});
    EXPECT_FALSE(m_db.FODeleteJobRecord(&a));
    EXPECT_TRUE(capture.contains("Exception in FODeleteJobRecord OBJECT refused", "Sync")) << capture.dump();
    EXPECT_EQ(count("OFFLINEFOLDERS"), 1);
    EXPECT_EQ(count("OBJECT"), 1);
}

TEST_F(OfflineDBJobs, DeletingEntriesOfAJobKeepsTheJob) {
    FOOfflineJobData a = job("/a");
    ASSERT_TRUE(m_db.FOAddJobRecord(&a));
    addEntry("/a", "x", 1, 1);
    addEntry("/ab", "x", 1, 1);

    EXPECT_TRUE(m_db.FODeleteRecordsForJobRecord("/a"));
    EXPECT_EQ(count("OFFLINEFOLDERS"), 1);
    EXPECT_EQ(rows("select FULLPATH from OBJECT;"), Strings{"/ab/x"});
}

TEST_F(OfflineDBJobs, DeleteAllEmptiesEveryTableItCan) {
    FOOfflineJobData a = job("/a");
    ASSERT_TRUE(m_db.FOAddJobRecord(&a));
    addEntry("/a", "x", 1, 1);
    sql("INSERT INTO ACTIVITY (DATE, LEVEL, TYPE, MESSAGE) VALUES ('2020-01-01 00:00:00', 2, 1, 'm');");

    EXPECT_TRUE(m_db.deleteAllJobRecords());
    EXPECT_EQ(count("OFFLINEFOLDERS") + count("OBJECT") + count("ACTIVITY"), 0);
    EXPECT_EQ(count("VERSION"), 1);

    // A table that refuses does not keep the others.
    ASSERT_TRUE(m_db.FOAddJobRecord(&a));
    addEntry("/a", "x", 1, 1);
    refuse("DELETE", "OFFLINEFOLDERS");
    CloudSyncTest::LogCapture capture({"Sync"});
    EXPECT_FALSE(m_db.deleteAllJobRecords());
    EXPECT_TRUE(capture.contains("Exception in deleteAllJobRecords OFFLINEFOLDERS refused", "Sync"));
    EXPECT_EQ(count("OFFLINEFOLDERS"), 1);
    EXPECT_EQ(count("OBJECT"), 0);
}

TEST_F(OfflineDBJobs, StatisticsCountFilesFoldersAndBytes) {
    struct JobCase {
        const char* local;
        int type;
        const char* schedule;
    } jobs[] = {
        {"/net", FOOfflineJobData::TYPE_NETWORK_FOLDER, "1h"},
        {"/live", FOOfflineJobData::TYPE_NETWORK_FOLDER, "realtime"},
        {"/backup1", FOOfflineJobData::TYPE_BACKUP, "24h"},
        {"/backup2", FOOfflineJobData::TYPE_BACKUP, "manual"},
    };
    for (const JobCase& j : jobs) {
        FOOfflineJobData record = job(j.local, j.type, j.schedule);
        ASSERT_TRUE(m_db.FOAddJobRecord(&record));
        addEntry(j.local, "f1", FOOfflineEntry::TYPE_FILE, 5000000000LL);
        addEntry(j.local, "f2", FOOfflineEntry::TYPE_FILE, 7);
        addEntry(j.local, "dir", FOOfflineEntry::TYPE_FOLDER, 0);
    }
    // An entry of type -1 counts as a folder.
    addEntry("/backup2", "unset", FOOfflineEntry::TYPE_UNSET, 99);
    // Entries of a folder that is no job are not counted anywhere.
    addEntry("/orphan", "f", FOOfflineEntry::TYPE_FILE, 1);

    struct Case {
        const char* what;
        std::function<bool(int&, int&, Poco::Int64&)> stats;
        int files, folders;
        Poco::Int64 bytes;
    } cases[] = {
        {"one job", [&](int& f, int& d, Poco::Int64& b) { return m_db.getFOJobRecordStats("/backup2", f, d, b); },
         2, 2, 5000000007LL},
        {"no such job", [&](int& f, int& d, Poco::Int64& b) { return m_db.getFOJobRecordStats("/none", f, d, b); },
         0, 0, 0},
        {"backups", [&](int& f, int& d, Poco::Int64& b) { return m_db.getAllBackupFOJobRecordStats(f, d, b); }, 4, 3,
         10000000014LL},
        {"network folders but realtime",
         [&](int& f, int& d, Poco::Int64& b) { return m_db.getAllOfflineFOJobRecordStats(f, d, b); }, 2, 1,
         5000000007LL},
    };
    for (const Case& c : cases) {
        int files = -5, folders = -5;
        Poco::Int64 bytes = -5;  // zeroed first
        EXPECT_TRUE(c.stats(files, folders, bytes)) << c.what;
        EXPECT_EQ(files, c.files) << c.what;
        EXPECT_EQ(folders, c.folders) << c.what;
        EXPECT_EQ(bytes, c.bytes) << c.what;
    }
}

} // namespace
