#pragma once

// A database file in a fresh temp folder, prepared (older schemas, rows,
// fault triggers) and read back with plain SQL on a connection of its own,
// beside the database object the test opens. A test fixture derives from it
// and names the file:
//
//     class OfflineDBFile : public CloudSyncTest::DBFileTest {
//     protected:
//         OfflineDBFile() : DBFileTest("offline.db") {}
//     };
//
// Each helper opens and closes its own connection, so none holds the file
// between calls. Needs the base layer (wxSQLite3Database) on the test's link
// line.

#include "TempFolder.h"
#include "wxSQLite3Database.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace CloudSyncTest {

class DBFileTest : public ::testing::Test {
protected:
    explicit DBFileTest(std::string fileName) : m_fileName(std::move(fileName)) {}

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
        return collect(query, [](const wxSQLite3ResultSet& result) {
            std::string row;
            for (int i = 0; i < result.GetColumnCount(); ++i)
                row += (i ? "|" : "") + result.GetStdString(i, "<null>");
            return row;
        });
    }
    // One column (the first by default) of every row of a query (NULL as
    // "<null>").
    std::vector<std::string> column(const std::string& query, int index = 0) {
        return collect(query, [index](const wxSQLite3ResultSet& result) { return result.GetStdString(index, "<null>"); });
    }
    // The number of rows of a table, optionally followed by a where clause.
    int count(const std::string& tableAndWhere) {
        return std::stoi(column("select count(*) from " + tableAndWhere + ";").at(0));
    }
    // "NAME TYPE" of each column of a table, in order.
    std::vector<std::string> columns(const std::string& table) {
        return rows("select name || ' ' || type from pragma_table_info('" + table + "');");
    }
    // SQLite's plan for a statement, its steps ("detail", column 3) joined by " | ".
    std::string queryPlan(const std::string& statement) {
        std::string plan;
        for (const std::string& step : column("EXPLAIN QUERY PLAN " + statement, 3))
            plan += step + " | ";
        return plan;
    }

    TempFolder m_tmp;

private:
    // One text per row of a query, made by `rowText`.
    template <typename RowText>
    std::vector<std::string> collect(const std::string& query, RowText rowText) {
        wxSQLite3Database db;
        db.Open(path());
        wxSQLite3ResultSet result = db.ExecuteQuery(query);
        std::vector<std::string> out;
        while (result.NextRow())
            out.push_back(rowText(result));
        result.Finalize();
        db.Close();
        return out;
    }

    std::string m_fileName;
};

} // namespace CloudSyncTest
