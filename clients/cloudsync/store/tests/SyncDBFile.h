#pragma once

// A sync database file in a fresh temp folder, prepared and inspected with
// plain SQL on a connection of its own, beside whatever the test opens.

#include "TempFolder.h"
#include "wxSQLite3Database.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace StoreTest {

class SyncDBFileTest : public ::testing::Test {
protected:
    std::string path() const { return m_tmp / "syncclient.db"; }

    // Runs statements on the file through a second connection.
    void sql(const std::string& statements) {
        wxSQLite3Database db;
        db.Open(path());
        db.ExecuteUpdate(statements);
        db.Close();
    }
    // One column (the first by default) of every row of a query on a second
    // connection.
    std::vector<std::string> column(const std::string& query, int index = 0) {
        wxSQLite3Database db;
        db.Open(path());
        wxSQLite3ResultSet rows = db.ExecuteQuery(query);
        std::vector<std::string> values;
        while (rows.NextRow())
            values.push_back(rows.GetStdString(index, "<null>"));
        rows.Finalize();
        db.Close();
        return values;
    }
    // SQLite's plan for a statement, its steps ("detail", column 3) joined by " | ".
    std::string queryPlan(const std::string& statement) {
        std::string plan;
        for (const std::string& step : column("EXPLAIN QUERY PLAN " + statement, 3))
            plan += step + " | ";
        return plan;
    }
    // The number of rows of a table, optionally followed by a where clause.
    int count(const std::string& tableAndWhere) {
        return std::stoi(column("select count(*) from " + tableAndWhere + ";").at(0));
    }

    CloudSyncTest::TempFolder m_tmp;
};

} // namespace StoreTest
