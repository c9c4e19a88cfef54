#pragma once

// An offline.db in a fresh temp folder. A second connection of its own
// (DBFileTest) prepares the file (older schemas, rows, fault triggers) and
// reads it back with plain SQL, beside the FOOfflineDB under test.

#include "DBFileTest.h"
#include "FOOfflineDB.h"

#include <gtest/gtest.h>

#include <string>

namespace OfflineTest {

class OfflineDBFile : public CloudSyncTest::DBFileTest {
protected:
    OfflineDBFile() : DBFileTest("offline.db") {}
};

// The same file opened through FOOfflineDB for the whole test.
class OfflineDBTest : public OfflineDBFile {
protected:
    void SetUp() override { ASSERT_TRUE(m_db.openDB(path(), "")); }
    void TearDown() override { m_db.closeDB(); }

    // Makes every later statement of that kind on the table fail in SQLite
    // ("INSERT", "UPDATE" or "DELETE"), with the message "<table> refused".
    void refuse(const std::string& kind, const std::string& table) {
        sql("CREATE TRIGGER refuse_" + kind + "_" + table + " BEFORE " + kind + " ON " + table +
            " BEGIN SELECT RAISE(ABORT, '" + table + " refused'); END;");
    }

    Nuvaro::Sync::FOOfflineDB m_db;
};

} // namespace OfflineTest
