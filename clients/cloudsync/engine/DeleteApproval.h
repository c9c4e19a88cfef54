#pragma once

#include <Poco/Timestamp.h>

#include <functional>
#include <mutex>

namespace Nuvaro {
namespace Sync {

// The user's last delete approval: the count and its time change together,
// under their own lock (the application's threads record, the worker thread
// reads and uses it up).
class DeleteApproval {
public:
    // approvedCount = count, approvedAt = now.
    void record(int count);
    // Calls `use` with the count and time under the lock; when it returns
    // true the approval is used up (approvedCount back to 0).
    bool consumeIf(const std::function<bool(int approvedCount, const Poco::Timestamp& approvedAt)>& use);

private:
    std::mutex m_mutex;
    int m_approvedCount = 0;
    Poco::Timestamp m_approvedAt;
};

} // namespace Sync
} // namespace Nuvaro
