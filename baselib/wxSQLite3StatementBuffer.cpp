#include "wxSQLite3StatementBuffer.h"

#include "wxSQLite3Exception.h"

#include <sqlite3.h>

#include <cstdarg>

wxSQLite3StatementBuffer::wxSQLite3StatementBuffer() : m_buffer(nullptr) {}

wxSQLite3StatementBuffer::~wxSQLite3StatementBuffer() { Clear(); }

const char* wxSQLite3StatementBuffer::Format(const char* format, ...) {
    Clear();
    va_list args;
    va_start(args, format);
    m_buffer = sqlite3_vmprintf(format, args);
    va_end(args);
    if (m_buffer == nullptr) throw wxSQLite3Exception(SQLITE_NOMEM, "Unable to allocate the statement");
    return m_buffer;
}

wxSQLite3StatementBuffer::operator const char*() const { return m_buffer != nullptr ? m_buffer : ""; }

void wxSQLite3StatementBuffer::Clear() {
    if (m_buffer != nullptr) {
        sqlite3_free(m_buffer);
        m_buffer = nullptr;
    }
}
