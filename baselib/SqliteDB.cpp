#include "SqliteDB.h"

namespace Nuvaro {
namespace Misc {

SqliteDB::SqliteDB() = default;

SqliteDB::~SqliteDB() { closeDB(); }

bool SqliteDB::openDB(const std::string& path, const std::string& key) {
    Poco::Mutex::ScopedLock lock(m_mutex);
    closeDB();
    auto db = std::make_unique<wxSQLite3Database>();
    db->Open(path, key);
    m_db = std::move(db);
    return initDB();
}

void SqliteDB::closeDB() {
    Poco::Mutex::ScopedLock lock(m_mutex);
    if (m_db) {
        m_db->Close();
        m_db.reset();
    }
}

bool SqliteDB::isOpen() const {
    Poco::Mutex::ScopedLock lock(m_mutex);
    return m_db != nullptr;
}

bool SqliteDB::initDB() { return true; }

} // namespace Misc
} // namespace Nuvaro
