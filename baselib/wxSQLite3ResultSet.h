#pragma once

// The rows of one query run by wxSQLite3Database::ExecuteQuery.
//
// Reading: call NextRow() before each row (it returns false after the last
// row), then read columns by name or by 0-based index. Column names compare
// without regard to ASCII letter case, as SQLite's own names do.
//
//     wxSQLite3ResultSet rows = db.ExecuteQuery("select * from CONFIG;");
//     while (rows.NextRow()) use(rows.GetStdString("VALUE"));
//     rows.Finalize();
//
// Getters take the value to return for an SQL NULL. Asking for a column name
// the query does not have, reading before the first NextRow or after the last
// row, or using a finalized set throws wxSQLite3Exception; a step that fails
// in SQLite throws it with SQLite's message. The set owns its prepared
// statement: it can be moved, not copied, and Finalize (or the destructor)
// releases it. It stays usable after its database is closed until finalized.
// One thread at a time.

#include <Poco/Types.h>

#include <string>

struct sqlite3_stmt;

class wxSQLite3ResultSet {
public:
    wxSQLite3ResultSet();
    // Takes over a statement that has already been stepped once: `hasFirstRow`
    // tells whether that first step produced a row.
    wxSQLite3ResultSet(sqlite3_stmt* statement, bool hasFirstRow);
    ~wxSQLite3ResultSet();
    wxSQLite3ResultSet(wxSQLite3ResultSet&& other) noexcept;
    wxSQLite3ResultSet& operator=(wxSQLite3ResultSet&& other) noexcept;
    wxSQLite3ResultSet(const wxSQLite3ResultSet&) = delete;
    wxSQLite3ResultSet& operator=(const wxSQLite3ResultSet&) = delete;

    // Moves to the next row; false when there is none.
    bool NextRow();
    // True once NextRow has returned false (or the query had no row at all).
    bool Eof() const;
    void Finalize();

    int GetColumnCount() const;
    std::string GetColumnName(int column) const;
    // Index of the named column; throws when the query has no such column.
    int FindColumnIndex(const std::string& name) const;
    bool IsNull(int column) const;
    bool IsNull(const std::string& column) const;

    int GetInt(int column, int nullValue = 0) const;
    int GetInt(const std::string& column, int nullValue = 0) const;
    Poco::Int64 GetInt64(int column, Poco::Int64 nullValue = 0) const;
    Poco::Int64 GetInt64(const std::string& column, Poco::Int64 nullValue = 0) const;
    double GetDouble(int column, double nullValue = 0.0) const;
    double GetDouble(const std::string& column, double nullValue = 0.0) const;
    // True when the value is a non-zero number; NULL gives `nullValue`.
    bool GetBool(int column, bool nullValue = false) const;
    bool GetBool(const std::string& column, bool nullValue = false) const;
    std::string GetStdString(int column, const std::string& nullValue = "") const;
    std::string GetStdString(const std::string& column, const std::string& nullValue = "") const;

private:
    // Throws unless a row is current and `column` is a valid index.
    void checkColumn(int column) const;
    void checkStatement() const;

    sqlite3_stmt* m_statement;
    bool m_firstRowPending;  // the row of the first step has not been handed out yet
    bool m_onRow;            // a row is current
    bool m_eof;
};
