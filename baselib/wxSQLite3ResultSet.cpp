#include "wxSQLite3ResultSet.h"

#include "wxSQLite3Exception.h"

#include <Poco/String.h>

#include <sqlite3.h>

#include <utility>

wxSQLite3ResultSet::wxSQLite3ResultSet()
    : m_statement(nullptr), m_firstRowPending(false), m_onRow(false), m_eof(true) {}

wxSQLite3ResultSet::wxSQLite3ResultSet(sqlite3_stmt* statement, bool hasFirstRow)
    : m_statement(statement), m_firstRowPending(hasFirstRow), m_onRow(false), m_eof(!hasFirstRow) {}

wxSQLite3ResultSet::~wxSQLite3ResultSet() { Finalize(); }

wxSQLite3ResultSet::wxSQLite3ResultSet(wxSQLite3ResultSet&& other) noexcept
    : m_statement(std::exchange(other.m_statement, nullptr)),
      m_firstRowPending(std::exchange(other.m_firstRowPending, false)),
      m_onRow(std::exchange(other.m_onRow, false)),
      m_eof(std::exchange(other.m_eof, true)) {}

wxSQLite3ResultSet& wxSQLite3ResultSet::operator=(wxSQLite3ResultSet&& other) noexcept {
    if (this != &other) {
        Finalize();
        m_statement = std::exchange(other.m_statement, nullptr);
        m_firstRowPending = std::exchange(other.m_firstRowPending, false);
        m_onRow = std::exchange(other.m_onRow, false);
        m_eof = std::exchange(other.m_eof, true);
    }
    return *this;
}

bool wxSQLite3ResultSet::NextRow() {
    checkStatement();
    if (m_firstRowPending) {
        m_firstRowPending = false;
        m_onRow = true;
        return true;
    }
    if (m_eof) {
        m_onRow = false;
        return false;
    }
    int rc = sqlite3_step(m_statement);
    if (rc == SQLITE_ROW) {
        m_onRow = true;
        return true;
    }
    m_onRow = false;
    m_eof = true;
    if (rc == SQLITE_DONE) return false;
    std::string message = sqlite3_errmsg(sqlite3_db_handle(m_statement));
    throw wxSQLite3Exception(sqlite3_extended_errcode(sqlite3_db_handle(m_statement)), message);
}

bool wxSQLite3ResultSet::Eof() const { return m_eof && !m_firstRowPending; }

void wxSQLite3ResultSet::Finalize() {
    if (m_statement != nullptr) {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }
    m_firstRowPending = false;
    m_onRow = false;
    m_eof = true;
}

void wxSQLite3ResultSet::checkStatement() const {
    if (m_statement == nullptr) throw wxSQLite3Exception(WXSQLITE_ERROR, "Result set is finalized or empty");
}

int wxSQLite3ResultSet::GetColumnCount() const {
    checkStatement();
    return sqlite3_column_count(m_statement);
}

std::string wxSQLite3ResultSet::GetColumnName(int column) const {
    checkStatement();
    if (column < 0 || column >= sqlite3_column_count(m_statement))
        throw wxSQLite3Exception(WXSQLITE_ERROR, "Invalid column index " + std::to_string(column));
    const char* name = sqlite3_column_name(m_statement, column);
    return name != nullptr ? name : "";
}

int wxSQLite3ResultSet::FindColumnIndex(const std::string& name) const {
    checkStatement();
    int count = sqlite3_column_count(m_statement);
    for (int i = 0; i < count; ++i) {
        const char* columnName = sqlite3_column_name(m_statement, i);
        if (columnName != nullptr && Poco::icompare(name, std::string(columnName)) == 0) return i;
    }
    throw wxSQLite3Exception(WXSQLITE_ERROR, "Invalid column name: " + name);
}

void wxSQLite3ResultSet::checkColumn(int column) const {
    checkStatement();
    if (!m_onRow) throw wxSQLite3Exception(WXSQLITE_ERROR, "No current row");
    if (column < 0 || column >= sqlite3_column_count(m_statement))
        throw wxSQLite3Exception(WXSQLITE_ERROR, "Invalid column index " + std::to_string(column));
}

bool wxSQLite3ResultSet::IsNull(int column) const {
    checkColumn(column);
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

bool wxSQLite3ResultSet::IsNull(const std::string& column) const { return IsNull(FindColumnIndex(column)); }

int wxSQLite3ResultSet::GetInt(int column, int nullValue) const {
    if (IsNull(column)) return nullValue;
    return sqlite3_column_int(m_statement, column);
}

int wxSQLite3ResultSet::GetInt(const std::string& column, int nullValue) const {
    return GetInt(FindColumnIndex(column), nullValue);
}

Poco::Int64 wxSQLite3ResultSet::GetInt64(int column, Poco::Int64 nullValue) const {
    if (IsNull(column)) return nullValue;
    return sqlite3_column_int64(m_statement, column);
}

Poco::Int64 wxSQLite3ResultSet::GetInt64(const std::string& column, Poco::Int64 nullValue) const {
    return GetInt64(FindColumnIndex(column), nullValue);
}

double wxSQLite3ResultSet::GetDouble(int column, double nullValue) const {
    if (IsNull(column)) return nullValue;
    return sqlite3_column_double(m_statement, column);
}

double wxSQLite3ResultSet::GetDouble(const std::string& column, double nullValue) const {
    return GetDouble(FindColumnIndex(column), nullValue);
}

bool wxSQLite3ResultSet::GetBool(int column, bool nullValue) const {
    if (IsNull(column)) return nullValue;
    return sqlite3_column_int64(m_statement, column) != 0;
}

bool wxSQLite3ResultSet::GetBool(const std::string& column, bool nullValue) const {
    return GetBool(FindColumnIndex(column), nullValue);
}

std::string wxSQLite3ResultSet::GetStdString(int column, const std::string& nullValue) const {
    if (IsNull(column)) return nullValue;
    const unsigned char* text = sqlite3_column_text(m_statement, column);
    int bytes = sqlite3_column_bytes(m_statement, column);
    if (text == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(bytes));
}

std::string wxSQLite3ResultSet::GetStdString(const std::string& column, const std::string& nullValue) const {
    return GetStdString(FindColumnIndex(column), nullValue);
}
