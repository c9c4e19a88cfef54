// FOOfflineDB: the schema of a new file, the upgrade of older files, the
// version row, and a database that is not open.

#include "OfflineDBFixture.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using Nuvaro::Sync::FOOfflineDB;
using Strings = std::vector<std::string>;

namespace {

// The schema of version 4, column by column (OBJECT with the conflict-copy
// column and OFFLINEFOLDERS with the file-system column that this program
// adds where they are missing, without a version step).
const Strings kObjectColumns = {"FULLPATH TEXT",      "TYPE INTEGER", "NAME TEXT",    "PARENT TEXT",
                                "SIZE INTEGER",       "MODIFIED INTEGER", "LOCALLINKPATH TEXT", "FILECRC TEXT",
                                "FILEMOD TEXT",       "CONFLICTCOPY TEXT"};
const Strings kJobColumns = {"LOCALLINKPATH TEXT", "REMOTEPATH TEXT",   "SYNCTYPE INTEGER", "SCHEDULE TEXT",
                             "RECURSE TEXT",       "LASTRUN TEXT",      "REMOTEDELETE TEXT", "SENDEMAIL TEXT",
                             "LOCALDEVICE TEXT"};
const Strings kActivityColumns = {"ITEMID INTEGER", "DATE TEXT",     "LEVEL INTEGER",  "TYPE INTEGER",
                                  "MESSAGE TEXT",   "FULLPATH TEXT", "FRIENDLY TEXT"};
const Strings kVersionColumns = {"VERSIONID INTEGER", "STATUS TEXT", "NOTES TEXT"};

Strings sorted(Strings values) {
    std::sort(values.begin(), values.end());
    return values;
}

class OfflineDBSchema : public OfflineTest::OfflineDBFile {
protected:
    // A file as an older program left it at `version` (1, 2 or 3): OBJECT
    // without FILECRC and FILEMOD, OFFLINEFOLDERS with the columns of that
    // version, one job and one entry; `extra` runs last.
    void makeOlderFile(int version, const std::string& extra = "") {
        std::string jobTable = "CREATE TABLE OFFLINEFOLDERS (LOCALLINKPATH TEXT PRIMARY KEY, REMOTEPATH TEXT, "
                               "SYNCTYPE INTEGER, SCHEDULE TEXT, RECURSE TEXT, LASTRUN TEXT);";
        if (version >= 2)
            jobTable += "ALTER TABLE OFFLINEFOLDERS ADD REMOTEDELETE TEXT;";
        if (version >= 3)
            jobTable += "ALTER TABLE OFFLINEFOLDERS ADD SENDEMAIL TEXT;";
        sql("CREATE TABLE OBJECT (FULLPATH TEXT primary key, TYPE INTEGER, NAME TEXT, PARENT TEXT, SIZE INTEGER, "
            "MODIFIED INTEGER, LOCALLINKPATH TEXT);" +
            jobTable +
            "CREATE TABLE ACTIVITY (ITEMID INTEGER PRIMARY KEY AUTOINCREMENT, DATE TEXT, LEVEL INTEGER, TYPE "
            "INTEGER, MESSAGE TEXT, FULLPATH TEXT, FRIENDLY TEXT);"
            "CREATE TABLE VERSION (VERSIONID INTEGER PRIMARY KEY, STATUS TEXT, NOTES TEXT);"
            "INSERT INTO VERSION VALUES (" +
            std::to_string(version) +
            ", 'OK', '');"
            "INSERT INTO OFFLINEFOLDERS (LOCALLINKPATH, REMOTEPATH, SYNCTYPE, SCHEDULE, RECURSE, LASTRUN) "
            "VALUES ('/home/u/docs', '/acct/docs', 0, '1h', '1', '');"
            "INSERT INTO OBJECT VALUES ('/home/u/docs/a', 1, 'a', '/home/u/docs', 3, 0, '/home/u/docs');" +
            (version >= 2 ? "UPDATE OFFLINEFOLDERS SET REMOTEDELETE = '1';" : "") + extra);
    }
    Strings versionRow() { return rows("select * from VERSION;"); }
    Strings tables() {
        return rows("select name from sqlite_master where type='table' and name != 'sqlite_sequence' order by rowid;");
    }
};

TEST_F(OfflineDBSchema, NewFileGetsTheVersionFourSchema) {
    CloudSyncTest::LogCapture capture({"Sync"});
    FOOfflineDB db;
    ASSERT_TRUE(db.openDB(path(), ""));

    EXPECT_EQ(tables(), (Strings{"OBJECT", "OFFLINEFOLDERS", "ACTIVITY", "VERSION"}));
    EXPECT_EQ(columns("OBJECT"), kObjectColumns);
    EXPECT_EQ(columns("OFFLINEFOLDERS"), kJobColumns);
    EXPECT_EQ(columns("ACTIVITY"), kActivityColumns);
    EXPECT_EQ(columns("VERSION"), kVersionColumns);
    EXPECT_EQ(rows("select name, pk from pragma_table_info('OBJECT') where pk;"), Strings{"FULLPATH|1"});
    EXPECT_EQ(rows("select name, pk from pragma_table_info('OFFLINEFOLDERS') where pk;"), Strings{"LOCALLINKPATH|1"});
    EXPECT_EQ(versionRow(), Strings{"4|OK|Updated"});
    EXPECT_TRUE(capture.contains("FOOfflineDB::DB Version is at 1", "Sync")) << capture.dump();
    db.closeDB();

    // Reopening changes nothing.
    capture.channel().clear();
    FOOfflineDB again;
    ASSERT_TRUE(again.openDB(path(), ""));
    EXPECT_TRUE(capture.contains("FOOfflineDB::DB Version is at 4", "Sync"));
    EXPECT_EQ(columns("OFFLINEFOLDERS"), kJobColumns);
    EXPECT_EQ(versionRow(), Strings{"4|OK|Updated"});
}

// Each older version reaches 4 at the first opening; a column an earlier
// program already added keeps its values, an added one gets the default.
TEST_F(OfflineDBSchema, OlderFilesUpgradeToVersionFour) {
    struct Case {
        int version;
        const char* extra;
        Strings jobs;     // LOCALLINKPATH|REMOTEDELETE|SENDEMAIL
        Strings entries;  // FULLPATH|FILECRC|FILEMOD
    } cases[] = {
        {1, "", {"/home/u/docs|0|0"}, {"/home/u/docs/a||"}},
        {2, "", {"/home/u/docs|1|0"}, {"/home/u/docs/a||"}},
        {3, "UPDATE OFFLINEFOLDERS SET SENDEMAIL = '1';", {"/home/u/docs|1|1"}, {"/home/u/docs/a||"}},
        // Columns of a later version already present.
        {1, "ALTER TABLE OFFLINEFOLDERS ADD SENDEMAIL TEXT; UPDATE OFFLINEFOLDERS SET SENDEMAIL = '1';",
         {"/home/u/docs|0|1"}, {"/home/u/docs/a||"}},
        {2, "ALTER TABLE OBJECT ADD FILECRC TEXT; UPDATE OBJECT SET FILECRC = 'crc1';", {"/home/u/docs|1|0"},
         {"/home/u/docs/a|crc1|"}},
        {3, "ALTER TABLE OBJECT ADD FILEMOD TEXT; UPDATE OBJECT SET FILEMOD = '2020-01-31 08:05:09';",
         {"/home/u/docs|1|<null>"}, {"/home/u/docs/a||2020-01-31 08:05:09"}},
    };
    int file = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.version) + " " + c.extra);
        useFile("offline" + std::to_string(++file) + ".db");
        makeOlderFile(c.version, c.extra);

        CloudSyncTest::LogCapture capture({"Sync"});
        FOOfflineDB db;
        ASSERT_TRUE(db.openDB(path(), ""));
        EXPECT_TRUE(capture.contains("FOOfflineDB::DB Version is at " + std::to_string(c.version), "Sync"));
        EXPECT_EQ(versionRow(), Strings{"4|OK|Updated"});
        // Columns an earlier program added come before those added now.
        EXPECT_EQ(sorted(columns("OBJECT")), sorted(kObjectColumns));
        EXPECT_EQ(sorted(columns("OFFLINEFOLDERS")), sorted(kJobColumns));
        EXPECT_EQ(rows("select LOCALLINKPATH, REMOTEDELETE, SENDEMAIL from OFFLINEFOLDERS;"), c.jobs);
        EXPECT_EQ(rows("select LOCALDEVICE from OFFLINEFOLDERS;"), Strings{""});
        EXPECT_EQ(rows("select FULLPATH, FILECRC, FILEMOD from OBJECT;"), c.entries);
        db.closeDB();
    }
}

// A step whose statements fail changes nothing and records no version: the
// file stays at the version before it, and the next opening tries again.
TEST_F(OfflineDBSchema, FailedUpgradeStepRecordsNoVersion) {
    struct Case {
        int version;
        const char* refusedTable;  // its rows refuse every update
        const char* line;
        const char* versionAfter;
        std::size_t jobColumnsAfter;
        std::size_t objectColumnsAfter;
    } cases[] = {
        {1, "OFFLINEFOLDERS", "OfflineDB Exception updating to version 2...", "1|OK|", 6, 7},
        {3, "OBJECT", "OfflineDB Exception updating to version 4...", "3|OK|", 8, 7},
        // Steps before the failing one are kept.
        {2, "OBJECT", "OfflineDB Exception updating to version 4...", "3|OK|Updated", 8, 7},
    };
    int file = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line + std::string(" from ") + std::to_string(c.version));
        useFile("offline" + std::to_string(++file) + ".db");
        makeOlderFile(c.version, std::string("CREATE TRIGGER refuse BEFORE UPDATE ON ") + c.refusedTable +
                                     " BEGIN SELECT RAISE(ABORT, 'update refused'); END;");

        CloudSyncTest::LogCapture capture({"Sync"});
        FOOfflineDB db;
        EXPECT_FALSE(db.openDB(path(), ""));
        EXPECT_TRUE(capture.contains("update refused", "Sync")) << capture.dump();
        EXPECT_TRUE(capture.contains(c.line, "Sync"));
        EXPECT_EQ(versionRow(), Strings{c.versionAfter});
        EXPECT_EQ(columns("OFFLINEFOLDERS").size(), c.jobColumnsAfter);
        EXPECT_EQ(columns("OBJECT").size(), c.objectColumnsAfter);
        db.closeDB();

        // Once the cause is gone, the next opening completes the upgrade.
        sql("DROP TRIGGER refuse;");
        FOOfflineDB again;
        EXPECT_TRUE(again.openDB(path(), ""));
        EXPECT_EQ(versionRow(), Strings{"4|OK|Updated"});
    }
}

TEST_F(OfflineDBSchema, MissingOrUnknownVersionIsRefusedUnchanged) {
    struct Case {
        const char* versionRows;
        int version;
    } cases[] = {
        {"", -1},
        {"INSERT INTO VERSION VALUES (7, 'OK', 'future');", 7},
    };
    int file = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        useFile("offline" + std::to_string(++file) + ".db");
        makeOlderFile(1, std::string("DELETE FROM VERSION;") + c.versionRows);
        FOOfflineDB db;
        EXPECT_FALSE(db.openDB(path(), ""));
        // The database is closed again: no member reads or writes a schema
        // it does not understand.
        EXPECT_FALSE(db.isOpen());
        std::string status, notes;
        EXPECT_EQ(db.getVersionInfo(status, notes), -1);
        EXPECT_EQ(rows("select VERSIONID from VERSION;"),
                  c.version < 0 ? Strings{} : Strings{std::to_string(c.version)});
        // No upgrade step ran.
        EXPECT_EQ(columns("OFFLINEFOLDERS").size(), 6u);
    }
}

TEST_F(OfflineDBSchema, VersionRowIsReplacedWhole) {
    FOOfflineDB db;
    ASSERT_TRUE(db.openDB(path(), ""));
    ASSERT_TRUE(db.setVersionInfo(5, "it's OK", "100% 'quoted'"));
    std::string status, notes;
    EXPECT_EQ(db.getVersionInfo(status, notes), 5);
    EXPECT_EQ(status, "it's OK");
    EXPECT_EQ(notes, "100% 'quoted'");
    EXPECT_EQ(count("VERSION"), 1);

    // A failed write keeps the old row.
    sql("CREATE TRIGGER refuse BEFORE INSERT ON VERSION BEGIN SELECT RAISE(ABORT, 'insert refused'); END;");
    CloudSyncTest::LogCapture capture({"Sync"});
    EXPECT_FALSE(db.setVersionInfo(6, "OK", ""));
    EXPECT_TRUE(capture.contains("insert refused", "Sync"));
    EXPECT_EQ(db.getVersionInfo(status, notes), 5);
}

// Every member of a database that is not open reports failure and touches
// nothing.
TEST(OfflineDBClosed, EveryMemberReportsFailure) {
    FOOfflineDB db;
    Nuvaro::Sync::FOOfflineJobData job("/r", "/l", 0, true, "1h", "", false, false);
    Nuvaro::Sync::FOOfflineEntry entry("/l/a", 1, "a", "/l", 1, 0, "/l", "", "");
    std::vector<boost::shared_ptr<Nuvaro::Sync::FOOfflineJobData>> jobs;
    std::vector<boost::shared_ptr<Nuvaro::Sync::FOOfflineEntry>> entries;
    std::map<std::string, boost::shared_ptr<Nuvaro::Sync::FOOfflineEntry>> byPath;
    std::multimap<std::string, std::string> names;
    std::vector<boost::shared_ptr<Nuvaro::Sync::FSActivity>> activities;
    auto activity = boost::make_shared<Nuvaro::Sync::FSActivity>(Nuvaro::Sync::FSActivity::LevelNormal,
                                                                   Nuvaro::Sync::FSActivity::TypeError, "m", "/p", "f");
    std::string status, notes;
    int files = 7, folders = 7;
    Poco::Int64 bytes = 7;

    EXPECT_EQ(db.getVersionInfo(status, notes), -1);
    EXPECT_FALSE(db.setVersionInfo(4, "OK", ""));
    EXPECT_FALSE(db.vacuumAll());
    EXPECT_FALSE(db.FOAddJobRecord(&job));
    EXPECT_FALSE(db.FOUpdateJobRecord(&job));
    EXPECT_FALSE(db.FODeleteJobRecord(&job));
    EXPECT_FALSE(db.FODeleteRecordsForJobRecord("/l"));
    EXPECT_FALSE(db.getFOJobRecord("/l"));
    EXPECT_FALSE(db.getAllFOJobRecord(jobs));
    EXPECT_FALSE(db.deleteAllJobRecords());
    EXPECT_FALSE(db.FOAddRecord(&entry));
    EXPECT_FALSE(db.FOUpdateRecord(&entry));
    EXPECT_FALSE(db.FODeleteRecord(&entry));
    EXPECT_FALSE(db.FODeleteChildren("/l"));
    EXPECT_FALSE(db.getFORecord("/l/a"));
    EXPECT_FALSE(db.getFOChildren("/l", entries));
    EXPECT_FALSE(db.getFOCachedFullPathList(byPath, names));
    EXPECT_FALSE(db.getFOJobRecordStats("/l", files, folders, bytes));
    EXPECT_FALSE(db.getAllBackupFOJobRecordStats(files, folders, bytes));
    EXPECT_FALSE(db.getAllOfflineFOJobRecordStats(files, folders, bytes));
    EXPECT_EQ(files + folders + bytes, 0);
    EXPECT_FALSE(db.activityAdd(activity));
    EXPECT_EQ(activity->itemId, 0);
    EXPECT_FALSE(db.activityCollectionGet(activities, "/", -1));
    EXPECT_FALSE(db.activityDeleteAllErrors(Nuvaro::Sync::FSActivity::TypeError));
    EXPECT_FALSE(db.activityDeleteAll());
    EXPECT_FALSE(db.activityDeleteForPaths("/p", Nuvaro::Sync::FSActivity::TypeError));
    EXPECT_FALSE(db.activityDelete(1));
    EXPECT_TRUE(jobs.empty() && entries.empty() && byPath.empty() && names.empty() && activities.empty());
}

} // namespace
