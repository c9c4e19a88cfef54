#pragma once

// One connection to an SQLite database file, over the sqlite3 C library.
//
// Every statement runs at once in autocommit mode unless Begin has opened a
// transaction. Errors throw wxSQLite3Exception with SQLite's message: a file
// that cannot be opened or is not a database (Open checks this by reading the
// schema), a statement that does not prepare, a step that fails, a constraint
// that is violated. Every member except IsOpen and Close throws the same
// exception, instead of touching a null handle, when the database is not open.
//
// The connection is opened in SQLite's serialized mode, but the callers keep
// their own lock around each use (see Nuvaro::Misc::SqliteDB); a connection is
// not copied. Result sets may outlive Close: the connection is released when
// the last of them is finalized.

#include "wxSQLite3ResultSet.h"
#include "wxSQLite3StatementBuffer.h"

#include <Poco/Types.h>

#include <string>

struct sqlite3;

enum wxSQLite3TransactionType {
    WXSQLITE_TRANSACTION_DEFAULT,    // "BEGIN TRANSACTION" (deferred)
    WXSQLITE_TRANSACTION_DEFERRED,
    WXSQLITE_TRANSACTION_IMMEDIATE,
    WXSQLITE_TRANSACTION_EXCLUSIVE
};

class wxSQLite3Database {
public:
    wxSQLite3Database();
    ~wxSQLite3Database();
    wxSQLite3Database(const wxSQLite3Database&) = delete;
    wxSQLite3Database& operator=(const wxSQLite3Database&) = delete;

    // Opens (creating when missing) the file. `key` must be empty: encrypted
    // databases are not supported and a key throws. An open connection is
    // closed first. Sets a busy time-out of 5 seconds.
    void Open(const std::string& fileName, const std::string& key = "");
    bool IsOpen() const { return m_db != nullptr; }
    // Closes the connection; harmless when it is not open.
    void Close();

    // Runs one or more statements separated by ";" and returns the number of
    // rows the last of them changed (0 for statements that change no rows).
    int ExecuteUpdate(const char* sql);
    int ExecuteUpdate(const std::string& sql);
    int ExecuteUpdate(const wxSQLite3StatementBuffer& sql);

    // Runs one query; its rows are read through the returned set.
    wxSQLite3ResultSet ExecuteQuery(const char* sql);
    wxSQLite3ResultSet ExecuteQuery(const std::string& sql);
    wxSQLite3ResultSet ExecuteQuery(const wxSQLite3StatementBuffer& sql);

    // The first column of the first row as an int (NULL reads as 0). A query
    // that returns no row throws.
    int ExecuteScalar(const char* sql);
    int ExecuteScalar(const std::string& sql);
    int ExecuteScalar(const wxSQLite3StatementBuffer& sql);

    // True when the table exists (name compared without regard to ASCII case)
    // in the attached database `databaseName` ("" is the main database).
    bool TableExists(const std::string& tableName, const std::string& databaseName = "");
    // The row id of the last successful insert on this connection.
    Poco::Int64 GetLastRowId();

    void Begin(wxSQLite3TransactionType type = WXSQLITE_TRANSACTION_DEFAULT);
    void Commit();
    // Rolls the open transaction back; does nothing when none is open, so a
    // handler may call it after a failed Begin or Commit without a second throw.
    void Rollback();
    // True when no transaction is open.
    bool GetAutoCommit();

    // Milliseconds to wait for a lock held by another connection.
    void SetBusyTimeout(int milliseconds);

private:
    sqlite3* handle() const;  // throws when not open
    [[noreturn]] void throwError(int rc) const;

    sqlite3* m_db;
};
