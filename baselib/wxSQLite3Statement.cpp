#include "wxSQLite3Statement.h"

#include "wxSQLite3Exception.h"

#include <sqlite3.h>

#include <utility>

namespace {

[[noreturn]] void throwFor(sqlite3_stmt* statement) {
    sqlite3* db = sqlite3_db_handle(statement);
    throw wxSQLite3Exception(sqlite3_extended_errcode(db), sqlite3_errmsg(db));
}

// Resets the statement when the run that holds it ends, however it ends.
struct ResetOnExit {
    sqlite3_stmt* statement;
    ~ResetOnExit() { sqlite3_reset(statement); }
};

} // namespace

wxSQLite3Statement::wxSQLite3Statement() : m_statement(nullptr) {}

wxSQLite3Statement::wxSQLite3Statement(sqlite3_stmt* statement) : m_statement(statement) {}

wxSQLite3Statement::~wxSQLite3Statement() { Finalize(); }

wxSQLite3Statement::wxSQLite3Statement(wxSQLite3Statement&& other) noexcept
    : m_statement(std::exchange(other.m_statement, nullptr)) {}

wxSQLite3Statement& wxSQLite3Statement::operator=(wxSQLite3Statement&& other) noexcept {
    if (this != &other) {
        Finalize();
        m_statement = std::exchange(other.m_statement, nullptr);
    }
    return *this;
}

sqlite3_stmt* wxSQLite3Statement::checked() const {
    if (m_statement == nullptr) throw wxSQLite3Exception(WXSQLITE_ERROR, "Statement is finalized or empty");
    return m_statement;
}

void wxSQLite3Statement::check(int rc) const {
    if (rc != SQLITE_OK) throwFor(m_statement);
}

int wxSQLite3Statement::GetParamCount() const { return sqlite3_bind_parameter_count(checked()); }

void wxSQLite3Statement::Bind(int param, const std::string& value) {
    check(sqlite3_bind_text(checked(), param, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
}

void wxSQLite3Statement::Bind(int param, int value) { check(sqlite3_bind_int(checked(), param, value)); }

void wxSQLite3Statement::Bind(int param, Poco::Int64 value) { check(sqlite3_bind_int64(checked(), param, value)); }

void wxSQLite3Statement::BindNull(int param) { check(sqlite3_bind_null(checked(), param)); }

void wxSQLite3Statement::ClearBindings() { sqlite3_clear_bindings(checked()); }

int wxSQLite3Statement::ExecuteUpdate() {
    sqlite3_stmt* statement = checked();
    ResetOnExit reset{statement};
    sqlite3* db = sqlite3_db_handle(statement);
    // As in wxSQLite3Database::ExecuteUpdate: sqlite3_changes keeps the count
    // of an earlier statement when this one changes nothing.
    int totalBefore = sqlite3_total_changes(db);
    int rc;
    do {
        rc = sqlite3_step(statement);
    } while (rc == SQLITE_ROW);
    if (rc != SQLITE_DONE) throwFor(statement);
    return sqlite3_total_changes(db) != totalBefore ? sqlite3_changes(db) : 0;
}

int wxSQLite3Statement::ExecuteScalar() {
    sqlite3_stmt* statement = checked();
    ResetOnExit reset{statement};
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) throw wxSQLite3Exception(WXSQLITE_ERROR, "Scalar query returned no value");
    if (rc != SQLITE_ROW) throwFor(statement);
    return sqlite3_column_int(statement, 0);
}

void wxSQLite3Statement::Reset() { sqlite3_reset(checked()); }

void wxSQLite3Statement::Finalize() {
    if (m_statement != nullptr) {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }
}
