#pragma once

// A sync database in a fresh temp folder, opened through FSSyncDB. The
// second connection of SyncDBFileTest prepares and inspects the file and
// injects faults: SQLite triggers that refuse or ignore a write, or a reader
// that holds the file so that a commit cannot take its lock.

#include "FSSyncDB.h"
#include "FSSyncRecord.h"
#include "SyncDBFile.h"

#include <gtest/gtest.h>

#include <Poco/UUIDGenerator.h>

#include <boost/shared_ptr.hpp>

#include <memory>
#include <string>
#include <vector>

namespace StoreTest {

// FSSyncDB with what the tests need of its connection: how long a statement
// waits for a lock held by another connection (5 s by default), and whether
// a transaction is open.
class TestSyncDB : public Nuvaro::Sync::FSSyncDB {
public:
    void setBusyTimeout(int milliseconds) { m_db->SetBusyTimeout(milliseconds); }
    // True while the connection has a transaction open.
    bool inTransaction() { return !m_db->GetAutoCommit(); }
};

typedef boost::shared_ptr<Nuvaro::Sync::FSSyncRecord> RecordPtr;

class SyncDBTest : public SyncDBFileTest {
protected:
    void SetUp() override { ASSERT_TRUE(m_db.openDB(path(), "")); }
    void TearDown() override { m_db.closeDB(); }

    // A file record (type 1) or folder record (type 0) of a sync folder.
    // The local path is "My Files/" + rel, the server path "/acct1/" + rel.
    static RecordPtr makeRecord(const std::string& folder, const std::string& rel, int type = 1,
                                Poco::Int64 size = 10) {
        std::string::size_type slash = rel.rfind('/');
        std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
        std::string parentRel = slash == std::string::npos ? "" : "/" + rel.substr(0, slash);
        Nuvaro::DataSync::DataSyncRecord base(Poco::UUIDGenerator::defaultGenerator().createRandom(), 3, "server", 2,
                                              "server", 0);
        return RecordPtr(new Nuvaro::Sync::FSSyncRecord(
            base, type, name, "/acct1" + parentRel, "/acct1/" + rel, type == 1 ? size : 0, 135000000000000000LL,
            "", "", "Owner", folder, "My Files" + parentRel, "My Files/" + rel, "crc", "2026-01-02 03:04:05"));
    }
    // Stores records through the object under test.
    void add(std::initializer_list<RecordPtr> records) {
        for (const RecordPtr& record : records)
            ASSERT_TRUE(m_db.FSSyncRecordAdd(record.get()));
    }

    TestSyncDB m_db;
};

} // namespace StoreTest
