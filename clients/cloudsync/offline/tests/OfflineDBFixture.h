#pragma once

// An offline.db in a fresh temp folder. A second connection of its own
// prepares the file (older schemas, rows, fault triggers) and reads it back
// with plain SQL, beside the FOOfflineDB under test.

#include "FOOfflineDB.h"
#include "TempFolder.h"
#include "wxSQLite3Database.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace OfflineTest {

class OfflineDBFile : public ::testing::Test {
protected:
    std::string path() const { return m_tmp / m_fileName; }
    // Later calls work on another file of the folder (a table of cases that
    // each need a file of their own).
    void useFile(const std::string& name) { m_fileName = name; }

    // Runs statements on the file through a second connection.
    void sql(const std::string& statements) {
        wxSQLite3Database db;
        db.Open(path());
        db.ExecuteUpdate(statements);
        db.Close();
    }
    // Every row of a query, its columns joined with "|" (NULL as "<null>").
    std::vector<std::string> rows(const std::string& query) {
        wxSQLite3Database db;
        db.Open(path());
        wxSQLite3ResultSet result = db.ExecuteQuery(query);
        std::vector<std::string> out;
        while (result.NextRow()) {
            std::string row;
            for (int i = 0; i < result.GetColumnCount(); ++i)
                row += (i ? "|" : "") + result.GetStdString(i, "<null>");
            out.push_back(row);
        }
        result.Finalize();
        db.Close();
        return out;
    }
    // The number of rows of a table, optionally followed by a where clause.
    int count(const std::string& tableAndWhere) {
        return std::stoi(rows("select count(*) from " + tableAndWhere + ";").at(0));
    }
    // "NAME TYPE" of each column of a table, in order.
    std::vector<std::string> columns(const std::string& table) {
        return rows("select name || ' ' || type from pragma_table_info('" + table + "');");
    }

    CloudSyncTest::TempFolder m_tmp;
    std::string m_fileName = "offline.db";
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
