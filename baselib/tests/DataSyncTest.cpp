#include "DataSyncManager.h"
#include "DataSyncRecord.h"
#include "DataSyncStatusSet.h"
#include "DataSyncStore.h"
#include "NuvaroException.h"

#include <Poco/UUIDGenerator.h>

#include <boost/make_shared.hpp>

#include <gtest/gtest.h>

using namespace Nuvaro::DataSync;

namespace {

// A record type of our own, as the sync record is one.
class NamedRecord : public DataSyncRecord {
public:
    NamedRecord(const Poco::UUID& id, long updated, long created, int deleted, const std::string& name)
        : DataSyncRecord(id, updated, "server", created, "server", deleted), name(name) {}
    std::string name;
    int conflicts = 0;
    void isConflict(bool conflict) override { conflicts += conflict ? 1 : 0; }
};

class OtherRecord : public DataSyncRecord {
public:
    explicit OtherRecord(const Poco::UUID& id) : DataSyncRecord(id) {}
};

Poco::UUID newId() { return Poco::UUIDGenerator::defaultGenerator().createRandom(); }

boost::shared_ptr<NamedRecord> record(long updated, long created, int deleted = 0, const Poco::UUID& id = newId()) {
    return boost::make_shared<NamedRecord>(id, updated, created, deleted, "item");
}

// A store loaded with three server records of versions up to 40.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        store.setName("FSDATASTORE");
        store.setPeer("laptop");
        for (auto& r : loaded) store.insert(r);
    }

    bool isDirty(const DataSyncRecordPtr& r) const {
        auto it = store.getDirtyRecords().find(r->getId());
        return it != store.getDirtyRecords().end() && it->second == r;
    }

    DataSyncStore store;
    std::vector<boost::shared_ptr<NamedRecord>> loaded{record(10, 10), record(40, 20), record(30, 5, 1)};
};

} // namespace

TEST_F(StoreTest, InsertKeepsLoadedRecordsCleanAndAsTheyAre) {
    EXPECT_EQ(store.size(), 3u);
    EXPECT_TRUE(store.getDirtyRecords().empty());
    EXPECT_EQ(store.getRecord(loaded[1]->getId()), loaded[1]);
    EXPECT_EQ(loaded[1]->getUpdatedVersion(), 40);
    EXPECT_EQ(loaded[2]->getIsDeleted(), 1);
    EXPECT_FALSE(store.getRecord(newId()));
}

TEST_F(StoreTest, AddNewRecordIsDirtyWithEqualNewVersions) {
    auto fresh = record(0, 0);
    store.addNewRecord(fresh);
    EXPECT_TRUE(isDirty(fresh));
    EXPECT_EQ(store.getNewRecords().count(fresh->getId()), 1u);
    EXPECT_EQ(fresh->getCreatedVersion(), fresh->getUpdatedVersion());
    EXPECT_GT(fresh->getCreatedVersion(), 40);  // newer than anything the store holds
    EXPECT_EQ(fresh->getCreatedPeer(), "laptop");
    EXPECT_EQ(fresh->getUpdatedPeer(), "laptop");
    EXPECT_EQ(fresh->getIsDeleted(), 0);
}

TEST_F(StoreTest, UpdateRecordIsDirtyWithANewerUpdateVersionAndRevivesDeletedRecords) {
    for (const auto& r : {loaded[0], loaded[2]}) {
        long before = r->getUpdatedVersion();
        store.updateRecord(r);
        EXPECT_TRUE(isDirty(r));
        EXPECT_GT(r->getUpdatedVersion(), before);
        EXPECT_NE(r->getUpdatedVersion(), r->getCreatedVersion());  // the upload pass counts it as changed
        EXPECT_EQ(r->getUpdatedPeer(), "laptop");
        EXPECT_EQ(r->getIsDeleted(), 0);
    }
    // Two changes never share a version.
    EXPECT_NE(loaded[0]->getUpdatedVersion(), loaded[2]->getUpdatedVersion());
    EXPECT_TRUE(store.getNewRecords().empty());
}

TEST_F(StoreTest, DeleteRecordMarksTheStoresOwnRecordFoundByIdentity) {
    // The scan passes a copy loaded elsewhere, not the store's object.
    auto foreign = record(40, 20, 0, loaded[1]->getId());
    store.deleteRecord(foreign);
    EXPECT_EQ(loaded[1]->getIsDeleted(), 1);
    EXPECT_GT(loaded[1]->getUpdatedVersion(), 40);
    EXPECT_TRUE(isDirty(loaded[1]));
    EXPECT_EQ(store.getRecord(foreign->getId()), loaded[1]);
    EXPECT_EQ(foreign->getIsDeleted(), 0);  // the copy is left alone
    EXPECT_EQ(foreign->getUpdatedVersion(), 40);

    // A record the store does not hold is added, deleted.
    auto absent = record(7, 7);
    store.deleteRecord(absent);
    EXPECT_EQ(absent->getIsDeleted(), 1);
    EXPECT_TRUE(isDirty(absent));
    EXPECT_EQ(store.size(), 4u);

    store.clearDirtyRecords();
    EXPECT_TRUE(store.getDirtyRecords().empty());
    EXPECT_EQ(store.size(), 4u);
}

TEST_F(StoreTest, RecordsWithoutIdentityAreRefused) {
    for (auto change : {&DataSyncStore::insert, &DataSyncStore::addNewRecord, &DataSyncStore::updateRecord,
                        &DataSyncStore::deleteRecord}) {
        EXPECT_THROW((store.*change)(DataSyncRecordPtr()), Nuvaro::Exception);
        EXPECT_THROW((store.*change)(boost::make_shared<NamedRecord>(Poco::UUID::null(), 1, 1, 0, "x")),
                     Nuvaro::Exception);
    }
    EXPECT_EQ(store.size(), 3u);
    EXPECT_TRUE(store.getDirtyRecords().empty());
}

TEST_F(StoreTest, ApplyDeltaPlacesTheDeltasOwnObjectsAsDirtyRecords) {
    store.setSyncStatusSet(DataSyncStatusSet("server:40"));
    auto changed = record(55, 20, 0, loaded[1]->getId());
    auto removed = record(56, 10, 1, loaded[0]->getId());
    auto added = record(57, 57);
    std::vector<DataSyncRecordPtr> delta{changed, removed, added};
    DataSyncStats stats;
    RemoteWinsSyncStrategy strategy;

    ASSERT_TRUE(DataSyncManager().applyDeltaRecordSet(store, DataSyncStatusSet("server:40"),
                                                      DataSyncStatusSet("server:57,other:3"), "server", strategy,
                                                      delta, stats));

    for (const auto& r : delta) {
        EXPECT_EQ(store.getRecord(r->getId()), r);
        EXPECT_TRUE(isDirty(r));
    }
    EXPECT_EQ(changed->getUpdatedVersion(), 55);  // versions as received
    EXPECT_EQ(removed->getIsDeleted(), 1);         // deleted flags kept
    EXPECT_EQ(added->getIsDeleted(), 0);
    EXPECT_EQ(store.getSyncStatusSet().toString(), "server:57,other:3");
    EXPECT_EQ(stats.received, 3);
    EXPECT_EQ(stats.added, 1);
    EXPECT_EQ(stats.updated, 1);
    EXPECT_EQ(stats.deleted, 1);

    // What the caller changes after the merge is what will be saved.
    changed->name = "renamed after merge";
    auto saved = boost::dynamic_pointer_cast<NamedRecord>(store.getDirtyRecords().at(changed->getId()));
    EXPECT_EQ(saved->name, "renamed after merge");
}

// A merged record the caller could not use is taken back: saving then
// writes nothing for it, whether it replaced a loaded record or was new.
TEST_F(StoreTest, ForgottenChangeIsNoLongerDirtyTheOthersStay) {
    auto changed = record(55, 20, 0, loaded[1]->getId());
    auto added = record(57, 57);
    auto kept = record(58, 10, 0, loaded[0]->getId());
    std::vector<DataSyncRecordPtr> delta{changed, added, kept};
    DataSyncStats stats;
    RemoteWinsSyncStrategy strategy;
    ASSERT_TRUE(DataSyncManager().applyDeltaRecordSet(store, DataSyncStatusSet(), DataSyncStatusSet("server:58"),
                                                      "server", strategy, delta, stats));
    auto fresh = record(0, 0);
    store.addNewRecord(fresh);

    for (const auto& r : {DataSyncRecordPtr(changed), DataSyncRecordPtr(added), DataSyncRecordPtr(fresh)})
        store.forgetChange(r->getId());
    store.forgetChange(newId());  // never dirty: nothing happens

    EXPECT_EQ(store.getDirtyRecords().size(), 1u);
    EXPECT_TRUE(isDirty(kept));
    EXPECT_TRUE(store.getNewRecords().empty());
    EXPECT_EQ(store.getSyncStatusSet().toString(), "server:58");
}

TEST_F(StoreTest, ApplyDeltaRefusesMalformedInputAndChangesNothing) {
    store.setSyncStatusSet(DataSyncStatusSet("server:40"));
    RemoteWinsSyncStrategy strategy;
    const std::vector<std::vector<DataSyncRecordPtr>> malformed{
        {record(50, 50), DataSyncRecordPtr()},
        {record(50, 50), boost::make_shared<NamedRecord>(Poco::UUID::null(), 1, 1, 0, "x")},
        {record(50, 50), boost::make_shared<OtherRecord>(newId())},
        {boost::make_shared<DataSyncRecord>(newId())},
    };
    for (const auto& delta : malformed) {
        DataSyncStats stats;
        EXPECT_FALSE(DataSyncManager().applyDeltaRecordSet(store, DataSyncStatusSet(), DataSyncStatusSet("server:99"),
                                                           "server", strategy, delta, stats));
        EXPECT_EQ(stats.received, 0);
    }
    EXPECT_EQ(store.size(), 3u);
    EXPECT_TRUE(store.getDirtyRecords().empty());
    EXPECT_EQ(store.getSyncStatusSet().toString(), "server:40");

    // An empty store takes its record type from the delta.
    DataSyncStore empty;
    DataSyncStats stats;
    std::vector<DataSyncRecordPtr> mixed{record(1, 1), boost::make_shared<OtherRecord>(newId())};
    EXPECT_FALSE(DataSyncManager().applyDeltaRecordSet(empty, DataSyncStatusSet(), DataSyncStatusSet(), "server",
                                                       strategy, mixed, stats));
    EXPECT_TRUE(DataSyncManager().applyDeltaRecordSet(empty, DataSyncStatusSet(), DataSyncStatusSet(), "server",
                                                      strategy, {}, stats));
}

namespace {

struct LocalWinsStrategy : DataSyncStrategy {
    bool remoteWins(const DataSyncRecord&, const DataSyncRecord&) const override { return false; }
};

} // namespace

TEST_F(StoreTest, ALocalChangeMeetingARemoteOneIsDecidedByTheStrategy) {
    store.updateRecord(loaded[0]);  // changed locally since the load
    auto remoteA = record(60, 10, 0, loaded[0]->getId());
    DataSyncStats stats;

    LocalWinsStrategy localWins;
    ASSERT_TRUE(DataSyncManager().applyDeltaRecordSet(store, DataSyncStatusSet(), DataSyncStatusSet(), "server",
                                                      localWins, {remoteA}, stats));
    EXPECT_EQ(store.getRecord(loaded[0]->getId()), loaded[0]);
    EXPECT_EQ(stats.conflicts, 1);
    EXPECT_EQ(stats.skipped, 1);
    EXPECT_EQ(loaded[0]->conflicts, 1);

    RemoteWinsSyncStrategy remoteWins;
    ASSERT_TRUE(DataSyncManager().applyDeltaRecordSet(store, DataSyncStatusSet(), DataSyncStatusSet(), "server",
                                                      remoteWins, {remoteA}, stats));
    EXPECT_EQ(store.getRecord(loaded[0]->getId()), remoteA);
    EXPECT_TRUE(isDirty(remoteA));
    EXPECT_EQ(stats.conflicts, 2);
}

TEST(DataSyncStatusSet, KeepsTheTextItWasBuiltFromUntilChanged) {
    for (const std::string text : {"", "server:57,other:3", "b:2, a:1", "{opaque;server-text}", "x:1,x:2,broken"}) {
        EXPECT_EQ(DataSyncStatusSet(text).toString(), text);
    }
    DataSyncStatusSet set("server:57, other:3,junk,:4,neg:-2");
    EXPECT_EQ(set.getVersion("server"), 57);
    EXPECT_EQ(set.getVersion("other"), 3);
    EXPECT_EQ(set.getVersion("neg"), -2);
    EXPECT_EQ(set.getVersion("missing"), 0);
    EXPECT_FALSE(set.hasPeer("junk"));

    DataSyncStatusSet built("zeta:1,alpha:2");
    EXPECT_TRUE(built.setVersion("beta", 7));
    EXPECT_EQ(built.toString(), "alpha:2,beta:7,zeta:1");  // rebuilt in peer order
    for (const std::string refused : {"", "host-1", "a:b", "a,b", "x y", "o'brien"})
        EXPECT_FALSE(built.setVersion(refused, 1)) << refused;
    EXPECT_FALSE(built.setVersion("peer", -1));
    EXPECT_TRUE(built.removePeer("zeta"));
    EXPECT_FALSE(built.removePeer("zeta"));
    EXPECT_EQ(built.toString(), "alpha:2,beta:7");
    EXPECT_EQ(DataSyncStatusSet(built.toString()).getVersions(), built.getVersions());
}

TEST(DataSyncRecord, BaseFieldsRoundTripThroughAVariantRow) {
    DataSyncRecord original(newId(), 12345678901L, "peerU", 42, "peerC", 7);
    EXPECT_EQ(original.getIsDeleted(), 1);  // any non-zero value is 1
    Nuvaro::Data::VariantRow row;
    original.saveBase(row);
    Nuvaro::Data::RawData raw(row.getSize());
    row.write(raw);

    Nuvaro::Data::VariantRow readBack;
    readBack.read(raw);
    DataSyncRecord copy;
    copy.loadBase(readBack);
    EXPECT_EQ(copy.getId(), original.getId());
    EXPECT_EQ(copy.getUpdatedVersion(), 12345678901L);
    EXPECT_EQ(copy.getUpdatedPeer(), "peerU");
    EXPECT_EQ(copy.getCreatedVersion(), 42);
    EXPECT_EQ(copy.getCreatedPeer(), "peerC");
    EXPECT_EQ(copy.getIsDeleted(), 1);

    // The base record has no raw form and no strategy of its own.
    EXPECT_FALSE(original.toRawData());
    EXPECT_FALSE(original.getConflictResolutionStrategy());
}
