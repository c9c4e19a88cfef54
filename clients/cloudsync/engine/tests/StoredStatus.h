#pragma once

// What a device has stored, read from its sync database file with a
// read-only connection of the test's own (the device, maybe in another
// process, keeps using the file meanwhile).

#include <sqlite3.h>

#include <string>

namespace EngineTest {

// The status set stored for the sync folder `folder` ("" when none yet).
inline std::string storedStatusSet(const std::string& databaseFile, const std::string& folder) {
    sqlite3* db = nullptr;
    std::string status;
    if (sqlite3_open_v2(databaseFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* query = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT STATUSSET FROM SYNCFOLDERS WHERE NAME=?", -1, &query, nullptr) ==
                SQLITE_OK &&
            sqlite3_bind_text(query, 1, folder.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
            sqlite3_step(query) == SQLITE_ROW && sqlite3_column_text(query, 0))
            status = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return status;
}

} // namespace EngineTest
