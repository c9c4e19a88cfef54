#pragma once

// The error of our SQLite wrapper classes (wxSQLite3Database and friends).
//
// Every failing open, prepare, step, constraint or transaction statement throws
// it with SQLite's own message text (sqlite3_errmsg) and SQLite's extended
// result code. Misuse that SQLite itself would not report safely (a member used
// on a closed database, a column asked for by an unknown name, a row read before
// NextRow) throws it as well, with our own text and the code
// WXSQLITE_ERROR. Callers log GetMessage() as it stands.

#include <exception>
#include <string>

// Result code of the errors that do not come from SQLite itself.
constexpr int WXSQLITE_ERROR = 1000;

class wxSQLite3Exception : public std::exception {
public:
    wxSQLite3Exception(int errorCode, const std::string& message);

    int GetErrorCode() const { return m_errorCode; }
    // SQLite's message (or ours, for misuse), unchanged.
    const std::string& GetMessage() const { return m_message; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    int m_errorCode;
    std::string m_message;
};
