#pragma once

// The test server's log of received requests. Thread safety: every member
// takes m_mutex; waiters are woken through m_changed.

#include "TestServerTypes.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

class TestServerRequestLog {
public:
    // Stores the request, giving it the next sequence number.
    void add(RecordedRequest request);
    std::vector<RecordedRequest> all() const;
    std::vector<RecordedRequest> forPath(const std::string& path) const;
    void clear();
    bool waitFor(const std::string& path, std::size_t count, int timeoutMs) const;

private:
    std::size_t countLocked(const std::string& path) const;

    mutable std::mutex m_mutex; // guards everything below
    mutable std::condition_variable m_changed;
    std::vector<RecordedRequest> m_requests;
    Poco::UInt64 m_sequence = 0;
};

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
