#include "StepActivities.h"

namespace Nuvaro {
namespace Sync {

StepActivities::Scope::Scope(StepActivities& owner, FSSyncDB* db) : m_owner(owner), m_db(db) {
    std::lock_guard<std::mutex> lock(m_owner.m_mutex);
    ++m_owner.m_openScopes;
}

StepActivities::Scope::~Scope() {
    bool outermost = false;
    {
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        outermost = --m_owner.m_openScopes == 0;
    }
    if (!outermost)
        return;
    try {
        m_owner.flush(m_db);
    } catch (...) {
        // The database logs its own failures; a destructor throws nothing.
    }
}

void StepActivities::add(const boost::shared_ptr<FSActivity>& entry, FSSyncDB* db) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_openScopes > 0) {
            m_entries.push_back(entry);
            return;
        }
    }
    if (db) {
        boost::shared_ptr<FSActivity> stored(entry);
        db->activityAdd(stored);
    }
}

void StepActivities::flush(FSSyncDB* db) {
    std::vector<boost::shared_ptr<FSActivity>> entries;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        entries.swap(m_entries);
    }
    if (db && !entries.empty())
        db->activityAddAll(entries);
}

std::size_t StepActivities::pending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}

} // namespace Sync
} // namespace Nuvaro
