#include "DeleteApproval.h"

namespace Nuvaro {
namespace Sync {

void DeleteApproval::record(int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_approvedCount = count;
    m_approvedAt.update();
}

bool DeleteApproval::consumeIf(
    const std::function<bool(int approvedCount, const Poco::Timestamp& approvedAt)>& use) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!use(m_approvedCount, m_approvedAt))
        return false;
    m_approvedCount = 0;
    return true;
}

} // namespace Sync
} // namespace Nuvaro
