#pragma once

// One prepared statement with "?" parameters, made by
// wxSQLite3Database::PrepareStatement and run as often as needed: bind the
// values, run it, and it is reset for the next values. A statement run many
// times is compiled once, which is what makes writing thousands of rows in
// one transaction cheap; the values never become part of the SQL text, so
// they need no quoting.
//
//     wxSQLite3Statement insert = db.PrepareStatement("insert into T (A, B) values (?, ?);");
//     for (const Row& r : rows) {
//         insert.Bind(1, r.text);        // parameters are numbered from 1
//         insert.Bind(2, r.number);
//         insert.ExecuteUpdate();        // rows changed; the statement is reset
//     }
//
// Errors throw wxSQLite3Exception with SQLite's message: a parameter number
// out of range, a step that fails, a constraint that is violated; after a
// failed run the statement is reset and can be run again. The statement owns
// its sqlite3_stmt: it can be moved, not copied, and Finalize (or the
// destructor) releases it. It must be finalized before its database is
// closed for good; one thread at a time, holding the database's lock.

#include <Poco/Types.h>

#include <string>

struct sqlite3_stmt;

class wxSQLite3Statement {
public:
    wxSQLite3Statement();
    explicit wxSQLite3Statement(sqlite3_stmt* statement);
    ~wxSQLite3Statement();
    wxSQLite3Statement(wxSQLite3Statement&& other) noexcept;
    wxSQLite3Statement& operator=(wxSQLite3Statement&& other) noexcept;
    wxSQLite3Statement(const wxSQLite3Statement&) = delete;
    wxSQLite3Statement& operator=(const wxSQLite3Statement&) = delete;

    bool IsOk() const { return m_statement != nullptr; }
    int GetParamCount() const;

    // The value of parameter `param` (from 1) for the next run; it stays
    // bound until replaced or ClearBindings.
    void Bind(int param, const std::string& value);
    void Bind(int param, int value);
    void Bind(int param, Poco::Int64 value);
    void BindNull(int param);
    void ClearBindings();

    // Runs the statement to its end and returns the number of rows it
    // changed (0 for a statement that changes none, rows of a query are
    // skipped); the statement is reset afterwards, also after an error.
    int ExecuteUpdate();
    // Runs a query and returns the first column of its first row as an int
    // (NULL reads as 0); throws when the query returns no row. Reset afterwards.
    int ExecuteScalar();

    void Reset();
    void Finalize();

private:
    sqlite3_stmt* checked() const;  // throws when finalized or empty
    void check(int rc) const;       // throws for a bind result other than OK

    sqlite3_stmt* m_statement;
};
