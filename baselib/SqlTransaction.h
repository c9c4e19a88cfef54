#pragma once

// One all-or-nothing group of statements on an SQLite connection.
//
// Built on savepoints, so groups nest: a member that needs its own group may
// be called from inside another member's group. The outermost group opens the
// transaction; an inner group that fails rolls back only its own statements
// and the outer group decides what happens to the rest.
//
//     SqlTransaction group(db);          // throws wxSQLite3Exception
//     db.ExecuteUpdate("delete from A;");
//     db.ExecuteUpdate("delete from B;");
//     group.commit();                    // throws wxSQLite3Exception
//
// A group that is left without commit() (an exception, an early return)
// rolls its statements back in the destructor. Used by one thread, holding
// the database's lock, from construction to destruction.

class wxSQLite3Database;

namespace Nuvaro {
namespace Misc {

class SqlTransaction {
public:
    explicit SqlTransaction(wxSQLite3Database& db);
    ~SqlTransaction();
    SqlTransaction(const SqlTransaction&) = delete;
    SqlTransaction& operator=(const SqlTransaction&) = delete;

    // Keeps the group's statements (for the outermost group: commits them).
    // After a throw the group is still open and the destructor rolls it back.
    void commit();

private:
    wxSQLite3Database& m_db;
    bool m_open;
    // True for the group that opened the transaction. Its undo is a plain
    // ROLLBACK: after a commit that failed (another connection holds the
    // file), undoing through the savepoint would end in a second commit
    // attempt, fail the same way and leave the transaction open.
    bool m_outermost;
};

} // namespace Misc
} // namespace Nuvaro
