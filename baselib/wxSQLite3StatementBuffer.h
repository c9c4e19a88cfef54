#pragma once

// Builds one SQL statement with SQLite's printf rules (sqlite3_vmprintf):
// "%q" inserts a text with every apostrophe doubled (write it between single
// quotes: '%q'), "%Q" the same already quoted or NULL for a null pointer,
// "%w" doubles double quotes for identifiers, "%d" and "%lld" insert integers.
// A literal "%" is written "%%"; a percent sign inside a "%q" argument is
// copied as it is. Text arguments are C strings (pass std::string::c_str()).
//
// One buffer holds one statement at a time; Format replaces the previous one.
// Not shared between threads.

class wxSQLite3StatementBuffer {
public:
    wxSQLite3StatementBuffer();
    ~wxSQLite3StatementBuffer();
    wxSQLite3StatementBuffer(const wxSQLite3StatementBuffer&) = delete;
    wxSQLite3StatementBuffer& operator=(const wxSQLite3StatementBuffer&) = delete;

    // Formats the statement and returns it; throws wxSQLite3Exception when
    // SQLite cannot allocate it.
    const char* Format(const char* format, ...);
    // The statement last formatted ("" before the first Format).
    operator const char*() const;
    void Clear();

private:
    char* m_buffer;
};
