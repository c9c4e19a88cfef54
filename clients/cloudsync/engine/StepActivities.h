#pragma once

#include "FSActivity.h"
#include "FSSyncDB.h"

#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <mutex>
#include <vector>

namespace Nuvaro {
namespace Sync {

// The activity entries of a pass step (the upload step, the apply step),
// written in one database transaction when the step ends instead of one
// commit per entry. With its own lock: the upload callbacks add on pool
// threads while the worker thread adds too. Outside a step, add writes at
// once. A Scope opens a step and, when it is left by any way (a return, a
// failure, an exception), writes what was collected, so no entry is lost;
// scopes may nest, the outermost one writes.
class StepActivities {
public:
    class Scope {
    public:
        Scope(StepActivities& owner, FSSyncDB* db);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        StepActivities& m_owner;
        FSSyncDB* m_db;
    };

    // Collects the entry while a step is open, else stores it in `db` now
    // (nothing when `db` is null).
    void add(const boost::shared_ptr<FSActivity>& entry, FSSyncDB* db);
    // Writes the entries collected so far in one transaction (in the order
    // they came) and forgets them; the step stays open. Used before the step
    // clears entries of a type, so that the clear sees them as before.
    void flush(FSSyncDB* db);
    // Entries waiting to be written.
    std::size_t pending() const;

private:
    mutable std::mutex m_mutex;
    int m_openScopes = 0;
    std::vector<boost::shared_ptr<FSActivity>> m_entries;
};

} // namespace Sync
} // namespace Nuvaro
