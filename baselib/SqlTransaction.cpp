#include "SqlTransaction.h"

#include "wxSQLite3Database.h"

namespace Nuvaro {
namespace Misc {

namespace {
// Groups nest strictly, so one name serves every level: ROLLBACK TO and
// RELEASE act on the innermost savepoint of that name, which is ours.
const char* const kOpen = "SAVEPOINT cloudsync_group;";
const char* const kRelease = "RELEASE SAVEPOINT cloudsync_group;";
const char* const kUndo = "ROLLBACK TO SAVEPOINT cloudsync_group; RELEASE SAVEPOINT cloudsync_group;";
} // namespace

SqlTransaction::SqlTransaction(wxSQLite3Database& db) : m_db(db), m_open(false), m_outermost(db.GetAutoCommit()) {
    m_db.ExecuteUpdate(kOpen);
    m_open = true;
}

SqlTransaction::~SqlTransaction() {
    if (!m_open)
        return;
    try {
        if (m_outermost)
            m_db.Rollback();
        else
            m_db.ExecuteUpdate(kUndo);
    } catch (...) {
        // The connection is gone or SQLite already rolled everything back
        // (it does so itself on some errors); nothing is left to undo.
    }
}

void SqlTransaction::commit() {
    m_db.ExecuteUpdate(kRelease);
    m_open = false;
}

} // namespace Misc
} // namespace Nuvaro
