#include "TestServerRequestLog.h"

#include "TestServerWire.h"

#include <algorithm>
#include <chrono>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

void TestServerRequestLog::add(RecordedRequest request)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        request.sequence = ++m_sequence;
        m_requests.push_back(std::move(request));
    }
    m_changed.notify_all();
}

std::vector<RecordedRequest> TestServerRequestLog::all() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::vector<RecordedRequest> TestServerRequestLog::forPath(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<RecordedRequest> out;
    for (const auto& r : m_requests)
        if (r.path == path) out.push_back(r);
    return out;
}

void TestServerRequestLog::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
    m_peakInFlight.clear();
    for (const auto& serving : m_inFlight)
        if (serving.second > 0) m_peakInFlight[serving.first] = serving.second;
}

void TestServerRequestLog::began(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int& now = m_inFlight[path];
    ++now;
    int& peak = m_peakInFlight[path];
    peak = std::max(peak, now);
}

void TestServerRequestLog::ended(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_inFlight[path];
}

int TestServerRequestLog::inFlight(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_inFlight.find(path);
    return found == m_inFlight.end() ? 0 : found->second;
}

int TestServerRequestLog::peakInFlight(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_peakInFlight.find(path);
    return found == m_peakInFlight.end() ? 0 : found->second;
}

bool TestServerRequestLog::waitFor(const std::string& path, std::size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return countLocked(path) >= count; });
}

std::size_t TestServerRequestLog::countLocked(const std::string& path) const
{
    std::size_t n = 0;
    for (const auto& r : m_requests)
        if (r.path == path) ++n;
    return n;
}

std::string RecordedRequest::header(const std::string& name) const
{
    for (const auto& h : headers)
        if (equalsNoCase(h.first, name)) return h.second;
    return "";
}

bool RecordedRequest::hasHeader(const std::string& name) const
{
    for (const auto& h : headers)
        if (equalsNoCase(h.first, name)) return true;
    return false;
}

Fields RecordedRequest::queryFields() const
{
    return parseFields(query);
}

Fields RecordedRequest::formFields() const
{
    return parseFields(body);
}

std::string RecordedRequest::queryField(const std::string& name) const
{
    return fieldValue(queryFields(), name);
}

std::string RecordedRequest::formField(const std::string& name) const
{
    return fieldValue(formFields(), name);
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
