#include "FSSyncDB.h"

#include "SyncDBFile.h"
#include "wxSQLite3Database.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <Poco/File.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

using Nuvaro::Sync::FSSyncDB;

namespace {

const char* const kVersion1Object =
    "CREATE TABLE OBJECT (OBJID TEXT PRIMARY KEY, TYPE INTEGER, NAME TEXT, PARENT TEXT, FULLPATH TEXT, "
    "SIZE INTEGER, MODIFIED INTEGER, ATTRIBS TEXT, FLAGS TEXT, FRIENDLY TEXT, UPDATEDVERSION integer, "
    "UPDATEDPEER TEXT, CREATEDVERSION integer, CREATEDPEER TEXT, ISDELETED integer, SYNCFOLDER TEXT, "
    "LOCALPARENT TEXT, LOCALFULLPATH TEXT);";

// A database file in a fresh folder, inspected and prepared with plain SQL
// on a second connection.
class SyncDBFile : public StoreTest::SyncDBFileTest {
protected:
    std::vector<std::string> versionRow() {
        wxSQLite3Database db;
        db.Open(path());
        wxSQLite3ResultSet rows = db.ExecuteQuery("select VERSIONID, STATUS, NOTES from VERSION;");
        std::vector<std::string> row;
        if (rows.NextRow())
            row = {rows.GetStdString(0), rows.GetStdString(1), rows.GetStdString(2)};
        rows.Finalize();
        db.Close();
        return row;
    }
    std::vector<std::string> objectColumns() { return column("select name from pragma_table_info('OBJECT');"); }

    // A version-1 file: every table but OBJECT in today's form, OBJECT
    // without FILECRC and FILEMOD, `extra` run last.
    void makeVersion1(const std::string& extra = "") {
        sql(std::string(kVersion1Object) +
            "CREATE TABLE ACTIVITY (ITEMID INTEGER PRIMARY KEY AUTOINCREMENT, DATE TEXT, LEVEL INTEGER, TYPE "
            "INTEGER, MESSAGE TEXT, FULLPATH TEXT, FRIENDLY TEXT);"
            "CREATE TABLE SYNCFOLDERS (NAME TEXT PRIMARY KEY, STATUSSET TEXT);"
            "CREATE TABLE CONFIG (KEY TEXT, NAME TEXT, VALUE TEXT, PRIMARY KEY(KEY, NAME));"
            "CREATE TABLE VERSION (VERSIONID INTEGER PRIMARY KEY, STATUS TEXT, NOTES TEXT);"
            "CREATE TABLE LIMITPATHS (PATH TEXT PRIMARY KEY);"
            "CREATE TABLE EXTERNALPATHS (PATH TEXT PRIMARY KEY);"
            "INSERT INTO VERSION VALUES (1, 'OK', '');"
            "INSERT INTO OBJECT (OBJID, TYPE, NAME, SIZE, FLAGS, ISDELETED) VALUES ('id-1', 1, 'a', 10, '', 0);"
            "INSERT INTO OBJECT (OBJID, TYPE, NAME, SIZE, FLAGS, ISDELETED) VALUES ('id-2', 1, 'b', 20, '', 0);" +
            extra);
    }

    // Rows of every kind of data, for the reset tests.
    void fill(FSSyncDB& db) {
        sql("INSERT OR REPLACE INTO OBJECT (OBJID, TYPE, NAME, SIZE, FLAGS, ISDELETED) VALUES ('o1', 1, 'a', 5, '', 0);"
            "INSERT INTO ACTIVITY (DATE, LEVEL, TYPE, MESSAGE) VALUES ('2020-01-01 00:00:00', 2, 1, 'm');"
            "INSERT OR REPLACE INTO SYNCFOLDERS VALUES ('MyFolder', '1:2');"
            "INSERT OR REPLACE INTO LIMITPATHS VALUES ('My Files/docs');"
            "INSERT OR REPLACE INTO EXTERNALPATHS VALUES ('/mnt/share');");
        ASSERT_TRUE(db.setConfigValue("config", "url", "https://files.example.com"));
        db.updateStats();
        ASSERT_EQ(db.getTotalFSFiles(), 1);
    }
};

TEST_F(SyncDBFile, NewFileGetsTheSevenTablesAndVersionTwo) {
    FSSyncDB db;
    CloudSyncTest::LogCapture capture({"Sync"});
    ASSERT_TRUE(db.openDB(path(), ""));

    EXPECT_EQ(column("select name from sqlite_master where type='table' and name != 'sqlite_sequence' "
                     "order by rowid;"),
              (std::vector<std::string>{"OBJECT", "ACTIVITY", "SYNCFOLDERS", "CONFIG", "VERSION", "LIMITPATHS",
                                        "EXTERNALPATHS"}));
    EXPECT_EQ(versionRow(), (std::vector<std::string>{"2", "OK", ""}));
    EXPECT_EQ(objectColumns().size(), 20u);
    EXPECT_EQ(objectColumns().back(), "FILEMOD");
    // The only indexes besides the keys' own serve the lookups by path and
    // by sync folder.
    EXPECT_EQ(column("select name from sqlite_master where type='index' and name not like 'sqlite_autoindex%' "
                     "order by name;"),
              (std::vector<std::string>{"OBJECT_FULLPATH_IDX", "OBJECT_LOCALFULLPATH_IDX", "OBJECT_LOCALPARENT_IDX",
                                        "OBJECT_SYNCFOLDER_IDX"}));
    EXPECT_EQ(db.getTotalFSFiles(), 0);
    EXPECT_EQ(db.getTotalFSSize(), 0);
    EXPECT_TRUE(capture.contains("FSSyncDB::DB Version is at 2", "Sync"));
    db.closeDB();

    // Reopening changes nothing.
    FSSyncDB again;
    ASSERT_TRUE(again.openDB(path(), ""));
    EXPECT_EQ(versionRow(), (std::vector<std::string>{"2", "OK", ""}));
    EXPECT_EQ(objectColumns().size(), 20u);
}

TEST_F(SyncDBFile, VersionOneUpgrades) {
    makeVersion1();
    FSSyncDB db;
    CloudSyncTest::LogCapture capture({"Sync"});
    ASSERT_TRUE(db.openDB(path(), ""));

    EXPECT_TRUE(capture.contains("FSSyncDB::DB Version is at 1", "Sync"));
    EXPECT_EQ(versionRow(), (std::vector<std::string>{"2", "OK", "Updated"}));
    EXPECT_EQ(column("select FILECRC || '|' || FILEMOD from OBJECT order by OBJID;"),
              (std::vector<std::string>{"|", "|"}));
    EXPECT_EQ(db.getTotalFSFiles(), 2);
    EXPECT_EQ(db.getTotalFSSize(), 30);
}

TEST_F(SyncDBFile, VersionOneWithOneColumnAlreadyPresentUpgradesSoundly) {
    makeVersion1("ALTER TABLE OBJECT ADD FILECRC TEXT; UPDATE OBJECT SET FILECRC = 'crc-' || NAME;");
    FSSyncDB db;
    ASSERT_TRUE(db.openDB(path(), ""));

    EXPECT_EQ(versionRow(), (std::vector<std::string>{"2", "OK", "Updated"}));
    std::vector<std::string> columns = objectColumns();
    EXPECT_EQ(std::count(columns.begin(), columns.end(), "FILECRC"), 1);
    EXPECT_EQ(std::count(columns.begin(), columns.end(), "FILEMOD"), 1);
    // Existing checksums are kept, the new column is filled.
    EXPECT_EQ(column("select FILECRC || '|' || FILEMOD from OBJECT order by OBJID;"),
              (std::vector<std::string>{"crc-a|", "crc-b|"}));
}

TEST_F(SyncDBFile, FailedUpgradeChangesNothingAndKeepsVersionOne) {
    // A statement of the upgrade fails half-way (after the first ALTER).
    makeVersion1("CREATE TRIGGER refuse BEFORE UPDATE ON OBJECT BEGIN SELECT RAISE(ABORT, 'update refused'); END;");
    FSSyncDB db;
    CloudSyncTest::LogCapture capture({"Sync"});
    EXPECT_FALSE(db.openDB(path(), ""));

    EXPECT_TRUE(capture.contains("update refused", "Sync")) << capture.dump();
    EXPECT_TRUE(capture.contains("Config DB Exception updating to version 2...", "Sync"));
    EXPECT_EQ(versionRow(), (std::vector<std::string>{"1", "OK", ""}));
    EXPECT_EQ(objectColumns().size(), 18u);
    EXPECT_EQ(db.getTotalFSFiles(), 0);  // not computed
}

// A file this program does not understand used to stay open after initDB
// failed, for every member to read and write a schema it does not know.
TEST_F(SyncDBFile, FileItCannotUseIsClosedAndLeftAsItIs) {
    const std::string allTables = "CREATE TABLE OBJECT (OBJID TEXT PRIMARY KEY, TYPE INTEGER, NAME TEXT, PARENT "
                                  "TEXT, FULLPATH TEXT, SIZE INTEGER, MODIFIED INTEGER, ATTRIBS TEXT, FLAGS TEXT, "
                                  "FRIENDLY TEXT, UPDATEDVERSION integer, UPDATEDPEER TEXT, CREATEDVERSION integer, "
                                  "CREATEDPEER TEXT, ISDELETED integer, SYNCFOLDER TEXT, LOCALPARENT TEXT, "
                                  "LOCALFULLPATH TEXT, FILECRC TEXT, FILEMOD TEXT);"
                                  "CREATE TABLE CONFIG (KEY TEXT, NAME TEXT, VALUE TEXT, PRIMARY KEY(KEY, NAME));"
                                  "CREATE TABLE VERSION (VERSIONID INTEGER PRIMARY KEY, STATUS TEXT, NOTES TEXT);";
    struct Case {
        std::string what;
        std::string statements;  // the file as another program left it
        std::string logText;
    } cases[] = {
        {"written by a newer version", allTables + "INSERT INTO VERSION VALUES (7, 'OK', 'future');",
         "FSSyncDB: the database is at version 7, which this program does not understand"},
        {"an empty VERSION table", allTables, "FSSyncDB: the database is at version -1"},
        {"a table without columns this program reads",
         "CREATE TABLE OBJECT (OBJID TEXT PRIMARY KEY, TYPE INTEGER, NAME TEXT, SIZE INTEGER, FLAGS TEXT, "
         "ISDELETED integer);"
         "CREATE TABLE VERSION (VERSIONID INTEGER PRIMARY KEY, STATUS TEXT, NOTES TEXT);"
         "INSERT INTO VERSION VALUES (2, 'OK', '');",
         "FSSyncDB: table OBJECT lacks the columns "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (Poco::File(path()).exists())
            Poco::File(path()).remove();
        sql(c.statements + "INSERT INTO OBJECT (OBJID, TYPE, NAME, SIZE, FLAGS, ISDELETED) VALUES ('x', 1, 'x', 5, '', 0);");
        const std::vector<std::string> before = column("select sql from sqlite_master order by name;");

        FSSyncDB db;
        CloudSyncTest::LogCapture capture({"Sync"});
        EXPECT_FALSE(db.openDB(path(), ""));
        EXPECT_TRUE(capture.contains(c.logText, "Sync")) << capture.dump();
        EXPECT_NE(db.getOpenError(), "");
        EXPECT_FALSE(db.isOpen());

        // Every member gives its failure value and writes nothing.
        std::string status = "unset", notes = "unset";
        EXPECT_EQ(db.getVersionInfo(status, notes), -1);
        EXPECT_FALSE(db.setConfigValue("config", "url", "x"));
        EXPECT_EQ(db.getConfigValue("config", "url", "dflt"), "dflt");
        EXPECT_FALSE(db.getFSSyncRecord("/x"));
        EXPECT_FALSE(db.resetSyncData(false));
        EXPECT_EQ(db.getTotalFSFiles(), 0);
        EXPECT_EQ(column("select sql from sqlite_master order by name;"), before);
        EXPECT_EQ(count("OBJECT"), 1);
    }
}

// Neither a file that is not a database nor a damaged one throws out of
// openDB; both leave it closed with the reason.
TEST_F(SyncDBFile, NonDatabaseOrDamagedFileFailsToOpenWithAClearError) {
    {
        FSSyncDB db;
        ASSERT_TRUE(db.openDB(path(), ""));
        for (int i = 0; i < 300; ++i)
            ASSERT_TRUE(db.setConfigValue("config", "key" + std::to_string(i), std::string(200, 'v')));
    }
    {
        std::fstream file(path(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4096 * 4);
        const std::string garbage(4096 * 8, '\x5A');
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    const std::string text = m_tmp.write("text.db", std::string(200, 'x'));
    for (const std::string& file : {path(), text}) {
        SCOPED_TRACE(file);
        FSSyncDB db;
        CloudSyncTest::LogCapture capture({"Sync"});
        EXPECT_FALSE(db.openDB(file, ""));
        EXPECT_FALSE(db.isOpen());
        EXPECT_EQ(db.getOpenError().rfind("Cannot use the database " + file + ": ", 0), 0u) << db.getOpenError();
        EXPECT_TRUE(capture.contains(db.getOpenError(), "Sync"));
        EXPECT_EQ(db.getConfigValue("config", "key1", "dflt"), "dflt");
    }
}

TEST_F(SyncDBFile, FailedVersionWriteKeepsTheOldRow) {
    FSSyncDB db;
    ASSERT_TRUE(db.openDB(path(), ""));
    sql("CREATE TRIGGER refuse BEFORE INSERT ON VERSION BEGIN SELECT RAISE(ABORT, 'insert refused'); END;");
    CloudSyncTest::LogCapture capture({"Sync"});

    EXPECT_FALSE(db.setVersionInfo(3, "OK", "x"));
    EXPECT_TRUE(capture.contains("insert refused", "Sync"));
    std::string status, notes;
    EXPECT_EQ(db.getVersionInfo(status, notes), 2);
    EXPECT_EQ(status, "OK");
}

TEST_F(SyncDBFile, ConfigValuesRoundTripExactly) {
    FSSyncDB db;
    ASSERT_TRUE(db.openDB(path(), ""));
    struct {
        const char* key;
        const char* name;
        const char* value;
    } entries[] = {
        {"config", "url", "https://files.example.com"},
        {"config", "it's", "O'Brien's 100% \"sure\" %s %q %d"},
        {"APP", "100%", "'; DROP TABLE CONFIG; --"},
        {"config", "empty", ""},
    };
    for (const auto& e : entries)
        ASSERT_TRUE(db.setConfigValue(e.key, e.name, e.value));
    for (const auto& e : entries) {
        EXPECT_TRUE(db.doesConfigExist(e.key, e.name)) << e.name;
        EXPECT_EQ(db.getConfigValue(e.key, e.name, "default"), e.value) << e.name;
    }
    EXPECT_EQ(count("CONFIG"), 4);

    ASSERT_TRUE(db.setConfigValue("config", "it's", "second"));
    EXPECT_EQ(db.getConfigValue("config", "it's", ""), "second");
    EXPECT_EQ(count("CONFIG"), 4);

    EXPECT_EQ(db.getConfigValue("APP", "LIMITSYNC", "0"), "0");
    EXPECT_FALSE(db.doesConfigExist("APP", "LIMITSYNC"));
    EXPECT_FALSE(db.doesConfigExist("CONFIG", "url"));  // keys match exactly
    EXPECT_EQ(count("CONFIG"), 4);
}

TEST_F(SyncDBFile, ClosedDatabaseGivesFailureValues) {
    FSSyncDB db;
    EXPECT_EQ(db.getConfigValue("config", "url", "dflt"), "dflt");
    EXPECT_FALSE(db.setConfigValue("config", "url", "x"));
    EXPECT_FALSE(db.doesConfigExist("config", "url"));
    EXPECT_FALSE(db.resetSyncData(true));
    EXPECT_FALSE(db.resetConfigData());
    std::string status = "kept", notes = "kept";
    EXPECT_EQ(db.getVersionInfo(status, notes), -1);
    EXPECT_EQ(status, "kept");
    db.updateStats();
    EXPECT_EQ(db.getTotalFSSize(), 0);
}

TEST_F(SyncDBFile, ResetSyncDataKeepingConfig) {
    FSSyncDB db;
    ASSERT_TRUE(db.openDB(path(), ""));
    fill(db);

    ASSERT_TRUE(db.resetSyncData(true));
    for (const char* table : {"ACTIVITY", "OBJECT", "SYNCFOLDERS", "EXTERNALPATHS"})
        EXPECT_EQ(count(table), 0) << table;
    EXPECT_EQ(count("CONFIG"), 1);
    EXPECT_EQ(count("LIMITPATHS"), 1);
    EXPECT_EQ(versionRow(), (std::vector<std::string>{"2", "OK", ""}));
    EXPECT_EQ(db.getTotalFSFiles(), 0);
    EXPECT_EQ(db.getTotalFSSize(), 0);
}

TEST_F(SyncDBFile, ResetSyncDataWithConfigAndResetConfigData) {
    FSSyncDB db;
    ASSERT_TRUE(db.openDB(path(), ""));
    fill(db);
    ASSERT_TRUE(db.resetSyncData(false));
    EXPECT_EQ(count("CONFIG"), 0);
    EXPECT_EQ(count("LIMITPATHS"), 1);
    EXPECT_EQ(count("VERSION"), 1);

    fill(db);
    ASSERT_TRUE(db.resetConfigData());
    EXPECT_EQ(count("CONFIG"), 0);
    EXPECT_EQ(count("OBJECT"), 1);
    EXPECT_EQ(count("ACTIVITY"), 1);
}

TEST_F(SyncDBFile, FailedResetRemovesNothing) {
    FSSyncDB db;
    ASSERT_TRUE(db.openDB(path(), ""));
    fill(db);
    sql("CREATE TRIGGER refuse BEFORE DELETE ON SYNCFOLDERS BEGIN SELECT RAISE(ABORT, 'delete refused'); END;");
    CloudSyncTest::LogCapture capture({"Sync"});

    EXPECT_FALSE(db.resetSyncData(false));
    EXPECT_TRUE(capture.contains("delete refused", "Sync"));
    for (const char* table : {"ACTIVITY", "OBJECT", "SYNCFOLDERS", "EXTERNALPATHS", "CONFIG"})
        EXPECT_EQ(count(table), 1) << table;
    EXPECT_EQ(db.getTotalFSFiles(), 1);
}

TEST_F(SyncDBFile, TotalsCountLiveUnskippedFilesOnly) {
    FSSyncDB db;
    ASSERT_TRUE(db.openDB(path(), ""));
    sql("INSERT INTO OBJECT (OBJID, TYPE, SIZE, FLAGS, ISDELETED) VALUES ('f1', 1, 100, '', 0);"
        "INSERT INTO OBJECT (OBJID, TYPE, SIZE, FLAGS, ISDELETED) VALUES ('f2', 1, 5000000000, '', 0);"
        "INSERT INTO OBJECT (OBJID, TYPE, SIZE, FLAGS, ISDELETED) VALUES ('skip', 1, 7, 'SKIP', 0);"
        "INSERT INTO OBJECT (OBJID, TYPE, SIZE, FLAGS, ISDELETED) VALUES ('gone', 1, 9, '', 1);"
        "INSERT INTO OBJECT (OBJID, TYPE, SIZE, FLAGS, ISDELETED) VALUES ('dir', 0, 4096, '', 0);");
    db.updateStats();
    EXPECT_EQ(db.getTotalFSFiles(), 2);
    EXPECT_EQ(db.getTotalFSSize(), 5000000100LL);

    // A broken table leaves the last totals.
    sql("DROP TABLE OBJECT;");
    db.updateStats();
    EXPECT_EQ(db.getTotalFSFiles(), 2);
}

TEST(SyncDBPaths, Conversions) {
    EXPECT_EQ(FSSyncDB::convertToLinuxPath("a\\b\\c/d"), "a/b/c/d");
    EXPECT_EQ(FSSyncDB::convertToWin32Path("a/b\\c/d"), "a\\b\\c\\d");
    EXPECT_EQ(FSSyncDB::convertToStdPath("My Files/x\\y"), "My Files/x\\y");
    EXPECT_EQ(FSSyncDB::convertToNativePath("My Files/x\\y"), "My Files/x\\y");
}

} // namespace
