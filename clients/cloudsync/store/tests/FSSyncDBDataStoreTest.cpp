// Records, lookups, status sets and the data store of the sync database.

#include "SyncDBFixture.h"

#include "DataSyncStore.h"
#include "LogCapture.h"

#include <Poco/UUIDGenerator.h>

#include <atomic>

using Nuvaro::DataSync::DataSyncStatusSet;
using Nuvaro::DataSync::DataSyncStore;
using Nuvaro::Sync::FSSyncRecord;
using StoreTest::RecordPtr;

namespace {

class DataStoreTest : public StoreTest::SyncDBTest {
protected:
    // Loads a folder's store; fails the test when the load fails.
    void load(const std::string& folder, DataSyncStore& store) {
        std::atomic<bool> abort(false);
        ASSERT_TRUE(m_db.getDataStore(folder, "laptop1", store, abort));
    }
    RecordPtr stored(const RecordPtr& record) { return m_db.getFSSyncRecord(record->getFullPath()); }
    std::string deletedFlag(const RecordPtr& record) {
        return column("select ISDELETED from OBJECT where OBJID='" + record->getId().toString() + "';").at(0);
    }

    // Folder "/acct1" holding a and b; a store loaded from it in which c is
    // new, a changed and b deleted.
    void prepareThreeChanges(DataSyncStore& store) {
        add({m_a, m_b});
        load("/acct1", store);
        store.addNewRecord(m_c);
        auto a = boost::dynamic_pointer_cast<FSSyncRecord>(store.getRecord(m_a->getId()));
        a->setSize(99);
        store.updateRecord(a);
        store.deleteRecord(m_b);
        store.setSyncStatusSet(DataSyncStatusSet("laptop1:4,server:7"));
    }

    RecordPtr m_a = makeRecord("/acct1", "docs/a.txt", 1, 10);
    RecordPtr m_b = makeRecord("/acct1", "docs/b.txt", 1, 20);
    RecordPtr m_c = makeRecord("/acct1", "docs/c.txt", 1, 30);
};

TEST_F(DataStoreTest, RecordRoundTripsEveryColumnWithQuotesAndPercentSigns) {
    RecordPtr record = makeRecord("/acct1", "it's 100%/o'brien's_file.txt", 1, 1234567890123LL);
    record->setAttribs("x,");
    record->setFlags("fl'ag");
    record->setFriendlyName("Ann O'Neil");
    record->setFileCRC("c'rc");
    record->setFileModTime("2026-05-06 07:08:09");
    record->setModified(-5);
    add({record});

    for (RecordPtr back : {m_db.getFSSyncRecord(record->getFullPath()),
                           m_db.getFSSyncRecordFromLocalFullPath(record->getLocalFullPath())}) {
        ASSERT_TRUE(back);
        EXPECT_EQ(back->getId(), record->getId());
        EXPECT_EQ(back->getUpdatedVersion(), 3);
        EXPECT_EQ(back->getUpdatedPeer(), "server");
        EXPECT_EQ(back->getCreatedVersion(), 2);
        EXPECT_EQ(back->getCreatedPeer(), "server");
        EXPECT_EQ(back->getIsDeleted(), 0);
        EXPECT_EQ(back->getType(), 1);
        EXPECT_EQ(back->getName(), "o'brien's_file.txt");
        EXPECT_EQ(back->getParent(), "/acct1/it's 100%");
        EXPECT_EQ(back->getFullPath(), "/acct1/it's 100%/o'brien's_file.txt");
        EXPECT_EQ(back->getSize(), 1234567890123LL);
        EXPECT_EQ(back->getModified(), -5);
        EXPECT_EQ(back->getAttribs(), "x,");
        EXPECT_EQ(back->getFlags(), "fl'ag");
        EXPECT_EQ(back->getFriendlyName(), "Ann O'Neil");
        EXPECT_EQ(back->getSyncFolderPath(), "/acct1");
        EXPECT_EQ(back->getLocalParent(), "My Files/it's 100%");
        EXPECT_EQ(back->getLocalFullPath(), "My Files/it's 100%/o'brien's_file.txt");
        EXPECT_EQ(back->getFileCRC(), "c'rc");
        EXPECT_EQ(back->getFileModTime(), "2026-05-06 07:08:09");
    }
    // Numbers are stored as integers despite the quotes around them.
    EXPECT_EQ(column("select typeof(SIZE) || typeof(TYPE) || typeof(ISDELETED) from OBJECT;").at(0),
              "integerintegerinteger");
}

TEST_F(DataStoreTest, SingleRecordWritersReportWhatTheyDid) {
    CloudSyncTest::LogCapture capture({"Sync"});
    add({m_a});
    EXPECT_FALSE(m_db.FSSyncRecordAdd(m_a.get()));  // identity already stored
    EXPECT_TRUE(capture.contains("Exception in FSSyncRecordAdd ", "Sync")) << capture.dump();

    // A rewrite of an identity that has no row stored nothing: false, not success.
    EXPECT_FALSE(m_db.FSSyncRecordUpdate(m_b.get()));
    EXPECT_TRUE(capture.contains("Exception in WS::WSObjectUpdate ", "Sync"));
    EXPECT_EQ(count("OBJECT"), 1);

    m_a->setIsDeleted(true);
    EXPECT_TRUE(m_db.FSSyncRecordDelete(m_a.get(), true));  // skip: nothing changes
    EXPECT_EQ(deletedFlag(m_a), "0");
    EXPECT_TRUE(m_db.FSSyncRecordDelete(m_a.get(), false));  // soft delete: the row stays
    EXPECT_EQ(deletedFlag(m_a), "1");
    EXPECT_TRUE(m_db.doesObjectExist(m_a->getId()));
    EXPECT_FALSE(m_db.doesObjectExist(m_b->getId()));
    EXPECT_FALSE(m_db.getFSSyncRecord("/acct1/none"));
}

// An item deleted and then created again under the same path has a deleted
// row and a live row; whichever was written first, and whatever the order of
// their identities, lookups and loads must see the live one.
TEST_F(DataStoreTest, LiveRowPreferredOverDeletedRowOfTheSamePath) {
    for (bool deletedFirst : {true, false}) {
        SCOPED_TRACE(deletedFirst ? "deleted row written first" : "live row written first");
        sql("delete from OBJECT;");
        RecordPtr live = makeRecord("/acct1", "docs/same.txt", 1, 2);
        RecordPtr gone = makeRecord("/acct1", "docs/same.txt", 1, 1);
        gone->setIsDeleted(true);
        if (deletedFirst)
            add({gone, live});
        else
            add({live, gone});

        ASSERT_TRUE(m_db.getFSSyncRecord(live->getFullPath()));
        EXPECT_EQ(m_db.getFSSyncRecord(live->getFullPath())->getId(), live->getId());
        EXPECT_EQ(m_db.getFSSyncRecordFromLocalFullPath(live->getLocalFullPath())->getId(), live->getId());

        DataSyncStore store;
        load("/acct1", store);
        EXPECT_EQ(store.size(), 1u);
        EXPECT_TRUE(store.getRecord(live->getId()));
        EXPECT_FALSE(store.getRecord(gone->getId()));
    }

    // A store that already holds a live record keeps it over a deleted row
    // of the same identity.
    sql("delete from OBJECT;");
    RecordPtr held = makeRecord("/acct1", "docs/held.txt");
    RecordPtr heldGone(new FSSyncRecord(*held));
    heldGone->setIsDeleted(true);
    add({heldGone});
    DataSyncStore prefilled;
    prefilled.insert(held);
    load("/acct1", prefilled);
    EXPECT_EQ(prefilled.getRecord(held->getId()), held);

    // With no live row, the deleted one is what there is.
    sql("delete from OBJECT;");
    RecordPtr gone = makeRecord("/acct1", "docs/old.txt");
    gone->setIsDeleted(true);
    add({gone});
    ASSERT_TRUE(m_db.getFSSyncRecord(gone->getFullPath()));
    EXPECT_EQ(m_db.getFSSyncRecord(gone->getFullPath())->getIsDeleted(), 1);
    DataSyncStore store;
    load("/acct1", store);
    ASSERT_TRUE(store.getRecord(gone->getId()));
    EXPECT_EQ(store.getRecord(gone->getId())->getIsDeleted(), 1);
}

TEST_F(DataStoreTest, DeletedSkipRecordsAreNotShadowedByTheirSharedSkipPath) {
    RecordPtr skipLive = makeRecord("/acct1", "s1");
    RecordPtr skipGone = makeRecord("/acct1", "s2");
    for (const RecordPtr& r : {skipLive, skipGone}) {
        r->setFlags("SKIP");
        r->setParent("SKIP");
        r->setFullPath("SKIP");
        r->setLocalParent("SKIP");
        r->setLocalFullPath("SKIP");
    }
    skipGone->setIsDeleted(true);
    add({skipLive, skipGone});
    DataSyncStore store;
    load("/acct1", store);
    EXPECT_EQ(store.size(), 2u);
}

TEST_F(DataStoreTest, LoadSetsNameStatusSetAndPeer) {
    add({m_a, m_b, makeRecord("/SHARED/owner2", "x.txt")});
    ASSERT_TRUE(m_db.setStatusSet("/acct1", "server:7"));

    DataSyncStore store;
    load("/acct1", store);
    EXPECT_EQ(store.getName(), "FSDATASTORE");
    EXPECT_EQ(store.getPeer(), "laptop1");
    EXPECT_EQ(store.getSyncStatusSet().toString(), "server:7");
    EXPECT_EQ(store.size(), 2u);
    EXPECT_TRUE(store.getDirtyRecords().empty());

    // A folder never saved has no row: the load goes on with an empty set.
    std::string text = "stale";
    EXPECT_TRUE(m_db.getStatusSet("/SHARED/owner2", text));
    EXPECT_EQ(text, "");
    DataSyncStore shared;
    load("/SHARED/owner2", shared);
    EXPECT_EQ(shared.getSyncStatusSet().toString(), "");
    EXPECT_EQ(shared.size(), 1u);

    // The empty folder name loads every folder's records and no status set.
    DataSyncStore all;
    load("", all);
    EXPECT_EQ(all.size(), 3u);
    EXPECT_EQ(all.getSyncStatusSet().toString(), "");
}

TEST_F(DataStoreTest, AbortFlagStopsTheLoadAtTheFirstRow) {
    std::atomic<bool> abort(true);
    DataSyncStore empty;
    EXPECT_TRUE(m_db.getDataStore("/acct1", "laptop1", empty, abort));  // no row: the flag is never read

    add({m_a, m_b});
    DataSyncStore store;
    EXPECT_FALSE(m_db.getDataStore("/acct1", "laptop1", store, abort));
    EXPECT_EQ(store.size(), 0u);
    EXPECT_EQ(store.getName(), "FSDATASTORE");
    EXPECT_EQ(store.getPeer(), "laptop1");
}

// A load that fails part-way used to leave the records read before the
// failure in the store, for a caller to work from half a folder.
TEST_F(DataStoreTest, LoadThatFailsPartWayLeavesTheStoreEmpty) {
    add({m_a, m_b});
    sql("insert into OBJECT (OBJID, TYPE, NAME, FULLPATH, LOCALFULLPATH, ISDELETED, SYNCFOLDER) values "
        "('damaged', 1, 'x', '/acct1/x', 'My Files/x', 0, '/acct1');");
    std::atomic<bool> abort(false);
    {
        CloudSyncTest::LogCapture capture({"Sync"});
        DataSyncStore store;
        EXPECT_FALSE(m_db.getDataStore("/acct1", "laptop1", store, abort));
        EXPECT_EQ(store.size(), 0u);
        EXPECT_TRUE(store.getDirtyRecords().empty());
        EXPECT_TRUE(capture.contains("getDataStore Exception caught : OBJECT row with a malformed identity 'damaged'",
                                     "Sync"))
            << capture.dump();
    }
    sql("delete from OBJECT where OBJID='damaged';");

    // A lock held past the busy time-out by another connection.
    m_db.setBusyTimeout(0);
    wxSQLite3Database writer;
    writer.Open(path());
    writer.Begin(WXSQLITE_TRANSACTION_EXCLUSIVE);
    DataSyncStore locked;
    locked.insert(m_c);  // whatever the store held before
    EXPECT_FALSE(m_db.getDataStore("", "laptop1", locked, abort));
    EXPECT_EQ(locked.size(), 0u);
    writer.Rollback();
    writer.Close();

    DataSyncStore store;
    load("/acct1", store);
    EXPECT_EQ(store.size(), 2u);
}

// A lookup by server path (one per file when a delta is applied) and the
// load and forgetting of one folder used to scan the whole OBJECT table.
TEST_F(DataStoreTest, LookupsByServerPathAndFolderRunOnIndexes) {
    using Nuvaro::Sync::FSSyncDB;
    EXPECT_EQ(column("select name from sqlite_master where type='index' and tbl_name='OBJECT' and sql is not null "
                     "order by name;"),
              (std::vector<std::string>{"OBJECT_FULLPATH_IDX", "OBJECT_LOCALFULLPATH_IDX", "OBJECT_LOCALPARENT_IDX",
                                        "OBJECT_SYNCFOLDER_IDX"}));
    struct Case {
        std::string statement;
        std::string step;
    } cases[] = {
        {FSSyncDB::recordByPathQuery("FULLPATH", "/acct1/docs/a.txt"),
         "SEARCH OBJECT USING INDEX OBJECT_FULLPATH_IDX (FULLPATH=?)"},
        {FSSyncDB::recordByPathQuery("LOCALFULLPATH", "My Files/docs/a.txt"),
         "SEARCH OBJECT USING INDEX OBJECT_LOCALFULLPATH_IDX (LOCALFULLPATH=?)"},
        {FSSyncDB::folderRecordsQuery("/acct1"), "SEARCH OBJECT USING INDEX OBJECT_SYNCFOLDER_IDX (SYNCFOLDER=?)"},
        {"delete FROM OBJECT WHERE SYNCFOLDER='/acct1';",
         "SEARCH OBJECT USING INDEX OBJECT_SYNCFOLDER_IDX (SYNCFOLDER=?)"},
    };
    for (const auto& c : cases) {
        const std::string plan = queryPlan(c.statement);
        EXPECT_NE(plan.find(c.step), std::string::npos) << c.statement << "\n" << plan;
    }

    // An older file without them gets them when it is opened, once.
    m_db.closeDB();
    sql("DROP INDEX OBJECT_FULLPATH_IDX; DROP INDEX OBJECT_SYNCFOLDER_IDX;");
    ASSERT_TRUE(m_db.openDB(path(), ""));
    m_db.closeDB();
    ASSERT_TRUE(m_db.openDB(path(), ""));
    EXPECT_EQ(count("sqlite_master where type='index' and tbl_name='OBJECT' and sql is not null"), 4);
}

TEST_F(DataStoreTest, StatusSetsStoreReplaceAndDrop) {
    ASSERT_TRUE(m_db.setStatusSet("/SHARED/o'neil", "a:1"));
    ASSERT_TRUE(m_db.setStatusSet("/SHARED/o'neil", "a:2"));
    std::string text;
    EXPECT_TRUE(m_db.getStatusSet("/SHARED/o'neil", text));
    EXPECT_EQ(text, "a:2");
    EXPECT_EQ(count("SYNCFOLDERS"), 1);
    EXPECT_TRUE(m_db.dropStatusSet("/SHARED/o'neil"));
    EXPECT_TRUE(m_db.dropStatusSet("/SHARED/o'neil"));
    EXPECT_TRUE(m_db.getStatusSet("/SHARED/o'neil", text));
    EXPECT_EQ(text, "");
}

TEST_F(DataStoreTest, SaveWritesNewChangedAndDeletedRecordsAndTheStatusSet) {
    DataSyncStore store;
    prepareThreeChanges(store);
    CloudSyncTest::LogCapture capture({"Sync"});

    int count = -1;
    ASSERT_TRUE(m_db.saveDataStore("/acct1", store, count)) << capture.dump();
    EXPECT_EQ(count, 3);
    EXPECT_TRUE(store.getDirtyRecords().empty());

    ASSERT_TRUE(stored(m_c));
    EXPECT_EQ(stored(m_c)->getSize(), 30);
    EXPECT_EQ(stored(m_a)->getSize(), 99);
    EXPECT_GT(stored(m_a)->getUpdatedVersion(), stored(m_a)->getCreatedVersion());
    EXPECT_EQ(deletedFlag(m_b), "1");  // soft delete: the row stays
    EXPECT_EQ(column("select STATUSSET from SYNCFOLDERS where NAME='/acct1';"),
              std::vector<std::string>{"laptop1:4,server:7"});
    // The totals follow: a (99) and c (30) are the live files.
    EXPECT_EQ(m_db.getTotalFSFiles(), 2);
    EXPECT_EQ(m_db.getTotalFSSize(), 129);
    for (const char* line : {"SyncServerDB saveDataStore start", "FSSyncDB Add: /acct1/docs/c.txt",
                             "FSSyncDB Update: /acct1/docs/a.txt", "FSSyncDB Delete: /acct1/docs/b.txt",
                             "FSSyncDB Begin DB Commit ", "FSSyncDB saveDataStore DONE OK with 3"})
        EXPECT_TRUE(capture.contains(line, "Sync")) << line;
}

TEST_F(DataStoreTest, SaveOfManyRecordsReportsProgressEveryThousand) {
    DataSyncStore store;
    load("/acct1", store);
    for (int i = 0; i < 2500; ++i)
        store.addNewRecord(makeRecord("/acct1", "bulk/f" + std::to_string(i)));
    CloudSyncTest::LogCapture capture({"Sync"});
    int count = 0;
    ASSERT_TRUE(m_db.saveDataStore("/acct1", store, count));
    EXPECT_EQ(count, 2500);
    EXPECT_EQ(this->count("OBJECT"), 2500);
    int progress = 0;
    for (const auto& entry : capture.channel().entries())
        if (entry.text.rfind("FSSyncDB Completed Processing: ", 0) == 0)
            ++progress;
    EXPECT_EQ(progress, 3);
    EXPECT_TRUE(capture.contains("FSSyncDB Completed Processing: 2000"));
}

// A save is all or nothing: a write that fails, or that silently stores
// nothing, rolls the whole transaction back, and the store stays dirty so
// that the next save writes everything.
TEST_F(DataStoreTest, FailedWriteRollsBackTheWholeSaveAndKeepsTheStoreDirty) {
    struct Case {
        const char* what;
        const char* trigger;
        const char* logged;
    } cases[] = {
        {"insert refused", "CREATE TRIGGER fault BEFORE INSERT ON OBJECT BEGIN SELECT RAISE(ABORT, 'disk says no'); END;",
         "Exception in DataStoreSave disk says no"},
        {"insert ignored", "CREATE TRIGGER fault BEFORE INSERT ON OBJECT WHEN NEW.NAME = 'c.txt' "
                           "BEGIN SELECT RAISE(IGNORE); END;",
         "Exception in DataStoreSave no row written for"},
        {"rewrite ignored", "CREATE TRIGGER fault BEFORE UPDATE ON OBJECT WHEN NEW.NAME = 'b.txt' "
                            "BEGIN SELECT RAISE(IGNORE); END;",
         "Exception in DataStoreSave no row written"},
        {"status set refused", "CREATE TRIGGER fault BEFORE INSERT ON SYNCFOLDERS BEGIN SELECT RAISE(ABORT, 'full'); END;",
         "Exception in DataStoreSave full"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sql("delete from OBJECT; delete from SYNCFOLDERS; DROP TRIGGER IF EXISTS fault;");
        DataSyncStore store;
        prepareThreeChanges(store);
        sql(c.trigger);
        CloudSyncTest::LogCapture capture({"Sync"});

        int written = -1;
        EXPECT_FALSE(m_db.saveDataStore("/acct1", store, written));
        EXPECT_EQ(written, -1);
        EXPECT_TRUE(capture.contains(c.logged, "Sync")) << capture.dump();
        EXPECT_EQ(store.getDirtyRecords().size(), 3u);
        EXPECT_FALSE(stored(m_c));
        EXPECT_EQ(stored(m_a)->getSize(), 10);
        EXPECT_EQ(deletedFlag(m_b), "0");
        EXPECT_EQ(count("SYNCFOLDERS"), 0);
        EXPECT_FALSE(m_db.inTransaction());

        sql("DROP TRIGGER fault;");
        ASSERT_TRUE(m_db.saveDataStore("/acct1", store, written));
        EXPECT_EQ(written, 3);
        EXPECT_TRUE(stored(m_c));
        EXPECT_EQ(deletedFlag(m_b), "1");
    }
}

TEST_F(DataStoreTest, FailedCommitRollsBackAndLeavesNoTransactionOpen) {
    DataSyncStore store;
    prepareThreeChanges(store);
    m_db.setBusyTimeout(0);

    int written = -1;
    {
        // A reader in the middle of a read transaction keeps the commit
        // from taking the file's exclusive lock.
        wxSQLite3Database reader;
        reader.Open(path());
        reader.Begin();
        wxSQLite3ResultSet rows = reader.ExecuteQuery("select * from OBJECT;");
        CloudSyncTest::LogCapture capture({"Sync"});
        EXPECT_FALSE(m_db.saveDataStore("/acct1", store, written));
        EXPECT_TRUE(capture.contains("Exception in DataStoreSave database is locked", "Sync")) << capture.dump();
        EXPECT_FALSE(m_db.inTransaction());
        rows.Finalize();
        reader.Rollback();
        reader.Close();
    }
    EXPECT_EQ(written, -1);
    EXPECT_EQ(store.getDirtyRecords().size(), 3u);
    EXPECT_FALSE(stored(m_c));
    EXPECT_EQ(count("SYNCFOLDERS"), 0);

    // Nothing was left open: the second save commits for real, as another
    // connection sees, and the file can be written by others afterwards.
    ASSERT_TRUE(m_db.saveDataStore("/acct1", store, written));
    EXPECT_EQ(written, 3);
    EXPECT_EQ(column("select count(*) from OBJECT where NAME='c.txt';").at(0), "1");
    sql("insert into CONFIG (KEY, NAME, VALUE) values ('config', 'probe', '1');");
}

TEST_F(DataStoreTest, DeleteDataStoreForgetsOnlyThatFolder) {
    RecordPtr other = makeRecord("/SHARED/owner2", "keep.txt", 1, 5);
    RecordPtr gone = makeRecord("/acct1", "docs/old.txt");
    gone->setIsDeleted(true);
    add({m_a, m_b, gone, other});
    ASSERT_TRUE(m_db.setStatusSet("/acct1", "s:1"));
    ASSERT_TRUE(m_db.setStatusSet("/SHARED/owner2", "s:2"));
    m_db.updateStats();
    ASSERT_EQ(m_db.getTotalFSFiles(), 3);

    DataSyncStore store;
    load("/acct1", store);
    EXPECT_TRUE(m_db.deleteDataStore("/acct1", store));

    EXPECT_EQ(column("select NAME from OBJECT;"), std::vector<std::string>{"keep.txt"});
    EXPECT_EQ(column("select NAME from SYNCFOLDERS;"), std::vector<std::string>{"/SHARED/owner2"});
    EXPECT_EQ(store.size(), 3u);  // the store is not touched
    EXPECT_EQ(m_db.getTotalFSFiles(), 1);
    EXPECT_EQ(m_db.getTotalFSSize(), 5);
}

// Maintenance sees every stored row, also the deleted one that a load leaves
// out for the live record of its path.
TEST_F(DataStoreTest, FolderRecordsAreEveryStoredRowOfTheFolder) {
    RecordPtr live = makeRecord("/acct1", "docs/same.txt", 1, 2);
    RecordPtr gone = makeRecord("/acct1", "docs/same.txt", 1, 1);
    gone->setIsDeleted(true);
    RecordPtr other = makeRecord("/SHARED/owner2", "keep.txt");
    add({gone, live, other});

    std::vector<RecordPtr> records{m_a};
    ASSERT_TRUE(m_db.getFolderRecords("/acct1", records));
    ASSERT_EQ(records.size(), 3u);  // appended after what was there
    EXPECT_EQ(records[1]->getId(), gone->getId());
    EXPECT_EQ(records[1]->getIsDeleted(), 1);
    EXPECT_EQ(records[2]->getId(), live->getId());

    DataSyncStore store;
    load("/acct1", store);
    EXPECT_EQ(store.size(), 1u);
}

TEST_F(DataStoreTest, ClosedDatabaseGivesFailureValues) {
    m_db.closeDB();
    std::atomic<bool> abort(false);
    DataSyncStore store;
    int count = -1;
    std::string text;
    EXPECT_FALSE(m_db.getDataStore("/acct1", "laptop1", store, abort));
    EXPECT_FALSE(m_db.saveDataStore("/acct1", store, count));
    EXPECT_FALSE(m_db.getStatusSet("/acct1", text));
    EXPECT_FALSE(m_db.FSSyncRecordAdd(m_a.get()));
    EXPECT_FALSE(m_db.getFSSyncRecord("/acct1/docs/a.txt"));
    std::vector<RecordPtr> records;
    EXPECT_FALSE(m_db.getFolderRecords("/acct1", records));
    EXPECT_EQ(count, -1);
}

} // namespace
