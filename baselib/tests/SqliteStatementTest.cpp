// Prepared statements of the SQLite wrapper: bound values, reuse, changed-row
// counts and errors.

#include "TempFolder.h"
#include "wxSQLite3Database.h"
#include "wxSQLite3Exception.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using CloudSyncTest::TempFolder;

using ::testing::HasSubstr;

namespace {

class SqliteStatementTest : public ::testing::Test {
protected:
    void SetUp() override {
        db.Open(temp.file("test.db"));
        db.ExecuteUpdate("CREATE TABLE T (ID TEXT PRIMARY KEY, NUM INTEGER, BIG INTEGER, NOTE TEXT);");
    }

    TempFolder temp;
    wxSQLite3Database db;
};

TEST_F(SqliteStatementTest, BoundValuesAreStoredAsTheyAreAndTheStatementIsReused) {
    wxSQLite3Statement insert = db.PrepareStatement("insert into T (ID, NUM, BIG, NOTE) values (?, ?, ?, ?);");
    EXPECT_EQ(insert.GetParamCount(), 4);
    const std::string awkward[] = {"it's", "100% '; drop table T; --", std::string("nul\0byte", 8)};
    const Poco::Int64 bigs[] = {Poco::Int64(1) << 40, Poco::Int64(1) << 50, Poco::Int64(1) << 62};
    for (int i = 0; i < 3; ++i) {
        insert.Bind(1, awkward[i]);
        insert.Bind(2, 7);
        insert.Bind(3, bigs[i]);
        insert.BindNull(4);
        EXPECT_EQ(insert.ExecuteUpdate(), 1);
    }
    insert.Finalize();

    EXPECT_EQ(db.ExecuteScalar("select count(*) from T where NUM = 7 and NOTE is null;"), 3);
    wxSQLite3ResultSet rows = db.ExecuteQuery("select ID, BIG from T order by BIG;");
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(rows.NextRow());
        EXPECT_EQ(rows.GetStdString(0), awkward[i]);
        EXPECT_EQ(rows.GetInt64(1), bigs[i]);
    }
    rows.Finalize();
}

TEST_F(SqliteStatementTest, ChangedRowsScalarsAndErrors) {
    db.ExecuteUpdate("insert into T (ID, NUM) values ('a', 1), ('b', 2);");
    wxSQLite3Statement update = db.PrepareStatement("update T set NUM = ? where ID = ?;");
    update.Bind(1, 5);
    update.Bind(2, std::string("a"));
    EXPECT_EQ(update.ExecuteUpdate(), 1);
    update.Bind(2, std::string("missing"));
    EXPECT_EQ(update.ExecuteUpdate(), 0);  // not the count of the run before

    wxSQLite3Statement exists = db.PrepareStatement("select count(*) from T where ID = ?;");
    exists.Bind(1, std::string("a"));
    EXPECT_EQ(exists.ExecuteScalar(), 1);
    exists.Bind(1, std::string("zzz"));
    EXPECT_EQ(exists.ExecuteScalar(), 0);

    wxSQLite3Statement insert = db.PrepareStatement("insert into T (ID) values (?);");
    insert.Bind(1, std::string("a"));
    try {
        insert.ExecuteUpdate();
        FAIL() << "a duplicate key must throw";
    } catch (const wxSQLite3Exception& e) {
        EXPECT_THAT(e.GetMessage(), HasSubstr("UNIQUE constraint failed"));
    }
    insert.Bind(1, std::string("c"));  // usable again after the failure
    EXPECT_EQ(insert.ExecuteUpdate(), 1);
    EXPECT_THROW(insert.Bind(2, 1), wxSQLite3Exception);  // no such parameter
    EXPECT_THROW(db.PrepareStatement("insert into NOPE values (?);"), wxSQLite3Exception);
    insert.Finalize();
    EXPECT_THROW(insert.ExecuteUpdate(), wxSQLite3Exception);
}

} // namespace
