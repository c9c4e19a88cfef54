#include "TestServerFaults.h"

#include <algorithm>
#include <utility>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

namespace {

TestFault faultAt(const std::string& path)
{
    TestFault f;
    f.path = path;
    return f;
}

} // namespace

TestFault TestFault::withStatus(const std::string& path, int status, const std::string& body)
{
    return withBody(path, body, status);
}

TestFault TestFault::withBody(const std::string& path, const std::string& body, int status)
{
    TestFault f = faultAt(path);
    f.status = status;
    f.replaceBody = true;
    f.body = body;
    return f;
}

TestFault TestFault::withDelay(const std::string& path, int delayMs)
{
    TestFault f = faultAt(path);
    f.delayMs = delayMs;
    return f;
}

TestFault TestFault::withAction(const std::string& path, std::function<void()> action)
{
    TestFault f = faultAt(path);
    f.action = std::move(action);
    return f;
}

TestFault TestFault::throttled(const std::string& path, Poco::Int64 bytesPerSecond)
{
    TestFault f;
    f.path = path;
    f.bytesPerSecond = bytesPerSecond;
    return f;
}

TestFault TestFault::dropAfter(const std::string& path, Poco::Int64 bytes)
{
    TestFault f = faultAt(path);
    f.dropAfterBytes = bytes;
    return f;
}

TestFault TestFault::truncatedBody(const std::string& path, Poco::Int64 bytesSent)
{
    TestFault f = faultAt(path);
    f.truncateBodyAt = bytesSent;
    return f;
}

TestFault TestFault::redirectNoLocation(const std::string& path)
{
    TestFault f = faultAt(path);
    f.redirectWithoutLocation = true;
    return f;
}

TestFault TestFault::redirectTo(const std::string& path, const std::string& location)
{
    TestFault f = faultAt(path);
    f.status = 302;
    f.headers.emplace_back("Location", location);
    return f;
}

TestFault TestFault::noContentLength(const std::string& path)
{
    TestFault f = faultAt(path);
    f.omitContentLength = true;
    return f;
}

TestFault TestFault::withAnnouncedLength(const std::string& path, Poco::Int64 length)
{
    TestFault f = faultAt(path);
    f.announcedLength = length;
    return f;
}

TestFault TestFault::chunked(const std::string& path)
{
    TestFault f = faultAt(path);
    f.chunkedEncoding = true;
    return f;
}

TestFault TestFault::chunkedCut(const std::string& path, Poco::Int64 bytesSent)
{
    TestFault f = faultAt(path);
    f.chunkedCutAt = bytesSent;
    return f;
}

TestFault TestFault::chunkedShortChunk(const std::string& path, Poco::Int64 announced, Poco::Int64 bytesSent)
{
    TestFault f = chunkedCut(path, bytesSent);
    f.announcedChunkSize = announced;
    return f;
}

int TestServerFaults::add(const TestFault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.push_back(Rule{m_nextId, fault});
    return m_nextId++;
}

void TestServerFaults::remove(int id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.erase(std::remove_if(m_rules.begin(), m_rules.end(), [id](const Rule& r) { return r.id == id; }),
                  m_rules.end());
}

void TestServerFaults::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.clear();
}

std::optional<TestFault> TestServerFaults::take(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Rule& rule : m_rules) {
        if (!matches(rule.fault, path)) continue;
        if (rule.fault.times >= 0 && rule.applied >= rule.fault.times) continue;
        if (rule.seen++ < rule.fault.skip) continue;
        ++rule.applied;
        return rule.fault;
    }
    return std::nullopt;
}

bool TestServerFaults::replacesReply(const TestFault& fault)
{
    return fault.status != 0 || fault.replaceBody || fault.redirectWithoutLocation;
}

bool TestServerFaults::matches(const TestFault& fault, const std::string& path)
{
    if (!fault.path.empty() && fault.path.back() == '*')
        return path.compare(0, fault.path.size() - 1, fault.path, 0, fault.path.size() - 1) == 0;
    return fault.path == path;
}

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
