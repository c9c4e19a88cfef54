#pragma once

// The test server's log of received requests. Thread safety: every member
// takes m_mutex; waiters are woken through m_changed.

#include "TestServerTypes.h"

#include <condition_variable>
#include <map>
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

    // Requests being served: a handler calls began() when it has read the
    // request's head and ended() once its reply is sent (or dropped).
    void began(const std::string& path);
    void ended(const std::string& path);
    // Requests of the path served now, and the most served at once since
    // the start (or the last clear()).
    int inFlight(const std::string& path) const;
    int peakInFlight(const std::string& path) const;

private:
    std::size_t countLocked(const std::string& path) const;

    mutable std::mutex m_mutex; // guards everything below
    mutable std::condition_variable m_changed;
    std::vector<RecordedRequest> m_requests;
    Poco::UInt64 m_sequence = 0;
    std::map<std::string, int> m_inFlight;
    std::map<std::string, int> m_peakInFlight;
};

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
