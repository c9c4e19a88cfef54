#include "SqliteDB.h"
#include "TempFolder.h"
#include "wxSQLite3Database.h"
#include "wxSQLite3Exception.h"
#include "wxSQLite3StatementBuffer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>

using CloudSyncTest::TempFolder;

using ::testing::HasSubstr;

namespace {

class SqliteTest : public ::testing::Test {
protected:
    void SetUp() override {
        db.Open(temp.file("test.db"));
        db.ExecuteUpdate("CREATE TABLE T (ID INTEGER PRIMARY KEY, NAME TEXT, NUM INTEGER, BIG INTEGER, FLAG INTEGER);");
    }

    int countRows() { return db.ExecuteScalar("select count(*) from T;"); }

    TempFolder temp;
    wxSQLite3Database db;
};

// The message of the wxSQLite3Exception that `action` throws, or "" when none.
template <typename Action>
std::string thrownMessage(Action action) {
    try {
        action();
    } catch (const wxSQLite3Exception& e) {
        return e.GetMessage();
    }
    return "";
}

} // namespace

TEST_F(SqliteTest, FormatQuotesApostrophesAndKeepsPercentSignsOfArguments) {
    struct Case {
        const char* value;
        const char* expectedLiteral;
    };
    const Case cases[] = {
        {"O'Brien", "'O''Brien'"},
        {"''", "''''''"},
        {"100% sure", "'100% sure'"},
        {"%d %q %s", "'%d %q %s'"},
        {"", "''"},
    };
    for (const auto& c : cases) {
        wxSQLite3StatementBuffer sql;
        sql.Format("'%q'", c.value);
        EXPECT_STREQ(static_cast<const char*>(sql), c.expectedLiteral) << c.value;

        // The quoted text goes through SQLite and comes back unchanged.
        sql.Format("insert into T (NAME) values ('%q');", c.value);
        ASSERT_EQ(db.ExecuteUpdate(sql), 1);
        wxSQLite3ResultSet rows = db.ExecuteQuery("select NAME from T order by ID desc limit 1;");
        ASSERT_TRUE(rows.NextRow());
        EXPECT_EQ(rows.GetStdString("NAME"), c.value);
    }
    wxSQLite3StatementBuffer sql;
    EXPECT_STREQ(sql.Format("%d%% of %lld, %Q", 50, 1234567890123LL, static_cast<const char*>(nullptr)),
                 "50% of 1234567890123, NULL");
}

TEST_F(SqliteTest, ExecuteUpdateReturnsTheRowsTheLastStatementChanged) {
    for (int i = 0; i < 4; ++i) {
        wxSQLite3StatementBuffer sql;
        sql.Format("insert into T (NAME, NUM) values ('n%d', %d);", i, i % 2);
        EXPECT_EQ(db.ExecuteUpdate(sql), 1);
    }
    EXPECT_EQ(db.ExecuteUpdate("update T set NAME='x' where NUM=1;"), 2);
    // Statements that change no rows report 0, not the count of an earlier one.
    EXPECT_EQ(db.ExecuteUpdate(std::string("CREATE TABLE U (A TEXT);")), 0);
    EXPECT_EQ(db.ExecuteUpdate("select * from T;"), 0);
    EXPECT_EQ(db.ExecuteUpdate("delete from T where NUM=7;"), 0);
    // Several statements: all run, the count is the last one's.
    EXPECT_EQ(db.ExecuteUpdate("insert into U values ('a'); insert into U values ('b'); delete from U;"), 2);
    EXPECT_EQ(db.ExecuteUpdate("   "), 0);
    EXPECT_EQ(countRows(), 4);
    EXPECT_EQ(db.GetLastRowId(), 2);  // the last successful insert was into U, row 2
}

TEST_F(SqliteTest, GettersReturnTheirDefaultForNullAndTheValueOtherwise) {
    db.ExecuteUpdate("insert into T (ID) values (1);");
    db.ExecuteUpdate("insert into T values (2, 'text', -5, 9000000000, 3);");
    wxSQLite3ResultSet rows = db.ExecuteQuery("select * from T order by ID;");

    ASSERT_TRUE(rows.NextRow());
    EXPECT_TRUE(rows.IsNull("NAME"));
    EXPECT_EQ(rows.GetStdString("NAME"), "");
    EXPECT_EQ(rows.GetStdString("NAME", "none"), "none");
    EXPECT_EQ(rows.GetInt("NUM"), 0);
    EXPECT_EQ(rows.GetInt("NUM", 7), 7);
    EXPECT_EQ(rows.GetInt64("BIG", -1), -1);
    EXPECT_FALSE(rows.GetBool("FLAG"));
    EXPECT_TRUE(rows.GetBool("FLAG", true));

    ASSERT_TRUE(rows.NextRow());
    EXPECT_EQ(rows.GetStdString("name"), "text");  // names compare without letter case
    EXPECT_EQ(rows.GetInt("NUM", 7), -5);
    EXPECT_EQ(rows.GetInt64("BIG", -1), 9000000000LL);
    EXPECT_TRUE(rows.GetBool("FLAG"));
    EXPECT_EQ(rows.GetInt(0), 2);
    EXPECT_EQ(rows.GetStdString(2), "-5");

    EXPECT_FALSE(rows.NextRow());
    EXPECT_FALSE(rows.NextRow());
    rows.Finalize();
}

TEST_F(SqliteTest, MisuseOfAResultSetThrowsInsteadOfCrashing) {
    db.ExecuteUpdate("insert into T (ID, NAME) values (1, 'a');");
    wxSQLite3ResultSet rows = db.ExecuteQuery("select ID, NAME from T;");
    EXPECT_THAT(thrownMessage([&] { rows.GetStdString("NAME"); }), HasSubstr("No current row"));
    ASSERT_TRUE(rows.NextRow());
    EXPECT_THAT(thrownMessage([&] { rows.GetStdString("NOSUCHCOLUMN"); }), HasSubstr("NOSUCHCOLUMN"));
    EXPECT_THAT(thrownMessage([&] { rows.GetInt("NUM"); }), HasSubstr("NUM"));  // not in the select list
    EXPECT_NE(thrownMessage([&] { rows.GetInt(5); }), "");
    EXPECT_FALSE(rows.NextRow());
    EXPECT_NE(thrownMessage([&] { rows.GetInt(0); }), "");  // past the last row
    rows.Finalize();
    EXPECT_NE(thrownMessage([&] { rows.NextRow(); }), "");
    wxSQLite3ResultSet empty;
    EXPECT_NE(thrownMessage([&] { empty.GetInt(0); }), "");
}

TEST_F(SqliteTest, FailuresCarrySQLitesMessage) {
    db.ExecuteUpdate("insert into T (ID, NAME) values (1, 'a');");
    try {
        db.ExecuteUpdate("insert into T (ID, NAME) values (1, 'b');");
        FAIL() << "duplicate key accepted";
    } catch (const wxSQLite3Exception& e) {
        EXPECT_EQ(e.GetMessage(), "UNIQUE constraint failed: T.ID");
        EXPECT_EQ(e.GetErrorCode() & 0xff, SQLITE_CONSTRAINT);
    }
    EXPECT_THAT(thrownMessage([&] { db.ExecuteQuery("select * from NOTABLE;"); }), HasSubstr("no such table: NOTABLE"));
    EXPECT_THAT(thrownMessage([&] { db.ExecuteUpdate("this is not sql;"); }), HasSubstr("syntax error"));
    EXPECT_NE(thrownMessage([&] { db.ExecuteScalar("select ID from T where ID = 99;"); }), "");
    EXPECT_EQ(countRows(), 1);
}

TEST_F(SqliteTest, RollbackDiscardsWritesAndCommitKeepsThem) {
    db.Begin();
    EXPECT_FALSE(db.GetAutoCommit());
    db.ExecuteUpdate("insert into T (ID) values (1);");
    db.ExecuteUpdate("insert into T (ID) values (2);");
    db.Rollback();
    EXPECT_TRUE(db.GetAutoCommit());
    EXPECT_EQ(countRows(), 0);

    db.Begin(WXSQLITE_TRANSACTION_IMMEDIATE);
    db.ExecuteUpdate("insert into T (ID) values (3);");
    db.Commit();
    db.Rollback();  // no transaction open: nothing happens, nothing throws
    db.Close();

    wxSQLite3Database reopened;
    reopened.Open(temp.file("test.db"));
    EXPECT_EQ(reopened.ExecuteScalar("select ID from T;"), 3);
    EXPECT_TRUE(reopened.TableExists("t"));
    EXPECT_TRUE(reopened.TableExists("T", ""));
    EXPECT_FALSE(reopened.TableExists("U"));
}

TEST_F(SqliteTest, EveryMemberOfAClosedDatabaseThrows) {
    db.Close();
    db.Close();  // harmless
    EXPECT_FALSE(db.IsOpen());
    wxSQLite3Database never;
    for (wxSQLite3Database* closed : {&db, &never}) {
        EXPECT_THAT(thrownMessage([&] { closed->ExecuteUpdate("delete from T;"); }), HasSubstr("not open"));
        EXPECT_NE(thrownMessage([&] { closed->ExecuteQuery("select * from T;"); }), "");
        EXPECT_NE(thrownMessage([&] { closed->ExecuteScalar("select 1;"); }), "");
        EXPECT_NE(thrownMessage([&] { closed->TableExists("T"); }), "");
        EXPECT_NE(thrownMessage([&] { closed->GetLastRowId(); }), "");
        EXPECT_NE(thrownMessage([&] { closed->Begin(); }), "");
        EXPECT_NE(thrownMessage([&] { closed->Commit(); }), "");
        EXPECT_NE(thrownMessage([&] { closed->Rollback(); }), "");
    }
}

TEST_F(SqliteTest, AResultSetOutlivesTheCloseOfItsDatabase) {
    db.ExecuteUpdate("insert into T (ID, NAME) values (1, 'a');");
    db.ExecuteUpdate("insert into T (ID, NAME) values (2, 'b');");
    wxSQLite3ResultSet rows = db.ExecuteQuery("select NAME from T order by ID;");
    db.Close();
    ASSERT_TRUE(rows.NextRow());
    EXPECT_EQ(rows.GetStdString("NAME"), "a");
    ASSERT_TRUE(rows.NextRow());
    EXPECT_EQ(rows.GetStdString("NAME"), "b");
}

namespace {

// A database whose schema step creates one table and reports what it is told
// (or throws).
class ProbeDB : public Nuvaro::Misc::SqliteDB {
public:
    explicit ProbeDB(bool initResult, bool initThrows = false) : m_initResult(initResult), m_initThrows(initThrows) {}
    bool initDB() override {
        ++initCalls;
        if (m_initThrows) throw std::runtime_error("schema step exploded");
        if (!m_db->TableExists("PROBE")) m_db->ExecuteUpdate("CREATE TABLE PROBE (A TEXT);");
        return m_initResult;
    }
    int rows() {
        Poco::Mutex::ScopedLock lock(m_mutex);
        Poco::Mutex::ScopedLock again(m_mutex);  // the lock is recursive
        return m_db->ExecuteScalar("select count(*) from PROBE;");
    }
    int initCalls = 0;

private:
    bool m_initResult;
    bool m_initThrows;
};

// A database file of a few hundred rows, so that it spans many pages.
std::string makeDatabaseFile(const std::string& path) {
    wxSQLite3Database db;
    db.Open(path);
    db.ExecuteUpdate("CREATE TABLE T (ID INTEGER PRIMARY KEY, NAME TEXT);");
    db.Begin();
    for (int i = 0; i < 500; ++i)
        db.ExecuteUpdate("INSERT INTO T (NAME) VALUES ('" + std::string(100, static_cast<char>('a' + i % 26)) + "');");
    db.Commit();
    db.Close();
    return path;
}

} // namespace

TEST(SqliteDB, OpenRunsTheSchemaStepAndReportsItsResult) {
    TempFolder temp;
    ProbeDB good(true);
    EXPECT_FALSE(good.isOpen());
    EXPECT_TRUE(good.openDB(temp.file("a.db"), ""));
    EXPECT_EQ(good.initCalls, 1);
    EXPECT_TRUE(good.isOpen());
    EXPECT_EQ(good.rows(), 0);
    EXPECT_EQ(good.getOpenError(), "");
    good.closeDB();
    EXPECT_FALSE(good.isOpen());
}

// A database whose schema step failed used to stay open, for every member
// to read and write a schema it does not understand.
TEST(SqliteDB, FailedSchemaStepLeavesTheDatabaseClosed) {
    TempFolder temp;
    for (bool throws : {false, true}) {
        SCOPED_TRACE(throws ? "initDB throws" : "initDB returns false");
        ProbeDB refusing(false, throws);
        EXPECT_FALSE(refusing.openDB(temp.file("a.db"), ""));
        EXPECT_EQ(refusing.initCalls, 1);
        EXPECT_FALSE(refusing.isOpen());
        EXPECT_THAT(refusing.getOpenError(), HasSubstr("Cannot use the database " + temp.file("a.db") + ": "));
        if (throws) {
            EXPECT_THAT(refusing.getOpenError(), HasSubstr("schema step exploded"));
        }
    }
}

// A file that is not a database, or is damaged, used to throw out of
// openDB (or to open and fail later, in the middle of a pass).
TEST(SqliteDB, AFileThatCannotBeOpenedFailsWithAClearErrorAndStaysClosed) {
    TempFolder temp;
    {
        std::ofstream junk(temp.file("junk.db"));
        junk << "this is a text file, not a database, and it is long enough to have a header";
    }
    // A database whose table pages were overwritten: the header and the
    // schema still read, the rows do not.
    const std::string damaged = makeDatabaseFile(temp.file("damaged.db"));
    {
        std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4096 * 3);
        const std::string garbage(4096 * 4, '\xA5');
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    struct Case {
        std::string path;
        std::string key;
        std::string message;
    };
    const Case cases[] = {
        {temp.file("junk.db"), "", "file is not a database"},
        {damaged, "", "database disk image is malformed"},
        {temp.file("missing-folder/a.db"), "", "unable to open database file"},
        {temp.path(), "", ""},
        {temp.file("b.db"), "secret", "not supported"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ProbeDB db(true);
        EXPECT_FALSE(db.openDB(c.path, c.key));
        EXPECT_THAT(db.getOpenError(), HasSubstr("Cannot use the database " + c.path + ": "));
        EXPECT_THAT(db.getOpenError(), HasSubstr(c.message));
        EXPECT_FALSE(db.isOpen());
        EXPECT_EQ(db.initCalls, 0);
    }
}
