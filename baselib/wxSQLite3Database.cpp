#include "wxSQLite3Database.h"

#include "wxSQLite3Exception.h"

#include <sqlite3.h>

namespace {

// Owns a prepared statement until it is handed on.
struct StatementGuard {
    sqlite3_stmt* statement = nullptr;
    ~StatementGuard() {
        if (statement != nullptr) sqlite3_finalize(statement);
    }
    sqlite3_stmt* release() {
        sqlite3_stmt* s = statement;
        statement = nullptr;
        return s;
    }
};

} // namespace

wxSQLite3Database::wxSQLite3Database() : m_db(nullptr) {}

wxSQLite3Database::~wxSQLite3Database() { Close(); }

sqlite3* wxSQLite3Database::handle() const {
    if (m_db == nullptr) throw wxSQLite3Exception(WXSQLITE_ERROR, "Database is not open");
    return m_db;
}

void wxSQLite3Database::throwError(int rc) const {
    std::string message = m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
    int code = m_db != nullptr ? sqlite3_extended_errcode(m_db) : rc;
    throw wxSQLite3Exception(code, message);
}

void wxSQLite3Database::Open(const std::string& fileName, const std::string& key) {
    if (!key.empty()) throw wxSQLite3Exception(WXSQLITE_ERROR, "Encrypted databases are not supported");
    Close();
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(fileName.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        throw wxSQLite3Exception(rc, message + ": " + fileName);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, 5000);
    // SQLite opens lazily: read the schema now so that a file that is not a
    // database (or cannot be read) fails here and not at the first statement.
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = sqlite3_errmsg(db);
        int code = sqlite3_extended_errcode(db);
        sqlite3_close_v2(db);
        throw wxSQLite3Exception(code, message + ": " + fileName);
    }
    m_db = db;
}

void wxSQLite3Database::Close() {
    if (m_db != nullptr) {
        // close_v2 defers the release while result sets are still open.
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

int wxSQLite3Database::ExecuteUpdate(const char* sql) {
    sqlite3* db = handle();
    const char* next = sql;
    int changes = 0;
    while (next != nullptr && *next != '\0') {
        StatementGuard guard;
        const char* tail = nullptr;
        int rc = sqlite3_prepare_v2(db, next, -1, &guard.statement, &tail);
        if (rc != SQLITE_OK) throwError(rc);
        next = tail;
        if (guard.statement == nullptr) continue;  // only blanks or a comment
        // sqlite3_changes keeps the count of the last INSERT, UPDATE or DELETE
        // across other statements; only a statement that changed rows reports it.
        int totalBefore = sqlite3_total_changes(db);
        do {
            rc = sqlite3_step(guard.statement);
        } while (rc == SQLITE_ROW);
        if (rc != SQLITE_DONE) throwError(rc);
        changes = sqlite3_total_changes(db) != totalBefore ? sqlite3_changes(db) : 0;
    }
    return changes;
}

int wxSQLite3Database::ExecuteUpdate(const std::string& sql) { return ExecuteUpdate(sql.c_str()); }

int wxSQLite3Database::ExecuteUpdate(const wxSQLite3StatementBuffer& sql) {
    return ExecuteUpdate(static_cast<const char*>(sql));
}

wxSQLite3ResultSet wxSQLite3Database::ExecuteQuery(const char* sql) {
    sqlite3* db = handle();
    StatementGuard guard;
    int rc = sqlite3_prepare_v2(db, sql, -1, &guard.statement, nullptr);
    if (rc != SQLITE_OK) throwError(rc);
    if (guard.statement == nullptr) throw wxSQLite3Exception(WXSQLITE_ERROR, "Empty query");
    rc = sqlite3_step(guard.statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throwError(rc);
    return wxSQLite3ResultSet(guard.release(), rc == SQLITE_ROW);
}

wxSQLite3ResultSet wxSQLite3Database::ExecuteQuery(const std::string& sql) { return ExecuteQuery(sql.c_str()); }

wxSQLite3ResultSet wxSQLite3Database::ExecuteQuery(const wxSQLite3StatementBuffer& sql) {
    return ExecuteQuery(static_cast<const char*>(sql));
}

int wxSQLite3Database::ExecuteScalar(const char* sql) {
    wxSQLite3ResultSet rows = ExecuteQuery(sql);
    if (!rows.NextRow() || rows.GetColumnCount() < 1)
        throw wxSQLite3Exception(WXSQLITE_ERROR, "Scalar query returned no value");
    return rows.GetInt(0, 0);
}

int wxSQLite3Database::ExecuteScalar(const std::string& sql) { return ExecuteScalar(sql.c_str()); }

int wxSQLite3Database::ExecuteScalar(const wxSQLite3StatementBuffer& sql) {
    return ExecuteScalar(static_cast<const char*>(sql));
}

bool wxSQLite3Database::TableExists(const std::string& tableName, const std::string& databaseName) {
    handle();
    wxSQLite3StatementBuffer sql;
    sql.Format("SELECT count(*) FROM \"%w\".sqlite_master WHERE type='table' AND lower(name)=lower('%q');",
               databaseName.empty() ? "main" : databaseName.c_str(), tableName.c_str());
    return ExecuteScalar(sql) > 0;
}

Poco::Int64 wxSQLite3Database::GetLastRowId() { return sqlite3_last_insert_rowid(handle()); }

void wxSQLite3Database::Begin(wxSQLite3TransactionType type) {
    switch (type) {
    case WXSQLITE_TRANSACTION_DEFERRED: ExecuteUpdate("BEGIN DEFERRED TRANSACTION;"); break;
    case WXSQLITE_TRANSACTION_IMMEDIATE: ExecuteUpdate("BEGIN IMMEDIATE TRANSACTION;"); break;
    case WXSQLITE_TRANSACTION_EXCLUSIVE: ExecuteUpdate("BEGIN EXCLUSIVE TRANSACTION;"); break;
    case WXSQLITE_TRANSACTION_DEFAULT:
    default: ExecuteUpdate("BEGIN TRANSACTION;"); break;
    }
}

void wxSQLite3Database::Commit() { ExecuteUpdate("COMMIT TRANSACTION;"); }

void wxSQLite3Database::Rollback() {
    if (sqlite3_get_autocommit(handle()) != 0) return;  // no transaction open
    ExecuteUpdate("ROLLBACK TRANSACTION;");
}

bool wxSQLite3Database::GetAutoCommit() { return sqlite3_get_autocommit(handle()) != 0; }

void wxSQLite3Database::SetBusyTimeout(int milliseconds) { sqlite3_busy_timeout(handle(), milliseconds); }
